"""Remote file system scenarios for fake_sshd.py: listings with crafted names and attributes,
listings that fail part-way or overflow the client's text, odd canonical paths, and a SETSTAT
echo that shows the permissions word exactly as it arrived.

Every directory of the listing scenarios holds the same entries whatever path is asked for;
their stat answers for a path by its last component.
"""

import asyncssh
from asyncssh.constants import FILEXFER_ATTR_PERMISSIONS, FXP_READDIR, FXP_SETSTAT
from asyncssh.sftp import SFTPServerHandler

from fake_sshd import RootedSFTPServer, Scenario

S_IFDIR, S_IFREG, S_IFLNK = 0o040000, 0o100000, 0o120000
S_IFSOCK, S_IFCHR, S_IFBLK = 0o140000, 0o020000, 0o060000
MTIME = 1700000000


def attrs(mode=None, size=None, uid=None, gid=None, mtime=None):
    """Attributes with exactly the given fields present (the others are not sent)."""
    return asyncssh.SFTPAttrs(permissions=mode, size=size, uid=uid, gid=gid,
                              atime=mtime, mtime=mtime)


def plain(name, mode=S_IFREG | 0o644):
    # A short long-name keeps packets of many long names within libssh2's 256 KiB limit.
    return asyncssh.SFTPName(name, b"-", attrs(mode, 1, 1000, 1000, MTIME))


class Listing(RootedSFTPServer):
    """Lists ENTRIES (a list of SFTPName) for every directory; stat finds them by name."""

    ENTRIES = []

    def listdir(self, path):
        return list(self.ENTRIES)

    def stat(self, path):
        base = path.rstrip(b"/").rsplit(b"/", 1)[-1]
        for entry in self.ENTRIES:
            if entry.filename == base:
                return entry.attrs
        raise asyncssh.SFTPNoSuchFile("no such entry in this scenario")


class DotsOnly(Listing):
    ENTRIES = [asyncssh.SFTPName(b".", b"", attrs(S_IFDIR | 0o755, 4096, 0, 0, MTIME)),
               asyncssh.SFTPName(b"..", b"", attrs(S_IFDIR | 0o755, 4096, 0, 0, MTIME))]


class Empty(Listing):
    ENTRIES = []


class OddNames(Listing):
    """Names that need escaping: control bytes, quote and backslash, invalid and valid UTF-8,
    and the longest name libssh2 takes (1022 bytes)."""

    ENTRIES = [plain(b"ctl\x01\x1b\x7f\t\n\"\\end"),
               plain(b"caf\xe9"),
               plain(b"ok\xc3\xa9"),
               plain(b".hidden"),
               plain(b"L" * 1022)]


class Unsafe(Listing):
    """A folder "." whose entries try to lead a recursive download out of its target."""

    ENTRIES = [asyncssh.SFTPName(b".", b"", attrs(S_IFDIR | 0o755, 4096, 0, 0, MTIME)),
               plain(b"../escaped"), plain(b"a/b"), plain(b"..", S_IFDIR | 0o755)]


class LongName(Listing):
    """Two names, one of <arg> bytes (default 1023), one more: libssh2 refuses the long one."""

    def listdir(self, path):
        long = b"N" * self.ctx.arg_int(1023)
        return [plain(b"a"), plain(b"b"), plain(long), plain(b"c")]


class Modes(Listing):
    """One entry per permission word worth showing, and ids and times at their limits."""

    ENTRIES = [
        asyncssh.SFTPName(b"noattrs", b"", attrs()),
        asyncssh.SFTPName(b"bigids", b"",
                          attrs(S_IFREG | 0o600, 5 << 30, 4294967294, 4294967295, 4294967295)),
        plain(b"dir755", S_IFDIR | 0o755),
        plain(b"file644", S_IFREG | 0o644),
        plain(b"link777", S_IFLNK | 0o777),
        plain(b"suid755", S_IFREG | 0o4755),
        plain(b"sgid755", S_IFREG | 0o2755),
        plain(b"sticky1777", S_IFDIR | 0o1777),
        plain(b"sock755", S_IFSOCK | 0o755),
        plain(b"chr666", S_IFCHR | 0o666),
        plain(b"blk660", S_IFBLK | 0o660),
        # 0160000 sets both bits of the link type: the type letter tests only those two.
        plain(b"type160644", 0o160644),
    ]


class ReadDirFail(Listing):
    """200 entries, but the second READDIR request (after the first 128 names) fails."""

    ENTRIES = [plain(b"entry%03d" % i) for i in range(200)]

    def __init__(self, chan, ctx):
        super().__init__(chan, ctx)
        self.readdirs = 0

    async def on_readdir(self, handler, packet, original):
        self.readdirs += 1
        if self.readdirs >= 2:
            raise asyncssh.SFTPFailure("directory read failed (test server)")
        return await original(handler, packet)


class Overflow(Listing):
    """17,000 names of 900 bytes (more than the client's 16 MiB text holds), then short
    names that still fit in the room the long ones leave."""

    ENTRIES = ([plain(b"%05d" % i + b"x" * 895) for i in range(17000)] +
               [plain(b"short%d" % i) for i in range(3)])


class NoPosixRename(RootedSFTPServer):
    """Lists posix-rename@openssh.com (asyncssh always does) but refuses it."""

    def posix_rename(self, oldpath, newpath):
        raise asyncssh.SFTPOpUnsupported("posix-rename refused by test server")


class Realpath(RootedSFTPServer):
    """Canonical paths by request: "/len/<n>" answers "/" followed by n - 1 letters, "/empty"
    answers an empty name; everything else as usual."""

    def realpath(self, path):
        if path.startswith(b"/len/"):
            return b"/" + b"r" * (int(path[5:]) - 1)
        if path == b"/empty":
            return b""
        return super().realpath(path)


class SetstatEcho(RootedSFTPServer):
    """Keeps the raw 32-bit permissions word of each SETSTAT (asyncssh's own decoding keeps only
    16 bits); stat answers it as both the permissions and the size, so a test can read every
    bit that arrived. A SETSTAT carrying any attribute but the permissions fails."""

    def __init__(self, chan, ctx):
        super().__init__(chan, ctx)
        self.received = {}

    async def on_setstat(self, handler, packet, original):
        path = packet.get_string()
        if packet.get_uint32() != FILEXFER_ATTR_PERMISSIONS:
            raise asyncssh.SFTPFailure("only the permissions were expected")
        self.received[path] = packet.get_uint32()
        packet.check_end()

    def stat(self, path):
        if path not in self.received:
            raise asyncssh.SFTPNoSuchFile("no SETSTAT seen for this path")
        word = self.received[path]
        return asyncssh.SFTPAttrs(permissions=word, size=word)


def _route(pkttype, hook):
    """Hands requests of one packet type to the coroutine method `hook` of the scenario SFTP
    servers that define it, called as hook(handler, packet, original); servers without it are
    served by asyncssh as usual. asyncssh offers no per-server way to shape these replies."""
    original = SFTPServerHandler._packet_handlers[pkttype]

    async def handler(sftp_handler, packet):
        method = getattr(sftp_handler._server, hook, None)
        if method is None:
            return await original(sftp_handler, packet)
        return await method(sftp_handler, packet, original)

    SFTPServerHandler._packet_handlers[pkttype] = handler


_route(FXP_READDIR, "on_readdir")
_route(FXP_SETSTAT, "on_setstat")


SCENARIOS = {
    "fsdotsonly": Scenario(sftp=DotsOnly, doc='directories hold only "." and ".."'),
    "fsemptydir": Scenario(sftp=Empty, doc="directories send no entry at all"),
    "fsoddnames": Scenario(sftp=OddNames, doc="names with control bytes, bad UTF-8, 1022 bytes"),
    "fsunsafe": Scenario(sftp=Unsafe, doc='names "../escaped" and "a/b" in the folder "."'),
    "fslongname": Scenario(sftp=LongName, doc="a, b, a name of <arg> (1023) bytes, c"),
    "fsmodes": Scenario(sftp=Modes, doc="permission words, missing attributes, ids at 2^32-2"),
    "fsreaddirfail": Scenario(sftp=ReadDirFail, doc="200 entries; the second READDIR fails"),
    "fsoverflow": Scenario(sftp=Overflow, doc="17,000 x 900-byte names, then 3 short ones"),
    "fssetstat": Scenario(sftp=SetstatEcho, doc="stat echoes the last SETSTAT permissions"),
    "fsnoposixrename": Scenario(sftp=NoPosixRename, doc="posix-rename refused; v3 rename"),
    "fsrealpath": Scenario(sftp=Realpath, doc='realpath "/len/<n>" and "/empty" misbehave'),
}
