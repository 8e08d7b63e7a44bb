"""The Python binding against the test servers."""

import json
import os
import shutil
import subprocess
import sys
import threading

import pytest

from conftest import env, openssh_settings

HERE = os.path.dirname(os.path.abspath(__file__))
BINDING = os.path.dirname(HERE)


def test_session_and_remote_file_system(ts, client, remote_dir, tmp_path):
    info = client.info()
    assert isinstance(info, ts.SessionInfo)
    assert (info.connected, info.auth, info.port) == (True, "publickey", int(env("TW_SSHD_PORT")))
    assert len(info.fingerprint.split(":")) == 20 and client.connected
    d = remote_dir + "/d"
    client.mkdir(d)
    src = tmp_path / "f.bin"
    src.write_bytes(b"x" * 1000)
    client.upload(src, d + "/f.bin")
    client.chmod(d + "/f.bin", 0o600)
    client.rename(d + "/f.bin", d + "/g.bin")
    entry = client.stat(d + "/g.bin")
    assert (entry.name, entry.size, entry.mode, entry.is_dir) == (d + "/g.bin", 1000, "-rw-------", False)
    names = {e.name: e for e in client.list_dir(d)}
    assert set(names) == {"..", "g.bin"} and names[".."].is_dir
    assert client.realpath(d + "/..") == remote_dir
    client.delete(d + "/g.bin")
    client.rmdir(d)
    lines = [entry.line for entry in ts.log()]
    assert "MKDIR " + d in lines and "RMDIR " + d in lines
    assert all(isinstance(e, ts.LogLine) and e.ts_ms > 0 for e in ts.log())
    local = {e.name for e in ts.list_local(tmp_path)}
    assert local == {"..", "f.bin"}
    assert ts.library_version() == "1.1.1"


def test_password_login_escapes_the_configuration(ts):
    # The test password holds a double quote and a backslash.
    settings = openssh_settings(password=env("TW_SSH_PASSWORD"))
    del settings["private_key"]
    with ts.connect(**settings) as c:
        assert c.info().auth == "password"
    assert not c.connected


def test_failures_raise_the_last_error_text(ts, client, remote_dir):
    with pytest.raises(ts.SftpError) as e:
        client.stat(remote_dir + "/none")
    assert (e.value.function, e.value.message) == ("sftp_client_stat",
                                                  "cannot stat '%s/none'" % remote_dir)
    with pytest.raises(ts.SftpError, match="cannot open remote directory"):
        client.list_dir(remote_dir + "/none")
    with pytest.raises(ts.SftpError, match="cannot list local folder"):
        ts.list_local("/no/such/folder")
    with pytest.raises(ts.SftpError, match="cannot open remote file"):
        client.download(remote_dir + "/none", remote_dir + "/local")
    port = env("TW_CLOSED_PORT")
    with pytest.raises(ts.SftpError, match="cannot connect to 127.0.0.1:%s" % port):
        ts.connect(host="127.0.0.1", port=int(port), user="u", password="p")
    with pytest.raises(ts.SftpError, match="^sftp_client_list_dir: not connected$"):
        client.list_dir(".")


@pytest.mark.parametrize("scp", [False, True], ids=["sftp", "scp"])
def test_transfers_yield_progress(ts, client, remote_dir, tmp_path, scp):
    size = 24 << 20
    src = tmp_path / "src.bin"
    src.write_bytes(os.urandom(1 << 20) * 24)
    transfer = client.start_upload(src, remote_dir + "/up.bin", scp=scp, mode=0o640)
    transfer.interval = 0.01
    records = list(transfer)
    assert all(isinstance(r, ts.Progress) for r in records)
    running, final = records[:-1], records[-1]
    assert running and all(r.active and r.direction == "upload" for r in running)
    assert [r.transferred for r in running] == sorted(r.transferred for r in running)
    assert (final.finished, final.transferred, final.total, final.error) == (True, size, size, "")
    back = tmp_path / "back.bin"
    final = client.download(remote_dir + "/up.bin", back, scp=scp)
    assert final.direction == "download" and final.transferred == size
    assert back.read_bytes() == src.read_bytes()
    if scp:
        assert client.stat(remote_dir + "/up.bin").mode == "-rw-r-----"


@pytest.fixture
def slow_source(ts, tmp_path):
    """A 4 MiB file on the programmable server, which serves it at about 0.6 MiB/s."""
    name = "py-cancel.%d.bin" % os.getpid()
    path = os.path.join(env("TW_FAKE_ROOT"), name)
    with open(path, "wb") as f:
        f.write(os.urandom(4 << 20))
    with ts.connect(host="127.0.0.1", port=int(env("TW_FAKE_PORT")), user="slow.0.05",
                    password=env("TW_FAKE_PASSWORD")) as c:
        yield c, name
    os.remove(path)


def test_leaving_the_loop_cancels(ts, slow_source, tmp_path):
    c, name = slow_source
    local = tmp_path / "part.bin"
    transfer = c.start_download(name, local)
    for record in transfer:
        assert record.active
        break
    assert not transfer.running and not local.exists()
    assert c.progress().cancelled
    assert "CANCEL requested" in [e.line for e in ts.log()]


def test_cancel_raises_transfer_cancelled(ts, slow_source, tmp_path):
    c, name = slow_source
    transfer = c.start_download(name, tmp_path / "part.bin")
    with pytest.raises(ts.SftpError, match="^sftp_client_download: transfer cancelled$"):
        for record in transfer:
            threading.Thread(target=transfer.cancel).start()
    assert not (tmp_path / "part.bin").exists()


def test_threads_never_read_a_torn_text(ts, client, remote_dir, tmp_path):
    # Texts of different lengths written into the same buffers by several
    # threads: each one read must still be whole JSON.
    for i in range(300):
        (tmp_path / ("file-with-a-long-name-%04d" % i)).touch()
    calls = [lambda: ts.list_local(tmp_path), lambda: ts.list_local(remote_dir),
             lambda: client.list_dir(remote_dir), lambda: ts.log(),
             lambda: client.stat(remote_dir), lambda: client.info(), lambda: client.progress()]
    errors = []

    def hammer(k):
        try:
            for n in range(150):
                calls[(k + n) % len(calls)]()
        except (ValueError, ts.SftpError) as e:
            errors.append(e)

    threads = [threading.Thread(target=hammer, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_pip_install_works_offline_and_finds_the_module(tmp_path):
    target = tmp_path / "site"
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-index",
                    "--no-cache-dir", "--target", str(target), BINDING], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    module = os.environ["TARNWICK_SFTP_LIBRARY"]
    probe = [sys.executable, "-c", "import json, tarnwick_sftp as t; print(t.library_version())"]
    run_env = dict(os.environ, PYTHONPATH=str(target))
    out = subprocess.run(probe, env=run_env, capture_output=True, text=True, check=True)
    assert out.stdout == "1.1.1\n"
    # Without the variable, the module is found next to the package.
    del run_env["TARNWICK_SFTP_LIBRARY"]
    shutil.copy(module, target / "tarnwick_sftp" / "libtarnwick-libssh2-sftp-client-transfer.so")
    out = subprocess.run(probe, env=run_env, capture_output=True, text=True, check=True)
    assert out.stdout == "1.1.1\n"
    # A wrong explicit path is an error that says what to do.
    run_env["TARNWICK_SFTP_LIBRARY"] = str(tmp_path / "missing.so")
    out = subprocess.run(probe, env=run_env, capture_output=True, text=True)
    assert out.returncode != 0 and "set TARNWICK_SFTP_LIBRARY" in out.stderr
