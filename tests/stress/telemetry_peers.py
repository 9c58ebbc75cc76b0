"""The stress run's misbehaving controllers on the telemetry port (served by ``peers.py``'s child).

Telemetry servers (``telemetry_peer``) play a list of actions per connection, restart every
``period`` seconds for a while (``mode="restart"``), or write a fixed number of lines as fast as
the client reads them, in rounds the parent asks for (``mode="blast"``). ``syn_drop_after=N``
stops accepting after N connections and fills the listener's backlog, so that the kernel drops
every later SYN: a controller that has gone away without refusing.
"""

from __future__ import annotations

import contextlib
import random
import select
import socket
import threading
import time
from typing import Any

from peers import HOST, Server, drip, reset_socket

POSE_KEYS = ("X", "Y", "Z", "U", "V", "W")
JOINT_KEYS = tuple(f"J{n}agl" for n in range(1, 7))


def sample_line(pose, joints, ending: bytes = b"\r") -> bytes:
    fields = [
        f"{k}={float(v)!r}" for k, v in zip(POSE_KEYS + JOINT_KEYS, [*pose, *joints], strict=True)
    ]
    return ";".join(fields).encode() + ending


def status_line(system_error: int, ending: bytes = b"\r") -> bytes:
    return f"STAT=0;SYSERR={system_error};CTRLDEV=21;ROBOTINFO=0;CTRLINFO=0".encode() + ending


class TelemetryServer(Server):
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
