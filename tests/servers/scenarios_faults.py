"""Fault scenarios for fake_sshd.py: an SFTP stream cut in the middle of a reply (part of a
packet, then EOF on the channel while TCP stays open), and a large listing.

"cutread.<offset>" serves reads below byte <offset> (default 65536) and cuts the reply to the
first read beyond it; "cutwrite.<offset>" does the same to the status reply of a write;
"cutlist" lists 30,000 entries and cuts the reply to the second READDIR.
"biglist" lists the same 30,000 entries whole.
"grownlist" lists 250 entries; READDIR requests after the end of a listing answer new names
and failures in turn, as a folder that grows while it is listed, or a broken server, might.
"""

import asyncio

import asyncssh

from asyncssh.constants import FXP_DATA, FXP_NAME, FXP_STATUS

from fake_sshd import RootedSFTPServer, Scenario
from scenarios_fs import Listing, plain


def _cut(chan, pkttype):
    """Writes the start of a reply packet that announces 30,005 bytes, 100 of them, and EOF."""
    chan.write((30005).to_bytes(4, "big") + bytes([pkttype]) + b"\0\0\0\0" + b"c" * 91)
    chan.write_eof()


class CutRead(RootedSFTPServer):
    async def read(self, file_obj, offset, size):
        if offset + size <= self.ctx.arg_int(65536):
            return super().read(file_obj, offset, size)
        _cut(self._chan, FXP_DATA)
        await asyncio.sleep(3600)


class CutWrite(RootedSFTPServer):
    async def write(self, file_obj, offset, data):
        if offset + len(data) <= self.ctx.arg_int(65536):
            return super().write(file_obj, offset, data)
        _cut(self._chan, FXP_STATUS)
        await asyncio.sleep(3600)


class BigList(Listing):
    ENTRIES = [plain(b"entry-%025d" % i) for i in range(30000)]


class CutList(BigList):
    def __init__(self, chan, ctx):
        super().__init__(chan, ctx)
        self.readdirs = 0

    async def on_readdir(self, handler, packet, original):
        self.readdirs += 1
        if self.readdirs < 2:
            return await original(handler, packet)
        _cut(self._chan, FXP_NAME)
        await asyncio.sleep(3600)


class GrownList(Listing):
    ENTRIES = [plain(b"entry%03d" % i) for i in range(250)]

    def __init__(self, chan, ctx):
        super().__init__(chan, ctx)
        self.after_end = 0

    def listdir(self, path):
        self.after_end = 0
        return super().listdir(path)

    async def on_readdir(self, handler, packet, original):
        if self.after_end:
            self.after_end += 1
            if self.after_end % 2 == 0:
                return [plain(b"grown%d" % self.after_end)], False
            raise asyncssh.SFTPFailure("read behind the end (test server)")
        try:
            return await original(handler, packet)
        except asyncssh.SFTPEOFError:
            self.after_end = 1
            raise


SCENARIOS = {
    "cutread": Scenario(sftp=CutRead, doc="the reply to a read beyond <arg> is cut, then EOF"),
    "cutwrite": Scenario(sftp=CutWrite, doc="the reply to a write beyond <arg> is cut, then EOF"),
    "biglist": Scenario(sftp=BigList, doc="directories list 30,000 entries"),
    "cutlist": Scenario(sftp=CutList, doc="30,000 entries; the second READDIR reply is cut"),
    "grownlist": Scenario(sftp=GrownList, doc="250 entries; names and failures after the end"),
}
