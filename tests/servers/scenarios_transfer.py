"""Transfer scenarios for fake_sshd.py: slow, failing and stalled SFTP file access (which the
built-in SCP server shares), and hand-written SCP peers that break the protocol on purpose.

The argument after the dot is a delay in seconds ("slow.0.02") or a byte offset
("readfail.65536"); the hand-written SCP sink takes a behaviour word ("scpsink.fail").
"""

import asyncio
import os

import asyncssh

from fake_sshd import RootedSFTPServer, Scenario


class Slow(RootedSFTPServer):
    """Every read and write waits <arg> seconds (default 0.05) before it is served."""

    async def read(self, file_obj, offset, size):
        await asyncio.sleep(self.ctx.arg_float(0.05))
        return super().read(file_obj, offset, size)

    async def write(self, file_obj, offset, data):
        await asyncio.sleep(self.ctx.arg_float(0.05))
        return super().write(file_obj, offset, data)


class ReadFail(RootedSFTPServer):
    """A read that reaches beyond byte <arg> (default 65536) fails."""

    def read(self, file_obj, offset, size):
        if offset + size > self.ctx.arg_int(65536):
            raise asyncssh.SFTPFailure("read error (test server)")
        return super().read(file_obj, offset, size)


class WriteFail(RootedSFTPServer):
    """A write that reaches beyond byte <arg> (default 65536) fails, as on a full disk."""

    def write(self, file_obj, offset, data):
        if offset + len(data) > self.ctx.arg_int(65536):
            raise asyncssh.SFTPFailure("no space left on device (test server)")
        return super().write(file_obj, offset, data)


class Stall(RootedSFTPServer):
    """A read or write that reaches beyond byte <arg> (default 65536) never gets an answer."""

    async def _maybe_stall(self, end):
        if end > self.ctx.arg_int(65536):
            await asyncio.sleep(3600)

    async def read(self, file_obj, offset, size):
        await self._maybe_stall(offset + size)
        return super().read(file_obj, offset, size)

    async def write(self, file_obj, offset, data):
        await self._maybe_stall(offset + len(data))
        return super().write(file_obj, offset, data)


class NoStat(RootedSFTPServer):
    """stat fails for every path; opening and reading still work."""

    def stat(self, path):
        raise asyncssh.SFTPFailure("stat refused (test server)")


class CloseFail(RootedSFTPServer):
    """Closing a file closes it, then reports a failure (data not stored, as on NFS)."""

    def close(self, file_obj):
        super().close(file_obj)
        raise asyncssh.SFTPFailure("close failed (test server)")


class NoPosixRename(RootedSFTPServer):
    """Lacks OpenSSH's posix-rename extension: only the plain rename, which refuses to replace."""
    def posix_rename(self, oldpath, newpath):
        raise asyncssh.SFTPOpUnsupported("posix-rename not supported (test server)")


def _scp_target(ctx):
    """The local file behind the path of an "scp -t <path>" or "scp -pf <path>" command."""
    command = ctx.command.decode() if isinstance(ctx.command, bytes) else ctx.command
    path = command.split(" ", 2)[2].strip().strip("'")
    return os.path.join(ctx.root, path.lstrip("/").encode())


def _no_scp(ctx, stdin, stdout, stderr):
    """What a shell without scp answers to an SCP command."""
    stderr.write(b"sh: 1: scp: not found\n")
    stdout.channel.exit(127)


async def _source_preamble(stdin, stdout, c_line):
    """The source side of libssh2's "scp -pf": times, then the file line, each acknowledged."""
    await stdin.readexactly(1)
    stdout.write(b"T0 0 0 0\n")
    await stdin.readexactly(1)
    stdout.write(c_line)
    await stdin.readexactly(1)


async def _scp_truncated(ctx, stdin, stdout, stderr):
    """Announces 500 bytes, sends 100 of them and ends the stream."""
    await _source_preamble(stdin, stdout, b"C0644 500 truncated\n")
    stdout.write(b"t" * 100)
    await stdout.drain()
    stdout.channel.exit(0)


async def _scp_no_status(ctx, stdin, stdout, stderr):
    """Sends all 500 announced bytes, then ends the stream without the status byte."""
    await _source_preamble(stdin, stdout, b"C0644 500 nostatus\n")
    stdout.write(b"s" * 500)
    await stdout.drain()
    stdout.channel.exit(0)


async def _scp_negative_size(ctx, stdin, stdout, stderr):
    """Announces a file of -5 bytes, which no download can honour."""
    await _source_preamble(stdin, stdout, b"C0644 -5 negative\n")
    await stdin.read()
    stdout.channel.exit(0)


async def _scp_sink(ctx, stdin, stdout, stderr):
    """Receives one file as "scp -t" does and stores it. The file line the client announced
    goes to <file>.cline and the status byte after the data to <file>.status. The final answer
    is a zero byte, or with arg "fail" an error line (a full disk), or with arg "eof" nothing:
    the stream ends instead; with arg "slowack" the zero byte comes after one second. As
    "scpsinkwait" it waits a second before it reads any data."""
    dest = _scp_target(ctx)
    stdout.write(b"\0")
    c_line = await stdin.readline()
    with open(dest + b".cline", "wb") as f:
        f.write(c_line)
    left = int(c_line.split(b" ")[1])
    stdout.write(b"\0")
    paused = False
    with open(dest, "wb") as out:
        while left > 0:
            if ctx.name == "scpsinkwait" and not paused:
                await asyncio.sleep(1)
                paused = True
            data = await stdin.read(min(left, 65536))
            if not data:
                stdout.channel.exit(1)
                return
            out.write(data)
            left -= len(data)
    status = await stdin.read(1)
    with open(dest + b".status", "wb") as f:
        f.write(status)
    if ctx.arg == "eof":
        stdout.channel.exit(1)
        return
    if ctx.arg == "slowack":
        await asyncio.sleep(1)
    stdout.write(b"\x01scp: disk full (test server)\n" if ctx.arg == "fail" else b"\0")
    await stdin.read()
    stdout.channel.exit(0)


SCENARIOS = {
    "slow": Scenario(sftp=Slow, doc="each SFTP/SCP read and write waits <arg> s (0.05)"),
    "readfail": Scenario(sftp=ReadFail, doc="reads reaching beyond byte <arg> fail"),
    "writefail": Scenario(sftp=WriteFail, doc="writes reaching beyond byte <arg> fail"),
    "stall": Scenario(sftp=Stall, doc="reads/writes reaching beyond byte <arg> never answer"),
    "nostat": Scenario(sftp=NoStat, doc="SFTP stat always fails"),
    "closefail": Scenario(sftp=CloseFail, doc="SFTP close reports a failure"),
    "noposixrename": Scenario(sftp=NoPosixRename, doc="no posix-rename@openssh.com"),
    "noscp": Scenario(exec_handler=_no_scp, doc="SCP commands exit 127, as without scp"),
    "scptrunc": Scenario(exec_handler=_scp_truncated, doc="SCP source: 100 of 500 bytes"),
    "scpnostatus": Scenario(exec_handler=_scp_no_status,
                            doc="SCP source: all data, no status byte"),
    "scpnegsize": Scenario(exec_handler=_scp_negative_size, doc="SCP source: size -5"),
    "scpsink": Scenario(exec_handler=_scp_sink,
                        doc="SCP sink recording the file line; arg fail/eof/slowack: the end"),
    "smallwindow": Scenario(window=16384, doc="channels get a receive window of 16 KiB"),
    "scpsinkwait": Scenario(exec_handler=_scp_sink, window=16384,
                            doc="SCP sink with a 16 KiB window that waits 1 s before "
                                "it reads the data"),
}
