"""TCP listener on 127.0.0.1 that answers every connection with a non-SSH line and closes.

Run:  python3 not_ssh.py [label]   (the label, e.g. the test folder, only marks the process;
it prints the chosen port as the first line of stdout; runs until killed)
"""

import socket
import sys
import threading
import time

GARBAGE = b"HTTP/1.1 400 Bad Request\r\n\r\n"


def answer(conn):
    # The client's own banner is drained (for at most 1 s) before closing, so the close is a
    # clean FIN rather than a reset that could discard the garbage line before it is read.
    with conn:
        try:
            conn.sendall(GARBAGE)
            conn.shutdown(socket.SHUT_WR)
            deadline = time.monotonic() + 1.0
            while time.monotonic() < deadline:
                conn.settimeout(max(0.01, deadline - time.monotonic()))
                if not conn.recv(4096):
                    break
        except OSError:
            pass


def main():
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(64)
    print(srv.getsockname()[1], flush=True)
    while True:
        conn, _ = srv.accept()
        threading.Thread(target=answer, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
