"""The Python binding against the test servers."""

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


SAFE_REPLACE_KNOWN = "safe_replace" in open(os.path.join(BINDING, "..", "..", "include",
                                                        "tarnwick_sftp.h")).read()


@pytest.mark.skipif(not SAFE_REPLACE_KNOWN, reason="the library does not know safe_replace yet")
def test_safe_replace_is_on_unless_turned_off(ts, slow_source, tmp_path):
    c, name = slow_source
    local = tmp_path / "kept.bin"
    for settings, kept in [({}, True), ({"safe_replace": False}, False)]:
        local.write_bytes(b"the user's own file")
        ts.connect(host="127.0.0.1", port=int(env("TW_FAKE_PORT")), user="slow.0.05",
                   password=env("TW_FAKE_PASSWORD"), **settings)
        for _ in c.start_download(name, local):
            break
        assert local.exists() == kept and (not kept or local.read_bytes() == b"the user's own file")


def test_cancel_raises_transfer_cancelled(ts, slow_source, tmp_path):
    c, name = slow_source
    transfer = c.start_download(name, tmp_path / "part.bin")
    with pytest.raises(ts.TransferCancelledError, match="^sftp_client_download: transfer cancelled$"):
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
    packaged = target / "tarnwick_sftp" / "libtarnwick-libssh2-sftp-client-transfer.so.1"
    probe = [sys.executable, "-c", "import json, tarnwick_sftp as t; print(t.library_version())"]
    wrong = str(tmp_path / "missing.so")
    # The package's own copy comes first; a wrong explicit path without one is
    # an error that says what to do.
    for in_package, variable, loads in [(False, module, True), (True, None, True),
                                        (True, wrong, True), (False, wrong, False)]:
        if in_package:
            shutil.copy(module, packaged)
        elif packaged.exists():
            packaged.unlink()
        run_env = dict(os.environ, PYTHONPATH=str(target), TARNWICK_SFTP_LIBRARY=variable or "")
        out = subprocess.run(probe, env=run_env, capture_output=True, text=True)
        assert (out.returncode == 0, out.stdout) == (loads, "1.1.1\n" if loads else ""), out.stderr
        assert loads or "set TARNWICK_SFTP_LIBRARY" in out.stderr
