"""A build backend of the binding's own (PEP 517), so that `pip install bindings/python`
needs nothing from a package index: the wheel is a zip of the package's .py files with
its metadata, which the standard library writes."""

import base64
import hashlib
import io
import os
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
Root-Is-Purelib: true
Tag: py3-none-any
"""


def _package_files():
    pkg = os.path.join(ROOT, NAME)
    return sorted(os.path.join(NAME, f) for f in os.listdir(pkg) if f.endswith(".py"))


def _digest(data):
    raw = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(raw).rstrip(b"=").decode()


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    dist_info = "%s-%s.dist-info" % (NAME, VERSION)
    wheel_name = "%s-%s-py3-none-any.whl" % (NAME, VERSION)
    files = [(f, open(os.path.join(ROOT, f), "rb").read()) for f in _package_files()]
    files += [(dist_info + "/METADATA", METADATA.encode()), (dist_info + "/WHEEL", WHEEL.encode())]
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
