"""Stopping: abort_motion(), a disconnect that never waits forever behind a motion, and the
connect time-out and attempts. Ctrl-C has its own module (test_ctrl_c.py)."""

from __future__ import annotations

import socket
import time

import pytest
from helpers import Background, SynDroppingPort, go, move, start_go, wait_until

from epson_remote import CommandChannel, RobotCell, xy

ABORTED = (
    "Remote command failed: !Execute,99 (Epson Remote Ethernet error 99: system error or "
    'communication error; no motion error code was returned) (command: $Execute,"Go P1")'
)


class TestAbortRouting:
    """Request lines and where each reply goes, against scripted replies."""

    def test_abort_during_a_motion_is_sent_at_once_and_the_motion_fails(self, sim, channel):
        mover = start_go(sim, channel)
        sim.script("$Abort", reply="#Abort,0")
        channel.abort_motion()
        assert mover.running()  # the motion ends with its own reply
        sim.push(b"!Execute,99\r\n")
        error = mover.outcome()
        assert isinstance(error, RuntimeError) and str(error) == ABORTED
        assert sim.requests() == ['$Execute,"Go P1"', "$Abort"]
        assert channel.get_tool() == 0  # the session works on, every reply its own

    def test_abort_reply_after_the_motion_reply_reaches_the_abort(self, sim, channel):
        mover = start_go(sim, channel)
        sim.script("$Abort", silent=True)
        aborter = Background(channel.abort_motion)
        sim.wait_for_request("$Abort")
        sim.push(b"!Execute,99\r\n")
        assert str(mover.outcome()) == ABORTED
        sim.push(b"#Abort,0\r\n")  # read by the aborting thread itself, the motion over
        assert aborter.outcome() is None
        assert channel.get_tool() == 0

    def test_abort_waits_for_a_pending_pause_instead_of_being_refused(self, sim, channel):
        mover = start_go(sim, channel)
        sim.script("$Pause", silent=True)
        pauser = Background(channel.pause)
        sim.wait_for_request("$Pause")
        sim.script("$Abort", reply="#Abort,0")
        aborter = Background(channel.abort_motion)
        time.sleep(0.3)
        assert aborter.running() and "$Abort" not in sim.requests()
        sim.push(b"#Pause,0\r\n")
        assert pauser.outcome() is None
        assert aborter.outcome() is None
        sim.push(b"!Execute,99\r\n")
        assert isinstance(mover.outcome(), RuntimeError)
        assert sim.requests() == ['$Execute,"Go P1"', "$Pause", "$Abort"]

    @pytest.mark.parametrize(
        ("reply", "failure"),
        [("#Abort,0", None), ("!Abort,20", "Remote command failed: !Abort,20 (command: $Abort)")],
    )
    def test_without_a_motion_the_controller_decides(self, sim, channel, reply, failure):
        sim.script("$Abort", reply=reply)
        if failure is None:
            channel.abort_motion()
        else:
            with pytest.raises(RuntimeError) as error:
                channel.abort_motion()
            assert str(error.value) == failure
        assert sim.requests() == ["$Abort"]
        assert channel.is_connected()

    def test_refused_when_not_connected_with_nothing_sent(self, sim):
        channel = CommandChannel()
        with pytest.raises(RuntimeError, match="not connected"):
            channel.abort_motion()
        assert sim.requests() == []


class TestDisconnectBehindAMotion:
    def test_disconnect_aborts_the_motion_then_runs_its_steps(self, sim, channel):
        sim.script("Motor On", reply="#Execute,0")
        channel.motor_on()
        mover = start_go(sim, channel)
        sim.script("$Abort", raw=b"#Abort,0\r\n!Execute,99\r\n")
        sim.script("Motor Off", reply="#Execute,0")
        started = time.monotonic()
        channel.disconnect()
        assert time.monotonic() - started < 5
        assert str(mover.outcome()) == ABORTED
        assert sim.requests() == [
            '$Execute,"Motor On"',
            '$Execute,"Go P1"',
            "$Abort",
            '$Execute,"Motor Off"',
            "$Logout",
        ]
        assert not channel.is_connected()

    @pytest.mark.slow
    def test_a_motion_that_ignores_the_abort_has_the_connection_shut_under_it(
        self, sim, channel, capfd
    ):
        mover = start_go(sim, channel)
        sim.script("$Abort", reply="#Abort,0")  # ... and the motion never ends
        started = time.monotonic()
        channel.disconnect()
        took = time.monotonic() - started
        assert 9.5 < took < 14
        assert isinstance(mover.outcome(), RuntimeError)
        assert not channel.is_connected()
        assert "did not end within 10 s of $Abort" in capfd.readouterr().err
        # The session connects again as new.
        channel.connect(sim.host, sim.command_port)
        assert channel.get_tool() == 0

    def test_a_second_connect_aborts_the_motion_first(self, sim, channel):
        mover = start_go(sim, channel)
        sim.script("$Abort", raw=b"#Abort,0\r\n!Execute,99\r\n")
        channel.connect(sim.host, sim.command_port)
        assert str(mover.outcome()) == ABORTED
        assert sim.requests()[:3] == ['$Execute,"Go P1"', "$Abort", "$Logout"]
        assert channel.is_logged_in()


class TestAbortOnTheSimulator:
    """The simulated arm: it stops short of its target and the session works on."""

    @pytest.fixture
    def moving(self, sim, channel):
        channel.motor_on()
        start = channel.get_state()["tcp_pose"]
        target = [start[0], start[1] + 150.0, *start[2:]]
        mover = Background(lambda: move(channel, xy(target), speed_mm_s=50.0))
        assert wait_until(lambda: sim.robot_state()["moving"])
        time.sleep(0.5)  # some way along, far from the target
        return mover, target

    def assert_stopped_short(self, sim, target) -> None:
        state = sim.robot_state()
        assert not state["moving"] and not state["paused"]
        assert abs(state["pose"][1] - target[1]) > 20.0
        assert state["motors_on"]

    def test_abort_a_running_motion(self, sim, channel, moving):
        mover, target = moving
        channel.abort_motion()
        error = mover.outcome()
        assert isinstance(error, RuntimeError) and "!Execute," in str(error)
        self.assert_stopped_short(sim, target)
        go(channel, xy(sim.robot_state()["pose"]))  # the next motion works

    def test_abort_a_paused_motion(self, sim, channel, moving):
        mover, target = moving
        channel.pause()
        time.sleep(0.2)
        paused_at = sim.robot_state()["pose"]
        channel.abort_motion()
        assert isinstance(mover.outcome(), RuntimeError)
        self.assert_stopped_short(sim, target)
        assert sim.robot_state()["pose"] == pytest.approx(paused_at, abs=1e-6)

    def test_disconnect_during_a_paused_motion(self, sim, channel, moving):
        mover, _ = moving
        channel.pause()
        started = time.monotonic()
        channel.disconnect()
        assert time.monotonic() - started < 10
        assert isinstance(mover.outcome(), RuntimeError)
        assert not sim.robot_state()["motors_on"]

    def test_robot_cell_disconnect_during_a_motion(self, sim):
        cell = RobotCell(sim.host, sim.command_port, sim.telemetry_port)
        channel = cell.get_control_interface()
        channel.motor_on()
        start = channel.get_state()["tcp_pose"]
        target = [start[0], start[1] + 150.0, *start[2:]]
        mover = Background(lambda: move(channel, xy(target), speed_mm_s=50.0))
        time.sleep(0.5)
        cell.disconnect()
        assert isinstance(mover.outcome(), RuntimeError)
        assert not sim.robot_state()["motors_on"]
        assert not cell.is_connected()


class TestConnectTuning:
    def test_closed_port_with_one_attempt_fails_at_once(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        channel = CommandChannel()
        started = time.monotonic()
        with pytest.raises(RuntimeError, match="after 1 attempt: Failed to connect"):
            channel.connect("127.0.0.1", port, timeout_s=1, attempts=1)
        assert time.monotonic() - started < 2
        assert not channel.is_connected()

    def test_timeout_bounds_each_attempt(self):
        unanswered = SynDroppingPort()
        try:
            channel = CommandChannel()
            started = time.monotonic()
            with pytest.raises(RuntimeError, match="after 2 attempts: Connection to .* timed out"):
                channel.connect("127.0.0.1", unanswered.port, timeout_s=0.5, attempts=2)
            took = time.monotonic() - started
            assert 2.9 < took < 4.5  # two attempts of 0.5 s and the 2 s between them
        finally:
            unanswered.close()

    @pytest.mark.parametrize(
        ("options", "message"),
        [
            ({"timeout_s": 0}, "timeout_s must be above 0 and at most 86400 seconds"),
            ({"timeout_s": float("nan")}, "timeout_s must be above 0 and at most 86400 seconds"),
            ({"timeout_s": 1e9}, "timeout_s must be above 0 and at most 86400 seconds"),
            ({"attempts": 0}, "attempts must be between 1 and 1000"),
        ],
    )
    def test_bad_tuning_is_refused_before_anything_is_sent(self, sim, options, message):
        channel = CommandChannel()
        with pytest.raises(ValueError) as error:
            channel.connect(sim.host, sim.command_port, **options)
        assert str(error.value) == message
        assert not sim.has_client()
        with pytest.raises(ValueError):
            RobotCell(sim.host, sim.command_port, sim.telemetry_port, **options)

    def test_keywords_only(self, sim):
        with pytest.raises(TypeError):
            CommandChannel().connect(sim.host, sim.command_port, "", 1.0)  # type: ignore[misc]

    def test_robot_cell_takes_the_same_keywords(self, sim):
        cell = RobotCell(sim.host, sim.command_port, sim.telemetry_port, timeout_s=3, attempts=1)
        assert cell.is_connected()
        cell.disconnect()
