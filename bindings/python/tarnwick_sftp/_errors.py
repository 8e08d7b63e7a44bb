"""The exceptions of the binding: one base class, and a subclass for each kind of
failure a program may want to handle on its own. Each one keeps the library's
message unchanged."""

from typing import Tuple, Type


class SftpError(Exception):
    """A failed call: message is the library's last-error text, function the export that failed."""

    def __init__(self, function: str, message: str) -> None:
        super().__init__("%s: %s" % (function, message))
        self.function = function
        self.message = message

    def __reduce__(self) -> Tuple[Type["SftpError"], Tuple[str, str]]:
        # Rebuilt from both parts, so that an error passes between processes.
        return type(self), (self.function, self.message)


class AuthenticationError(SftpError):
    """The server refused the user's password or key."""


class HostKeyMismatchError(SftpError):
    """The server's host key is not the one given as host_fingerprint; nothing secret was sent."""


class NotConnectedError(SftpError):
    """No session is open: none was opened, it was closed, or its connection was lost."""


class ConnectionLostError(NotConnectedError):
    """The call failed because the connection did; the session is closed, connect again."""


class TransferCancelledError(SftpError):
    """The transfer was cancelled: by cancel(), by leaving its loop, by Ctrl-C, or at exit."""


# The library's messages that tell a kind, by their fixed beginning.
_BY_PREFIX = (
    ("authentication failed for user ", AuthenticationError),
    ("host key mismatch for ", HostKeyMismatchError),
)
_BY_TEXT = {"not connected": NotConnectedError, "transfer cancelled": TransferCancelledError}


def error_for(function: str, message: str, lost: bool = False) -> SftpError:
    """The exception of a failed call. lost: the session was open before the call and is not now.

    A failed connect closes the session it replaces by design, so it never
    counts as a lost connection.
    """
    kind = _BY_TEXT.get(message)
    if kind is None:
        kind = next((k for prefix, k in _BY_PREFIX if message.startswith(prefix)), SftpError)
        if kind is SftpError and lost and function != "sftp_client_connect":
            kind = ConnectionLostError
    return kind(function, message)
