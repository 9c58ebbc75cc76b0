"""Shared fixtures: one controller simulator per test module, reset before every test."""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Iterator

import pytest

from epson_remote import CommandChannel
from epson_remote.sim import ControllerSimulator


@pytest.fixture(scope="module")
def simulator() -> Iterator[ControllerSimulator]:
    with ControllerSimulator() as sim:
        yield sim


@pytest.fixture
def sim(simulator: ControllerSimulator) -> Iterator[ControllerSimulator]:
    simulator.reset()
    yield simulator
    simulator.reset()


@pytest.fixture
def channel(sim: ControllerSimulator) -> Iterator[CommandChannel]:
    """A channel logged in to the simulator; the login request is cleared from the record."""
    ch = CommandChannel()
    ch.connect(sim.host, sim.command_port)
    sim.clear_requests()
    yield ch
    ch.disconnect()


def open_fds() -> set[int]:
    return {int(fd) for fd in os.listdir("/proc/self/fd")}


def _settled(check, timeout: float = 2.0) -> bool:
    """Threads end a moment after join() returns; give the kernel a bounded moment to agree."""
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def _open_sockets() -> set[int]:
    found = set()
    for fd in open_fds():
        try:
            if os.readlink(f"/proc/self/fd/{fd}").startswith("socket:"):
                found.add(fd)
        except OSError:
            pass  # closed while we looked
    return found


@pytest.fixture
def no_leaks() -> Iterator[None]:
    """Fails the test when it leaves a thread or a socket behind."""
    threads_before = threading.active_count()
    native_before = len(os.listdir("/proc/self/task"))
    sockets_before = _open_sockets()
    yield
    assert _settled(lambda: threading.active_count() <= threads_before)
    assert _settled(lambda: len(os.listdir("/proc/self/task")) <= native_before)
    assert _settled(lambda: not (_open_sockets() - sockets_before)), _open_sockets() - sockets_before
