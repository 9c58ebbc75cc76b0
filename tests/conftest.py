"""Shared fixtures: one controller simulator per test module, reset before every test."""

from __future__ import annotations

import os
import threading
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


@pytest.fixture
def no_leaks() -> Iterator[None]:
    """Fails the test when it leaves a thread or a socket behind."""
    threads_before = threading.active_count()
    native_before = len(os.listdir("/proc/self/task"))
    fds_before = open_fds()
    yield
    assert threading.active_count() == threads_before
    assert len(os.listdir("/proc/self/task")) == native_before
    leaked = {fd for fd in open_fds() - fds_before if os.path.exists(f"/proc/self/fd/{fd}")}
    sockets = {fd for fd in leaked if os.readlink(f"/proc/self/fd/{fd}").startswith("socket:")}
    assert not sockets
