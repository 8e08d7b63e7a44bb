"""Fixtures for the binding's tests: the test servers' settings (exported by
scripts/with-servers.sh), a session on the private OpenSSH server, and a
remote scratch directory of each test's own."""

import os
import shutil

import pytest


def env(name):
    value = os.environ.get(name)
    if not value:
        pytest.fail("%s is not set: run the tests through scripts/with-servers.sh" % name)
    return value


@pytest.fixture(scope="session")
def ts():
    import tarnwick_sftp
    return tarnwick_sftp


def openssh_settings(**more):
    return dict(host="127.0.0.1", port=int(env("TW_SSHD_PORT")), user=env("TW_SSH_USER"),
                private_key=os.path.join(env("TW_KEYS_DIR"), "id_ed25519"), **more)


@pytest.fixture
def client(ts):
    with ts.connect(**openssh_settings()) as c:
        yield c


@pytest.fixture
def remote_dir(request):
    """A directory below the OpenSSH account's home, owned by that account."""
    uid = int(env("TW_SSH_UID"))
    path = os.path.join(env("TW_SSH_HOME"), "py.%s.%d" % (request.node.name, os.getpid()))
    os.mkdir(path)
    os.chown(path, uid, uid)
    yield path
    shutil.rmtree(path, ignore_errors=True)
