"""Session-level scenarios for fake_sshd.py: login, home folder and SFTP start-up."""

import asyncssh

from fake_sshd import RootedSFTPServer, Scenario


class NoRealpath(RootedSFTPServer):
    """Every SFTP realpath request fails with an SFTP failure status."""

    def realpath(self, path):
        raise asyncssh.SFTPFailure("realpath refused by test server")


class LongHome(RootedSFTPServer):
    """Every SFTP realpath request answers a path of 1100 bytes."""

    def realpath(self, path):
        return b"/" + b"a" * 1099


SCENARIOS = {
    "ok": Scenario(doc="plain working SFTP/SCP server"),
    "norealpath": Scenario(sftp=NoRealpath, doc="SFTP realpath always fails"),
    "longhome": Scenario(sftp=LongHome, doc="SFTP realpath returns '/' + 1099 x 'a'"),
    "nosftp": Scenario(allow_sftp=False, doc="SFTP subsystem refused after a good login"),
    "kbdint2": Scenario(kbdint_rounds=2, doc="keyboard-interactive only, two rounds"),
    "kbdint9": Scenario(kbdint_rounds=9, doc="keyboard-interactive only, nine rounds"),
}
