#!/usr/bin/python3
"""Checks relay.py against small servers of its own on the loopback.

  /usr/bin/python3 bench/relay_check.py

Covers the delay (latency added in each direction, chunks not serialised,
order kept), the rewriting of 227 and 229 replies, the byte-exact rules, and
the stall/resume/cut/reset commands through stdin. Every wait is bounded;
the whole check takes a few seconds.
"""

import hashlib
import os
import socket
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # leave no __pycache__ in the tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import relay as relay_module  # noqa: E402

TIMEOUT = 10
FAILURES = []


def check(condition, text):
    print(("ok   " if condition else "FAIL ") + text, flush=True)
    if not condition:
        FAILURES.append(text)


class Upstream:
    """A threaded loopback server; handler(conn) runs for each connection."""

    def __init__(self, handler):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.handler = handler
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            conn.settimeout(TIMEOUT)
            threading.Thread(target=self._run, args=(conn,), daemon=True).start()

    def _run(self, conn):
        with conn:
            try:
                self.handler(conn)
            except OSError:
                pass

    def close(self):
        self.sock.close()


def echo(conn):
    while True:
        data = conn.recv(65536)
        if not data:
            return
        conn.sendall(data)


def recv_exactly(sock, n):
    buf = b""
    while len(buf) < n:
        data = sock.recv(n - len(buf))
        if not data:
            break
        buf += data
    return buf


def recv_all(sock):
    parts = []
    while True:
        try:
            data = sock.recv(65536)
        except ConnectionResetError:
            parts.append(b"<RST>")
            break
        if not data:
            break
        parts.append(data)
    return b"".join(parts)


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def check_delay():
    up = Upstream(echo)
    with relay_module.RelayThread(upstream_port=up.port, delay=0.025) as r:
        with connect(r.port) as s:
            s.sendall(b"warm")
            recv_exactly(s, 4)
            rtts = []
            for _ in range(5):
                t = time.monotonic()
                s.sendall(b"ping")
                got = recv_exactly(s, 4)
                rtts.append(time.monotonic() - t)
            check(got == b"ping" and 0.048 <= min(rtts) and max(rtts) < 0.150,
                  "round trip through a 25 ms relay is about 50 ms (%s)"
                  % ", ".join("%.0f" % (x * 1000) for x in rtts))
            # Twenty chunks 5 ms apart come back about 50 ms after each was
            # sent, not one after another (which would take 20 x 50 ms).
            t = time.monotonic()
            for i in range(20):
                s.sendall(b"%02d" % i)
                time.sleep(0.005)
            got = recv_exactly(s, 40)
            took = time.monotonic() - t
            check(got == b"".join(b"%02d" % i for i in range(20)) and took < 0.4,
                  "chunks in flight together, in order (%.0f ms for 20)" % (took * 1000))
            payload = os.urandom(8 << 20)
            sender = threading.Thread(target=s.sendall, args=(payload,))
            sender.start()
            got = recv_exactly(s, len(payload))
            sender.join(TIMEOUT)
            check(hashlib.sha256(got).digest() == hashlib.sha256(payload).digest(),
                  "8 MiB cross both ways unchanged")
    up.close()


def fake_ftp(data_sink):
    """Control handler of a tiny FTP-like server: PASV/EPSV open a data port
    whose received bytes are appended to data_sink."""
    def handler(conn):
        conn.sendall(b"220 ready\r\n")
        f = conn.makefile("rb")
        for line in f:
            cmd = line.strip().upper()
            if cmd in (b"PASV", b"EPSV"):
                ds = socket.socket()
                ds.bind(("127.0.0.1", 0))
                ds.listen(1)
                ds.settimeout(TIMEOUT)
                p = ds.getsockname()[1]
                if cmd == b"PASV":
                    # A foreign address: the relay must not use it.
                    conn.sendall(b"227 Entering Passive Mode (10,9,8,7,%d,%d).\r\n"
                                 % (p >> 8, p & 255))
                else:
                    conn.sendall(b"229 Entering Extended Passive Mode (|||%d|)\r\n" % p)
                dc, _ = ds.accept()
                ds.close()
                with dc:
                    dc.settimeout(TIMEOUT)
                    data_sink.append(recv_all(dc))
                conn.sendall(b"226 done\r\n")
            elif cmd == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                return
    return handler


def passive_port(reply):
    text = reply.decode()
    if text.startswith("229"):
        return int(text.split("|")[3])
    nums = text[text.index("(") + 1:text.index(")")].split(",")
    return int(nums[4]) * 256 + int(nums[5]), ".".join(nums[:4])


def check_passive_rewrite():
    sink = []
    up = Upstream(fake_ftp(sink))
    with relay_module.RelayThread(upstream_port=up.port, delay=0.005) as r:
        with connect(r.port) as s:
            f = s.makefile("rb")
            f.readline()
            s.sendall(b"PASV\r\n")
            reply = f.readline()
            port, host = passive_port(reply)
            check(host == "127.0.0.1", "227 reply rewritten to 127.0.0.1 (%r)" % reply)
            with connect(port) as d:
                d.sendall(b"via 227")
            check(f.readline().startswith(b"226") and sink[-1:] == [b"via 227"],
                  "data through the rewritten 227 port reaches the server")
            s.sendall(b"EPSV\r\n")
            port = passive_port(f.readline())
            with connect(port) as d:
                d.sendall(b"via 229")
            check(f.readline().startswith(b"226") and sink[-1:] == [b"via 229"],
                  "data through the rewritten 229 port reaches the server")
            check(r.call("stats").startswith("control=1 data=2"), "connections counted")
    up.close()


def check_rules():
    sink = []
    up = Upstream(fake_ftp(sink))
    with relay_module.RelayThread(upstream_port=up.port) as r:
        r.call("add_rule", "cut:data:up:1000:2")
        with connect(r.port) as s:
            f = s.makefile("rb")
            f.readline()
            payload = os.urandom(100000)
            for n in (1, 2):
                s.sendall(b"EPSV\r\n")
                with connect(passive_port(f.readline())) as d:
                    try:
                        d.sendall(payload)
                        d.shutdown(socket.SHUT_WR)
                        recv_all(d)
                    except OSError:
                        pass
                f.readline()
            check(sink[0] == payload, "rule for the 2nd data connection spares the 1st")
            check(sink[1] == payload[:1000],
                  "cut:data:up:1000:2 lets exactly 1000 bytes through (%d)" % len(sink[1]))
        r.call("clear_rules")
        r.call("add_rule", "reset:control:down:5")
        with connect(r.port) as s:
            got = recv_all(s)
            check(got == b"220 r<RST>", "reset:control:down:5 sends 5 bytes, then RST (%r)"
                  % got)
    up.close()


def check_commands():
    up = Upstream(echo)
    proc = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(
        os.path.abspath(__file__)), "relay.py"), "--upstream-port", str(up.port),
        "--quit-on-eof", "--max-seconds", "60"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def command(text):
        proc.stdin.write(text.encode() + b"\n")
        proc.stdin.flush()
        return proc.stdout.readline().decode().strip()

    try:
        port = int(proc.stdout.readline().split()[2])
        with connect(port) as s:
            s.sendall(b"one")
            check(recv_exactly(s, 3) == b"one", "CLI relay forwards")
            check(command("stall") == "ok", "stall answered")
            s.sendall(b"two")
            s.settimeout(0.3)
            try:
                held = s.recv(10)
            except socket.timeout:
                held = None
            check(held is None, "stalled connection forwards nothing, stays open")
            s.settimeout(TIMEOUT)
            check(command("resume") == "ok", "resume answered")
            check(recv_exactly(s, 3) == b"two", "held bytes arrive after resume")
            check(command("cut control") == "ok 1 closed", "cut closes one connection")
            check(recv_all(s) == b"", "cut connection sees an orderly close")
        check(command("bogus").startswith("error"), "unknown command reported")
        check(command("quit") == "ok", "quit answered")
        proc.wait(TIMEOUT)
        check(proc.returncode == 0, "relay exits 0 after quit")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        up.close()


def check_loopback_only():
    try:
        relay_module.Relay(upstream_port=21, upstream_host="10.0.0.1")
        refused = False
    except ValueError:
        refused = True
    check(refused, "non-loopback upstream refused")


def main():
    for step in (check_delay, check_passive_rewrite, check_rules, check_commands,
                 check_loopback_only):
        try:
            step()
        except Exception as e:  # report and go on with the next group
            check(False, "%s raised %r" % (step.__name__, e))
    print("%d failed" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
