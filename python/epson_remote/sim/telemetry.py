"""Telemetry server of the controller simulator: what a controller Background Task writes.

Every client gets, at a fixed rate, one sample line

    X=..;Y=..;Z=..;U=..;V=..;W=..;J1agl=..;J2agl=..;J3agl=..;J4agl=..;J5agl=..;J6agl=..

and, after its first sample and then every ``status_every`` samples, a status line

    STAT=..;SYSERR=..;CTRLDEV=..;ROBOTINFO=..;CTRLINFO=..

each ended by CR (or CR LF). Values are written with ``repr`` so that they read back exactly.

Thread safety: every public method may be called from any thread.
"""

from __future__ import annotations

import contextlib
import errno
import socket
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, replace

from .server import listen

SAMPLE_KEYS = ("X", "Y", "Z", "U", "V", "W", "J1agl", "J2agl", "J3agl", "J4agl", "J5agl", "J6agl")
STATUS_KEYS = ("STAT", "SYSERR", "CTRLDEV", "ROBOTINFO", "CTRLINFO")
LINE_ENDINGS = ("\r", "\r\n")
MAX_RATE_HZ = 10_000.0
# Bytes a client may fall behind before its samples are skipped (whole cycles, never part of one).
_BACKLOG_LIMIT = 64 * 1024


@dataclass(frozen=True)
class TelemetryConfig:
    """How the stream is written.

    ``rate_hz``: samples per second. ``line_ending``: "\\r" or "\\r\\n". ``split_lines``: lines one
    sample is spread over (1 to 12, the first carrying X). ``status_every``: samples between status
    lines (0 = no status lines). ``status_only``: write status lines only, at the status cadence.
    ``paused``: keep connections open but write nothing.
    """

    rate_hz: float = 250.0
    line_ending: str = "\r"
    split_lines: int = 1
    status_every: int = 25
    status_only: bool = False
    paused: bool = False

    def __post_init__(self) -> None:
        if not 0 < self.rate_hz <= MAX_RATE_HZ:
            raise ValueError(f"rate_hz must be in (0, {MAX_RATE_HZ:g}]")
        if self.line_ending not in LINE_ENDINGS:
            raise ValueError(r'line_ending must be "\r" or "\r\n"')
        if not 1 <= self.split_lines <= len(SAMPLE_KEYS):
            raise ValueError(f"split_lines must be in 1..{len(SAMPLE_KEYS)}")
        if self.status_every < 0:
            raise ValueError("status_every must not be negative")


def format_sample(telemetry, split_lines: int = 1, line_ending: str = "\r") -> bytes:
    """The sample lines of one telemetry cycle (``telemetry`` has ``pose`` and ``joints``)."""
    values = [*telemetry.pose, *telemetry.joints]
    if len(values) != len(SAMPLE_KEYS):
        raise ValueError(f"a sample has 6 pose values and 6 joints, got {len(values)} values")
    fields = [f"{key}={float(value)!r}" for key, value in zip(SAMPLE_KEYS, values, strict=True)]
    base, extra = divmod(len(fields), split_lines)
    lines, start = [], 0
    for index in range(split_lines):
        end = start + base + (1 if index < extra else 0)
        lines.append(";".join(fields[start:end]) + line_ending)
        start = end
    return "".join(lines).encode("ascii")


def format_status(telemetry, line_ending: str = "\r") -> bytes:
    """The status line of one telemetry cycle."""
    values = (
        telemetry.stat,
        telemetry.syserr,
        telemetry.ctrldev,
        telemetry.robotinfo,
        telemetry.ctrlinfo,
    )
    fields = [f"{key}={int(value)}" for key, value in zip(STATUS_KEYS, values, strict=True)]
    return (";".join(fields) + line_ending).encode("ascii")


class _Client:
    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.pending = b""
        self.samples = 0


class TelemetryServer:
    """Writes ``source()`` (a controller's ``telemetry``) to every connected client.

    One thread accepts clients, one writes on a monotonic deadline schedule; sockets are written
    without blocking, so a client that stops reading skips samples without holding up the others.
    ``stop()`` closes the port and every connection, ``start()`` listens again on the same port.
    """

    def __init__(
        self,
        source: Callable[[], object],
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        config: TelemetryConfig | None = None,
        **settings,
    ) -> None:
        self._source = source
        self.host = host
        self.port = port
        self._lock = threading.Lock()
        self._wake = threading.Condition(self._lock)
        # Held by the writer while it writes a cycle outside _lock, so that no socket is closed
        # (and its descriptor reused) under a send in progress.
        self._cycle_lock = threading.Lock()
        self._lifecycle_lock = threading.Lock()  # serialises start() and stop()
        self._config = replace(config or TelemetryConfig(), **settings)
        self._clients: list[_Client] = []
        self._listener: socket.socket | None = None
        self._running = False
        self._threads: list[threading.Thread] = []
        self.start()

    # -- life cycle -------------------------------------------------------------------------

    def start(self) -> None:
        """Listen (again) on ``host``/``port``; a first start with port 0 picks a free port."""
        with self._lifecycle_lock:
            self._start()

    def _start(self) -> None:
        with self._lock:
            if self._running:
                return
            self._listener = listen(self.host, self.port, backlog=16)
            self.host, self.port = self._listener.getsockname()[:2]
            self._running = True
            listener = self._listener
        self._threads = [
            threading.Thread(
                target=self._accept, args=(listener,), name="telemetry-accept", daemon=True
            ),
            threading.Thread(target=self._write, name="telemetry-write", daemon=True),
        ]
        for thread in self._threads:
            thread.start()

    def stop(self) -> None:
        """Close the listening port and every client connection."""
        with self._lifecycle_lock:
            self._stop()

    def _stop(self) -> None:
        with self._lock:
            if not self._running:
                return
            self._running = False
            listener, self._listener = self._listener, None
            clients, self._clients = self._clients, []
            self._wake.notify_all()
        with contextlib.suppress(OSError):
            listener.shutdown(socket.SHUT_RDWR)  # wakes the blocked accept()
        for thread in self._threads:
            thread.join(timeout=5.0)
        listener.close()
        for client in clients:
            self._close(client)

    close = stop

    def __enter__(self) -> TelemetryServer:
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        with self._lock:
            return self._running

    # -- control ----------------------------------------------------------------------------

    @property
    def config(self) -> TelemetryConfig:
        with self._lock:
            return self._config

    def configure(self, **settings) -> TelemetryConfig:
        """Change fields of the ``TelemetryConfig`` (those not given stay); returns the new one."""
        with self._lock:
            self._config = replace(self._config, **settings)
            self._wake.notify_all()
            return self._config

    def drop_clients(self) -> int:
        """Close the current client connections (the port stays open); returns how many."""
        with self._cycle_lock:
            with self._lock:
                clients, self._clients = self._clients, []
            for client in clients:
                self._close(client)
        return len(clients)

    def client_count(self) -> int:
        with self._lock:
            return len(self._clients)

    # -- threads ----------------------------------------------------------------------------

    def _accept(self, listener: socket.socket) -> None:
        while True:
            try:
                sock, _ = listener.accept()
            except OSError:
                return
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sock.setblocking(False)
            with self._lock:
                if not self._running:
                    sock.close()
                    return
                self._clients.append(_Client(sock))
                self._wake.notify_all()

    def _write(self) -> None:
        with self._lock:
            config = self._config
            deadline = time.monotonic()
            while self._running:
                if not self._clients or config.paused:
                    self._wake.wait()
                    config = self._config
                    deadline = time.monotonic()
                    continue
                now = time.monotonic()
                if now < deadline:
                    self._wake.wait(deadline - now)
                    if self._config is not config:
                        # New settings take effect at once and start a fresh schedule.
                        config = self._config
                        deadline = time.monotonic()
                    continue
                clients = list(self._clients)
                self._lock.release()
                try:
                    with self._cycle_lock:
                        gone = self._write_cycle(clients, config)
                        for client in gone:
                            self._close(client)
                finally:
                    self._lock.acquire()
                if gone:
                    self._clients = [client for client in self._clients if client not in gone]
                period = 1.0 / config.rate_hz
                deadline += period
                now = time.monotonic()
                if deadline <= now:
                    # Fell behind (a slow cycle or a stalled machine): skip the missed cycles
                    # rather than writing a burst, and stay on the original grid.
                    deadline += period * (int((now - deadline) / period) + 1)

    def _write_cycle(self, clients: list[_Client], config: TelemetryConfig) -> list[_Client]:
        telemetry = self._source()
        sample = format_sample(telemetry, config.split_lines, config.line_ending)
        status = format_status(telemetry, config.line_ending)
        gone = []
        for client in clients:
            data = b""
            if not config.status_only:
                data += sample
            if config.status_every and client.samples % config.status_every == 0:
                data += status
            client.samples += 1
            if len(client.pending) < _BACKLOG_LIMIT:
                client.pending += data
            if not self._flush(client):
                gone.append(client)
        return gone

    @staticmethod
    def _flush(client: _Client) -> bool:
        """Send what the socket takes now; False when the connection is gone."""
        if not client.pending:
            return True
        try:
            sent = client.sock.send(client.pending)
        except BlockingIOError:
            return True
        except OSError as error:
            if error.errno in (errno.EAGAIN, errno.EWOULDBLOCK):
                return True
            return False
        client.pending = client.pending[sent:]
        return True

    @staticmethod
    def _close(client: _Client) -> None:
        with contextlib.suppress(OSError):
            client.sock.shutdown(socket.SHUT_RDWR)
        client.sock.close()
