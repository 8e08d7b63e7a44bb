"""The binding shared by threads: each failure carries its own message and kind,
transfers take turns and are cancelled on their own, also by Ctrl-C and at exit."""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import env, openssh_settings

HERE = os.path.dirname(os.path.abspath(__file__))


def test_each_thread_gets_its_own_failure(ts, client, remote_dir):
    # One thread's calls succeed, the others' fail: none may see another's message.
    missing = remote_dir + "/none"
    wrong = []
    deadline = time.monotonic() + 20

    def loop(call, expected):
        for _ in range(3000):
            if time.monotonic() > deadline:
                break
            try:
                call()
                outcome = None
            except ts.SftpError as e:
                outcome = e.message
            if outcome != expected:
                wrong.append(outcome)

    threads = [threading.Thread(target=loop, args=(lambda: client.stat("."), None)),
               threading.Thread(target=loop, args=(lambda: client.list_dir(missing),
                                                   "cannot open remote directory '%s'" % missing)),
               threading.Thread(target=loop, args=(lambda: ts.list_local(missing),
                                                   "cannot list local folder '%s'" % missing))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []


def test_failures_raise_by_kind(ts, tmp_path):
    fake = dict(host="127.0.0.1", port=int(env("TW_FAKE_PORT")), password=env("TW_FAKE_PASSWORD"))
    (tmp_path / "src").write_bytes(b"c" * 300000)

    def lost_connection():
        with ts.connect(user="cutread.65536", timeout_ms=3000, **fake) as c:
            c.upload(tmp_path / "src", "py-cut.%d" % os.getpid())
            c.download("py-cut.%d" % os.getpid(), tmp_path / "back")

    cases = [
        (lambda: ts.connect(**dict(openssh_settings(password="wrong"), private_key=None)),
         ts.AuthenticationError, "authentication failed for user '%s' (password)" % env("TW_SSH_USER")),
        (lambda: ts.connect(**openssh_settings(host_fingerprint=":".join(["00"] * 20))),
         ts.HostKeyMismatchError, "host key mismatch for 127.0.0.1:%s" % env("TW_SSHD_PORT")),
        (lambda: ts.Client().stat("."), ts.NotConnectedError, "not connected"),
        (lost_connection, ts.ConnectionLostError, "remote read failed for 'py-cut.%d'" % os.getpid()),
        (lambda: ts.Client().mkdir("x"), ts.NotConnectedError, "not connected"),
        (lambda: ts.connect(host="127.0.0.1", port=int(env("TW_CLOSED_PORT")), user="u"),
         ts.SftpError, "cannot connect to 127.0.0.1:%s" % env("TW_CLOSED_PORT")),
    ]
    for call, kind, message in cases:
        with pytest.raises(ts.SftpError) as e:
            call()
        assert (type(e.value), e.value.message) == (kind, message)
    os.remove(os.path.join(env("TW_FAKE_ROOT"), "py-cut.%d" % os.getpid()))


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
    assert not running.running and c.progress().cancelled
    lines = [e.line for e in ts.log()]
    assert not any("waiting" in line for line in lines) and not (tmp_path / "running").exists()
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
    record = c.progress()
    assert (record.active, record.cancelled) == (False, True)
    assert not (tmp_path / "part.bin").exists()


def test_interpreter_exit_cancels_the_running_transfer(slow_source, tmp_path):
    c, name = slow_source
    c.disconnect()
    local = tmp_path / "part.bin"
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
