"""Motion planning of the simulated arm: trapezoidal profiles, synchronised joint motion (Go)
and straight-line Cartesian motion (Move), with the checks a controller makes before moving.

A planned motion is a pure function of simulated time: ``joints_at(t)`` for ``0 <= t <=
duration``. The controller maps its monotonic clock (scaled, less the time spent paused) onto
that time, so pausing simply stops the motion's clock.

* ``Go``: every joint moves from start to target along one shared path parameter ``s`` in
  [0, 1] with a trapezoidal profile, so all joints start and stop together. The profile's
  speed and acceleration are the largest that keep every joint within its share of the
  ``Speed`` / ``Accel`` percentages of its maximum, so the slowest joint sets the duration.
* ``Move``: the TCP travels the straight line from its start position to the target while its
  orientation turns along the shortest rotation (slerp). The profile honours ``SpeedS`` /
  ``AccelS`` for the position; with ``ROT`` (or a pure re-orientation) it also honours the
  rotation limits ``ROT_SPEED`` / ``ROT_ACCEL``, and the slower of the two sets the duration.
  The path is checked at sample points before moving: every sample must be reachable in the
  arm's current posture without a jump of the joints (which would mean passing a singularity
  or a joint limit).
* Both check the TCP path against the XYLim box when it is active.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from .kinematics import Arm, Frame, Joints, rotation_angle, slerp

ROT_SPEED = 50.0  # deg/s, tool re-orientation speed of a Move ROT
ROT_ACCEL = 200.0  # deg/s², tool re-orientation acceleration of a Move ROT

_LINEAR_STEP_MM = 1.0
_ANGULAR_STEP_DEG = 0.5
_JOINT_STEP_DEG = 1.0
_MIN_SAMPLES = 20
_MAX_SAMPLES = 1000
_MAX_JOINT_JUMP_DEG = 10.0


class MotionError(Exception):
    """A motion that cannot be carried out; it is refused before the robot moves."""


@dataclass(frozen=True)
class Trapezoid:
    """Trapezoidal (or, when too short to reach full speed, triangular) velocity profile over
    ``distance`` with top speed ``speed``, acceleration ``accel`` and deceleration ``decel``."""

    distance: float
    peak: float
    accel: float
    decel: float
    t_acc: float
    t_const: float
    t_dec: float

    @classmethod
    def plan(cls, distance: float, speed: float, accel: float, decel: float) -> Trapezoid:
        if distance <= 0.0:
            return cls(0.0, 0.0, accel, decel, 0.0, 0.0, 0.0)
        if not (speed > 0.0 and accel > 0.0 and decel > 0.0):
            raise ValueError("speed, acceleration and deceleration must be positive")
        ramps = speed * speed / (2.0 * accel) + speed * speed / (2.0 * decel)
        if ramps <= distance:
            peak = speed
            t_const = (distance - ramps) / speed
        else:
            peak = math.sqrt(2.0 * distance * accel * decel / (accel + decel))
            t_const = 0.0
        return cls(distance, peak, accel, decel, peak / accel, t_const, peak / decel)

    @property
    def duration(self) -> float:
        return self.t_acc + self.t_const + self.t_dec

    def position(self, t: float) -> float:
        """Distance covered at time ``t`` (clamped to the profile)."""
        if t <= 0.0 or self.distance <= 0.0:
            return 0.0
        if t >= self.duration:
            return self.distance
        if t < self.t_acc:
            return 0.5 * self.accel * t * t
        s_acc = 0.5 * self.peak * self.t_acc
        if t < self.t_acc + self.t_const:
            return s_acc + self.peak * (t - self.t_acc)
        left = self.duration - t
        return self.distance - 0.5 * self.decel * left * left


@dataclass(frozen=True)
class Box:
    """XYLim box in base coordinates (mm). Z is checked only when ``check_z`` is set."""

    xmin: float
    xmax: float
    ymin: float
    ymax: float
    zmin: float
    zmax: float
    check_z: bool = True

    def contains(self, p: tuple[float, float, float], tol: float = 1e-6) -> bool:
        if not (self.xmin - tol <= p[0] <= self.xmax + tol):
            return False
        if not (self.ymin - tol <= p[1] <= self.ymax + tol):
            return False
        return not self.check_z or self.zmin - tol <= p[2] <= self.zmax + tol


class Motion:
    """A planned motion; ``joints_at`` is valid for 0 <= t <= ``duration`` (seconds)."""

    kind = "motion"
    duration: float
    target: Joints

    def joints_at(self, t: float) -> Joints:
        raise NotImplementedError


class JointMotion(Motion):
    kind = "go"

    def __init__(self, start: Joints, target: Joints, profile: Trapezoid) -> None:
        self.start = start
        self.target = target
        self.profile = profile
        self.duration = profile.duration

    def joints_at(self, t: float) -> Joints:
        if t >= self.duration:
            return self.target
        s = self.profile.position(t)
        return tuple(a + (b - a) * s for a, b in zip(self.start, self.target, strict=True))  # type: ignore[return-value]


class LinearMotion(Motion):
    kind = "move"

    def __init__(
        self,
        arm: Arm,
        start: Frame,
        end: Frame,
        tool_inv: Frame,
        seeds: list[Joints],
        profile: Trapezoid,
    ) -> None:
        self.arm = arm
        self.start = start
        self.end = end
        self.tool_inv = tool_inv
        self.seeds = seeds
        self.profile = profile
        self.duration = profile.duration
        self.target = seeds[-1]

    def joints_at(self, t: float) -> Joints:
        if t >= self.duration:
            return self.target
        s = self.profile.position(t)
        n = len(self.seeds) - 1
        seed = self.seeds[min(n, max(0, round(s * n)))]
        flange = _tcp_on_line(self.start, self.end, s) @ self.tool_inv
        sols = self.arm.solve(flange, seed)
        if not sols:
            return seed
        best = min(sols, key=lambda x: _max_jump(x.joints, seed))
        return best.joints


def _tcp_on_line(start: Frame, end: Frame, s: float) -> Frame:
    pos = tuple(a + (b - a) * s for a, b in zip(start.pos, end.pos, strict=True))
    return Frame(slerp(start.rot, end.rot, s), pos)  # type: ignore[arg-type]


def _max_jump(a: Joints, b: Joints) -> float:
    return max(abs(x - y) for x, y in zip(a, b, strict=True))


def _sample_count(extent: float, step: float) -> int:
    return max(_MIN_SAMPLES, min(_MAX_SAMPLES, math.ceil(extent / step)))


def plan_go(
    arm: Arm,
    start: Joints,
    target: Joints,
    *,
    speed_pct: float,
    accel_pct: float,
    decel_pct: float,
    tool: Frame,
    box: Box | None,
) -> JointMotion:
    """Synchronised point-to-point motion in joint space."""
    if not arm.within_limits(target):
        raise MotionError("target outside the joint limits")
    g = arm.g
    deltas = [abs(b - a) for a, b in zip(start, target, strict=True)]
    moving = [i for i, d in enumerate(deltas) if d > 1e-9]
    if box is not None:
        n = _sample_count(max(deltas), _JOINT_STEP_DEG)
        for i in range(n + 1):
            s = i / n
            joints = tuple(a + (b - a) * s for a, b in zip(start, target, strict=True))
            if not box.contains((arm.flange(joints) @ tool).pos):
                raise MotionError("path leaves the XYLim box")
    if not moving:
        return JointMotion(start, target, Trapezoid.plan(0.0, 1.0, 1.0, 1.0))
    vs = min(speed_pct / 100.0 * g.max_speed[i] / deltas[i] for i in moving)
    acc = min(accel_pct / 100.0 * g.max_accel[i] / deltas[i] for i in moving)
    dec = min(decel_pct / 100.0 * g.max_accel[i] / deltas[i] for i in moving)
    return JointMotion(start, target, Trapezoid.plan(1.0, vs, acc, dec))


def plan_move(
    arm: Arm,
    start: Joints,
    target_tcp: Frame,
    *,
    speed: float,
    accel: float,
    decel: float,
    rot: bool,
    tool: Frame,
    box: Box | None,
) -> LinearMotion:
    """Straight-line motion of the TCP to ``target_tcp`` keeping the arm's posture."""
    start_tcp = arm.flange(start) @ tool
    tool_inv = tool.inverse()
    length = math.dist(start_tcp.pos, target_tcp.pos)
    angle = rotation_angle(start_tcp.rot, target_tcp.rot)
    n = max(_sample_count(length, _LINEAR_STEP_MM), _sample_count(angle, _ANGULAR_STEP_DEG))
    seeds: list[Joints] = [start]
    posture = arm.posture_of(start)
    for i in range(1, n + 1):
        s = i / n
        tcp = _tcp_on_line(start_tcp, target_tcp, s) if i < n else target_tcp
        if box is not None and not box.contains(tcp.pos):
            raise MotionError("path leaves the XYLim box")
        prev = seeds[-1]
        sols = [x for x in arm.solve(tcp @ tool_inv, prev) if x.posture == posture]
        if not sols:
            raise MotionError("path passes an unreachable region")
        best = min(sols, key=lambda x: _max_jump(x.joints, prev))
        if _max_jump(best.joints, prev) > _MAX_JOINT_JUMP_DEG:
            raise MotionError("path passes a singularity or a joint limit")
        seeds.append(best.joints)
    if box is not None and not box.contains(start_tcp.pos):
        raise MotionError("path leaves the XYLim box")
    limits = []
    if length > 1e-6:
        limits.append((speed / length, accel / length, decel / length))
    if rot or length <= 1e-6:
        if angle > 1e-9:
            limits.append((ROT_SPEED / angle, ROT_ACCEL / angle, ROT_ACCEL / angle))
    if not limits:
        profile = Trapezoid.plan(0.0, 1.0, 1.0, 1.0)
    else:
        profile = Trapezoid.plan(
            1.0, min(x[0] for x in limits), min(x[1] for x in limits), min(x[2] for x in limits)
        )
    return LinearMotion(arm, start_tcp, target_tcp, tool_inv, seeds, profile)


__all__ = [
    "ROT_ACCEL",
    "ROT_SPEED",
    "Box",
    "JointMotion",
    "LinearMotion",
    "Motion",
    "MotionError",
    "Trapezoid",
    "plan_go",
    "plan_move",
]
