"""The view's parts without a browser: the arm drawn from the simulator's kinematics, the check of
the drawing against the telemetry TCP, the telemetry feed's counting, the badges, and what the
tool says without the extra."""

from __future__ import annotations

import random
import time

import pytest
from chromium import needs_viser

from epson_remote import ControllerState, EthernetReceiveInterface
from epson_remote.sim.kinematics import Arm, ArmGeometry, frame_to_pose, pose_to_frame
from epson_remote.view._arm import ArmModel, check_geometry
from epson_remote.view._feed import TelemetryFeed

TOOL = [0.0, 0.0, 100.0, 0.0, 0.0, 0.0]  # 100 mm along the flange axis


def telemetry_of(arm: Arm, joints, tool=None) -> list[float]:
    """The pose the controller reports for ``joints`` with ``tool`` selected."""
    frame = arm.flange(joints)
    if tool is not None:
        frame = frame @ pose_to_frame(tool)
    return list(frame_to_pose(frame))


def sweep(start: float, end: float, count: int = 30) -> list[list[float]]:
    """Joint positions of a motion of J1 from ``start`` to ``end`` degrees, J2 and J3 moving
    with it by half as much."""
    postures = []
    for i in range(count):
        step = (end - start) * i / (count - 1)
        postures.append([start + step, 10.0 + step / 2, 20.0 + step / 2, 0.0, 60.0, 0.0])
    return postures


def test_chain_ends_at_the_flange():
    for geometry in (ArmGeometry(), ArmGeometry(a1=50.0, a2=420.0, a3=0.0, d6=120.0)):
        arm = Arm(geometry)
        rng = random.Random(7)
        for _ in range(50):
            joints = [rng.uniform(-150.0, 150.0) for _ in range(6)]
            chain = arm.chain_frames(joints)
            assert len(chain) == len(Arm.CHAIN_POINTS)
            flange = arm.flange(joints)
            assert chain[-1].pos == pytest.approx(flange.pos, abs=1e-9)
            assert [c for row in chain[-1].rot for c in row] == pytest.approx(
                [c for row in flange.rot for c in row], abs=1e-12
            )


class TestGeometryCheck:
    arm = Arm()
    model = ArmModel()

    def postures(self, joints_list, tool=None, arm=None):
        arm = arm or self.arm
        return [(joints, telemetry_of(arm, joints, tool)) for joints in joints_list]

    def test_the_right_geometry_agrees(self):
        verdict = check_geometry(self.model, self.postures(sweep(0.0, 40.0)))
        assert (verdict.kind, verdict.note) == ("agree", "")

    def test_a_tool_is_told_from_a_wrong_geometry_by_a_motion(self):
        moving = check_geometry(self.model, self.postures(sweep(0.0, 40.0), TOOL))
        assert moving.kind == "tool" and moving.offset_mm == pytest.approx(100.0)
        still = check_geometry(self.model, self.postures(sweep(10.0, 10.0), TOOL))
        assert still.kind == "unsure" and "Tool" in still.note

    def test_a_longer_upper_arm_is_noted(self):
        robot = Arm(ArmGeometry(a2=430.0))
        verdict = check_geometry(self.model, self.postures(sweep(0.0, 40.0), arm=robot))
        assert verdict.kind == "mismatch"
        assert "--link" in verdict.note

    def test_a_known_tool_is_checked_at_once(self):
        postures = self.postures(sweep(10.0, 10.0), TOOL)
        assert check_geometry(self.model, postures, tool=TOOL).kind == "tool"
        assert check_geometry(self.model, postures, tool=[0.0] * 6).kind == "mismatch"


class FakeReceiver:
    """An interface whose samples a test hands out one poll at a time."""

    def __init__(self, numbered: bool) -> None:
        self.numbered = numbered
        self.sample = {"joint_positions": [0.0] * 6, "tcp_pose": [0.0] * 6, "timestamp": 0.0}
        self.sample["valid"] = False
        self.sequence = 0
        self.connected = True

    def publish(self, timestamp: float, skipped: int = 0) -> None:
        self.sequence += 1 + skipped
        self.sample = {**self.sample, "timestamp": timestamp, "valid": True}
        if self.numbered:
            self.sample["sequence"] = self.sequence

    def get_sample(self):
        return dict(self.sample)

    def get_status(self):
        return {"fields": {}, "timestamp": 0.0, "valid": False}

    def is_connected(self):
        return self.connected


class TestFeed:
    def test_numbered_samples_count_those_it_did_not_see(self):
        rx, now = FakeReceiver(numbered=True), [0.0]
        feed = TelemetryFeed(rx, clock=lambda: now[0])
        for frame in range(40):  # 20 frames a second, each after 10 samples of which it sees 1
            now[0] = frame * 0.05
            rx.publish(now[0], skipped=9)
            snapshot = feed.poll()
        assert snapshot.rate_hz == pytest.approx(200.0, rel=0.05)
        assert not snapshot.rate_is_lower_bound

    def test_unnumbered_samples_seen_at_every_poll_are_a_lower_bound(self):
        rx, now = FakeReceiver(numbered=False), [0.0]
        feed = TelemetryFeed(rx, clock=lambda: now[0])
        for frame in range(40):
            now[0] = frame * 0.05
            rx.publish(now[0])
            snapshot = feed.poll()
        assert snapshot.rate_is_lower_bound and snapshot.rate_hz == pytest.approx(20.0, rel=0.05)

    def test_history_keeps_its_window_and_a_new_connection_starts_afresh(self):
        rx, now = FakeReceiver(numbered=True), [0.0]
        feed = TelemetryFeed(rx, window_s=1.0, clock=lambda: now[0])
        for frame in range(30):
            now[0] = frame * 0.125
            rx.publish(now[0])
            snapshot = feed.poll()
        assert len(snapshot.history) == 9  # the last second, both ends included
        assert snapshot.latest is not None and snapshot.age_s == 0.0
        rx.sample = {**rx.sample, "valid": False}  # connect() again: nothing valid yet
        snapshot = feed.poll()
        assert snapshot.latest is None and len(snapshot.history) == 0

    def test_a_stream_gives_every_sample(self, sim):
        rx = EthernetReceiveInterface()
        if not hasattr(rx, "samples"):
            pytest.skip("this build of the receive interface has no samples()")
        rx.connect(sim.host, sim.telemetry_port)
        try:
            feed = TelemetryFeed(rx)
            first = feed.poll().history[-1].timestamp
            time.sleep(1.0)
            snapshot = feed.poll()
            got = [s for s in snapshot.history if s.timestamp > first]
            assert len(got) > 200  # 250 samples/s for a second, none lost between polls
        finally:
            rx.disconnect()
            feed.close()


@needs_viser
def test_badges_say_what_the_words_say():
    from epson_remote.view._page import badges

    state = ControllerState(True, False, None, 1, False, True)
    shown = {b.key: (b.text, b.look) for b in badges(state, True, None, True)}
    assert shown["estop"] == ("E-stop ACTIVE", "alert")
    assert shown["teach"] == ("teach ?", "unknown")
    assert shown["error"] == ("error 1", "alert")
    assert shown["power"][1] == "unknown"  # not queried: the stream's bit is not shown as the mode
    offline = {b.key: b.text for b in badges(state, False, False, False)}
    assert offline["telemetry"] == "telemetry reconnecting…"
    assert offline["estop"] == "E-stop ?" and offline["power"] == "power LOW"


@needs_viser
def test_a_taken_port_is_refused_not_replaced():
    from epson_remote.view import serve

    rx = EthernetReceiveInterface()
    with serve(rx, port=0) as first:
        with pytest.raises(OSError, match=f"cannot serve the live view on 127.0.0.1:{first.port}"):
            serve(rx, port=first.port)


def test_without_the_extra_the_tool_says_how_to_install_it(monkeypatch, capsys):
    import epson_remote.view as view_package
    from epson_remote.cli import main
    from epson_remote.cli import view as view_command

    monkeypatch.setattr(view_command, "viser_available", lambda: False)
    monkeypatch.setattr(view_package, "viser_available", lambda: False)
    assert main(["view", "--port", "0"]) == 1
    assert 'pip install "epson-remote[view]"' in " ".join(capsys.readouterr().err.split())
    with pytest.raises(ImportError, match=r"epson-remote\[view\]"):
        from epson_remote.view import serve  # noqa: F401
