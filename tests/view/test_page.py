"""The live page in a real browser: the arm drawn and moving, the badges following the
controller, the stream's loss and return, nothing requested beyond loopback; for the
`epson-remote view` command and for the embedded `serve()` alike."""

from __future__ import annotations

import re
import subprocess
import sys
import time
from collections.abc import Iterator

import numpy as np
import pytest
from chromium import leaves_loopback, needs_browser, pixels
from helpers import Background, reaped, wait_until

from epson_remote import CommandChannel, EthernetReceiveInterface

pytestmark = [pytest.mark.slow, needs_browser]

SCENE = (slice(0, 800), slice(0, 850))  # rows, columns of the 3D view (the panel is right of it)
ARM_RGB = np.array([255, 112, 24])
ARM_PIXELS = 400  # fewer arm-coloured pixels than this: no arm on the canvas
MOVED_PIXELS = 150  # arm pixels in one shot and not in the other
PAGE_TIMEOUT_S = 60.0


def arm_mask(png: bytes) -> np.ndarray:
    scene = pixels(png)[SCENE].astype(int)
    return np.abs(scene - ARM_RGB).sum(axis=2) < 60


def page_ready(browser) -> bool:
    return "samples/s" in browser.text()


def assert_arm_moves(browser) -> None:
    """Two screenshots a second apart: the arm in both, not in the same place."""
    first = arm_mask(browser.screenshot())
    time.sleep(1.0)
    second = arm_mask(browser.screenshot())
    assert first.sum() > ARM_PIXELS and second.sum() > ARM_PIXELS, (first.sum(), second.sum())
    assert (first ^ second).sum() > MOVED_PIXELS, (first ^ second).sum()


def assert_loopback_only(browser) -> None:
    assert any(url.startswith("http://127.0.0.1:") for url in browser.requests)
    assert any(url.startswith("ws://127.0.0.1:") for url in browser.requests), browser.requests
    assert [url for url in browser.requests if leaves_loopback(url)] == []


def badge(browser, name: str) -> str:
    return browser.evaluate(
        f"(document.querySelector('[data-badge=\"{name}\"]') || {{}}).textContent || ''"
    )


def start_view(*args: str) -> tuple[subprocess.Popen[str], str]:
    process = subprocess.Popen(
        [sys.executable, "-m", "epson_remote", "view", "--port", "0", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    deadline = time.monotonic() + PAGE_TIMEOUT_S
    seen = []
    while time.monotonic() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        seen.append(line)
        found = re.search(r"Live view: (http://127\.0\.0\.1:\d+/)", line)
        if found:
            return process, found.group(1)
    process.kill()
    process.wait()
    raise AssertionError(f"no address printed: {''.join(seen)}")


def long_go(channel: CommandChannel) -> Background:
    """A slow Go across the cell, on another thread."""
    pose = channel.get_state()["tcp_pose"]
    target = (
        f"XY({pose[0]:.3f}, {pose[1] + 300:.3f}, {pose[2] - 150:.3f}, {pose[3]:.3f}, "
        f"{pose[4]:.3f}, {pose[5]:.3f})"
    )
    return Background(channel.go, target, False, False, None, None, None, False, 8, 8)


@pytest.fixture
def telemetry(sim) -> Iterator[EthernetReceiveInterface]:
    rx = EthernetReceiveInterface()
    rx.connect(sim.host, sim.telemetry_port)
    yield rx
    rx.disconnect()


class TestCommand:
    def test_without_a_host_the_simulated_arm_moves_on_the_page(self, browser):
        process, url = start_view()
        with reaped(process):
            browser.open(url)
            assert browser.wait_for(lambda: page_ready(browser), PAGE_TIMEOUT_S), browser.text()
            assert badge(browser, "motors") == "motors ON"
            assert_arm_moves(browser)
            assert_loopback_only(browser)
            process.terminate()
            assert process.wait(60) == 0

    def test_badges_follow_the_emergency_stop(self, sim, browser):
        process, url = start_view(sim.host, "--telemetry-port", str(sim.telemetry_port))
        with reaped(process):
            browser.open(url)
            assert browser.wait_for(lambda: badge(browser, "estop") == "E-stop off", 60)
            before = browser.screenshot()
            sim.emergency_stop()
            assert browser.wait_for(lambda: badge(browser, "estop") == "E-stop ACTIVE", 10)
            assert badge(browser, "error") != "no error"
            during = browser.screenshot()
            sim.release_emergency_stop()
            assert browser.wait_for(lambda: badge(browser, "estop") == "E-stop off", 10)
            # The badges are colours as well as words: the panel's pixels change with them.
            assert (pixels(before) != pixels(during)).any(axis=2).sum() > 500
            assert_loopback_only(browser)
        assert sim.requests() == []  # the command port was never used

    def test_query_reads_once_and_closes_the_session(self, sim, browser):
        process, url = start_view(
            sim.host,
            "--telemetry-port",
            str(sim.telemetry_port),
            "--command-port",
            str(sim.command_port),
            "--query",
        )
        with reaped(process):
            assert wait_until(lambda: not sim.has_client(), 10)
            browser.open(url)
            assert browser.wait_for(lambda: badge(browser, "power") == "power LOW", 60)
            requests = sim.requests()
            assert requests[0].startswith("$Login") and requests[-1] == "$Logout"
            assert not any("Motor" in request or "Go" in request for request in requests)


class TestEmbedded:
    def test_a_host_programs_interface_moving(self, sim, channel, telemetry, browser):
        from epson_remote.view import serve

        with serve(telemetry, port=0) as view:
            browser.open(view.url)
            assert browser.wait_for(lambda: page_ready(browser), PAGE_TIMEOUT_S), browser.text()
            channel.motor_on()
            motion = long_go(channel)
            assert wait_until(lambda: badge(browser, "motors") == "motors ON", 10)
            assert_arm_moves(browser)
            assert motion.outcome(60) is None
            sim.emergency_stop()
            assert browser.wait_for(lambda: badge(browser, "estop") == "E-stop ACTIVE", 10)
            sim.release_emergency_stop()
            assert browser.wait_for(lambda: badge(browser, "estop") == "E-stop off", 10)
            assert_loopback_only(browser)
        assert telemetry.is_connected()  # the view leaves the interface to its owner

    def test_reconnecting_while_the_stream_is_gone_and_back_by_itself(
        self, sim, telemetry, browser
    ):
        from epson_remote.view import serve

        with serve(telemetry, port=0) as view:
            browser.open(view.url)
            assert browser.wait_for(lambda: badge(browser, "telemetry") == "telemetry live", 60)
            sim.stop_telemetry()
            assert browser.wait_for(
                lambda: badge(browser, "telemetry") == "telemetry reconnecting…", 10
            )
            sim.start_telemetry()
            assert browser.wait_for(lambda: badge(browser, "telemetry") == "telemetry live", 15)


def test_the_demo_live(tmp_path, browser):
    process = subprocess.Popen(
        [sys.executable, "-m", "epson_remote", "demo", "--view", "--view-port", "0"]
        + ["--time-scale", "2", "--output", str(tmp_path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    with reaped(process):
        url = None
        for line in process.stdout:
            found = re.search(r"Live view: (http://127\.0\.0\.1:\d+/)", line)
            if found:
                url = found.group(1)
                break
        assert url is not None
        browser.open(url)
        assert browser.wait_for(lambda: badge(browser, "motors") == "motors ON", 60)
        rest = process.stdout.read()
        assert process.wait(120) == 0, rest
        assert "Demo complete" in rest
