#!/usr/bin/python3
"""Upload benchmark: varnolet against curl, lftp and ncftpput, on vsftpd.

Started by bench/run, which installs the FTP server and the clients when
they are missing. Everything runs on this machine's loopback: a private
vsftpd on 127.0.0.1 with its storage on tmpfs, the clients, and for the
wide-area workload a delaying relay (relay.py) in front of the server. See
README.md for what is measured and how to read the table.
"""

import argparse
import ctypes
import json
import os
import pwd
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
VSFTPD = "/usr/sbin/vsftpd"
FTP_USER = "varbench"
FTP_PASSWORD = "vb-bench-pass"
PAM_SERVICE = "varbench-ftp"
PAM_FILE = "/etc/pam.d/" + PAM_SERVICE
# vsftpd's unprivileged helper needs an empty directory to chroot into.
EMPTY_DIR = "/var/run/vsftpd/empty"
REMOTE_DIR = "up"  # under the login directory, on every client
WAN_ONE_WAY_MS = 25.0  # 50 ms round trip

PEERS = ("curl", "lftp", "ncftpput")
ALL_CLIENTS = ("varnolet",) + PEERS + ("tcp",)
KiB, MiB, GiB = 1 << 10, 1 << 20, 1 << 30


class Workload:
    def __init__(self, name, files, size, ascii_type, wan, timeout, source=None):
        self.name = name
        self.files = files
        self.size = size
        self.ascii_type = ascii_type
        self.wan = wan
        self.timeout = timeout  # seconds per client run
        self.source = source or name  # workloads with the same source share files
        self.names = []

    @property
    def total_bytes(self):
        return self.files * self.size


def make_workloads(quick):
    if quick:
        return [Workload("W1", 1, 16 * MiB, False, False, 120),
                Workload("W2", 50, 4 * KiB, False, False, 120),
                Workload("W3", 10, 256 * KiB, True, False, 120),
                Workload("W2-WAN", 50, 4 * KiB, False, True, 300, source="W2")]
    return [Workload("W1", 1, 1 * GiB, False, False, 900),
            Workload("W2", 1000, 4 * KiB, False, False, 1800),
            Workload("W3", 200, 256 * KiB, True, False, 900),
            Workload("W2-WAN", 1000, 4 * KiB, False, True, 3600, source="W2")]


def progress(text):
    print(time.strftime("%H:%M:%S ") + text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- test data

def write_sources(workload, directory):
    """Creates the workload's files: random bytes, or LF text for ASCII."""
    os.makedirs(directory, exist_ok=True)
    rng = random.Random(zlib.crc32(workload.source.encode()))
    if workload.ascii_type:
        pool = text_lines(rng, 20000)
    digits = len(str(workload.files - 1))
    for i in range(workload.files):
        ext = "txt" if workload.ascii_type else "bin"
        name = "big.bin" if workload.files == 1 else "f%0*d.%s" % (digits, i, ext)
        workload.names.append(name)
        with open(os.path.join(directory, name), "wb") as f:
            if workload.ascii_type:
                f.write(text_file(rng, pool, workload.size))
            else:
                left = workload.size
                while left:
                    n = min(left, 8 * MiB)
                    f.write(os.urandom(n))
                    left -= n


def text_lines(rng, count):
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(1, 10)))
             for _ in range(500)] + ["0", "42", "--", "(x)", "A", "The", "#include", "{", "}"]
    lines = []
    for _ in range(count):
        line = " " * rng.choice((0, 0, 0, 4, 8)) + " ".join(rng.choices(words, k=rng.randint(0, 14)))
        lines.append(line.encode("ascii") + b"\n")
    return lines


def text_file(rng, pool, size):
    """size bytes of LF-terminated lines, no CR anywhere."""
    parts, length, i = [], 0, rng.randrange(len(pool))
    while length < size:
        parts.append(pool[i % len(pool)])
        length += len(parts[-1])
        i += rng.randint(1, 7)
    data = b"".join(parts)[:size - 1] + b"\n"
    assert len(data) == size and b"\r" not in data
    return data


def verify(workload, src_dir, dst_dir):
    """Returns None when the server holds exactly the expected files, else why not."""
    present = sorted(os.listdir(dst_dir))
    if present != sorted(workload.names):
        missing = sorted(set(workload.names) - set(present))
        extra = sorted(set(present) - set(workload.names))
        return "server has %d files, missing %d %s, extra %d %s" % (
            len(present), len(missing), missing[:3], len(extra), extra[:3])
    for name in workload.names:
        src, dst = os.path.join(src_dir, name), os.path.join(dst_dir, name)
        if workload.ascii_type:
            with open(src, "rb") as f:
                want = f.read().replace(b"\n", b"\r\n")
            with open(dst, "rb") as f:
                got = f.read()
            if got != want:
                return "%s: %d bytes on the server, %d expected (LF sent as CRLF)%s" % (
                    name, len(got), len(want),
                    "; content differs" if len(got) == len(want) else "")
        else:
            why = compare_files(src, dst)
            if why:
                return "%s: %s" % (name, why)
    return None


def compare_files(a, b):
    sa, sb = os.path.getsize(a), os.path.getsize(b)
    if sa != sb:
        return "%d bytes on the server, %d expected" % (sb, sa)
    with open(a, "rb") as fa, open(b, "rb") as fb:
        offset = 0
        while True:
            x, y = fa.read(16 * MiB), fb.read(16 * MiB)
            if x != y:
                return "content differs in the 16 MiB block at offset %d" % offset
            if not x:
                return None
            offset += len(x)


def clear_dir(directory):
    for entry in os.scandir(directory):
        if entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path)
        else:
            os.unlink(entry.path)


# ------------------------------------------------------------------ servers

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def passive_range(width=1000):
    """A range of ports below the ephemeral range that are all free now."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        low = 32768
    rng = random.Random()
    for _ in range(20):
        base = rng.randrange(10000, max(10001, low - width), 100)
        socks = []
        try:
            for port in range(base, base + width):
                s = socket.socket()
                socks.append(s)
                s.bind(("127.0.0.1", port))
            return base, base + width - 1
        except OSError:
            continue
        finally:
            for s in socks:
                s.close()
    raise RuntimeError("no free passive port range found")


def ensure_login_user():
    """The FTP login: a system user without shell, checked by our PAM service."""
    try:
        pwd.getpwnam(FTP_USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/",
                        "--shell", "/usr/sbin/nologin", "--comment", "varnolet bench FTP login",
                        FTP_USER], check=True)
    # vsftpd changes into the home directory before local_root: keep it valid.
    if pwd.getpwnam(FTP_USER).pw_dir != "/":
        subprocess.run(["usermod", "--home", "/", FTP_USER], check=True)
    subprocess.run(["chpasswd"], input=("%s:%s\n" % (FTP_USER, FTP_PASSWORD)).encode(),
                   check=True)
    pam = ("# Installed by varnolet's bench/run: password check for its vsftpd.\n"
           "auth     required pam_unix.so\n"
           "account  required pam_unix.so\n"
           "session  required pam_permit.so\n")
    try:
        with open(PAM_FILE) as f:
            current = f.read()
    except OSError:
        current = None
    if current != pam:
        with open(PAM_FILE, "w") as f:
            f.write(pam)
    os.makedirs(EMPTY_DIR, mode=0o755, exist_ok=True)
    return pwd.getpwnam(FTP_USER)


class Vsftpd:
    def __init__(self, work, root):
        self.work = work
        self.root = root  # login directory
        self.log = os.path.join(work, "vsftpd.log")
        self.proc = None
        self.port = None
        self._log_offset = 0

    def start(self):
        for attempt in range(5):
            self.port = free_port()
            pasv_min, pasv_max = passive_range()
            conf = os.path.join(self.work, "vsftpd.conf")
            with open(conf, "w") as f:
                f.write(VSFTPD_CONF % dict(port=self.port, root=self.root, pam=PAM_SERVICE,
                                           pasv_min=pasv_min, pasv_max=pasv_max,
                                           log=self.log, empty=EMPTY_DIR))
            out = open(os.path.join(self.work, "vsftpd.out"), "ab")
            self.proc = subprocess.Popen([VSFTPD, conf], stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=out, start_new_session=True,
                                         preexec_fn=die_with_parent)
            out.close()
            if self._wait_ready(10):
                progress("vsftpd pid %d on 127.0.0.1:%d, passive ports %d-%d"
                         % (self.proc.pid, self.port, pasv_min, pasv_max))
                return
            self.stop()
        raise RuntimeError("vsftpd did not start; see %s/vsftpd.out" % self.work)

    def _wait_ready(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=2) as s:
                    if s.recv(100).startswith(b"220"):
                        s.sendall(b"QUIT\r\n")
                        return True
            except OSError:
                time.sleep(0.1)
        return False

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def mark_log(self):
        self._log_offset = os.path.getsize(self.log) if os.path.exists(self.log) else 0

    def logins_since_mark(self):
        """Sessions that logged in since mark_log()."""
        try:
            with open(self.log, "rb") as f:
                f.seek(self._log_offset)
                text = f.read()
        except OSError:
            return None
        return text.count(b"] OK LOGIN:")

    def stop(self):
        if self.proc is None:
            return
        stop_process_group(self.proc)
        self.proc = None


# Storage on tmpfs, no chroot, passive mode towards 127.0.0.1 only; ASCII
# uploads stored as they cross the wire (the check expects CRLF there).
VSFTPD_CONF = """\
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=%(port)d
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=%(root)s
chroot_local_user=NO
pam_service_name=%(pam)s
userlist_enable=NO
tcp_wrappers=NO
ssl_enable=NO
pasv_enable=YES
pasv_min_port=%(pasv_min)d
pasv_max_port=%(pasv_max)d
pasv_address=127.0.0.1
port_enable=NO
ascii_upload_enable=NO
ascii_download_enable=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
secure_chroot_dir=%(empty)s
max_clients=0
max_per_ip=0
idle_session_timeout=300
data_connection_timeout=300
accept_timeout=60
connect_timeout=60
xferlog_enable=YES
xferlog_std_format=NO
vsftpd_log_file=%(log)s
"""


class Helper:
    """A helper process (relay, TCP sink) that prints 'listening HOST PORT' first."""

    def __init__(self, name, argv, log):
        self.name = name
        out = open(log, "ab")
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=out, start_new_session=True,
                                     preexec_fn=die_with_parent)
        out.close()
        line = self._readline(10)
        if not line.startswith("listening 127.0.0.1 "):
            self.stop()
            raise RuntimeError("%s did not start (%r); see %s" % (name, line, log))
        self.port = int(line.split()[2])

    def _readline(self, seconds):
        result = []
        reader = threading.Thread(target=lambda: result.append(self.proc.stdout.readline()),
                                  daemon=True)
        reader.start()
        reader.join(seconds)
        return result[0].decode(errors="replace").strip() if result else ""

    def command(self, text, seconds=10):
        self.proc.stdin.write(text.encode() + b"\n")
        self.proc.stdin.flush()
        return self._readline(seconds)

    def stop(self):
        if self.proc is not None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            stop_process_group(self.proc)
            self.proc.stdout.close()
            self.proc = None


def stop_process_group(proc):
    """Ends a process started with start_new_session and its own children."""
    for sig, wait in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            pass
        try:
            proc.wait(wait)
            return
        except subprocess.TimeoutExpired:
            continue


# ------------------------------------------------------------------ clients

class Context:
    """What a client needs to know for one run."""

    def __init__(self, workload, src_dir, port, work, varnolet):
        self.workload = workload
        self.src_dir = src_dir
        self.port = port
        self.work = work
        self.varnolet = varnolet
        self.tcp_port = None  # the baseline's receiver
        self.sink_proc = None


def curl_argv(ctx):
    w = ctx.workload
    files = w.names[0] if len(w.names) == 1 else "{" + ",".join(w.names) + "}"
    argv = ["curl", "-q", "--silent", "--show-error", "--ftp-pasv",
            "--user", "%s:%s" % (FTP_USER, FTP_PASSWORD)]
    if w.ascii_type:
        argv.append("--use-ascii")
    return argv + ["--upload-file", files, "ftp://127.0.0.1:%d/%s/" % (ctx.port, REMOTE_DIR)]


def lftp_argv(ctx):
    w = ctx.workload
    script = os.path.join(ctx.work, "lftp-script")
    with open(script, "w") as f:
        f.write("set cmd:fail-exit yes\n"
                "set ftp:passive-mode on\n"
                "set ftp:ssl-allow off\n"
                "set net:max-retries 2\n"
                "set net:reconnect-interval-base 1\n"
                "set net:timeout 60\n"
                "open -u %s,%s -p %d 127.0.0.1\n" % (FTP_USER, FTP_PASSWORD, ctx.port) +
                "cd %s\n" % REMOTE_DIR +
                "lcd %s\n" % ctx.src_dir +
                "mput %s%s\n" % ("-a " if w.ascii_type else "", " ".join(w.names)) +
                "bye\n")
    return ["lftp", "-f", script]


def ncftpput_argv(ctx):
    w = ctx.workload
    argv = ["ncftpput", "-V", "-t", "60", "-u", FTP_USER, "-p", FTP_PASSWORD,
            "-P", str(ctx.port)]
    if w.ascii_type:
        argv.append("-a")
    return argv + ["127.0.0.1", REMOTE_DIR] + w.names


def varnolet_argv(ctx):
    """A copy of the program with its INI beside it; full paths as arguments."""
    exe = os.path.join(ctx.work, "varnolet-run", "varnolet")
    if not os.path.exists(exe):
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        shutil.copy2(ctx.varnolet, exe)
    with open(exe + ".ini", "w") as f:
        f.write("[0]\n"
                "LocalDir=%s/\n" % ctx.src_dir +
                "Host=127.0.0.1\n"
                "Port=%d\n" % ctx.port +
                "UserID=%s\n" % FTP_USER +
                "Password=%s\n" % FTP_PASSWORD +
                "HostDir=%s\n" % REMOTE_DIR +
                "\n[AsciiMode]\ntxt=1\n")
    return [exe] + [os.path.join(ctx.src_dir, n) for n in ctx.workload.names]


def tcp_argv(ctx):
    argv = [PYTHON, os.path.join(HERE, "tcpsink.py"), "send", str(ctx.tcp_port)]
    if ctx.workload.ascii_type:
        argv.append("--ascii")
    return argv + [os.path.join(ctx.src_dir, n) for n in ctx.workload.names]


ARGV = {"varnolet": varnolet_argv, "curl": curl_argv, "lftp": lftp_argv,
        "ncftpput": ncftpput_argv, "tcp": tcp_argv}


PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36
_prctl = ctypes.CDLL(None, use_errno=True).prctl


def become_subreaper():
    """Makes orphaned descendants our children, so that measure() can wait4 them."""
    if _prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def die_with_parent():
    """preexec_fn for the servers: SIGTERM when this process ends, even by
    SIGKILL, when no cleanup of ours runs."""
    _prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


def reap_orphans(keep):
    """Reaps the zombies that became ours as subreaper (vsftpd's session
    processes whose parent ended first), except the pids in keep."""
    me = os.getpid()
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) in keep:
            continue
        try:
            with open("/proc/%s/stat" % name, "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
        except OSError:
            continue
        if fields[0] == b"Z" and int(fields[1]) == me:
            try:
                os.waitpid(int(name), os.WNOHANG)
            except ChildProcessError:
                pass
# The client is started by a small shell in the background. A process's peak
# RSS (ru_maxrss) starts at the peak of the memory image it was exec'ed from,
# so a client forked from this Python process would report this process's
# size; forked from dash it starts below 1 MiB. The shell prints the client's
# pid and exits; the client is then reparented to us and we wait4 it.
LAUNCHER = ["/bin/sh", "-c", '"$@" >&2 </dev/null & echo $!', "sh"]


def measure(argv, cwd, env, timeout, log):
    """Runs argv; returns (exit code, wall seconds, rusage, timed out)."""
    with open(log, "ab") as out:
        out.write(("\n$ %s\n" % " ".join(argv)[:2000]).encode())
        out.flush()
        read_end, write_end = os.pipe()
        start = time.perf_counter()
        try:
            shell = subprocess.Popen(LAUNCHER + argv, cwd=cwd, env=env,
                                     stdin=subprocess.DEVNULL, stdout=write_end, stderr=out,
                                     start_new_session=True)
        finally:
            os.close(write_end)
        timed_out = []

        def kill():
            timed_out.append(True)
            try:
                os.killpg(shell.pid, signal.SIGKILL)  # the client is in the shell's group
            except ProcessLookupError:
                pass

        timer = threading.Timer(timeout, kill)
        timer.start()
        try:
            with os.fdopen(read_end, "rb") as f:
                pid = int(f.readline())
            shell.wait(30)  # after this, the client is our child
            while True:
                try:
                    _, status, usage = os.wait4(pid, 0)
                    break
                except InterruptedError:
                    continue
        except BaseException:
            kill()
            raise
        finally:
            timer.cancel()
        wall = time.perf_counter() - start
    return os.waitstatus_to_exitcode(status), wall, usage, bool(timed_out)


# ------------------------------------------------------------------- report

def summarize(results, workloads, clients):
    rows = []
    for w in workloads:
        for c in clients:
            runs = [r for r in results if r["workload"] == w.name and r["client"] == c]
            if not runs:
                continue
            ok = [r for r in runs if r["ok"]]
            row = {"workload": w.name, "client": c, "runs": len(runs), "ok": len(ok),
                   "logins": sorted({r["logins"] for r in runs if r["logins"] is not None})}
            if ok:
                walls = [r["wall"] for r in ok]
                cpus = [r["cpu"] for r in ok]
                rss = [r["maxrss_kib"] for r in ok]
                row.update(wall_med=statistics.median(walls), wall_min=min(walls),
                           cpu_med=statistics.median(cpus), cpu_min=min(cpus),
                           rss_med=statistics.median(rss), rss_max=max(rss),
                           mib_s=w.total_bytes / MiB / statistics.median(walls))
            rows.append(row)
    return rows


def print_table(rows, workloads, run_counts, out=sys.stdout):
    head = ("workload", "client", "ok/runs", "wall med s", "wall min s", "MiB/s",
            "cpu med s", "cpu min s", "rss med MiB", "rss max MiB", "logins")
    lines = [head]
    for r in rows:
        logins = ",".join(str(n) for n in r["logins"]) or "-"
        if "wall_med" in r:
            lines.append((r["workload"], r["client"], "%d/%d" % (r["ok"], r["runs"]),
                          "%.3f" % r["wall_med"], "%.3f" % r["wall_min"], ("%.1f" if r["mib_s"] >= 10 else "%.2f") % r["mib_s"],
                          "%.3f" % r["cpu_med"], "%.3f" % r["cpu_min"],
                          "%.1f" % (r["rss_med"] / 1024), "%.1f" % (r["rss_max"] / 1024),
                          logins))
        else:
            lines.append((r["workload"], r["client"], "%d/%d" % (r["ok"], r["runs"]))
                         + ("-",) * 7 + (logins,))
    widths = [max(len(l[i]) for l in lines) for i in range(len(head))]
    for i, l in enumerate(lines):
        print("  ".join(v.ljust(widths[k]) if k < 2 else v.rjust(widths[k])
                        for k, v in enumerate(l)), file=out)
        if i == 0:
            print("  ".join("-" * n for n in widths), file=out)
    print(file=out)
    print("runs per client: " + ", ".join("%s %d" % (w.name, run_counts[w.name])
                                          for w in workloads), file=out)
    print("sizes: " + ", ".join("%s %d x %s%s" % (w.name, w.files, human(w.size),
                                                  " ASCII" if w.ascii_type else "")
                                for w in workloads), file=out)


def human(n):
    for unit, size in (("GiB", GiB), ("MiB", MiB), ("KiB", KiB)):
        if n >= size and n % size == 0:
            return "%d %s" % (n // size, unit)
    return "%d B" % n


RATIOS = {"wall": ("wall_med", None), "cpu": ("cpu_med", ("W1", "W3")),
          "rss": ("rss_med", ("W1",))}


def print_ratios(rows, workloads, out=sys.stdout):
    print("\nvarnolet / best peer (medians; peers: %s, all runs passing):" % ", ".join(PEERS),
          file=out)
    ratios = []
    for w in workloads:
        mine = next((r for r in rows if r["workload"] == w.name and r["client"] == "varnolet"
                     and r["ok"] == r["runs"] and "wall_med" in r), None)
        peers = [r for r in rows if r["workload"] == w.name and r["client"] in PEERS
                 and r["ok"] == r["runs"] and "wall_med" in r]
        parts = []
        for label, (key, only) in RATIOS.items():
            if only is not None and w.name not in only:
                continue
            if not peers:
                parts.append("%s n/a (no peer passed)" % label)
                continue
            best = min(peers, key=lambda r: r[key])
            if mine is None:
                parts.append("%s n/a (best %s %s)" % (label, best["client"],
                                                     fmt(key, best[key])))
                continue
            ratio = mine[key] / best[key] if best[key] > 0 else float("inf")
            ratios.append({"workload": w.name, "measure": label, "ratio": ratio,
                           "best_peer": best["client"]})
            parts.append("%s %.2fx (%s vs %s %s)" % (label, ratio, fmt(key, mine[key]),
                                                      best["client"], fmt(key, best[key])))
        print("  %-7s %s" % (w.name, "; ".join(parts)), file=out)
    return ratios


def fmt(key, value):
    return "%.1f MiB" % (value / 1024) if key.startswith("rss") else "%.3f s" % value


# --------------------------------------------------------------------- main

def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="bench/run",
        description="Times uploads by varnolet, curl, lftp and ncftpput to a local vsftpd.")
    p.add_argument("--runs", type=int, help="runs per client and workload (default 5; "
                                            "2 with --quick)")
    p.add_argument("--wan-runs", type=int,
                   help="runs per client for W2-WAN (default: as --runs)")
    p.add_argument("--workloads", default="W1,W2,W3,W2-WAN",
                   help="comma-separated, from W1,W2,W3,W2-WAN (default: all)")
    p.add_argument("--clients", default=",".join(ALL_CLIENTS),
                   help="comma-separated, from %s; tcp is the plain TCP baseline, run "
                        "for W1-W3 only (default: all)" % ",".join(ALL_CLIENTS))
    p.add_argument("--varnolet", default=os.path.join(os.path.dirname(HERE), "build",
                                                      "varnolet"),
                   help="the varnolet binary (default: build/varnolet)")
    p.add_argument("--quick", action="store_true",
                   help="small sizes (16 MiB, 50 files, 10 files) for a smoke test")
    p.add_argument("--json", help="also write every run and the summary to this file")
    p.add_argument("--keep", action="store_true", help="keep the work directory")
    p.add_argument("--workdir", default="/dev/shm",
                   help="tmpfs under which to create the work directory (default /dev/shm)")
    args = p.parse_args(argv)
    if args.runs is None:
        args.runs = 2 if args.quick else 5
    if args.wan_runs is None:
        args.wan_runs = args.runs
    if args.runs < 1 or args.wan_runs < 1:
        p.error("run counts must be at least 1")
    known = {w.name for w in make_workloads(False)}
    args.workloads = [w for w in args.workloads.split(",") if w]
    args.clients = [c for c in args.clients.split(",") if c]
    for w in args.workloads:
        if w not in known:
            p.error("unknown workload %r" % w)
    for c in args.clients:
        if c not in ALL_CLIENTS:
            p.error("unknown client %r" % c)
    if "varnolet" in args.clients:
        args.varnolet = os.path.abspath(args.varnolet)
        if not os.access(args.varnolet, os.X_OK):
            p.error("no varnolet binary at %s: pass --varnolet PATH, or leave varnolet "
                    "out of --clients" % args.varnolet)
    if os.geteuid() != 0:
        p.error("must run as root: it adds a login user and a PAM service for vsftpd")
    return args


class Stopped(Exception):
    def __init__(self, signum):
        super().__init__("signal %d" % signum)
        self.signum = signum


def stop_signal(signum, frame):
    """SIGINT and SIGTERM end the runs; the partial table is still printed and
    every process is stopped."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # one is enough; let cleanup run
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise Stopped(signum)


def on_tmpfs(path):
    try:
        with open("/proc/mounts") as f:
            mounts = [line.split() for line in f]
    except OSError:
        return False
    path = os.path.realpath(path)
    best = max((m for m in mounts if path == m[1] or path.startswith(m[1].rstrip("/") + "/")),
               key=lambda m: len(m[1]), default=None)
    return best is not None and best[2] == "tmpfs"


def main(argv):
    args = parse_args(argv)
    signal.signal(signal.SIGINT, stop_signal)
    signal.signal(signal.SIGTERM, stop_signal)
    become_subreaper()
    workloads = [w for w in make_workloads(args.quick) if w.name in args.workloads]
    if not on_tmpfs(args.workdir):
        progress("warning: %s is not on tmpfs" % args.workdir)
    work = tempfile.mkdtemp(prefix="varbench.", dir=args.workdir)
    os.chmod(work, 0o755)
    server = sink = None
    results = []
    try:
        user = ensure_login_user()
        root = os.path.join(work, "srv")
        dst_dir = os.path.join(root, REMOTE_DIR)
        os.makedirs(dst_dir)
        os.chown(root, user.pw_uid, user.pw_gid)
        os.chown(dst_dir, user.pw_uid, user.pw_gid)
        home = os.path.join(work, "home")  # no user config files for the clients
        os.makedirs(home)
        env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
               "HOME": home, "LANG": "C", "LC_ALL": "C"}

        src_dirs = {}
        for w in workloads:
            src = os.path.join(work, "src", w.source)
            if w.source in src_dirs:
                w.names = [n for n in src_dirs[w.source][1]]
            else:
                progress("writing %s source: %d x %s" % (w.source, w.files, human(w.size)))
                write_sources(w, src)
                src_dirs[w.source] = (src, w.names)

        server = Vsftpd(work, root)
        server.start()
        if "tcp" in args.clients and any(not w.wan for w in workloads):
            sink = Helper("tcp sink", [PYTHON, os.path.join(HERE, "tcpsink.py"), "serve",
                                       dst_dir], os.path.join(work, "tcpsink.log"))
        interrupted = 0
        try:
            run_all(args, workloads, src_dirs, server, sink, dst_dir, env, work, results)
        except Stopped as e:
            progress("stopped by signal %d: the table covers the runs made so far" % e.signum)
            interrupted = 128 + e.signum
        # Runs per client actually made (fewer than asked when interrupted).
        run_counts = {}
        for w in workloads:
            per_client = [sum(1 for r in results if r["workload"] == w.name
                              and r["client"] == c) for c in args.clients]
            if any(per_client):
                run_counts[w.name] = max(per_client)
        workloads = [w for w in workloads if w.name in run_counts]

        print()
        rows = summarize(results, workloads, args.clients)
        print_table(rows, workloads, run_counts)
        ratios = print_ratios(rows, workloads)
        failed = [r for r in results if not r["ok"]]
        if failed:
            print("\nfailed runs:")
            for r in failed:
                print("  %s %s run %d: %s" % (r["workload"], r["client"], r["rep"] + 1,
                                              r["why"]))
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"runs": results, "summary": rows, "ratios": ratios,
                           "run_counts": run_counts, "quick": args.quick}, f, indent=1)
        return interrupted or (1 if failed else 0)
    finally:
        if sink:
            sink.stop()
        if server:
            server.stop()
        if args.keep:
            progress("work directory kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)


def run_all(args, workloads, src_dirs, server, sink, dst_dir, env, work, results):
    """Runs every workload's repetitions, appending to results."""
    relay = None
    try:
        for w in workloads:
            clients = [c for c in args.clients if not (c == "tcp" and w.wan)]
            port = server.port
            if w.wan:
                relay = Helper("relay", [PYTHON, os.path.join(HERE, "relay.py"),
                                         "--upstream-port", str(server.port),
                                         "--delay-ms", str(WAN_ONE_WAY_MS),
                                         "--quit-on-eof", "--max-seconds", "86400"],
                               os.path.join(work, "relay.log"))
                port = relay.port
                progress("relay pid %d on 127.0.0.1:%d, %g ms each way"
                         % (relay.proc.pid, port, WAN_ONE_WAY_MS))
            runs = args.wan_runs if w.wan else args.runs
            ctx = Context(w, src_dirs[w.source][0], port, work, args.varnolet)
            ctx.tcp_port = sink.port if sink else None
            ctx.sink_proc = sink.proc if sink else None
            warm_up(w, ctx.src_dir, dst_dir)
            for rep in range(runs):
                # Round robin, starting with a different client each time.
                order = clients[rep % len(clients):] + clients[:rep % len(clients)]
                for c in order:
                    results.append(one_run(w, c, rep, runs, ctx, server, relay, dst_dir, env))
            if relay:
                relay.stop()
                relay = None
    finally:
        if relay:
            relay.stop()


def warm_up(w, src_dir, dst_dir):
    """Writes the workload's files into the server's directory once, unmeasured,
    and removes them. On this VM the first use of memory the guest has not
    touched lately costs seconds per GiB (the host backs it on demand; the
    guest reports freed pages back), and without this the first run of a
    workload, always the first client's, paid for it: 5-7 s instead of 1-2 s
    for W1, whichever client that was."""
    clear_dir(dst_dir)
    for name in w.names:
        shutil.copyfile(os.path.join(src_dir, name), os.path.join(dst_dir, name))
    clear_dir(dst_dir)


def steal_seconds():
    """Time the host gave the machine's CPUs to others so far (all CPUs), from
    /proc/stat; None when unknown."""
    try:
        with open("/proc/stat") as f:
            fields = f.readline().split()
        return int(fields[8]) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        return None


def one_run(w, client, rep, runs, ctx, server, relay, dst_dir, env):
    clear_dir(dst_dir)
    if not server.alive():
        raise RuntimeError("vsftpd died; see its log in the work directory (--keep)")
    server.mark_log()
    before = relay.command("stats") if relay else None
    argv = ARGV[client](ctx)
    log = os.path.join(ctx.work, "client-%s.log" % client)
    steal_before = steal_seconds()
    code, wall, usage, timed_out = measure(argv, ctx.src_dir, env, w.timeout, log)
    steal_after = steal_seconds()
    steal = (None if steal_before is None or steal_after is None
             else steal_after - steal_before)
    logins = None if client == "tcp" else server.logins_since_mark()
    why = None
    if timed_out:
        why = "timed out after %d s" % w.timeout
    elif code != 0:
        why = "exit code %d (log: %s)" % (code, log)
    else:
        why = verify(w, ctx.src_dir, dst_dir)
    if why is None and relay:
        why = check_relayed(before, relay.command("stats"), logins, w.files)
    result = {"workload": w.name, "client": client, "rep": rep, "ok": why is None, "why": why,
              "wall": wall, "cpu": usage.ru_utime + usage.ru_stime,
              "user": usage.ru_utime, "sys": usage.ru_stime, "maxrss_kib": usage.ru_maxrss,
              "logins": logins, "exit": code, "steal": steal}
    progress("%s run %d/%d %-9s %8.3f s  cpu %7.3f s  rss %6.1f MiB  steal %5s s  %s%s"
             % (w.name, rep + 1, runs, client, wall, result["cpu"], usage.ru_maxrss / 1024,
                "?" if steal is None else "%.2f" % steal,
                "ok" if why is None else "FAILED: " + why,
                "" if logins in (None, 1) else "  (%d logins)" % logins))
    clear_dir(dst_dir)
    reap_orphans({p.pid for p in (server.proc, relay and relay.proc, ctx.sink_proc) if p})
    return result


def check_relayed(before, after, logins, files):
    """Confirms that the run's connections crossed the relay."""
    def counts(line):
        fields = dict(f.split("=") for f in line.split()[1:] if "=" in f)
        return int(fields.get("control", -1)), int(fields.get("data", -1))
    try:
        c0, d0 = counts(before)
        c1, d1 = counts(after)
    except (ValueError, AttributeError):
        return "relay did not answer (%r, %r)" % (before, after)
    if c1 - c0 < max(1, logins or 0) or d1 - d0 < files:
        return ("only %d control and %d data connections crossed the relay"
                % (c1 - c0, d1 - d0))
    return None


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Stopped as e:  # during setup, before any run
        sys.exit(128 + e.signum)
