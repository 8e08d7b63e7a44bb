"""Transfers on threads of their own, one at a time, each cancelled on its own.

The library runs one transfer at a time and keeps one progress record and
one cancel flag for it. A Transfer's thread holds CALL from before the call
to after the read of its message and final record, so transfers queue there.
TURN guards _state.current, the Transfer whose call is under way: only that
one reads the progress record as its own, and only that one may raise the
library's cancel flag.

The library lowers the flag when a transfer begins to move data, so a
request made while the remote file is still being opened would be lost.
Cancelling is therefore a small loop on a thread of its own, which raises the
flag once the record shows the transfer moving, and again if the record
moves on by more than two steps (a step being at most 32 KiB).
"""

import atexit
import threading
from typing import Any, Iterator, Optional, Set, Tuple

from . import _calls
from ._errors import error_for
from ._types import Progress

_STEP = 32 * 1024
_POLL = 0.02


class _State:
    current: Optional["Transfer"] = None  # guarded by TURN
    live: Set["Transfer"] = set()  # transfers not yet ended, guarded by TURN


_state = _State()


class Transfer:
    """A transfer running on a thread of its own.

    Transfers run one at a time (not always in the order they started). Iterating a
    Transfer yields its own Progress records, about every interval seconds,
    while it runs, then its final record; a failure then raises SftpError (or
    one of its kinds). Leaving the loop early (break, an exception, Ctrl-C)
    cancels this transfer only, and waits for its thread. cancel() may be
    called from any thread.
    """

    def __init__(self, function: str, args: Tuple[Any, ...], interval: float = 0.1) -> None:
        self.function = function
        self.interval = interval
        self._status: Optional[int] = None
        self._error = ""
        self._lost = False
        self._final = Progress()
        self._cancel_requested = False  # guarded by TURN
        self._canceller: Optional[threading.Thread] = None  # guarded by TURN
        # Set when the thread has left the library for good. Waits use it, in
        # short steps that let Ctrl-C in on every platform, rather than
        # Thread.join, which an interrupt may leave believing that a running
        # thread has ended (Python 3.11).
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, args=args, daemon=True,
                                        name="tarnwick-transfer")
        with _calls.TURN:
            _state.live.add(self)
        self._thread.start()

    def _run(self, *args: Any) -> None:
        try:
            if self._take_turn():
                try:
                    self._call(args)
                finally:
                    with _calls.TURN:
                        _state.current = None
                    _calls.CALL.release()
        finally:
            with _calls.TURN:
                _state.live.discard(self)
            self._done.set()

    def _take_turn(self) -> bool:
        # Waits for CALL in short steps, so that a transfer cancelled while it
        # waits ends at once. True: CALL is held and this transfer is current.
        while True:
            got = _calls.CALL.acquire(timeout=_POLL)
            with _calls.TURN:
                if self._cancel_requested:
                    if got:
                        _calls.CALL.release()
                    self._status, self._error = -1, "transfer cancelled"
                    return False
                if got:
                    _state.current = self
                    return True

    def _call(self, args: Tuple[Any, ...]) -> None:
        # CALL is held: the message and the final record are this transfer's.
        was_connected = _calls.is_connected()
        self._status = getattr(_calls.lib, self.function)(*args)
        if self._status != 0:
            self._error = _calls.last_error()
            self._lost = was_connected and not _calls.is_connected()
        self._final = _calls.progress()

    @property
    def running(self) -> bool:
        """True until the transfer has ended (it may still wait for its turn)."""
        return not self._done.is_set()

    def cancel(self) -> None:
        """Asks this transfer to stop: at once if it waits for its turn, else within 32 KiB."""
        with _calls.TURN:
            self._cancel_requested = True
            if self._canceller is not None or self._done.is_set():
                return
            self._canceller = threading.Thread(target=self._cancel_loop, daemon=True,
                                               name="tarnwick-cancel")
            self._canceller.start()

    def _cancel_loop(self) -> None:
        raised_at: Optional[int] = None
        while not self._done.is_set():
            with _calls.TURN:
                if _state.current is self:
                    record = _calls.progress()
                    if record.active and (raised_at is None
                                          or record.transferred > raised_at + 2 * _STEP):
                        _calls.lib.sftp_transfer_cancel()
                        raised_at = record.transferred
            self._done.wait(_POLL)

    def own_record(self) -> Optional[Progress]:
        """The progress record while this transfer moves data, else None."""
        with _calls.TURN:
            if _state.current is not self:
                return None
            record = _calls.progress()
        return record if record.active else None

    def __iter__(self) -> Iterator[Progress]:
        """Yields this transfer's records while it moves data, then its final one (or raises)."""
        finished = False
        try:
            while not self._done.is_set():
                record = self.own_record()
                if record is not None:
                    yield record
                self._done.wait(self.interval)
            finished = True
        finally:
            if not finished:
                self.cancel()
                self._join()
        yield self._result()

    def wait(self) -> Progress:
        """Waits for the end; returns the final Progress or raises SftpError.

        A KeyboardInterrupt meanwhile cancels the transfer, waits for its end
        (through further interrupts), then propagates.
        """
        try:
            while not self._done.wait(0.2):
                pass
        except KeyboardInterrupt:
            self.cancel()
            self._join()
            raise
        return self._result()

    def _join(self) -> None:
        # Waits to the end even through Ctrl-C: the thread is in the library,
        # which must not be left running under a host that goes on or exits.
        while not self._done.is_set():
            try:
                self._done.wait(0.2)
            except KeyboardInterrupt:
                pass

    def _result(self) -> Progress:
        if self._status != 0:
            raise error_for(self.function, self._error, self._lost)
        return self._final


def current() -> Optional[Transfer]:
    """The Transfer whose call is under way, if any."""
    with _calls.TURN:
        return _state.current


def _cancel_all_at_exit() -> None:
    # A transfer left running when the interpreter exits would use the library
    # while the process takes it down: cancel each one and wait for its end.
    with _calls.TURN:
        live = list(_state.live)
    for t in live:
        t.cancel()
    for t in live:
        t._join()


atexit.register(_cancel_all_at_exit)
