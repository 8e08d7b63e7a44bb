"""Loading of the native module and the ctypes signature of each of its 23 exports.

The module is looked for, in order:
1. in this package's own folder, where a wheel carries it, under the names of
   file_names() (libtarnwick-libssh2-sftp-client-transfer.so.1 on Linux);
2. at the path in the environment variable TARNWICK_SFTP_LIBRARY, which is then
   final: a wrong path fails instead of silently loading some other copy;
3. through the platform's own library search (ctypes.util.find_library, then
   the plain file names, which the dynamic loader resolves through its path).
"""

import ctypes
import ctypes.util
import os
import sys
from typing import Any, List

ENV_VAR = "TARNWICK_SFTP_LIBRARY"
BASE_NAME = "tarnwick-libssh2-sftp-client-transfer"
HERE = os.path.dirname(os.path.abspath(__file__))


def file_names() -> List[str]:
    """The module's file names on this platform, the one named by its major version first."""
    if sys.platform == "win32":
        return [BASE_NAME + ".dll", "lib" + BASE_NAME + ".dll"]
    if sys.platform == "darwin":
        return ["lib" + BASE_NAME + ".1.dylib", "lib" + BASE_NAME + ".dylib"]
    return ["lib" + BASE_NAME + ".so.1", "lib" + BASE_NAME + ".so"]


def _candidates() -> List[str]:
    here = [os.path.join(HERE, n) for n in file_names() if os.path.exists(os.path.join(HERE, n))]
    if os.environ.get(ENV_VAR):
        return here + [os.environ[ENV_VAR]]
    by_search = ctypes.util.find_library(BASE_NAME)
    return here + ([by_search] if by_search else []) + file_names()


def _open(path: str) -> Any:
    # The exports use the platform's standard calling convention: __stdcall on
    # Windows (WinDLL), the C convention elsewhere.
    if sys.platform == "win32":
        return ctypes.WinDLL(path)  # type: ignore[attr-defined]
    return ctypes.CDLL(path)


def load() -> Any:
    """Loads the module and declares every export; raises OSError naming each place tried."""
    tried = []
    for path in _candidates():
        try:
            lib = _open(path)
        except OSError as e:
            tried.append("%s (%s)" % (path, e))
            continue
        _declare(lib)
        return lib
    raise OSError("cannot load the tarnwick-libssh2-sftp-client-transfer module; set %s to its "
                  "path. Tried: %s" % (ENV_VAR, "; ".join(tried)))


_TEXT = ctypes.c_char_p  # a library-owned result text: ctypes copies it to bytes on return
_IN = ctypes.c_char_p  # a NUL-terminated byte text passed in
_INT = ctypes.c_int

_SIGNATURES = {
    "sftp_client_version": (_TEXT, []),
    "sftp_client_last_error": (_TEXT, []),
    "sftp_client_is_connected": (_INT, []),
    "sftp_client_get_log": (_TEXT, []),
    "sftp_client_clear_log": (_INT, []),
    "sftp_client_connect": (_INT, [_IN]),
    "sftp_client_disconnect": (_INT, []),
    "sftp_client_session_info": (_TEXT, []),
    "sftp_client_list_dir": (_TEXT, [_IN]),
    "sftp_client_stat": (_TEXT, [_IN]),
    "sftp_client_realpath": (_TEXT, [_IN]),
    "sftp_client_mkdir": (_INT, [_IN]),
    "sftp_client_rmdir": (_INT, [_IN]),
    "sftp_client_delete": (_INT, [_IN]),
    "sftp_client_rename": (_INT, [_IN, _IN]),
    "sftp_client_chmod": (_INT, [_IN, _INT]),
    "sftp_transfer_progress": (_TEXT, []),
    "sftp_transfer_cancel": (_INT, []),
    "sftp_client_download": (_INT, [_IN, _IN]),
    "sftp_client_upload": (_INT, [_IN, _IN]),
    "scp_client_download": (_INT, [_IN, _IN]),
    "scp_client_upload": (_INT, [_IN, _IN, _INT]),
    "sftp_client_list_local": (_TEXT, [_IN]),
}


def _declare(lib: Any) -> None:
    for name, (restype, argtypes) in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
