"""How the binding calls the library from many threads.

The library keeps one last-error text for the whole process, cleared when a
call begins and written when it fails. CALL is held by every call that
touches it, from its start to the read of its message, so that an exception
always carries its own call's message; transfers hold it too, which also
makes them run one at a time. The progress record, the session description,
the log and cancel never touch that text and never take CALL.

Each result text lives in a buffer of the library that several functions
share; the lock named after them is held while one of them runs (ctypes
copies the text before the call returns). Locks are taken in the order
CALL, then TURN, then a buffer's lock.
"""

import json
import threading
from typing import Any

from . import _native
from ._errors import error_for
from ._types import Progress

lib = _native.load()

CALL = threading.Lock()
# Guards which Transfer is the library's running one (see _transfer.py).
TURN = threading.Lock()
LIST_AND_LOG = threading.Lock()
STAT_AND_LOCAL = threading.Lock()
INFO_AND_PROGRESS = threading.Lock()
REALPATH = threading.Lock()


def last_error() -> str:
    """The library's last-error text; call it with CALL held."""
    return lib.sftp_client_last_error().decode("utf-8", "replace")


def is_connected() -> bool:
    """Whether a session is open (never waits)."""
    return bool(lib.sftp_client_is_connected() == 1)


def fail(function: str, was_connected: bool) -> Exception:
    """The exception of the call that just failed; call it with CALL held."""
    lost = was_connected and not is_connected()
    return error_for(function, last_error(), lost)


def status(function: str, *args: Any) -> None:
    """Calls an export that returns a status; raises on failure."""
    with CALL:
        was_connected = is_connected()
        if getattr(lib, function)(*args) != 0:
            raise fail(function, was_connected)


def text(buffer_lock: Any, function: str, *args: Any, checked: bool = True) -> str:
    """Calls an export that returns a result text, and returns the text.

    With checked, a failure (a last-error text left) raises. JSON texts are
    always UTF-8; a remote path (realpath) may hold other bytes, which
    surrogateescape keeps, so that the path can be passed back unchanged.
    """
    if not checked:
        with buffer_lock:
            raw = getattr(lib, function)(*args)
        return str(raw.decode("utf-8", "surrogateescape"))
    with CALL:
        was_connected = is_connected()
        with buffer_lock:
            raw = getattr(lib, function)(*args)
        if last_error():
            raise fail(function, was_connected)
    return str(raw.decode("utf-8", "surrogateescape"))


def parsed(buffer_lock: Any, function: str, *args: Any, checked: bool = True) -> Any:
    """As text(), parsed as JSON."""
    return json.loads(text(buffer_lock, function, *args, checked=checked))


def progress() -> Progress:
    """The library's record of the running or last transfer."""
    return Progress.of(parsed(INFO_AND_PROGRESS, "sftp_transfer_progress", checked=False))
