#!/usr/bin/python3
"""A loopback FTP relay that delays, stalls and cuts connections.

The relay listens on 127.0.0.1 and forwards every control connection to an
FTP server on the loopback. It reads the server's passive-mode replies
(227 and 229), opens a listener of its own for each one, and rewrites the
reply to point at that listener, so the data connections cross the relay as
well. Each connection is forwarded by the same machinery:

  * Delay. A chunk read at time t is written at t + delay, in order, in both
    directions. Reading never waits for writing, so the delay adds latency
    but does not cap throughput (up to a per-direction buffer bound that only
    matters when the receiver is slower than the sender). The connection to
    the server is opened `delay` after the client's arrives, and an end of
    stream is passed on `delay` after it was seen, behind the data before it.
  * Stall. A stalled connection keeps its sockets open but forwards nothing
    until resumed; what arrives meanwhile is buffered up to the bound, then
    the kernel's windows fill and the sender blocks.
  * Cut. A cut connection is closed at once on both sides, with FIN, or with
    RST when asked for a reset. Buffered data is dropped.

Stalls and cuts are given by command (stdin, signals or the Python API) or
by rules that fire after a connection has forwarded a given number of bytes.

Only loopback addresses are ever used: the relay listens on 127.0.0.1 and
connects only to the upstream host it was given (which must be a loopback
address). The address a server announces in a 227 reply is ignored; only its
port is used. Active mode (PORT/EPRT) is not relayed.

Command line use (prints "listening 127.0.0.1 PORT" as its first line):

  relay.py --upstream-port 2121 [--delay-ms 25] [--rule cut:data:up:65536:2]

Commands on stdin, one per line, each answered by one line "ok ..." or
"error ...":

  stall [KIND]       stop forwarding on connections of KIND (default all);
                     connections of that kind opened later start stalled
  resume [KIND]      forward again
  cut [KIND]         close connections of KIND with FIN
  reset [KIND]       close connections of KIND with RST
  rule SPEC          add a rule (see below)
  clear-rules        drop all rules
  delay MS           change the delay for chunks read from now on
  stats              counts of connections and bytes
  quit               close everything and exit

KIND is all, control or data. A rule SPEC is ACTION:KIND:DIR:BYTES[:NTH]:
ACTION is stall, cut or reset; DIR is up (client to server), down (server to
client) or any; BYTES is how many bytes the connection forwards in DIR
before the action (exactly: a chunk is split at that point); NTH limits the
rule to the NTH connection of that kind, counted from 1 since the relay
started (0 or absent: every connection). Each rule fires at most once per
connection.

Signals: SIGUSR1 stalls all connections, SIGHUP resumes them, SIGUSR2 cuts
them all, SIGTERM and SIGINT end the relay.
"""

import argparse
import asyncio
import collections
import ipaddress
import re
import signal
import socket
import struct
import sys
import threading
import time

KINDS = ("control", "data")
DIRECTIONS = ("up", "down")

# Bytes buffered per direction before the relay stops reading from the
# sender. Must exceed bandwidth x delay for the delay not to cap throughput.
DEFAULT_BUFFER_LIMIT = 64 << 20
READ_SIZE = 256 << 10
# How long a passive listener waits for the client before it is dropped.
PASSIVE_ACCEPT_SECONDS = 60.0


def require_loopback(host):
    """Returns host if it is a loopback address; raises ValueError otherwise."""
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        raise ValueError("not an IP address: %r (use 127.0.0.1 or ::1)" % host)
    if not address.is_loopback:
        raise ValueError("refusing non-loopback address %s" % host)
    return host


class Rule:
    """Fires an action once a connection has forwarded `nbytes` in a direction."""

    def __init__(self, action, kind, direction, nbytes, nth=0):
        if action not in ("stall", "cut", "reset"):
            raise ValueError("bad rule action %r" % action)
        if kind not in KINDS + ("all",):
            raise ValueError("bad rule kind %r" % kind)
        if direction not in DIRECTIONS + ("any",):
            raise ValueError("bad rule direction %r" % direction)
        if nbytes < 0 or nth < 0:
            raise ValueError("rule counts must not be negative")
        self.action, self.kind, self.direction = action, kind, direction
        self.nbytes, self.nth = nbytes, nth

    @classmethod
    def parse(cls, spec):
        parts = spec.strip().split(":")
        if len(parts) not in (4, 5):
            raise ValueError("rule is ACTION:KIND:DIR:BYTES[:NTH], got %r" % spec)
        nth = int(parts[4]) if len(parts) == 5 else 0
        return cls(parts[0], parts[1], parts[2], int(parts[3]), nth)

    def applies_to(self, link):
        if self.kind != "all" and self.kind != link.kind:
            return False
        return self.nth == 0 or self.nth == link.ordinal

    def __str__(self):
        return "%s:%s:%s:%d:%d" % (self.action, self.kind, self.direction,
                                   self.nbytes, self.nth)


class _Pipe:
    """One direction of a link: reads chunks, writes each one `delay` later."""

    def __init__(self, link, direction, reader, writer_fut):
        self.link = link
        self.direction = direction
        self.reader = reader
        self.writer_fut = writer_fut  # future of the StreamWriter to write to
        self.queue = collections.deque()  # (due time, bytes or None for EOF)
        self.queued = 0
        self.forwarded = 0
        self.wake = asyncio.Event()  # something queued, or state changed
        self.room = asyncio.Event()  # buffer below its bound
        self.room.set()
        self.held = b""  # start of what may be a passive reply (control, down)
        self.in_line = False  # inside a reply line that is no passive reply

    async def read_loop(self):
        relay = self.link.relay
        try:
            while True:
                await self.room.wait()
                data = await self.reader.read(READ_SIZE)
                now = time.monotonic()
                if not data:
                    if self.held:
                        self._enqueue(now, self.held)
                        self.held = b""
                    self._enqueue(now, None)
                    return
                relay.bytes_in[self.direction] += len(data)
                if self.link.kind == "control" and self.direction == "down":
                    data = await self._rewrite_replies(data)
                self._enqueue(now, data)
        except (ConnectionError, OSError):
            self._enqueue(time.monotonic(), None)

    def _enqueue(self, now, data):
        if data == b"":
            return
        self.queue.append((now + self.link.relay.delay, data))
        if data is not None:
            self.queued += len(data)
            if self.queued >= self.link.relay.buffer_limit:
                self.room.clear()
        self.wake.set()

    async def _rewrite_replies(self, data):
        """Passes server replies on, rewriting passive-mode ones. Only a line
        start that may become a 227 or 229 reply is held for its line end."""
        data, self.held = self.held + data, b""
        out, pos = [], 0
        while pos < len(data):
            nl = data.find(b"\n", pos)
            end = len(data) if nl < 0 else nl + 1
            if self.in_line:  # the rest of a line that is no passive reply
                out.append(data[pos:end])
                self.in_line = nl < 0
            elif nl >= 0:
                out.append(await self.link.relay._rewrite_passive(data[pos:end], self.link))
            elif _may_be_passive(data[pos:]):
                self.held = data[pos:]
            else:
                out.append(data[pos:])
                self.in_line = True
            pos = end
        return b"".join(out)

    async def write_loop(self):
        try:
            writer = await self.writer_fut
        except (ConnectionError, OSError, asyncio.CancelledError):
            self.link.close(reset=False)
            return
        try:
            while True:
                if self._fire_reached_rule():
                    return  # the link was cut
                if not self.queue or self.link.stalled:
                    self.wake.clear()
                    await self.wake.wait()
                    continue
                due, data = self.queue[0]
                pause = due - time.monotonic()
                if pause > 0:
                    # Sleep, but wake for a stall, a cut or a new rule.
                    self.wake.clear()
                    try:
                        await asyncio.wait_for(self.wake.wait(), pause)
                    except asyncio.TimeoutError:
                        pass
                    continue
                self.queue.popleft()
                if data is None:
                    if writer.can_write_eof():
                        writer.write_eof()
                    await writer.drain()
                    self.link.half_closed(self.direction)
                    return
                room = self._room()
                if room is not None and room < len(data):
                    # Split the chunk so that a rule fires at exactly its count.
                    self.queue.appendleft((due, data[room:]))
                    data = data[:room]
                self.queued -= len(data)
                if self.queued < self.link.relay.buffer_limit:
                    self.room.set()
                writer.write(data)
                self.forwarded += len(data)
                self.link.relay.bytes_out[self.direction] += len(data)
                await writer.drain()
        except (ConnectionError, OSError):
            self.link.close(reset=False)

    def _rules(self):
        """The rules not yet fired on this link that count this direction."""
        for rule in self.link.relay.rules:
            if (rule not in self.link.fired and rule.applies_to(self.link)
                    and rule.direction in ("any", self.direction)):
                yield rule

    def _counted(self, rule):
        return self.link.forwarded() if rule.direction == "any" else self.forwarded

    def _room(self):
        """Bytes this direction may still forward before the next rule fires."""
        rooms = [rule.nbytes - self._counted(rule) for rule in self._rules()]
        return max(0, min(rooms)) if rooms else None

    def _fire_reached_rule(self):
        """Fires the first rule whose count is reached; True if it cut the link."""
        for rule in self._rules():
            if self._counted(rule) < rule.nbytes:
                continue
            self.link.fired.add(rule)
            self.link.relay.log("rule %s fired on %s" % (rule, self.link))
            if rule.action == "stall":
                self.link.stalled = True
                self.link.wake()
                return False
            self.link.close(reset=rule.action == "reset")
            return True
        return False


class _Link:
    """A client connection and its server connection."""

    def __init__(self, relay, kind, ordinal, client_reader, client_writer):
        self.relay = relay
        self.kind = kind
        self.ordinal = ordinal
        self.client_writer = client_writer
        self.server_writer = None
        self.stalled = relay.stalled_kinds.get(kind, False)
        self.closed = False
        self.fired = set()  # rules already fired on this link
        self.done = asyncio.Event()
        self._eofs = set()
        self.server_fut = asyncio.get_running_loop().create_future()
        self.up = _Pipe(self, "up", client_reader, self.server_fut)
        client_fut = asyncio.get_running_loop().create_future()
        client_fut.set_result(client_writer)
        self.down = None  # made once the server connection exists
        self._client_fut = client_fut
        self.tasks = []

    def __str__(self):
        return "%s#%d" % (self.kind, self.ordinal)

    def forwarded(self):
        return self.up.forwarded + (self.down.forwarded if self.down else 0)

    async def run(self, upstream_port):
        self.tasks.append(asyncio.ensure_future(self.up.read_loop()))
        self.tasks.append(asyncio.ensure_future(self.up.write_loop()))
        try:
            # The server sees the connection one delay after the client made it.
            await asyncio.sleep(self.relay.delay)
            reader, writer = await asyncio.open_connection(
                self.relay.upstream_host, upstream_port)
        except (ConnectionError, OSError) as e:
            self.relay.log("%s: upstream port %d: %s" % (self, upstream_port, e))
            if not self.server_fut.done():
                self.server_fut.set_exception(e)
            self.close(reset=False)
            await self.done.wait()
            return
        if self.closed:
            writer.close()
            return
        self.server_writer = writer
        _set_nodelay(writer)
        self.down = _Pipe(self, "down", reader, self._client_fut)
        self.server_fut.set_result(writer)
        self.tasks.append(asyncio.ensure_future(self.down.read_loop()))
        self.tasks.append(asyncio.ensure_future(self.down.write_loop()))
        await self.done.wait()

    def wake(self):
        for pipe in (self.up, self.down):
            if pipe:
                pipe.wake.set()

    def half_closed(self, direction):
        self._eofs.add(direction)
        if len(self._eofs) == 2:
            self.close(reset=False)

    def close(self, reset):
        if self.closed:
            return
        self.closed = True
        if not self.server_fut.done():
            self.server_fut.cancel()
        for writer in (self.client_writer, self.server_writer):
            if writer is None:
                continue
            if reset:
                sock = writer.get_extra_info("socket")
                if sock is not None:
                    try:
                        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                        struct.pack("ii", 1, 0))
                    except OSError:
                        pass
            writer.close()
        current = asyncio.current_task()
        for task in self.tasks:
            if task is not current:
                task.cancel()
        self.relay.links.discard(self)
        self.done.set()


def _set_nodelay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass


_PASV_RE = re.compile(rb"^227([ -].*?)\(?(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)?(.*)$", re.S)
_EPSV_RE = re.compile(rb"^229([ -].*?\()(.)(.)(.)(\d+)(.)(\).*)$", re.S)


def _may_be_passive(partial_line):
    """True when a line that starts with these bytes may be a 227/229 reply."""
    if len(partial_line) > 4096:
        return False
    head = partial_line[:3]
    return b"227".startswith(head) or b"229".startswith(head)


class Relay:
    """The relay, for use inside an asyncio event loop.

    Create it, await start(), read `port`; control it with stall(), resume(),
    cut(), add_rule() and clear_rules(); await close() at the end.
    """

    def __init__(self, upstream_port, upstream_host="127.0.0.1", delay=0.0,
                 listen_port=0, buffer_limit=DEFAULT_BUFFER_LIMIT, verbose=False):
        self.upstream_host = require_loopback(upstream_host)
        self.upstream_port = upstream_port
        self.delay = delay
        self.listen_port = listen_port
        self.buffer_limit = buffer_limit
        self.verbose = verbose
        self.rules = []
        self.links = set()
        self.stalled_kinds = {}
        self.counts = {"control": 0, "data": 0}
        self.bytes_in = {"up": 0, "down": 0}
        self.bytes_out = {"up": 0, "down": 0}
        self.port = None
        self._server = None
        self._passive = set()
        self._tasks = set()

    def _keep(self, task):
        """Holds a task until it ends: the event loop keeps only weak references."""
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)
        return task

    def log(self, text):
        if self.verbose:
            print("relay: " + text, file=sys.stderr, flush=True)

    async def start(self):
        sock = _listening_socket(self.listen_port)
        self.port = sock.getsockname()[1]
        self._server = await asyncio.start_server(
            lambda r, w: self._accepted(r, w, "control", self.upstream_port), sock=sock)

    async def _accepted(self, reader, writer, kind, upstream_port):
        _set_nodelay(writer)
        self.counts[kind] += 1
        link = _Link(self, kind, self.counts[kind], reader, writer)
        self.links.add(link)
        self.log("%s accepted, to port %d" % (link, upstream_port))
        try:
            await link.run(upstream_port)
        finally:
            link.close(reset=False)

    async def _rewrite_passive(self, line, link):
        """Points a 227/229 reply at a new listener of the relay's own."""
        m = _EPSV_RE.match(line)
        if m and m.group(2) == m.group(3) == m.group(4) == m.group(6):
            port = await self._open_passive(int(m.group(5)))
            d = m.group(2)
            return b"229" + m.group(1) + d * 3 + str(port).encode() + d + m.group(7)
        m = _PASV_RE.match(line)
        if m:
            server_port = int(m.group(6)) * 256 + int(m.group(7))
            port = await self._open_passive(server_port)
            return (b"227" + m.group(1) + b"(127,0,0,1,%d,%d)" % (port >> 8, port & 255)
                    + m.group(8).lstrip(b")"))
        return line

    async def _open_passive(self, server_port):
        sock = _listening_socket(0)
        port = sock.getsockname()[1]
        accepted = asyncio.Event()
        holder = {}

        async def on_accept(reader, writer):
            if accepted.is_set():  # one data connection per passive reply
                writer.close()
                return
            accepted.set()
            holder["server"].close()
            await self._accepted(reader, writer, "data", server_port)

        server = await asyncio.start_server(on_accept, sock=sock)
        holder["server"] = server
        self._passive.add(server)

        async def expire():
            try:
                await asyncio.wait_for(accepted.wait(), PASSIVE_ACCEPT_SECONDS)
            except asyncio.TimeoutError:
                server.close()
            self._passive.discard(server)

        self._keep(asyncio.ensure_future(expire()))
        self.log("passive: relay port %d -> server port %d" % (port, server_port))
        return port

    def _select(self, kind):
        if kind not in KINDS + ("all",):
            raise ValueError("kind is all, control or data")
        return [l for l in list(self.links) if kind == "all" or l.kind == kind]

    def stall(self, kind="all"):
        for k in (KINDS if kind == "all" else (kind,)):
            self.stalled_kinds[k] = True
        for link in self._select(kind):
            link.stalled = True
            link.wake()

    def resume(self, kind="all"):
        for k in (KINDS if kind == "all" else (kind,)):
            self.stalled_kinds[k] = False
        for link in self._select(kind):
            link.stalled = False
            link.wake()

    def cut(self, kind="all", reset=False):
        links = self._select(kind)
        for link in links:
            link.close(reset=reset)
        return len(links)

    def add_rule(self, rule):
        self.rules.append(rule if isinstance(rule, Rule) else Rule.parse(rule))
        for link in list(self.links):
            link.wake()

    def clear_rules(self):
        self.rules.clear()

    def stats(self):
        return ("control=%d data=%d open=%d up_in=%d up_out=%d down_in=%d down_out=%d"
                % (self.counts["control"], self.counts["data"], len(self.links),
                   self.bytes_in["up"], self.bytes_out["up"],
                   self.bytes_in["down"], self.bytes_out["down"]))

    async def close(self):
        if self._server:
            self._server.close()
        for server in list(self._passive):
            server.close()
        self.cut("all")


def _listening_socket(port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", port))
    sock.listen(128)
    sock.setblocking(False)
    return sock


class RelayThread:
    """Runs a Relay in a thread of its own, for callers without an event loop.

        with RelayThread(upstream_port=2121, delay=0.025) as relay:
            connect to 127.0.0.1:relay.port ...; relay.call("stall", "data")
    """

    def __init__(self, **kwargs):
        self._kwargs = kwargs
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)
        self.relay = None
        self.port = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self._thread.start()
        self.relay = Relay(**self._kwargs)
        asyncio.run_coroutine_threadsafe(self.relay.start(), self._loop).result(10)
        self.port = self.relay.port

    def call(self, method, *args, **kwargs):
        """Calls a Relay method (stall, resume, cut, add_rule, ...) in its loop."""
        async def run():
            return getattr(self.relay, method)(*args, **kwargs)
        return asyncio.run_coroutine_threadsafe(run(), self._loop).result(10)

    def stop(self):
        if self.relay is not None:
            asyncio.run_coroutine_threadsafe(self.relay.close(), self._loop).result(10)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)


def _command(relay, line):
    words = line.split()
    if not words:
        return None
    name, args = words[0], words[1:]
    kind = args[0] if args else "all"
    if name == "stall":
        relay.stall(kind)
    elif name == "resume":
        relay.resume(kind)
    elif name in ("cut", "reset"):
        return "ok %d closed" % relay.cut(kind, reset=name == "reset")
    elif name == "rule" and len(args) == 1:
        relay.add_rule(Rule.parse(args[0]))
    elif name == "clear-rules":
        relay.clear_rules()
    elif name == "delay" and len(args) == 1:
        relay.delay = float(args[0]) / 1000.0
    elif name == "stats":
        return "ok " + relay.stats()
    elif name == "quit":
        return "quit"
    else:
        raise ValueError("unknown command %r" % line.strip())
    return "ok"


async def _main(args):
    relay = Relay(args.upstream_port, args.upstream_host, args.delay_ms / 1000.0,
                  args.listen_port, args.buffer_limit, args.verbose)
    for spec in args.rule:
        relay.add_rule(Rule.parse(spec))
    await relay.start()
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    loop.add_signal_handler(signal.SIGUSR1, lambda: relay.stall("all"))
    loop.add_signal_handler(signal.SIGHUP, lambda: relay.resume("all"))
    loop.add_signal_handler(signal.SIGUSR2, lambda: relay.cut("all"))
    print("listening 127.0.0.1 %d" % relay.port, flush=True)
    if args.port_file:
        with open(args.port_file, "w") as f:
            f.write("%d\n" % relay.port)

    async def commands():
        reader = asyncio.StreamReader()
        try:
            await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader),
                                         sys.stdin)
        except (OSError, ValueError) as e:
            relay.log("no commands from stdin: %s" % e)
            return
        while True:
            line = await reader.readline()
            if not line:
                if args.quit_on_eof:
                    stop.set()
                return
            try:
                reply = _command(relay, line.decode("utf-8", "replace"))
            except ValueError as e:
                reply = "error %s" % e
            if reply == "quit":
                print("ok", flush=True)
                stop.set()
                return
            if reply:
                print(reply, flush=True)

    if not args.no_stdin:
        relay._keep(asyncio.ensure_future(commands()))
    try:
        await asyncio.wait_for(stop.wait(), args.max_seconds or None)
    except asyncio.TimeoutError:
        relay.log("lifetime of %s s reached" % args.max_seconds)
    await relay.close()


def main(argv=None):
    p = argparse.ArgumentParser(description="Loopback FTP relay with delay, stall and cut.")
    p.add_argument("--upstream-port", type=int, required=True)
    p.add_argument("--upstream-host", default="127.0.0.1",
                   help="loopback address of the server (default 127.0.0.1)")
    p.add_argument("--listen-port", type=int, default=0, help="default: a free port")
    p.add_argument("--delay-ms", type=float, default=0.0,
                   help="one-way delay for every chunk, both directions")
    p.add_argument("--rule", action="append", default=[],
                   help="ACTION:KIND:DIR:BYTES[:NTH], may be repeated")
    p.add_argument("--buffer-limit", type=int, default=DEFAULT_BUFFER_LIMIT)
    p.add_argument("--port-file", help="also write the listening port here")
    p.add_argument("--no-stdin", action="store_true", help="read no commands")
    p.add_argument("--quit-on-eof", action="store_true",
                   help="exit when stdin closes (the controller went away)")
    p.add_argument("--max-seconds", type=float, default=0,
                   help="exit after this long (0: no limit)")
    p.add_argument("--verbose", action="store_true")
    args = p.parse_args(argv)
    try:
        require_loopback(args.upstream_host)
    except ValueError as e:
        p.error(str(e))
    asyncio.run(_main(args))


if __name__ == "__main__":
    main()
