"""The stress run's misbehaving controllers on the command port (served by ``peers.py``'s child).

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
"""

from __future__ import annotations

import contextlib
import heapq
import itertools
import random
import socket
import threading
import time
from collections.abc import Callable
from typing import Any

from peers import Server, drip, reset_socket

STATE_STATEMENT = (
    "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),"
    "CW(Here)"
)
STATUS_STATEMENT = "Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)"


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


class CommandServer(Server):
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
