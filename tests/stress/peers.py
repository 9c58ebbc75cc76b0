"""Misbehaving controllers for the stress run, served from a child process.

``PeerProcess`` starts this file as a child process and asks it, over a pipe, to open servers on
loopback ports. A server lives in the child, so its threads and sockets never show in the counts
of the process under test, and its Python code never competes with the client for the
interpreter lock.

The servers of the command port are in ``command_peers.py``, those of the telemetry port in
``telemetry_peers.py``; this module holds what they share (the listener and its connections,
resets, drips) and the pipe between the two processes.

Between requests, ``end_connections`` closes (FIN) or resets every open connection of a server,
the way a controller does on its own.
"""

from __future__ import annotations

import contextlib
import itertools
import os
import pickle
import socket
import struct
import subprocess
import sys
import threading
from collections.abc import Callable
from typing import Any

HOST = "127.0.0.1"


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


class Server:
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


# -- the child process ----------------------------------------------------------------------------


def serve_child() -> None:
    """The child's loop: one call a message, until the parent says exit or goes away."""
    from command_peers import CommandServer
    from telemetry_peers import TelemetryServer

    reader = os.fdopen(sys.stdin.fileno(), "rb", buffering=0)
    writer = os.fdopen(os.dup(sys.stdout.fileno()), "wb", buffering=0)
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())  # stray prints never corrupt the pipe
    servers: dict[int, Server] = {}
    ids = itertools.count(1)

    def handle(method: str, kwargs: dict) -> Any:
        if method == "command_peer":
            server: Server = CommandServer(**kwargs)
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
    # The servers' modules import this file as ``peers``; the child serves from that one copy.
    import peers

    peers.serve_child()
