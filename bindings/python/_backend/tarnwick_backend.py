"""A build backend of the binding's own (PEP 517), so that `pip install bindings/python`
needs nothing from a package index: the wheel is a zip of the package's files with its
metadata, which the standard library writes.

When the package folder holds the native module (scripts/wheel.sh puts it there), the
wheel carries it and is tagged for that platform (linux_x86_64, win_amd64); otherwise it
is a pure-Python wheel that finds the module elsewhere at run time."""

import base64
import hashlib
import io
import os
import sysconfig
import tarfile
import zipfile

NAME = "tarnwick_sftp"
VERSION = "1.1.1"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
METADATA = """Metadata-Version: 2.1
Name: tarnwick-sftp
Version: {v}
Summary: Python binding (ctypes) of tarnwick-libssh2-sftp-client-transfer
Requires-Python: >=3.7
""".format(v=VERSION)
WHEEL = """Wheel-Version: 1.0
Generator: tarnwick_backend
Root-Is-Purelib: {purelib}
Tag: py3-none-{platform}
"""
NATIVE = ("libtarnwick-libssh2-sftp-client-transfer.so", "tarnwick-libssh2-sftp-client-transfer.dll")


def _package_files():
    pkg = os.path.join(ROOT, NAME)
    wanted = lambda f: f.endswith(".py") or f == "py.typed" or f in NATIVE
    return sorted(os.path.join(NAME, f) for f in os.listdir(pkg) if wanted(f))


def _platform_tag():
    """The wheel's platform: that of the native module it carries, or "any"."""
    names = set(os.listdir(os.path.join(ROOT, NAME)))
    if NATIVE[1] in names:
        return "win_amd64"
    if NATIVE[0] in names:
        return sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "any"


def _digest(data):
    raw = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(raw).rstrip(b"=").decode()


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    dist_info = "%s-%s.dist-info" % (NAME, VERSION)
    platform = _platform_tag()
    wheel_name = "%s-%s-py3-none-%s.whl" % (NAME, VERSION, platform)
    wheel = WHEEL.format(purelib="true" if platform == "any" else "false", platform=platform)
    files = [(f, open(os.path.join(ROOT, f), "rb").read()) for f in _package_files()]
    files += [(dist_info + "/METADATA", METADATA.encode()), (dist_info + "/WHEEL", wheel.encode())]
    record = "".join("%s,%s,%d\n" % (n, _digest(d), len(d)) for n, d in files)
    record += dist_info + "/RECORD,,\n"
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w",
                         zipfile.ZIP_DEFLATED) as z:
        for name, data in files + [(dist_info + "/RECORD", record.encode())]:
            z.writestr(name, data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, VERSION)
    name = base + ".tar.gz"
    members = _package_files() + ["pyproject.toml", "_backend/tarnwick_backend.py"]
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as t:
        for m in members:
            t.add(os.path.join(ROOT, m), arcname=base + "/" + m)
        info = tarfile.TarInfo(base + "/PKG-INFO")
        data = METADATA.encode()
        info.size = len(data)
        t.addfile(info, io.BytesIO(data))
    return name
