"""Misbehaving controllers for the stress run, served from a child process.

``PeerProcess`` starts this file as a child process and asks it, over a pipe, to open servers on
loopback ports. A server lives in the child, so its threads and sockets never show in the counts
of the process under test, and its Python code never competes with the client for the
interpreter lock.

Command servers (``command_peer``) answer Remote Ethernet requests:

- ``mode="script"``: like the simulator's scripting, plus the faults it cannot produce: a reset
  (SO_LINGER 0), a reply dripped one byte at a time or sent in chunks some time apart, a fault at
  accept time. Requests that no rule handles get a plain success reply.
- ``mode="seq"``: every reply carries the number of its request on the connection, so a reply
  handed to the wrong request shows; the server records request -> reply. ``record=False``
  answers the same way without keeping records (soak). ``inject_every=N`` sends every N-th
  state reply twice, the copy just after the next state request arrives: no session can tell it
  from that request's reply (a copy sent at once would be discarded as answering no request).
  The stress run's control run checks that its verification notices.

Telemetry servers (``telemetry_peer``) play a list of actions per connection, restart every
``period`` seconds for a while (``mode="restart"``), or write a fixed number of lines as fast as
the client reads them, in rounds the parent asks for (``mode="blast"``). ``syn_drop_after=N``
stops accepting after N connections and fills the listener's backlog, so that the kernel drops
every later SYN: a controller that has gone away without refusing.

Between requests, ``end_connections`` closes (FIN) or resets every open connection of a server,
the way a controller does on its own.
"""

from __future__ import annotations

import contextlib
import heapq
import itertools
import os
import pickle
import random
import select
import socket
import struct
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

HOST = "127.0.0.1"

STATE_STATEMENT = (
    "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),"
    "CW(Here)"
)
STATUS_STATEMENT = "Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)"
POSE_KEYS = ("X", "Y", "Z", "U", "V", "W")
JOINT_KEYS = tuple(f"J{n}agl" for n in range(1, 7))


def sample_line(pose, joints, ending: bytes = b"\r") -> bytes:
    fields = [
        f"{k}={float(v)!r}" for k, v in zip(POSE_KEYS + JOINT_KEYS, [*pose, *joints], strict=True)
    ]
    return ";".join(fields).encode() + ending


def status_line(system_error: int, ending: bytes = b"\r") -> bytes:
    return f"STAT=0;SYSERR={system_error};CTRLDEV=21;ROBOTINFO=0;CTRLINFO=0".encode() + ending


def tagged_values(seq: int, count: int) -> list[float]:
    """The values a sequence-tagged reply carries: exact in binary, unique to ``seq``."""
    return [seq + index / 16 for index in range(count)]


def tool_definition_statement(slot: int) -> str:
    part = f"(TLSet({slot}))"
    return f"Print CX{part},CY{part},CZ{part},CU{part},CV{part},CW{part}"


def request_name(line: str) -> str:
    return line[1:].split(",", 1)[0]


def statement_of(line: str) -> str | None:
    prefix = '$Execute,"'
    if line.startswith(prefix) and line.endswith('"') and len(line) > len(prefix):
        return line[len(prefix) : -1]
    return None


def is_motion(statement: str | None) -> bool:
    return statement is not None and statement.split(" ", 1)[0] in ("Go", "Move")


def rule_matches(match: str, line: str) -> bool:
    """``$...`` compares the whole request line, anything else the statement of an $Execute."""
    if match.startswith("$"):
        return match == line
    return statement_of(line) == match


def reset_socket(sock: socket.socket) -> None:
    """Close so that the peer gets a reset instead of an orderly end of stream."""
    with contextlib.suppress(OSError):
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def drip(sock: socket.socket, data: bytes, interval: float, stop: threading.Event) -> bool:
    for index in range(len(data)):
        if stop.is_set():
            return False
        try:
            sock.sendall(data[index : index + 1])
        except OSError:
            return False
        if stop.wait(interval):
            return False
    return True


# -- the child's servers --------------------------------------------------------------------------


class _Server:
    """A listener on loopback and the threads that serve it."""

    def __init__(self, port: int = 0) -> None:
        self.listener = socket.create_server((HOST, port), backlog=16)
        self.port = self.listener.getsockname()[1]
        self.stop_event = threading.Event()
        self.connections = 0
        self.lock = threading.Lock()
        self.open_socks: set[socket.socket] = set()
        self.threads: list[threading.Thread] = []

    def spawn(self, target: Callable, *args) -> None:
        thread = threading.Thread(target=target, args=args, daemon=True)
        self.threads.append(thread)
        thread.start()

    def track(self, sock: socket.socket) -> None:
        with self.lock:
            self.open_socks.add(sock)

    def untrack(self, sock: socket.socket) -> None:
        with self.lock:
            self.open_socks.discard(sock)

    def release(self, sock: socket.socket) -> None:
        """Forgets a connection and closes it."""
        self.untrack(sock)
        with contextlib.suppress(OSError):
            sock.close()

    def close(self) -> None:
        self.stop_event.set()
        with contextlib.suppress(OSError):
            self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()
        with self.lock:
            socks = list(self.open_socks)
        for sock in socks:
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)
        for thread in self.threads:
            thread.join(5.0)
        for sock in socks:
            with contextlib.suppress(OSError):
                sock.close()

    def records(self) -> Any:
        return None

    def end_connections(self, how: str) -> int:
        """Ends every open connection now: ``"close"`` sends a FIN, ``"reset"`` a reset. The
        thread serving a connection wakes from its receive and closes the socket itself (a close
        from here would not end that receive, and the reset would wait for it)."""
        if how not in ("close", "reset"):
            raise ValueError(f"unknown ending {how!r}")
        with self.lock:
            socks = list(self.open_socks)
        for sock in socks:
            with contextlib.suppress(OSError):
                if how == "reset":
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    sock.shutdown(socket.SHUT_RD)  # sends nothing; the close sends the reset
                else:
                    sock.shutdown(socket.SHUT_RDWR)
        return len(socks)


class CommandServer(_Server):
    def __init__(
        self,
        *,
        mode: str = "script",
        rules: list[dict] | None = None,
        at_accept: list[str | None] | None = None,
        motion_delay: tuple[float, float] = (0.0, 0.0),
        record: bool = True,
        seed: int = 1,
        inject_every: int = 0,
    ) -> None:
        super().__init__()
        self.inject_every = inject_every
        self.mode = mode
        self.rules = [dict(rule, used=0) for rule in rules or []]
        self.at_accept = at_accept or []
        self.motion_delay = motion_delay
        self.record = record
        self.random = random.Random(seed)
        self.requests: list[str] = []
        self.log: list[tuple] = []  # seq mode: (connection, seq, received, line, reply)
        self.counted = 0
        self.scheduler = _Scheduler(self.stop_event)
        self.spawn(self._serve)

    def close(self) -> None:
        super().close()
        self.scheduler.close()

    def records(self) -> Any:
        with self.lock:
            return {
                "requests": list(self.requests),
                "log": list(self.log),
                "connections": self.connections,
                "counted": self.counted,
            }

    def _serve(self) -> None:
        while not self.stop_event.is_set():
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                index = self.connections
                self.connections += 1
            self.track(sock)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            fault = self.at_accept[index] if index < len(self.at_accept) else None
            if fault == "reset":
                self.untrack(sock)
                reset_socket(sock)
                continue
            self.spawn(self._serve_connection, sock, index, fault)

    def _serve_connection(self, sock: socket.socket, index: int, fault: str | None) -> None:
        try:
            if fault == "close":
                sock.shutdown(socket.SHUT_RDWR)
            else:
                _Connection(self, sock, index).run()
        except OSError:
            pass
        finally:
            self.release(sock)


class _Scheduler:
    """Sends deferred replies (motions) from one thread, in due order."""

    def __init__(self, stop: threading.Event) -> None:
        self.stop = stop
        self.cond = threading.Condition()
        self.heap: list[tuple[float, int, Callable]] = []
        self.ids = itertools.count()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def at(self, when: float, action: Callable) -> None:
        with self.cond:
            heapq.heappush(self.heap, (when, next(self.ids), action))
            self.cond.notify()

    def _run(self) -> None:
        with self.cond:
            while not self.stop.is_set():
                if not self.heap:
                    self.cond.wait(0.2)
                    continue
                when, _, action = self.heap[0]
                delay = when - time.monotonic()
                if delay > 0:
                    self.cond.wait(min(delay, 0.2))
                    continue
                heapq.heappop(self.heap)
                self.cond.release()
                try:
                    action()
                finally:
                    self.cond.acquire()

    def close(self) -> None:
        self.stop.set()
        with self.cond:
            self.cond.notify()
        self.thread.join(5.0)


class _Connection:
    def __init__(self, server: CommandServer, sock: socket.socket, index: int) -> None:
        self.server = server
        self.sock = sock
        self.index = index
        self.send_lock = threading.Lock()
        self.seq = 0
        self.closed = False
        self.held = b""  # seq mode: a state reply's copy, sent after the next state request
        self.state_replies = 0

    def send(self, data: bytes) -> None:
        with self.send_lock:
            if self.closed:
                return
            with contextlib.suppress(OSError):
                self.sock.sendall(data)

    def end(self, how: str) -> None:
        with self.send_lock:
            self.closed = True
            if how == "reset":
                self.server.untrack(self.sock)
                reset_socket(self.sock)
            else:
                with contextlib.suppress(OSError):
                    self.sock.shutdown(socket.SHUT_RDWR)

    def run(self) -> None:
        buffer = b""
        while not self.closed:
            try:
                data = self.sock.recv(65536)
            except OSError:
                return
            if not data:
                return
            buffer += data
            while not self.closed:
                end = buffer.find(b"\n")
                if end < 0:
                    break
                raw, buffer = buffer[:end], buffer[end + 1 :]
                line = raw.removesuffix(b"\r").decode("utf-8", "surrogateescape")
                if self.server.mode == "seq":
                    self.answer_tagged(line)
                else:
                    self.answer_scripted(line)

    # -- script mode -----------------------------------------------------------------------

    def answer_scripted(self, line: str) -> None:
        server = self.server
        with server.lock:
            server.requests.append(line)
            rule = next(
                (
                    r
                    for r in server.rules
                    if (r.get("times") is None or r["used"] < r["times"])
                    and r.get("connection") in (None, self.index)
                    and rule_matches(r["match"], line)
                ),
                None,
            )
            if rule is not None:
                rule["used"] += 1
        if rule is None:
            self.default_answer(line)
            return
        action = rule["action"]
        data = rule.get("data", b"")
        if action == "reply":
            self.send(data)
        elif action == "drip":
            with self.send_lock:
                drip(self.sock, data, rule["interval"], server.stop_event)
        elif action == "chunks":
            # ``data`` is a list: the first part at once, each next one ``interval`` later.
            with self.send_lock:
                for index, part in enumerate(data):
                    if index and server.stop_event.wait(rule["interval"]):
                        return
                    try:
                        self.sock.sendall(part)
                    except OSError:
                        return
        elif action in ("close", "reset"):
            self.send(data)
            self.end(action)
        elif action == "silent":
            pass
        elif action == "silent_then_close":
            server.scheduler.at(time.monotonic() + rule["seconds"], lambda: self.end("close"))
        else:
            raise ValueError(f"unknown action {action!r}")

    def default_answer(self, line: str) -> None:
        name = request_name(line)
        statement = statement_of(line)
        if name == "Execute":
            if statement == "Print Tool" or (statement or "").startswith("Print TLDef("):
                self.send(b'#Execute," 0"\r\n')
            elif is_motion(statement):
                low, high = self.server.motion_delay
                when = time.monotonic() + self.server.random.uniform(low, high)
                self.server.scheduler.at(when, lambda: self.send(b"#Execute,0\r\n"))
            else:
                self.send(b"#Execute,0\r\n")
        else:
            self.send(f"#{name},0\r\n".encode())

    # -- seq mode --------------------------------------------------------------------------

    def answer_tagged(self, line: str) -> None:
        server = self.server
        if self.held and statement_of(line) == STATE_STATEMENT:
            self.send(self.held)  # a late duplicate: it comes after this request was sent
            self.held = b""
        self.seq += 1
        seq = self.seq
        received = time.monotonic()
        name = request_name(line)
        statement = statement_of(line)
        deferred = False
        if name != "Execute":
            reply = f"#{name},0"
        elif statement == "Print Tool":
            reply = f'#Execute," {seq % 16}"'
        elif statement == STATE_STATEMENT:
            reply = '#Execute,"' + ",".join(repr(v) for v in tagged_values(seq, 12)) + '"'
        elif statement == STATUS_STATEMENT:
            reply = '#Execute,"' + ",".join(str(seq + i) for i in range(8)) + '"'
        elif statement is not None and statement.startswith("Print TLDef("):
            reply = '#Execute," -1"'
        elif statement is not None and statement.startswith("Print CX(TLSet("):
            reply = '#Execute,"' + " ".join(repr(v) for v in tagged_values(seq, 6)) + '"'
        elif statement is not None and statement.startswith("Print "):
            reply = f'#Execute," {seq}"'
        else:
            reply = "#Execute,0"
            deferred = is_motion(statement)
        if server.record:
            with server.lock:
                server.log.append((self.index, seq, received, line, reply))
        else:
            server.counted += 1
        data = reply.encode() + b"\r\n"
        if server.inject_every and statement == STATE_STATEMENT:
            self.state_replies += 1
            if self.state_replies % server.inject_every == 0:
                self.held = data  # a stray second reply: the control run's wrong answers
        if deferred:
            low, high = server.motion_delay
            when = received + server.random.uniform(low, high)
            server.scheduler.at(when, lambda: self.send(data))
        else:
            self.send(data)


class TelemetryServer(_Server):
    def __init__(
        self,
        *,
        mode: str = "script",
        scripts: list[list[tuple]] | None = None,
        port: int = 0,
        churn_seconds: float = 10.0,
        period: float = 0.1,
        stable_marker: float = 0.0,
        status_every: int = 1000,
        syn_drop_after: int | None = None,
    ) -> None:
        super().__init__(port)
        self.scripts = scripts or [[("stream", 50.0, 0.0)]]
        self.syn_drop_after = syn_drop_after
        self.fillers: list[socket.socket] = []
        self.churn_seconds = churn_seconds
        self.period = period
        self.stable_marker = stable_marker
        self.status_every = status_every
        self.restarts = 0
        self.sent_lines = 0
        self.rounds: list[int] = []
        self.round_ready = threading.Condition(self.lock)
        self.finished = threading.Event()
        if mode == "script":
            if syn_drop_after == 0:
                self._drop_syns()  # before the port is handed out
            self.spawn(self._accept_scripted)
        elif mode == "restart":
            self.spawn(self._restart_loop)
        elif mode == "blast":
            self.spawn(self._accept_blast)
        else:
            raise ValueError(f"unknown telemetry mode {mode!r}")

    def records(self) -> Any:
        with self.lock:
            return {
                "connections": self.connections,
                "restarts": self.restarts,
                "sent_lines": self.sent_lines,
                "finished": self.finished.is_set(),
            }

    def _accept(self, listener: socket.socket) -> tuple[socket.socket, int] | None:
        try:
            sock, _ = listener.accept()
        except OSError:
            return None
        with self.lock:
            index = self.connections
            self.connections += 1
        self.track(sock)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock, index

    def close(self) -> None:
        super().close()
        for filler in self.fillers:
            filler.close()

    def _drop_syns(self) -> None:
        """Backlog 0 and one connection left in the accept queue: the queue is full, so the
        kernel drops every later SYN without an answer (neither accepted nor refused)."""
        self.listener.listen(0)
        filler = socket.socket()
        self.fillers.append(filler)
        filler.setblocking(False)
        filler.connect_ex((HOST, self.port))
        _, writable, _ = select.select([], [filler], [], 2.0)
        if not writable or filler.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
            raise RuntimeError("could not fill the listener's backlog")

    def _accept_scripted(self) -> None:
        while not self.stop_event.is_set():
            if self.syn_drop_after is not None and self.connections >= self.syn_drop_after:
                if self.syn_drop_after > 0:
                    self._drop_syns()
                return  # accepts nothing more
            accepted = self._accept(self.listener)
            if accepted is None:
                return
            sock, index = accepted
            script = self.scripts[min(index, len(self.scripts) - 1)]
            self.spawn(self._play, sock, script, index)

    def _play(self, sock: socket.socket, script: list[tuple], index: int) -> None:
        stop = self.stop_event
        try:
            for action in script:
                kind = action[0]
                if kind == "send":
                    sock.sendall(action[1])
                elif kind == "drip":
                    if not drip(sock, action[1], action[2], stop):
                        return
                elif kind == "sleep":
                    if stop.wait(action[1]):
                        return
                elif kind == "close":
                    sock.shutdown(socket.SHUT_RDWR)
                    return
                elif kind == "reset":
                    self.untrack(sock)
                    reset_socket(sock)
                    return
                elif kind == "hold":
                    stop.wait()
                    return
                elif kind == "stream":
                    rate, j1 = action[1], action[2]
                    line = sample_line([400.0, 0.0, 300.0, 0.0, 90.0, 0.0], [j1, 0, 0, 0, 0, index])
                    while not stop.wait(1.0 / rate):
                        sock.sendall(line)
                    return
                else:
                    raise ValueError(f"unknown telemetry action {kind!r}")
        except OSError:
            return
        finally:
            self.release(sock)

    def _restart_loop(self) -> None:
        """Listen and serve for ``period``, close everything, listen again; after
        ``churn_seconds`` stay up and stream samples carrying ``stable_marker``."""
        listener = self.listener
        churn_end = time.monotonic() + self.churn_seconds
        churn_line = sample_line([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [-1.0, 0, 0, 0, 0, 0])
        while not self.stop_event.is_set() and time.monotonic() < churn_end:
            up_until = time.monotonic() + self.period
            clients = []
            listener.settimeout(0.01)
            while time.monotonic() < up_until and not self.stop_event.is_set():
                with contextlib.suppress(TimeoutError, OSError):
                    sock, _ = listener.accept()
                    with self.lock:
                        self.connections += 1
                    with contextlib.suppress(OSError):
                        sock.sendall(churn_line)
                    clients.append(sock)
            for sock in clients:
                if self.random_reset():
                    reset_socket(sock)
                else:
                    self._shut(sock)
            listener.close()
            with self.lock:
                self.restarts += 1
            if self.stop_event.is_set():
                return
            listener = self._relisten()
            if listener is None:
                return
        listener.settimeout(None)
        self.listener = listener
        self.finished.set()
        stable = sample_line([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [self.stable_marker, 0, 0, 0, 0, 0])
        while not self.stop_event.is_set():
            accepted = self._accept(listener)
            if accepted is None:
                return
            sock, _ = accepted
            self.spawn(self._stream_forever, sock, stable)

    _coin = random.Random(7)

    def random_reset(self) -> bool:
        return self._coin.random() < 0.5

    @staticmethod
    def _shut(sock: socket.socket) -> None:
        with contextlib.suppress(OSError):
            sock.shutdown(socket.SHUT_RDWR)
        sock.close()

    def _relisten(self) -> socket.socket | None:
        for _ in range(100):
            try:
                listener = socket.create_server((HOST, self.port), backlog=16)
                self.listener = listener
                return listener
            except OSError:
                if self.stop_event.wait(0.01):
                    return None
        raise RuntimeError(f"could not listen on {self.port} again")

    def _stream_forever(self, sock: socket.socket, line: bytes) -> None:
        try:
            while not self.stop_event.wait(0.02):
                sock.sendall(line)
        except OSError:
            pass
        finally:
            self.release(sock)

    def _accept_blast(self) -> None:
        accepted = self._accept(self.listener)
        if accepted is None:
            return
        sock, _ = accepted
        try:
            while not self.stop_event.is_set():
                with self.lock:
                    while not self.rounds and not self.stop_event.is_set():
                        self.round_ready.wait(0.2)
                    if self.stop_event.is_set():
                        return
                    count = self.rounds.pop(0)
                self._blast(sock, count)
        except OSError:
            pass
        finally:
            self.release(sock)

    def blast(self, count: int) -> None:
        """Queue ``count`` more lines for the connected client."""
        with self.lock:
            self.rounds.append(count)
            self.round_ready.notify()

    def _blast(self, sock: socket.socket, count: int) -> None:
        """Lines numbered on from the last round: samples whose J1 is the line number, a status
        line every ``status_every`` lines carrying the number in SYSERR; the round ends with a
        status line."""
        chunk: list[bytes] = []
        pose = [412.5, -20.0, 610.25, 90.0, 0.0, 180.0]
        first = self.sent_lines + 1
        last = self.sent_lines + count
        for number in range(first, last + 1):
            if number % self.status_every == 0 or number == last:
                chunk.append(status_line(number))
            else:
                chunk.append(sample_line(pose, [float(number), -35.0, 20.0, 0.0, 75.5, -90.0]))
            if len(chunk) == 2000 or number == last:
                sock.sendall(b"".join(chunk))
                with self.lock:
                    self.sent_lines += len(chunk)
                chunk = []
                if self.stop_event.is_set():
                    return


# -- the child process ----------------------------------------------------------------------------


def _child_main() -> None:
    reader = os.fdopen(sys.stdin.fileno(), "rb", buffering=0)
    writer = os.fdopen(os.dup(sys.stdout.fileno()), "wb", buffering=0)
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())  # stray prints never corrupt the pipe
    servers: dict[int, _Server] = {}
    ids = itertools.count(1)

    def handle(method: str, kwargs: dict) -> Any:
        if method == "command_peer":
            server: _Server = CommandServer(**kwargs)
        elif method == "telemetry_peer":
            server = TelemetryServer(**kwargs)
        elif method == "blast":
            servers[kwargs["id"]].blast(kwargs["count"])
            return None
        elif method == "records":
            return servers[kwargs["id"]].records()
        elif method == "end_connections":
            return servers[kwargs["id"]].end_connections(kwargs["how"])
        elif method == "stop":
            stopped = servers.pop(kwargs["id"], None)
            if stopped is None:
                return None
            stopped.close()
            return stopped.records()
        elif method == "stop_all":
            for stopped in servers.values():
                stopped.close()
            servers.clear()
            return None
        else:
            raise ValueError(f"unknown call {method!r}")
        server_id = next(ids)
        servers[server_id] = server
        return server_id, server.port

    while True:
        header = _read_exactly(reader, 4)
        if header is None:
            break
        payload = _read_exactly(reader, struct.unpack("!I", header)[0])
        if payload is None:
            break
        method, kwargs = pickle.loads(payload)
        if method == "exit":
            data = pickle.dumps((True, None))
            writer.write(struct.pack("!I", len(data)) + data)
            break
        try:
            answer = (True, handle(method, kwargs))
        except Exception as error:  # handed to the parent, which raises it
            answer = (False, f"{type(error).__name__}: {error}")
        data = pickle.dumps(answer)
        writer.write(struct.pack("!I", len(data)) + data)
    for server in servers.values():
        with contextlib.suppress(Exception):
            server.close()
    os._exit(0)


def _read_exactly(stream, size: int) -> bytes | None:
    data = b""
    while len(data) < size:
        chunk = stream.read(size - len(data))
        if not chunk:
            return None
        data += chunk
    return data


class PeerError(RuntimeError):
    pass


class PeerProcess:
    """The parent's handle on one child process serving peers."""

    def __init__(self) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-u", os.path.abspath(__file__), "--child"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
        )
        self.lock = threading.Lock()

    @property
    def pid(self) -> int:
        return self.process.pid

    def call(self, method: str, **kwargs) -> Any:
        data = pickle.dumps((method, kwargs))
        with self.lock:
            self.process.stdin.write(struct.pack("!I", len(data)) + data)
            self.process.stdin.flush()
            header = _read_exactly(self.process.stdout, 4)
            payload = (
                None
                if header is None
                else _read_exactly(self.process.stdout, struct.unpack("!I", header)[0])
            )
        if payload is None:
            raise PeerError("the peer process ended")
        ok, value = pickle.loads(payload)
        if not ok:
            raise PeerError(value)
        return value

    def command_peer(self, **kwargs) -> tuple[int, int]:
        return self.call("command_peer", **kwargs)

    def telemetry_peer(self, **kwargs) -> tuple[int, int]:
        return self.call("telemetry_peer", **kwargs)

    def blast(self, server_id: int, count: int) -> None:
        self.call("blast", id=server_id, count=count)

    def records(self, server_id: int) -> Any:
        return self.call("records", id=server_id)

    def stop(self, server_id: int) -> Any:
        return self.call("stop", id=server_id)

    def end_connections(self, server_id: int, how: str) -> int:
        """Closes (``"close"``) or resets (``"reset"``) the server's open connections now."""
        return self.call("end_connections", id=server_id, how=how)

    def stop_all(self) -> None:
        self.call("stop_all")

    def close(self) -> None:
        if self.process.poll() is None:
            with contextlib.suppress(Exception):
                self.call("exit")
        with contextlib.suppress(Exception):
            self.process.stdin.close()
        try:
            self.process.wait(5.0)
        except subprocess.TimeoutExpired:
            self.process.kill()  # our own child, by its PID
            self.process.wait(5.0)
        with contextlib.suppress(Exception):
            self.process.stdout.close()

    def kill(self) -> None:
        with contextlib.suppress(Exception):
            self.process.kill()


if __name__ == "__main__" and sys.argv[1:] == ["--child"]:
    _child_main()
