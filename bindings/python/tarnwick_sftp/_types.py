"""Typed forms of the library's JSON results."""

import dataclasses
from dataclasses import dataclass
from typing import Any, Dict, Type, TypeVar

_T = TypeVar("_T")


def _build(cls: Type[_T], record: Dict[str, Any]) -> _T:
    # Members the library may add later are ignored; missing ones keep their defaults.
    names = {f.name for f in dataclasses.fields(cls)}  # type: ignore[arg-type]
    return cls(**{k: v for k, v in record.items() if k in names})


@dataclass(frozen=True)
class Entry:
    """One file or folder of a remote or local listing, or of stat."""

    name: str = ""
    is_dir: bool = False
    size: int = 0
    mtime: int = 0
    mode: str = ""
    uid: int = 0
    gid: int = 0

    @classmethod
    def of(cls, record: Dict[str, Any]) -> "Entry":
        """The record of one entry of the library's JSON."""
        return _build(cls, record)


@dataclass(frozen=True)
class SessionInfo:
    """The open session, or the last one."""

    connected: bool = False
    host: str = ""
    port: int = 0
    user: str = ""
    banner: str = ""
    fingerprint: str = ""
    home: str = ""
    auth: str = ""

    @classmethod
    def of(cls, record: Dict[str, Any]) -> "SessionInfo":
        """The record of the library's session description."""
        return _build(cls, record)


@dataclass(frozen=True)
class Progress:
    """The record of a transfer: while it runs, or once it ended."""

    active: bool = False
    direction: str = ""
    name: str = ""
    transferred: int = 0
    total: int = 0
    percent: float = 0.0
    bytes_per_sec: int = 0
    elapsed_ms: int = 0
    cancelled: bool = False
    finished: bool = False
    error: str = ""

    @classmethod
    def of(cls, record: Dict[str, Any]) -> "Progress":
        """The record of the library's progress JSON."""
        return _build(cls, record)


@dataclass(frozen=True)
class LogLine:
    """One line of the activity log; ts_ms is milliseconds since the Unix epoch."""

    ts_ms: int = 0
    line: str = ""

    @classmethod
    def of(cls, record: Dict[str, Any]) -> "LogLine":
        """The record of one line of the library's log JSON."""
        return _build(cls, record)
