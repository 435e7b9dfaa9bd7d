#!/usr/bin/python3
"""Plain TCP file transfer: the floor under any FTP client's cost.

  tcpsink.py serve DIR           listens on 127.0.0.1 (a free port), prints
                                 "listening 127.0.0.1 PORT", then stores each
                                 connection's stream in DIR
  tcpsink.py send PORT [--ascii] FILE...
                                 sends each FILE over a connection of its own

Per connection the sender writes the file's base name and a LF, then the
bytes (with --ascii every LF becomes CRLF, as an FTP client does in ASCII
type), then shuts down its side and waits until the receiver closes, which
it does after the file is written: the same handshake as an FTP data
connection followed by its completion reply, without the control dialogue.
"""

import os
import socket
import sys

CHUNK = 1 << 20


def serve(directory):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    print("listening 127.0.0.1 %d" % listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        with conn:
            conn.settimeout(120)
            try:
                receive(conn, directory)
            except (OSError, ValueError) as e:
                print("tcpsink: %s" % e, file=sys.stderr, flush=True)


def receive(conn, directory):
    head = b""
    while b"\n" not in head:
        data = conn.recv(4096)
        if not data:
            raise ValueError("connection closed before the file name")
        head += data
        if len(head) > 4096:
            raise ValueError("file name too long")
    name, rest = head.split(b"\n", 1)
    name = os.path.basename(name.decode("utf-8", "strict"))
    if not name or name in (".", ".."):
        raise ValueError("bad file name")
    buf = bytearray(CHUNK)
    view = memoryview(buf)
    with open(os.path.join(directory, name), "wb") as out:
        out.write(rest)
        while True:
            n = conn.recv_into(buf)
            if n == 0:
                break
            out.write(view[:n])


def send(port, ascii_type, paths):
    for path in paths:
        with socket.create_connection(("127.0.0.1", port), timeout=120) as conn:
            conn.sendall(os.path.basename(path).encode() + b"\n")
            with open(path, "rb") as f:
                if ascii_type:
                    while True:
                        data = f.read(CHUNK)
                        if not data:
                            break
                        conn.sendall(data.replace(b"\n", b"\r\n"))
                else:
                    conn.sendfile(f)
            conn.shutdown(socket.SHUT_WR)
            if conn.recv(1) != b"":
                raise OSError("receiver sent data")


def main(argv):
    if len(argv) == 2 and argv[0] == "serve":
        serve(argv[1])
    elif len(argv) >= 3 and argv[0] == "send":
        ascii_type = "--ascii" in argv[2:]
        send(int(argv[1]), ascii_type, [a for a in argv[2:] if a != "--ascii"])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
