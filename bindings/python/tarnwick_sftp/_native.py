"""Loading of the native module and the ctypes signature of each of its 23 exports.

The module is looked for, in order: at the path in the environment variable
TARNWICK_SFTP_LIBRARY; next to this package; then by the platform's usual
library search (ctypes.util.find_library, then the plain file name, which the
dynamic loader resolves through its own path).
"""

import ctypes
import ctypes.util
import os
import sys

ENV_VAR = "TARNWICK_SFTP_LIBRARY"
BASE_NAME = "tarnwick-libssh2-sftp-client-transfer"


def _file_names():
    if sys.platform == "win32":
        return [BASE_NAME + ".dll", "lib" + BASE_NAME + ".dll"]
    if sys.platform == "darwin":
        return ["lib" + BASE_NAME + ".dylib"]
    return ["lib" + BASE_NAME + ".so"]


def _candidates():
    if os.environ.get(ENV_VAR):
        # An explicit choice is final: a wrong path fails instead of silently
        # loading some other copy.
        return [os.environ[ENV_VAR]]
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, n) for n in _file_names() if os.path.exists(os.path.join(here, n))]
    by_search = ctypes.util.find_library(BASE_NAME)
    if by_search:
        found.append(by_search)
    return found + _file_names()


def _open(path):
    # The exports use the platform's standard calling convention: __stdcall on
    # Windows (WinDLL), the C convention elsewhere.
    loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL
    return loader(path)


def load():
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


def _declare(lib):
    for name, (restype, argtypes) in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
