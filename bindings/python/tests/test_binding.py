"""The Python binding against the test servers."""

import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

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
    assert (type(e.value), e.value.function, e.value.message) == (
        ts.SftpError, "sftp_client_stat", "cannot stat '%s/none'" % remote_dir)
    with pytest.raises(ts.SftpError, match="cannot open remote directory"):
        client.list_dir(remote_dir + "/none")
    with pytest.raises(ts.SftpError, match="cannot list local folder"):
        ts.list_local("/no/such/folder")
    with pytest.raises(ts.SftpError, match="cannot open remote file"):
        client.download(remote_dir + "/none", remote_dir + "/local")
    port = env("TW_CLOSED_PORT")
    with pytest.raises(ts.SftpError, match="cannot connect to 127.0.0.1:%s" % port) as e:
        ts.connect(host="127.0.0.1", port=int(port), user="u", password="p")
    assert type(e.value) is ts.SftpError  # the session it replaced was not lost
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
    """A 2 MiB file on the programmable server, which serves it at about 0.6 MiB/s."""
    name = "py-cancel.%d.bin" % os.getpid()
    path = os.path.join(env("TW_FAKE_ROOT"), name)
    with open(path, "wb") as f:
        f.write(os.urandom(2 << 20))
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


HEADER = os.path.join(BINDING, "..", "..", "include", "tarnwick_sftp.h")
SAFE_REPLACE_KNOWN = '"safe_replace"' in open(HEADER).read()


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
    probe = [sys.executable, "-c", "import json, tarnwick_sftp as t; print(t.library_version())"]
    run_env = dict(os.environ, PYTHONPATH=str(target))
    out = subprocess.run(probe, env=run_env, capture_output=True, text=True, check=True)
    assert out.stdout == "1.1.1\n"
    # The package's own copy comes first, even before the variable.
    run_env["TARNWICK_SFTP_LIBRARY"] = str(tmp_path / "missing.so")
    packaged = target / "tarnwick_sftp" / "libtarnwick-libssh2-sftp-client-transfer.so.1"
    shutil.copy(module, packaged)
    out = subprocess.run(probe, env=run_env, capture_output=True, text=True, check=True)
    assert out.stdout == "1.1.1\n"
    # Without it, a wrong explicit path is an error that says what to do.
    packaged.unlink()
    out = subprocess.run(probe, env=run_env, capture_output=True, text=True)
    assert out.returncode != 0 and "set TARNWICK_SFTP_LIBRARY" in out.stderr


def test_each_thread_gets_its_own_failure(ts, client, remote_dir):
    # One thread's calls succeed, the others' fail: none may see another's message.
    missing = remote_dir + "/none"
    deadline = time.monotonic() + 20

    def wrong(call, expected):
        found = []
        for _ in range(1500):
            try:
                call()
                outcome = None
            except ts.SftpError as e:
                outcome = e.message
            if outcome != expected:
                found.append(outcome)
            if time.monotonic() > deadline:
                break
        return found

    with ThreadPoolExecutor(3) as pool:
        found = [pool.submit(wrong, lambda: client.stat("."), None),
                 pool.submit(wrong, lambda: client.list_dir(missing),
                             "cannot open remote directory '%s'" % missing),
                 pool.submit(wrong, lambda: ts.list_local(missing),
                             "cannot list local folder '%s'" % missing)]
    assert [f.result() for f in found] == [[], [], []]


def test_failures_raise_by_kind(ts, tmp_path):
    cut = "py-cut.%d" % os.getpid()
    (tmp_path / "src").write_bytes(b"c" * 300000)

    def lost_connection():
        c = ts.connect(host="127.0.0.1", port=int(env("TW_FAKE_PORT")), user="cutread.65536",
                       password=env("TW_FAKE_PASSWORD"), timeout_ms=3000)
        c.upload(tmp_path / "src", cut)
        c.download(cut, tmp_path / "back")

    cases = [
        (lambda: ts.connect(**dict(openssh_settings(password="wrong"), private_key=None)),
         ts.AuthenticationError, "authentication failed for user '%s' (password)" % env("TW_SSH_USER")),
        (lambda: ts.connect(**openssh_settings(host_fingerprint=":".join(["00"] * 20))),
         ts.HostKeyMismatchError, "host key mismatch for 127.0.0.1:%s" % env("TW_SSHD_PORT")),
        (lost_connection, ts.ConnectionLostError, "remote read failed for '%s'" % cut),
        (lambda: ts.Client().mkdir("x"), ts.NotConnectedError, "not connected"),
    ]
    for call, kind, message in cases:
        with pytest.raises(ts.SftpError) as e:
            call()
        assert (type(e.value), e.value.message) == (kind, message)
    os.remove(os.path.join(env("TW_FAKE_ROOT"), cut))


def moving(transfer):
    """Waits until the transfer moves data (its own record shows it), for at most 20 s."""
    deadline = time.monotonic() + 20
    while transfer.own_record() is None:
        assert transfer.running and time.monotonic() < deadline
        time.sleep(0.01)


def test_transfers_take_turns_and_are_cancelled_on_their_own(ts, slow_source, tmp_path):
    c, name = slow_source
    (tmp_path / "up.bin").write_bytes(b"u" * 100000)
    first = c.start_download(name, tmp_path / "first")
    moving(first)
    second = c.start_upload(tmp_path / "up.bin", name + ".up")
    # The upload's loop sees only its own records, once the download has ended.
    records = list(second)
    assert not first.running and first.wait().transferred == 2 << 20
    assert {(r.direction, r.name) for r in records} == {("upload", "up.bin")}
    assert records[-1].transferred == 100000
    # Cancelling a transfer that waits for its turn ends it at once, and it alone;
    # leaving a loop cancels that loop's transfer.
    running = c.start_download(name, tmp_path / "running")
    moving(running)
    waiting = c.start_download(name, tmp_path / "waiting")
    waiting.cancel()
    with pytest.raises(ts.TransferCancelledError):
        waiting.wait()
    assert running.running
    for _ in running:
        break
    assert not running.running and c.progress().cancelled and not (tmp_path / "running").exists()
    assert not any("waiting" in e.line for e in ts.log())
    os.remove(os.path.join(env("TW_FAKE_ROOT"), name + ".up"))


def test_ctrl_c_cancels_the_blocking_transfer_then_propagates(ts, slow_source, tmp_path):
    c, name = slow_source

    def interrupt_once_moving():
        while not c.progress().active:
            time.sleep(0.01)
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt_once_moving).start()
    with pytest.raises(KeyboardInterrupt):
        c.download(name, tmp_path / "part.bin")
    assert (c.progress().active, c.progress().cancelled, (tmp_path / "part.bin").exists()) == (
        False, True, False)


def test_interpreter_exit_cancels_the_running_transfer(slow_source, tmp_path):
    local = tmp_path / "part.bin"
    name = slow_source[1]
    script = ("import os, sys, time, tarnwick_sftp as ts\n"
              "c = ts.connect(host='127.0.0.1', port=%s, user='slow.0.05', password='%s')\n"
              "t = c.start_download(%r, %r)\n"
              "while t.own_record() is None: time.sleep(0.01)\n"
              % (env("TW_FAKE_PORT"), env("TW_FAKE_PASSWORD"), name, str(local)))
    started = time.monotonic()
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stderr) == (0, "")
    # Cancelled, not run to its end: a cancelled download deletes its local file.
    assert not local.exists() and time.monotonic() - started < 3
