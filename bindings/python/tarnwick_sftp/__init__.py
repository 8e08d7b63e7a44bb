"""Python binding of tarnwick-libssh2-sftp-client-transfer, pure Python over ctypes.

    import tarnwick_sftp as ts
    with ts.connect(host="example.org", user="me", private_key="/home/me/.ssh/id_ed25519") as c:
        for e in c.list_dir("."):
            print(e.mode, e.size, e.name)
        for p in c.start_download("big.iso", "big.iso"):
            print("%5.1f%% %d B/s" % (p.percent, p.bytes_per_sec))

The library holds one session for the whole process; a Client is a view of it.
Every failure raises SftpError with the library's last-error text. Result texts
are copied and parsed at once, each under a lock of the buffer the library
writes them into, so threads never read a text another call is overwriting.
Remote paths are passed as UTF-8, local paths in the platform's narrow encoding
(the ANSI code page on Windows); bytes pass through unchanged.
"""

import json
import os
import sys
import threading
import time

from . import _native
from ._types import Entry, LogLine, Progress, SessionInfo, SftpError

__all__ = ["Client", "Entry", "LogLine", "Progress", "SessionInfo", "SftpError", "Transfer",
           "connect", "list_local", "library_version", "log", "clear_log"]
__version__ = "1.1.1"

_lib = _native.load()

# One lock per result buffer of the library, named after the functions that share it.
_LIST_AND_LOG = threading.Lock()
_STAT_AND_LOCAL = threading.Lock()
_INFO_AND_PROGRESS = threading.Lock()
_REALPATH = threading.Lock()


def _remote(path):
    if isinstance(path, bytes):
        return path
    return os.fspath(path).encode("utf-8", "surrogateescape")


def _local(path):
    if isinstance(path, bytes):
        return path
    path = os.fspath(path)
    return path.encode("mbcs") if sys.platform == "win32" else os.fsencode(path)


def _last_error():
    return _lib.sftp_client_last_error().decode("utf-8", "replace")


def _check(function, status):
    if status != 0:
        raise SftpError(function, _last_error())


def _text(lock, function, *args):
    """Calls an export that returns a result text; returns (text, last-error text).

    JSON texts are always UTF-8; a remote path (realpath) may hold other bytes,
    which surrogateescape keeps, so that the path can be passed back unchanged.
    """
    with lock:
        raw = getattr(_lib, function)(*args)
        return raw.decode("utf-8", "surrogateescape"), _last_error()


def _json(lock, function, *args):
    text, error = _text(lock, function, *args)
    return json.loads(text), error


def library_version():
    """The library's version text, "1.1.1"."""
    return _lib.sftp_client_version().decode()


def list_local(path="."):
    """Lists a local folder ("" lists the drives, "/" on POSIX) as Entry records."""
    records, error = _json(_STAT_AND_LOCAL, "sftp_client_list_local", _local(path))
    if error:
        raise SftpError("sftp_client_list_local", error)
    return [Entry.of(r) for r in records]


def log():
    """The activity log, oldest first, as LogLine records."""
    records, _ = _json(_LIST_AND_LOG, "sftp_client_get_log")
    return [LogLine.of(r) for r in records]


def clear_log():
    _lib.sftp_client_clear_log()


def connect(host, user, password=None, private_key=None, passphrase=None, port=None,
            timeout_ms=None, host_fingerprint=None, **more):
    """Opens the process's session (replacing any open one) and returns a Client.

    Settings are those of sftp_client_connect; more holds any other setting the
    library accepts. A Client used in a with block disconnects at its end.
    """
    config = {"host": host, "user": user, "password": password, "private_key": private_key,
              "passphrase": passphrase, "port": port, "timeout_ms": timeout_ms,
              "host_fingerprint": host_fingerprint, **more}
    text = json.dumps({k: v for k, v in config.items() if v is not None})
    _check("sftp_client_connect", _lib.sftp_client_connect(text.encode("utf-8")))
    return Client()


class Client:
    """The library's one session. Methods raise SftpError on failure."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.disconnect()

    @staticmethod
    def disconnect():
        _lib.sftp_client_disconnect()

    @property
    def connected(self):
        return _lib.sftp_client_is_connected() == 1

    @staticmethod
    def info():
        """The session description as a SessionInfo."""
        record, _ = _json(_INFO_AND_PROGRESS, "sftp_client_session_info")
        return SessionInfo.of(record)

    @staticmethod
    def list_dir(path="."):
        """Lists a remote directory as Entry records ("." left out)."""
        records, error = _json(_LIST_AND_LOG, "sftp_client_list_dir", _remote(path))
        if error:
            raise SftpError("sftp_client_list_dir", error)
        return [Entry.of(r) for r in records]

    @staticmethod
    def stat(path):
        record, error = _json(_STAT_AND_LOCAL, "sftp_client_stat", _remote(path))
        if error:
            raise SftpError("sftp_client_stat", error)
        return Entry.of(record)

    @staticmethod
    def realpath(path="."):
        text, error = _text(_REALPATH, "sftp_client_realpath", _remote(path))
        if error:
            raise SftpError("sftp_client_realpath", error)
        return text

    @staticmethod
    def mkdir(path):
        _check("sftp_client_mkdir", _lib.sftp_client_mkdir(_remote(path)))

    @staticmethod
    def rmdir(path):
        _check("sftp_client_rmdir", _lib.sftp_client_rmdir(_remote(path)))

    @staticmethod
    def delete(path):
        _check("sftp_client_delete", _lib.sftp_client_delete(_remote(path)))

    @staticmethod
    def rename(source, destination):
        _check("sftp_client_rename",
               _lib.sftp_client_rename(_remote(source), _remote(destination)))

    @staticmethod
    def chmod(path, mode):
        """Sets the permission bits, for example chmod("f", 0o644)."""
        _check("sftp_client_chmod", _lib.sftp_client_chmod(_remote(path), int(mode)))

    @staticmethod
    def progress():
        """The record of the running or last transfer as a Progress."""
        record, _ = _json(_INFO_AND_PROGRESS, "sftp_transfer_progress")
        return Progress.of(record)

    @staticmethod
    def cancel():
        """Asks the running transfer to stop at its next chunk."""
        _lib.sftp_transfer_cancel()

    def download(self, remote, local, scp=False):
        """Copies a remote file to a local file, blocking; returns the final Progress."""
        return self.start_download(remote, local, scp).wait()

    def upload(self, local, remote, scp=False, mode=0o644):
        """Copies a local file to a remote file, blocking; returns the final Progress."""
        return self.start_upload(local, remote, scp, mode).wait()

    @staticmethod
    def start_download(remote, local, scp=False):
        """Starts a download on a thread; iterate the Transfer for its Progress records."""
        fn = "scp_client_download" if scp else "sftp_client_download"
        return Transfer(fn, (_remote(remote), _local(local)))

    @staticmethod
    def start_upload(local, remote, scp=False, mode=0o644):
        """Starts an upload on a thread (mode: the SCP permission bits)."""
        if scp:
            return Transfer("scp_client_upload", (_local(local), _remote(remote), int(mode)))
        return Transfer("sftp_client_upload", (_local(local), _remote(remote)))


class Transfer:
    """A transfer running on a thread of its own.

    Iterating it yields a Progress record every interval seconds while the copy
    runs, then the final record; a failure then raises SftpError. Leaving the
    loop early (break, an exception, Ctrl-C) cancels the transfer and waits for
    its thread. cancel() may be called from any thread.
    """

    def __init__(self, function, args, interval=0.1):
        self.function = function
        self.interval = interval
        self._status = None
        self._error = ""
        self._thread = threading.Thread(target=self._run, args=args, daemon=True)
        self._thread.start()

    def _run(self, *args):
        self._status = getattr(_lib, self.function)(*args)
        # Read at once: a later call of any thread may clear or replace it.
        self._error = _last_error() if self._status != 0 else ""

    @staticmethod
    def cancel():
        _lib.sftp_transfer_cancel()

    @property
    def running(self):
        return self._thread.is_alive()

    def __iter__(self):
        finished = False
        try:
            while self._thread.is_alive():
                record = Client.progress()
                # The record of an earlier transfer is not this one's.
                if record.active:
                    yield record
                self._thread.join(self.interval)
            finished = True
        finally:
            if not finished:
                self.cancel()
                self._thread.join()
        yield self._result()

    def _result(self):
        record = Client.progress()
        if self._status != 0:
            raise SftpError(self.function, self._error)
        return record

    def wait(self):
        """Waits for the end; returns the final Progress or raises SftpError."""
        self._thread.join()
        return self._result()
