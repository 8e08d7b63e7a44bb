"""Programmable SSH/SFTP/SCP test server on python3-asyncssh (Debian 12: asyncssh 2.10).

Run:  /usr/bin/python3 -W ignore fake_sshd.py <dir>
It listens on 127.0.0.1 on a free port and prints that port as the first line of stdout.
<dir>/fakeroot is the SFTP/SCP root, <dir>/authorized_keys the accepted public keys;
the password "secret" is accepted for every user. Each user name that reaches authentication
is appended to <dir>/auth_attempts.

The user name picks the behaviour: "<scenario>" or "<scenario>.<arg>", e.g. "slowread.5"
runs scenario "slowread" with ctx.arg == "5".

Adding a scenario: create tests/servers/scenarios_<topic>.py (every scenarios_*.py module next
to this file is imported at start) holding a dict SCENARIOS mapping names to Scenario objects:

    import asyncio
    from fake_sshd import Scenario, RootedSFTPServer

    class SlowRead(RootedSFTPServer):
        async def read(self, file_obj, offset, size):
            await asyncio.sleep(self.ctx.arg_float(1.0))
            return super().read(file_obj, offset, size)

    SCENARIOS = {"slowread": Scenario(sftp=SlowRead, doc="each SFTP read waits <arg> s")}

Scenario fields (all optional):
  sftp          class called as cls(chan, ctx) that returns an asyncssh.SFTPServer; subclass
                RootedSFTPServer (chrooted to ctx.root, self.ctx available). SFTP runs as
                version 3, because libssh2 rejects the attributes of newer versions.
  allow_sftp    False refuses the "sftp" subsystem after a good login.
  allow_scp     True (default): asyncssh's own SCP server on top of the `sftp` class handles
                "scp ..." exec requests, so SCP sees the same files and faults. Other
                commands get exit status 127.
  exec_handler  callable (ctx, stdin, stdout, stderr), may be async, for every exec request
                (replaces the built-in SCP); ctx.command holds the command line. Channels are
                binary (bytes); end with stdout.channel.exit(status). An exception ends only
                this channel (exit status 1); to drop the whole connection on purpose call
                stdout.channel.get_extra_info("connection").abort().
  session       callable (ctx) returning an asyncssh.SSHServerSession, replacing everything
                above for full control of the channel.
  window        the receive window of the session's channels, in bytes (asyncssh: 2 MiB).
  kbdint_rounds a number n: no "password" method, only keyboard-interactive, which asks n
                rounds of two prompts, each to be answered with the password.
  doc           one line saying what the scenario does.
ctx (Ctx) carries: name, arg (str or None), user, root (bytes path), command, server_dir,
and helpers arg_int(default) / arg_float(default).

Notes: an unknown scenario name fails the login (and is reported on stderr). asyncssh's SCP
expects a well-behaved client: after the file data the client sends one zero byte and reads
the one-byte answer. TW_FAKE_DEBUG=1 or 2 in the environment logs asyncssh's debug output.
"""

import argparse
import asyncio
import copy
import glob
import importlib
import inspect
import logging
import os
import sys

import asyncssh
from asyncssh.public_key import get_default_public_key_algs
from asyncssh.scp import run_scp_server

# Scenario modules import this file as "fake_sshd"; when it runs as a script, point that name
# at the running module so that both share one set of classes.
if __name__ == "__main__":
    sys.modules.setdefault("fake_sshd", sys.modules["__main__"])

PASSWORD = "secret"
BANNER = 'Tarnwick"Fake\\Server'


class Scenario:
    """What the server does for one scenario name; see the module docstring."""

    def __init__(self, sftp=None, allow_sftp=True, allow_scp=True, exec_handler=None,
                 session=None, window=None, kbdint_rounds=None, doc=""):
        self.sftp = sftp or RootedSFTPServer
        self.kbdint_rounds = kbdint_rounds
        self.window = window
        self.allow_sftp = allow_sftp
        self.allow_scp = allow_scp
        self.exec_handler = exec_handler
        self.session = session
        self.doc = doc


class Ctx:
    """Per-connection facts handed to scenario code."""

    def __init__(self, name, arg, user, server_dir):
        self.name = name
        self.arg = arg
        self.user = user
        self.server_dir = server_dir
        self.root = os.path.join(server_dir, "fakeroot").encode()
        self.command = None

    def arg_int(self, default):
        return int(self.arg) if self.arg not in (None, "") else default

    def arg_float(self, default):
        return float(self.arg) if self.arg not in (None, "") else default


class RootedSFTPServer(asyncssh.SFTPServer):
    """Plain SFTP server confined to ctx.root; base class for scenario SFTP servers."""

    def __init__(self, chan, ctx):
        super().__init__(chan, chroot=ctx.root)
        self.ctx = ctx

    def map_path(self, path):
        # posixpath.normpath keeps a leading "//", which asyncssh's chroot then joins as an
        # absolute path outside the root; one leading slash keeps every path inside.
        return super().map_path(b"/" + path.lstrip(b"/"))


REGISTRY = {}


def load_scenarios():
    """Imports every scenarios_*.py next to this file and merges their SCENARIOS dicts."""
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    for path in sorted(glob.glob(os.path.join(here, "scenarios_*.py"))):
        mod = importlib.import_module(os.path.splitext(os.path.basename(path))[0])
        for name, sc in getattr(mod, "SCENARIOS", {}).items():
            if name in REGISTRY:
                raise SystemExit(f"fake_sshd: scenario {name!r} defined twice ({path})")
            REGISTRY[name] = sc


def parse_user(user):
    name, _, arg = user.partition(".")
    return name, (arg if "." in user else None)


class Session(asyncssh.stream.SSHServerStreamSession):
    """asyncssh's stream session, with SFTP refusable and exec requests sent to the scenario."""

    def __init__(self, scenario, ctx):
        self._scenario = scenario
        self._ctx = ctx
        super().__init__(self._run_exec, lambda chan: scenario.sftp(chan, ctx), sftp_version=3)

    async def _run_exec(self, stdin, stdout, stderr):
        chan = stdout.channel
        ctx = copy.copy(self._ctx)
        ctx.command = chan.get_command() or ""
        # asyncssh drops the whole connection when a session task raises, so an error here
        # only ends this channel, as a real server's failing command would.
        try:
            if self._scenario.exec_handler:
                result = self._scenario.exec_handler(ctx, stdin, stdout, stderr)
            elif self._scenario.allow_scp and ctx.command.startswith("scp "):
                sftp = self._scenario.sftp(chan, ctx)
                result = run_scp_server(sftp, ctx.command, stdin, stdout, stderr)
            else:
                stderr.write(b"fake_sshd: command not supported\n")
                chan.exit(127)
                return
            if inspect.isawaitable(result):
                await result
        except Exception as exc:  # pylint: disable=broad-except
            print(f"fake_sshd: {ctx.user}: {ctx.command!r} failed: {exc!r}", file=sys.stderr,
                  flush=True)
            try:
                chan.exit(1)
            except Exception:  # pylint: disable=broad-except
                pass

    def shell_requested(self):
        return False

    def subsystem_requested(self, subsystem):
        if subsystem == "sftp" and not self._scenario.allow_sftp:
            return False
        return super().subsystem_requested(subsystem)


class Server(asyncssh.SSHServer):
    def __init__(self, server_dir, sig_algs=None):
        self._dir = server_dir
        self._ctx = None
        self._scenario = None
        self._sig_algs = sig_algs

    def begin_auth(self, username):
        # Every user name that reached authentication, for tests that check none did.
        with open(os.path.join(self._dir, "auth_attempts"), "a") as f:
            f.write(username + "\n")
        name, arg = parse_user(username)
        self._scenario = REGISTRY.get(name)
        if self._scenario is None:
            print(f"fake_sshd: unknown scenario in user name {username!r}", file=sys.stderr)
        self._ctx = Ctx(name, arg, username, self._dir)
        keys = os.path.join(self._dir, "authorized_keys")
        if self._scenario is not None and os.path.exists(keys):
            self._conn.set_authorized_keys(keys)
        if self._scenario is not None and self._scenario.window:
            # asyncssh takes the receive window of channels opened later from here.
            self._conn._window = self._scenario.window
        return True

    def connection_made(self, conn):
        self._conn = conn
        # The server-sig-algs extension is sent before the user name is known, so the
        # listeners that send a crafted one (see main) set it per connection, here.
        if self._sig_algs is not None:
            conn._sig_algs = self._sig_algs

    def password_auth_supported(self):
        return self._scenario is None or self._scenario.kbdint_rounds is None

    def kbdint_auth_supported(self):
        return self._scenario is not None and self._scenario.kbdint_rounds is not None

    def get_kbdint_challenge(self, username, lang, submethods):
        self._rounds_left = self._scenario.kbdint_rounds
        return self._challenge()

    def _challenge(self):
        self._rounds_left -= 1
        return ("", "Round %d" % self._rounds_left, "", [("Password:", False), ("Again:", False)])

    def validate_kbdint_response(self, username, responses):
        if list(responses) != [PASSWORD, PASSWORD]:
            return False
        return self._challenge() if self._rounds_left > 0 else True

    def validate_password(self, username, password):
        return self._scenario is not None and password == PASSWORD

    def public_key_auth_supported(self):
        return True

    def session_requested(self):
        if self._scenario.session:
            return self._scenario.session(self._ctx)
        return Session(self._scenario, self._ctx)


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dir", help="test folder holding fakeroot/ and authorized_keys")
    ap.add_argument("--port", type=int, default=0)
    args = ap.parse_args()
    server_dir = os.path.abspath(args.dir)
    os.makedirs(os.path.join(server_dir, "fakeroot"), exist_ok=True)
    load_scenarios()
    # TW_FAKE_DEBUG=1 (or 2) in the environment turns on asyncssh's own logging to stderr.
    if os.environ.get("TW_FAKE_DEBUG"):
        logging.basicConfig(level=logging.DEBUG, stream=sys.stderr)
        asyncssh.set_debug_level(int(os.environ["TW_FAKE_DEBUG"]))

    host_key = asyncssh.generate_private_key("ssh-ed25519")
    # asyncssh 2.10 lists every signature algorithm twice in its default server-sig-algs; the
    # main listener sends a list without repeats.
    defaults = get_default_public_key_algs()
    sig_algs = list(dict.fromkeys(defaults))

    async def listen(port, sig_algs_sent=None):
        listener = await asyncssh.listen(
            "127.0.0.1", port, server_factory=lambda: Server(server_dir, sig_algs_sent),
            server_host_keys=[host_key], server_version=BANNER, encoding=None,
            signature_algs=[a.decode() for a in sig_algs],
            reuse_address=True)
        return listener.sockets[0].getsockname()[1]

    # The first line is the main port; the others name a listener that sends a crafted
    # server-sig-algs extension (libssh2 1.11.1 overflowed a heap buffer on both when it
    # logged in with an RSA key): asyncssh's own list, every name twice, and about 20 KB of
    # repeated rsa-sha2-512.
    port = await listen(args.port)
    print(port, flush=True)
    print("sigdup", await listen(0, list(defaults)), flush=True)
    print("siglong", await listen(0, [b"rsa-sha2-512"] * 1500 + sig_algs), flush=True)
    print(f"fake_sshd: port {port}, scenarios: {', '.join(sorted(REGISTRY))}", file=sys.stderr,
          flush=True)
    await asyncio.Event().wait()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
