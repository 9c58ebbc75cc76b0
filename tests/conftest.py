"""Shared fixtures: one controller simulator per test module, reset before every test."""

from __future__ import annotations

import os
import threading
from collections.abc import Iterator

import pytest
from helpers import wait_until

from epson_remote import CommandChannel
from epson_remote.sim import ControllerSimulator


@pytest.fixture(scope="module")
def simulator() -> Iterator[ControllerSimulator]:
    with ControllerSimulator() as sim:
        yield sim


_CALL_FAILED = pytest.StashKey[bool]()


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]):
    report = yield
    if report.when == "call" and report.failed:
        item.stash[_CALL_FAILED] = True
    return report


@pytest.fixture
def sim(
    request: pytest.FixtureRequest, simulator: ControllerSimulator
) -> Iterator[ControllerSimulator]:
    """The module's simulator, reset to its started state for each test. Like a mock server, it
    fails a test that passed but left a scripted reply unused (an unlimited one: never used): a
    reply scripted for nothing means the test asserts less than it seems to."""
    simulator.reset()
    yield simulator
    unused = simulator.unused_scripts()
    simulator.reset()
    if unused and not request.node.stash.get(_CALL_FAILED, False):
        pytest.fail(f"scripted replies left unused: {unused}", pytrace=False)


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
    assert wait_until(lambda: threading.active_count() <= threads_before, timeout=2.0)
    assert wait_until(lambda: len(os.listdir("/proc/self/task")) <= native_before, timeout=2.0)
    assert wait_until(lambda: not (_open_sockets() - sockets_before), timeout=2.0), (
        _open_sockets() - sockets_before
    )
