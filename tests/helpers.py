"""What the test modules share beyond fixtures: bounded waits, calls on another thread, motion
calls with their modifiers by name, free ports, and child processes a test may interrupt.

Importable from every test module as ``helpers`` (pytest puts tests/ on the path: pyproject.toml).
"""

from __future__ import annotations

import contextlib
import socket
import subprocess
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import pytest

HOST = "127.0.0.1"


def wait_until(condition: Callable[[], bool], timeout: float = 5.0) -> bool:
    """Polls ``condition``: True as soon as it holds, False once ``timeout`` seconds have passed.
    Threads end a moment after join() returns, and sockets a moment after they are closed, so
    what a test counts after either needs such a bounded moment to agree."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def free_port() -> int:
    """A loopback port nothing listens on (a moment ago)."""
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


class Background:
    """Runs one call on another thread and keeps its outcome."""

    def __init__(self, call: Callable[..., Any], *args: Any) -> None:
        self.error: BaseException | None = None
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(call, *args), daemon=True)
        self._thread.start()

    def _run(self, call: Callable[..., Any], *args: Any) -> None:
        try:
            call(*args)
        except BaseException as error:  # handed to the test thread
            self.error = error
        finally:
            self._done.set()

    def running(self) -> bool:
        return self._thread.is_alive()

    def finished_within(self, seconds: float) -> bool:
        return self._done.wait(seconds)

    def outcome(self, timeout: float = 15.0) -> BaseException | None:
        self._thread.join(timeout)
        assert not self._thread.is_alive(), "the call did not return"
        return self.error


# The positional modifiers of go and move, in their order, each with the value that leaves it off.
GO_MODIFIERS = {"cp": False, "ljm": False, "flag": None, "search": None, "parallel": None}
MOVE_MODIFIERS = {"rot": False, "ecp": False, "cp": False, "search": None, "parallel": None}


def go(channel: Any, destination: str = "P1", *, sync: bool = False, **options: Any) -> None:
    """``channel.go`` with its modifiers given by name (those left out are off); the settings
    (``speed_percent`` and the others) are passed on as they are."""
    modifiers = [options.pop(name, off) for name, off in GO_MODIFIERS.items()]
    channel.go(destination, *modifiers, sync, **options)


def move(channel: Any, destination: str = "P2", *, sync: bool = False, **options: Any) -> None:
    """``channel.move`` as ``go`` above."""
    modifiers = [options.pop(name, off) for name, off in MOVE_MODIFIERS.items()]
    channel.move(destination, *modifiers, sync, **options)


def start_go(sim: Any, channel: Any) -> Background:
    """A ``Go P1`` on another thread whose reply the simulator holds back: the test pushes it
    when it wants the motion to end (or never does)."""
    sim.script("Go P1", silent=True)
    mover = Background(go, channel)
    sim.wait_for_request("Go P1")
    return mover


# A test command started as a background job of a non-interactive shell (as CI may run it) has
# SIGINT ignored, and its children inherit that. A child that gets Ctrl-C is started through this
# wrapper, which sets the default action first, as in a terminal, and then runs the command in the
# same process (exec), so the SIGINT the test sends meets what a user's Ctrl-C would.
WITH_DEFAULT_SIGINT = [
    "-c",
    "import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); "
    "os.execv(sys.executable, [sys.executable, *sys.argv[1:]])",
]


@contextlib.contextmanager
def reaped(process: subprocess.Popen[str]) -> Iterator[subprocess.Popen[str]]:
    """Yields ``process``; one the block leaves running is killed (by its PID) and waited for."""
    try:
        yield process
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


SYN_SENT = "02"  # the state column of /proc/net/tcp


def half_open_connections(port: int) -> int:
    """Connections of this machine to ``HOST:port`` still waiting for the handshake's answer."""
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return sum(1 for row in rows if row[2] == f"0100007F:{port:04X}" and row[3] == SYN_SENT)


class SynDroppingPort:
    """A loopback port that does not answer connection attempts, as an unplugged controller: its
    listener's queue is full and never accepted from, so Linux drops every further handshake."""

    def __init__(self, port: int = 0) -> None:
        self._listener = socket.socket()
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind((HOST, port))
        self._listener.listen(0)
        self.port = self._listener.getsockname()[1]
        self._fillers = []
        for _ in range(2):  # the first fills the queue, the second is left unanswered
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex((HOST, self.port))
            self._fillers.append(filler)
        if not wait_until(lambda: self.waiting() == 1, timeout=2.0):
            self.close()
            pytest.skip("this kernel answers connection attempts beyond a full listen queue")

    def waiting(self) -> int:
        """Connection attempts to the port left unanswered, the filler's included."""
        return half_open_connections(self.port)

    def close(self) -> None:
        for filler in self._fillers:
            filler.close()
        self._listener.close()
