"""Python binding of tarnwick-libssh2-sftp-client-transfer, pure Python over ctypes.

    import tarnwick_sftp as ts
    with ts.connect(host="example.org", user="me", private_key="/home/me/.ssh/id_ed25519") as c:
        for e in c.list_dir("."):
            print(e.mode, e.size, e.name)
        for p in c.start_download("big.iso", "big.iso"):
            print("%5.1f%% %d B/s" % (p.percent, p.bytes_per_sec))

The library holds one session for the whole process; a Client is a view of it.
A failure raises SftpError, or one of its kinds (AuthenticationError,
HostKeyMismatchError, NotConnectedError and its ConnectionLostError,
TransferCancelledError), carrying the library's message of that very call,
whatever other threads do meanwhile. Transfers run one at a time; a call that
may fail waits while a transfer runs (the library's remote calls wait for it
in any case), while progress, info, log and cancel never wait.

Remote paths are passed as UTF-8, local paths in the platform's narrow encoding
(the ANSI code page on Windows); bytes pass through unchanged.
"""

import json
import os
import sys
from typing import Any, List, Optional, Union

from . import _calls
from ._calls import INFO_AND_PROGRESS, LIST_AND_LOG, REALPATH, STAT_AND_LOCAL
from ._errors import (AuthenticationError, ConnectionLostError, HostKeyMismatchError,
                      NotConnectedError, SftpError, TransferCancelledError)
from ._transfer import Transfer, current
from ._types import Entry, LogLine, Progress, SessionInfo

__all__ = ["Client", "Entry", "LogLine", "Progress", "SessionInfo", "Transfer", "SftpError",
           "AuthenticationError", "HostKeyMismatchError", "NotConnectedError",
           "ConnectionLostError", "TransferCancelledError",
           "connect", "list_local", "library_version", "log", "clear_log"]
__version__ = "1.1.1"

Path = Union[str, bytes, "os.PathLike[str]"]


def _remote(path: Path) -> bytes:
    if isinstance(path, bytes):
        return path
    return os.fspath(path).encode("utf-8", "surrogateescape")


def _local(path: Path) -> bytes:
    if isinstance(path, bytes):
        return path
    path = os.fspath(path)
    return path.encode("mbcs") if sys.platform == "win32" else os.fsencode(path)


def library_version() -> str:
    """The library's version text, "1.1.1"."""
    return str(_calls.lib.sftp_client_version().decode())


def list_local(path: Path = ".") -> List[Entry]:
    """Lists a local folder ("" lists the drives, "/" on POSIX) as Entry records."""
    records = _calls.parsed(STAT_AND_LOCAL, "sftp_client_list_local", _local(path))
    return [Entry.of(r) for r in records]


def log() -> List[LogLine]:
    """The activity log, oldest first, as LogLine records."""
    records = _calls.parsed(LIST_AND_LOG, "sftp_client_get_log", checked=False)
    return [LogLine.of(r) for r in records]


def clear_log() -> None:
    """Empties the activity log."""
    _calls.lib.sftp_client_clear_log()


def connect(host: str, user: str, password: Optional[str] = None,
            private_key: Optional[str] = None, passphrase: Optional[str] = None,
            port: Optional[int] = None, timeout_ms: Optional[int] = None,
            host_fingerprint: Optional[str] = None, safe_replace: bool = True,
            **more: Any) -> "Client":
    """Opens the process's session (replacing any open one) and returns a Client.

    Settings are those of sftp_client_connect; more holds any other setting the
    library accepts. safe_replace (on by default here, unlike the library)
    makes a transfer write a temporary file and rename it over the destination
    once complete, so that a failed or cancelled transfer leaves an existing
    file as it was; safe_replace=False writes in place. A Client used in a
    with block disconnects at its end. Raises AuthenticationError,
    HostKeyMismatchError or SftpError.
    """
    config = {"host": host, "user": user, "password": password, "private_key": private_key,
              "passphrase": passphrase, "port": port, "timeout_ms": timeout_ms,
              "host_fingerprint": host_fingerprint, "safe_replace": bool(safe_replace), **more}
    text = json.dumps({k: v for k, v in config.items() if v is not None})
    _calls.status("sftp_client_connect", text.encode("utf-8"))
    return Client()


class Client:
    """The library's one session. Methods raise SftpError, or one of its kinds, on failure."""

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.disconnect()

    @staticmethod
    def disconnect() -> None:
        """Closes the session, after the running transfer and any queued one end."""
        with _calls.CALL:
            _calls.lib.sftp_client_disconnect()

    @property
    def connected(self) -> bool:
        """True while the session is open (never waits)."""
        return _calls.is_connected()

    @staticmethod
    def info() -> SessionInfo:
        """The session description as a SessionInfo (never waits)."""
        return SessionInfo.of(_calls.parsed(INFO_AND_PROGRESS, "sftp_client_session_info",
                                            checked=False))

    @staticmethod
    def list_dir(path: Path = ".") -> List[Entry]:
        """Lists a remote directory as Entry records ("." left out)."""
        records = _calls.parsed(LIST_AND_LOG, "sftp_client_list_dir", _remote(path))
        return [Entry.of(r) for r in records]

    @staticmethod
    def stat(path: Path) -> Entry:
        """Describes one remote path, following links; the Entry is named by the whole path."""
        return Entry.of(_calls.parsed(STAT_AND_LOCAL, "sftp_client_stat", _remote(path)))

    @staticmethod
    def realpath(path: Path = ".") -> str:
        """The server's canonical absolute form of a remote path."""
        return _calls.text(REALPATH, "sftp_client_realpath", _remote(path))

    @staticmethod
    def mkdir(path: Path) -> None:
        """Creates a remote directory (mode 0755)."""
        _calls.status("sftp_client_mkdir", _remote(path))

    @staticmethod
    def rmdir(path: Path) -> None:
        """Removes an empty remote directory."""
        _calls.status("sftp_client_rmdir", _remote(path))

    @staticmethod
    def delete(path: Path) -> None:
        """Deletes a remote file."""
        _calls.status("sftp_client_delete", _remote(path))

    @staticmethod
    def rename(source: Path, destination: Path) -> None:
        """Renames a remote path."""
        _calls.status("sftp_client_rename", _remote(source), _remote(destination))

    @staticmethod
    def chmod(path: Path, mode: int) -> None:
        """Sets the permission bits, for example chmod("f", 0o644)."""
        _calls.status("sftp_client_chmod", _remote(path), int(mode))

    @staticmethod
    def progress() -> Progress:
        """The library's record of the running or last transfer, whichever started it."""
        return _calls.progress()

    @staticmethod
    def cancel() -> None:
        """Cancels the transfer that runs now (not those waiting for their turn)."""
        running = current()
        if running is not None:
            running.cancel()
        else:
            _calls.lib.sftp_transfer_cancel()

    def download(self, remote: Path, local: Path, scp: bool = False) -> Progress:
        """Copies a remote file to a local file, blocking; returns the final Progress.

        Ctrl-C cancels the transfer, waits for its end, then propagates.
        """
        return self.start_download(remote, local, scp).wait()

    def upload(self, local: Path, remote: Path, scp: bool = False, mode: int = 0o644) -> Progress:
        """Copies a local file to a remote file, blocking; returns the final Progress.

        mode is the SCP permission bits. Ctrl-C cancels as for download().
        """
        return self.start_upload(local, remote, scp, mode).wait()

    @staticmethod
    def start_download(remote: Path, local: Path, scp: bool = False) -> Transfer:
        """Starts a download on a thread; iterate the Transfer for its Progress records."""
        fn = "scp_client_download" if scp else "sftp_client_download"
        return Transfer(fn, (_remote(remote), _local(local)))

    @staticmethod
    def start_upload(local: Path, remote: Path, scp: bool = False, mode: int = 0o644) -> Transfer:
        """Starts an upload on a thread (mode: the SCP permission bits)."""
        if scp:
            return Transfer("scp_client_upload", (_local(local), _remote(remote), int(mode)))
        return Transfer("sftp_client_upload", (_local(local), _remote(remote)))
