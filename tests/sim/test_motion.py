"""Motion of the simulated arm: profiles, Go and Move plans, and real-time execution with pause,
emergency stop, safeguard, XYLim and unreachable paths. Timings use a fast simulated clock and
generous margins."""

from __future__ import annotations

import threading
import time

import pytest

from epson_remote.sim.controller import HOME_JOINTS, SimulatedController
from epson_remote.sim.kinematics import IDENTITY, Arm, pose_to_frame
from epson_remote.sim.motion import (
    ROT_ACCEL,
    ROT_SPEED,
    Box,
    MotionError,
    Trapezoid,
    plan_go,
    plan_move,
)

ARM = Arm()
SCALE = 10.0  # simulated seconds per real second


def go_plan(start, target, percent=10, *, box=None):
    """A Go from ``start`` to ``target`` at ``percent`` speed, accel and decel, without a Tool."""
    return plan_go(
        ARM,
        start,
        target,
        speed_pct=percent,
        accel_pct=percent,
        decel_pct=percent,
        tool=IDENTITY,
        box=box,
    )


def move_plan(target, *, rot=False, box=None):
    """A Move from home to the flange frame ``target`` at 100 mm/s and 200 mm/s^2."""
    return plan_move(
        ARM, HOME_JOINTS, target, speed=100, accel=200, decel=200, rot=rot, tool=IDENTITY, box=box
    )


class Background:
    """Runs one ``execute`` in a thread and keeps its reply and real duration."""

    def __init__(self, ctl: SimulatedController, statement: str) -> None:
        self.reply: str | None = None
        self.elapsed = 0.0
        self._thread = threading.Thread(target=self._run, args=(ctl, statement), daemon=True)
        self._thread.start()

    def _run(self, ctl: SimulatedController, statement: str) -> None:
        start = time.monotonic()
        self.reply = ctl.execute(statement)
        self.elapsed = time.monotonic() - start

    def join(self, timeout: float = 10.0) -> str:
        self._thread.join(timeout)
        assert not self._thread.is_alive(), "the motion did not end"
        assert self.reply is not None
        return self.reply


def wait_until_moving(ctl: SimulatedController, timeout: float = 2.0) -> None:
    deadline = time.monotonic() + timeout
    while not ctl.state()["moving"]:
        assert time.monotonic() < deadline, "the motion did not start"
        time.sleep(0.002)


def moving(ctl: SimulatedController, statement: str = "Move Here -Y(300)") -> Background:
    """Starts ``statement`` at SpeedS 100 (the default takes 3.5 s simulated) and returns once
    the arm moves."""
    ctl.execute("SpeedS 100")
    motion = Background(ctl, statement)
    wait_until_moving(ctl)
    return motion


@pytest.fixture
def ctl() -> SimulatedController:
    c = SimulatedController(time_scale=SCALE)
    assert c.execute("Motor On") == "#Execute,0"
    return c


class TestTrapezoid:
    def test_trapezoid_phases(self):
        p = Trapezoid.plan(300.0, 100.0, 200.0, 200.0)
        assert (p.t_acc, p.t_const, p.t_dec) == pytest.approx((0.5, 2.5, 0.5))
        assert p.duration == pytest.approx(3.5)
        assert p.position(0.5) == pytest.approx(25.0)
        assert p.position(1.75) == pytest.approx(150.0)
        assert p.position(3.0) == pytest.approx(275.0)
        assert p.position(-1.0) == 0.0 and p.position(10.0) == 300.0

    def test_triangle_when_too_short_for_full_speed(self):
        p = Trapezoid.plan(10.0, 100.0, 100.0, 400.0)
        assert p.t_const == 0.0 and p.peak < 100.0
        # Distance of both ramps adds up to the whole way.
        assert p.peak**2 / 200.0 + p.peak**2 / 800.0 == pytest.approx(10.0)
        assert p.t_acc == pytest.approx(4.0 * p.t_dec)

    def test_position_is_continuous_and_monotonic(self):
        p = Trapezoid.plan(1.0, 0.7, 3.0, 1.5)
        ts = [p.duration * i / 1000.0 for i in range(1001)]
        xs = [p.position(t) for t in ts]
        assert all(b >= a for a, b in zip(xs, xs[1:], strict=False))
        steps = [b - a for a, b in zip(xs, xs[1:], strict=False)]
        assert max(steps) <= 0.7 * p.duration / 1000.0 + 1e-12
        for boundary in (p.t_acc, p.t_acc + p.t_const):
            assert p.position(boundary - 1e-9) == pytest.approx(p.position(boundary + 1e-9))


class TestPlans:
    def test_go_single_joint_duration(self):
        start = HOME_JOINTS
        target = (90.0, *HOME_JOINTS[1:])
        m = go_plan(start, target)
        v, a = 0.1 * ARM.g.max_speed[0], 0.1 * ARM.g.max_accel[0]
        assert m.duration == pytest.approx(90.0 / v + v / a)

    def test_go_joints_start_and_stop_together(self):
        start = HOME_JOINTS
        target = (60.0, 20.0, -30.0, 45.0, 60.0, 90.0)
        m = plan_go(
            ARM, start, target, speed_pct=50, accel_pct=50, decel_pct=20, tool=IDENTITY, box=None
        )
        for t in (0.1 * m.duration, 0.5 * m.duration, 0.9 * m.duration):
            joints = m.joints_at(t)
            fractions = [
                (q - a) / (b - a) for q, a, b in zip(joints, start, target, strict=True) if b != a
            ]
            assert max(fractions) - min(fractions) < 1e-12
        assert m.joints_at(m.duration) == target
        # The slowest joint sets the duration: none could do its share faster.
        g = ARM.g
        for i, (a, b) in enumerate(zip(start, target, strict=True)):
            own = Trapezoid.plan(
                abs(b - a), 0.5 * g.max_speed[i], 0.5 * g.max_accel[i], 0.2 * g.max_accel[i]
            )
            assert m.duration >= own.duration - 1e-9

    def test_move_duration_and_straight_path(self):
        m = move_plan(self.home_tcp() @ pose_to_frame((0, 300, 0, 0, 0, 0)))
        assert m.duration == pytest.approx(3.5)
        start = ARM.flange(HOME_JOINTS).pos
        for t in (0.25, 1.0, 2.0, 3.3):
            p = ARM.flange(m.joints_at(t)).pos
            done = Trapezoid.plan(300, 100, 200, 200).position(t)
            # At home the flange frame's Y axis is the base Y axis.
            assert p == pytest.approx((start[0], start[1] + done, start[2]), abs=1e-6)

    def test_rotation_limits_apply_with_rot_or_without_travel(self):
        turn = pose_to_frame((0, 0, 0, 0, 0, 90))  # 90 degrees about the flange normal
        target = self.home_tcp() @ turn
        spin = move_plan(target)
        assert spin.duration == pytest.approx(
            Trapezoid.plan(90, ROT_SPEED, ROT_ACCEL, ROT_ACCEL).duration
        )
        short_turn = self.home_tcp() @ pose_to_frame((10, 0, 0, 0, 0, 90))
        plain = move_plan(short_turn)
        rot = move_plan(short_turn, rot=True)
        assert plain.duration == pytest.approx(Trapezoid.plan(10, 100, 200, 200).duration)
        assert rot.duration == pytest.approx(spin.duration)

    def test_refusals(self):
        far = pose_to_frame((1500, 0, 400, 0, 180, 0))
        with pytest.raises(MotionError):
            move_plan(far)
        box = Box(0, 600, -100, 100, 0, 1000)
        outside = self.home_tcp() @ pose_to_frame((0, 150, 0, 0, 0, 0))
        with pytest.raises(MotionError):
            move_plan(outside, box=box)
        with pytest.raises(MotionError):
            go_plan(HOME_JOINTS, (20.0, *HOME_JOINTS[1:]), box=box)
        with pytest.raises(MotionError):
            go_plan(HOME_JOINTS, (175.0, *HOME_JOINTS[1:]))

    @staticmethod
    def home_tcp():
        return ARM.flange(HOME_JOINTS)


class TestRealTime:
    def test_move_300_mm_takes_about_3_5_seconds(self, ctl):
        assert ctl.execute("SpeedS 100") == "#Execute,0"
        start = time.monotonic()
        assert ctl.execute("Move Here -Y(300)") == "#Execute,0"
        elapsed = (time.monotonic() - start) * SCALE
        assert 3.3 <= elapsed <= 8.0
        assert ctl.state()["pose"][1] == pytest.approx(-300.0)
        assert not ctl.state()["moving"]

    def test_telemetry_sees_the_arm_move_along_the_line(self, ctl):
        home = ctl.telemetry().pose
        motion = moving(ctl)
        samples = []
        while motion.reply is None:
            samples.append(ctl.telemetry())
            time.sleep(0.01)
        assert motion.join() == "#Execute,0"
        ys = [s.pose[1] for s in samples]
        assert any(-290 < y < -10 for y in ys)
        assert all(b <= a + 1e-9 for a, b in zip(ys, ys[1:], strict=False))
        for s in samples:
            assert (s.pose[0], s.pose[2]) == pytest.approx((home[0], home[2]), abs=1e-6)
            assert s.robotinfo & 0x100 or s is samples[-1]
            assert ARM.flange(s.joints).pos == pytest.approx(s.pose[:3], abs=1e-6)

    def test_go_duration_follows_the_profile_and_power_low_caps_speed(self, ctl):
        target = (90.0, *HOME_JOINTS[1:])
        point = "AglToPls({})".format(",".join(str(q) for q in target))
        assert ctl.execute("Speed 100") == "#Execute,0"
        assert ctl.execute("Accel 100, 100") == "#Execute,0"
        expected = go_plan(HOME_JOINTS, target).duration  # Power Low: 10 % at most
        start = time.monotonic()
        assert ctl.execute(f"Go {point}") == "#Execute,0"
        elapsed = (time.monotonic() - start) * SCALE
        assert expected * 0.95 <= elapsed <= expected * 1.5 + 3.0
        assert ctl.state()["joints"] == pytest.approx(target)
        assert ctl.execute("Power High") == "#Execute,0"
        fast = go_plan(target, HOME_JOINTS, 100).duration
        assert fast < expected / 3
        start = time.monotonic()
        assert ctl.execute("Go AglToPls(0,0,0,0,90,0)") == "#Execute,0"
        assert (time.monotonic() - start) * SCALE < expected * 0.6

    def test_pause_lengthens_the_motion_by_the_pause(self, ctl):
        motion = moving(ctl)  # 3.5 s simulated, 0.35 s real
        time.sleep(0.1)
        assert ctl.pause() == "#Pause,0"
        assert ctl.state()["paused"] and not ctl.state()["moving"]
        held = ctl.telemetry().pose
        time.sleep(0.4)
        assert ctl.telemetry().pose == held
        assert motion.reply is None
        assert ctl.telemetry().stat & 0x10000
        assert ctl.resume() == "#Continue,0"
        assert motion.join() == "#Execute,0"
        assert 0.35 + 0.4 - 0.05 <= motion.elapsed <= 0.35 + 0.4 + 0.5
        assert ctl.state()["pose"][1] == pytest.approx(-300.0)

    def test_pause_and_continue_need_a_motion(self, ctl):
        assert ctl.pause() == "!Pause,20"
        assert ctl.resume() == "!Continue,20"
        motion = moving(ctl, "Move Here -Y(100)")
        assert ctl.resume() == "!Continue,20"  # running, not paused
        motion.join()

    def test_another_execute_is_refused_but_print_answers(self, ctl):
        motion = moving(ctl)
        assert ctl.execute("Go Here") == "!Execute,21"
        assert ctl.execute("Speed 10") == "!Execute,21"
        assert ctl.execute("Reset") == "!Execute,21"
        assert ctl.execute("Print Motor") == '#Execute," 1"'
        assert int(ctl.execute("Print RobotInfo(0)").split('"')[1]) & 0x100
        assert motion.join() == "#Execute,0"

    def test_emergency_stop_aborts_the_motion(self, ctl):
        motion = moving(ctl)
        time.sleep(0.1)
        ctl.emergency_stop()
        assert motion.join(1.0) == "!Execute,99"
        state = ctl.state()
        assert -300 < state["pose"][1] < 0  # stopped on the way
        assert not state["moving"] and not state["motors_on"] and state["estop"]
        stopped = ctl.telemetry().pose
        time.sleep(0.1)
        assert ctl.telemetry().pose == stopped
        assert ctl.telemetry().ctrlinfo & 0x100
        assert ctl.execute("Motor On") == "!Execute,20"
        ctl.release_emergency_stop()
        assert ctl.execute("Motor On") == "!Execute,20"
        assert ctl.execute("Reset") == "#Execute,0"
        assert ctl.execute("Motor On") == "#Execute,0"
        assert ctl.execute("Move Here -Y(10)") == "#Execute,0"

    def test_emergency_stop_while_paused(self, ctl):
        motion = moving(ctl)
        ctl.pause()
        ctl.emergency_stop()
        assert motion.join(1.0) == "!Execute,99"
        assert not ctl.state()["paused"]

    def test_safeguard_pauses_and_continue_waits_for_it(self, ctl):
        motion = moving(ctl)
        ctl.set_safeguard(True)
        assert ctl.state()["paused"]
        assert ctl.resume() == "!Continue,20"
        ctl.set_safeguard(False)
        assert ctl.resume() == "#Continue,0"
        assert motion.join() == "#Execute,0"

    def test_reset_state_aborts_a_running_motion(self, ctl):
        motion = moving(ctl)
        ctl.reset_state()
        assert motion.join(1.0) == "!Execute,99"
        assert ctl.state()["joints"] == list(HOME_JOINTS)
        assert ctl.execute("Motor On") == "#Execute,0"

    def test_till_condition_true_at_the_start_stops_at_once(self, ctl):
        before = ctl.state()["pose"]
        assert ctl.execute("Go Here +Z(-50) Till Sw(1) = Off") == "#Execute,0"
        assert ctl.state()["pose"] == before
        assert ctl.execute("Go Here +Z(-50) Till Sw(1) = On") == "#Execute,0"
        assert ctl.state()["pose"][2] == pytest.approx(before[2] - 50)


class TestRefusedMotions:
    """Refused motions answer 99 before moving and leave no pending error."""

    def test_xylim_box_refuses_paths_that_leave_it(self, ctl):
        ctl.execute("Power High")
        ctl.execute("Speed 100")
        ctl.execute("Accel 100, 100")
        ctl.execute("SpeedS 1000")
        ctl.execute("AccelS 5000")
        ctl.set_point(1, [83.35, -472.7, 660, 180, 0, 180])
        ctl.set_point(2, [83.35, 472.7, 660, 180, 0, 180])
        assert ctl.execute("Go P1") == "#Execute,0"
        assert ctl.execute("XYLimMode 1") == "#Execute,0"
        assert ctl.execute("XYLim 0,200,-500,500,0,1000") == "#Execute,0"
        before = ctl.state()["joints"]
        # Both ends lie inside, but the joint path swings out to X = 480.
        assert ctl.execute("Go P2") == "!Execute,99"
        assert ctl.state()["joints"] == before
        assert ctl.execute("Go P2 +X(200)") == "!Execute,99"
        assert ctl.execute("Move P1 -Y(40)") == "!Execute,99"
        assert ctl.execute("Print SysErr") == '#Execute," 0"'
        # The straight line stays inside the box.
        assert ctl.execute("Move P2") == "#Execute,0"
        assert ctl.execute("XYLimMode 0") == "#Execute,0"
        assert ctl.execute("Go P1") == "#Execute,0"

    def test_the_limit_is_checked_on_the_tool_tip(self, ctl):
        ctl.execute("XYLimMode 1")
        ctl.execute("XYLim 0,1000,-500,500,600,1000")
        assert ctl.execute("Move Here -Z(30)") == "#Execute,0"
        ctl.execute("TLSet 1, XY(0,0,50,0,0,0)")
        ctl.execute("Tool 1")  # the tool tip now stands 50 mm lower, below Z 600
        assert ctl.execute("Move Here +Z(1)") == "!Execute,99"

    def test_all_zero_box_limits_nothing(self, ctl):
        assert ctl.execute("XYLimMode 1") == "#Execute,0"
        assert ctl.execute("Move Here -Y(50)") == "#Execute,0"

    def test_move_through_an_unreachable_region_fails_before_moving(self, ctl):
        ctl.execute("Power High")
        ctl.execute("Speed 100")
        ctl.execute("Accel 100, 100")
        ctl.set_point(1, [-300, 300, 500, 180, 0, 180])
        ctl.set_point(2, [-300, -300, 500, 180, 0, 180])
        assert ctl.execute("Go P1") == "#Execute,0"
        before = ctl.state()["joints"]
        # Behind the base the arm's side would need J1 beyond its limit: the line is refused
        # although both ends are reachable.
        assert ctl.execute("Move P2") == "!Execute,99"
        assert ctl.state()["joints"] == before
        assert ctl.execute("Go P2") == "#Execute,0"

    def test_unreachable_targets(self, ctl):
        assert ctl.execute("Go XY(1500,0,300,0,90,0)") == "!Execute,99"
        assert ctl.execute("Move XY(1500,0,300,0,90,0)") == "!Execute,99"
        assert ctl.execute("Go AglToPls(0,0,0,0,150,0)") == "!Execute,99"  # beyond J5's limit
        assert ctl.state()["joints"] == list(HOME_JOINTS)
        assert ctl.execute("Print SysErr") == '#Execute," 0"'
