"""Fixtures for the simulator's own tests: plain-socket clients and one simulator per module."""

from __future__ import annotations

import socket
import time

import pytest

from epson_remote.sim import ControllerSimulator, RemoteEthernetServer
from epson_remote.sim.controller import SimulatedController


class LineClient:
    """A plain TCP client that reads lines ended by LF (or CR, for telemetry)."""

    def __init__(self, host: str, port: int, *, timeout: float = 5.0, rcvbuf: int | None = None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf is not None:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(timeout)
        self.sock.connect((host, port))
        self.buffer = b""

    def send(self, data: bytes | str) -> None:
        self.sock.sendall(data.encode() if isinstance(data, str) else data)

    def request(self, line: str) -> None:
        self.send(line + "\r\n")

    def line(self, end: bytes = b"\n", timeout: float = 5.0) -> bytes:
        """The next line with its terminator; raises TimeoutError or EOFError."""
        deadline = time.monotonic() + timeout
        while end not in self.buffer:
            self._fill(deadline)
        index = self.buffer.index(end) + len(end)
        line, self.buffer = self.buffer[:index], self.buffer[index:]
        return line

    def ask(self, line: str) -> bytes:
        self.request(line)
        return self.line()

    def answer(self, line: str) -> str:
        """The reply to ``line`` as text, without its CR LF."""
        reply = self.ask(line)
        assert reply.endswith(b"\r\n"), reply
        return reply[:-2].decode()

    def read_for(self, seconds: float) -> bytes:
        """Everything that arrives within ``seconds`` (stops early at end of stream)."""
        deadline = time.monotonic() + seconds
        try:
            while True:
                self._fill(deadline)
        except (TimeoutError, EOFError):
            pass
        data, self.buffer = self.buffer, b""
        return data

    def closed_by_peer(self, timeout: float = 5.0) -> bool:
        """True once the peer has closed (buffered data is discarded)."""
        deadline = time.monotonic() + timeout
        try:
            while True:
                self._fill(deadline)
        except EOFError:
            return True
        except TimeoutError:
            return False

    def _fill(self, deadline: float) -> None:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError(f"nothing more arrived; buffered: {self.buffer!r}")
        self.sock.settimeout(remaining)
        try:
            data = self.sock.recv(65536)
        except TimeoutError:
            raise TimeoutError(f"nothing more arrived; buffered: {self.buffer!r}") from None
        except ConnectionResetError:
            data = b""
        if not data:
            raise EOFError(f"connection closed; buffered: {self.buffer!r}")
        self.buffer += data

    def close(self) -> None:
        self.sock.close()


@pytest.fixture
def connect():
    """connect(host, port, **options) -> LineClient; every client is closed after the test."""
    clients = []

    def make(host: str, port: int, **options) -> LineClient:
        client = LineClient(host, port, **options)
        clients.append(client)
        return client

    yield make
    for client in clients:
        client.close()


@pytest.fixture(scope="module")
def simulator():
    """One simulator per module with a fast telemetry stream; tests/conftest.py's ``sim`` resets it
    for each test."""
    with ControllerSimulator(telemetry_rate_hz=200.0) as simulator:
        yield simulator


@pytest.fixture
def model() -> SimulatedController:
    """A robot model in this process, with a fast clock, for tests that change its state
    directly."""
    return SimulatedController(time_scale=20.0)


@pytest.fixture
def remote(model, connect):
    """A client logged in to a command server in front of ``model``."""
    with RemoteEthernetServer(model) as server:
        client = connect(server.host, server.port)
        assert client.ask("$Login,") == b"#Login,0\r\n"
        yield client
        model.reset_state()  # ends a program still running
