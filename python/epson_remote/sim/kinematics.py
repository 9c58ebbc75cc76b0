"""Kinematics of the simulated 6-axis arm: forward kinematics, analytic inverse kinematics with
every posture, and the least-joint-motion choice among postures.

Frames and conventions
----------------------
* Lengths in millimetres, angles in degrees at this module's interface (radians inside).
* A pose is ``(X, Y, Z, U, V, W)``: the position of a frame's origin in the robot base frame
  and its orientation ``R = Rz(U) · Ry(V) · Rx(W)`` (rotate about the base X axis by W, then
  about the base Y axis by V, then about the base Z axis by U).
* The flange frame's Z axis is the flange normal (the approach direction); a Tool offset
  ``(x, y, z, u, v, w)`` is expressed in the flange frame, so the tool centre point (TCP) frame
  is ``flange · Tool``.
* At J1..J6 = 0 the upper arm stands vertical, the forearm points forward along the base +X
  axis and so does the flange normal: the flange pose is then ``(a1 + d4 + d6, 0,
  d1 + a2 + a3, 0, 90, 0)``.

Joint axes
----------
J1 turns about the vertical base axis (positive counter-clockwise seen from above). J2, J3 and
J5 are pitch joints about the local Y axis: positive J2 leans the upper arm forward, positive
J3 lowers the forearm, positive J5 bends the flange normal downwards. J4 rolls the forearm and
J6 the flange about their own axes. The chain is::

    Rz(J1) · Tz(d1) · Tx(a1) · Ry(J2) · Tz(a2) · Ry(J3) · Tz(a3) · Tx(d4)
           · Rx(J4) · Ry(J5) · Rx(J6) · Tx(d6) · Ry(90°)

where the last factor turns the chain's X axis into the flange's Z axis.

Postures
--------
A reachable pose has up to eight joint solutions, named by three flags:
``front`` (the wrist centre lies in front of the J1 axis, or behind it: the arm reaches over
its back), ``above`` (the elbow above the line from shoulder to wrist, or below it) and ``flip``
(J5 negative: the wrist is flipped). Joint angles are reported in the representative
within the joint limits that is nearest to a reference (the current joints), so J4 and J6,
whose range exceeds one turn, keep turning the way they already stand.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

Vec3 = tuple[float, float, float]
Mat3 = tuple[Vec3, Vec3, Vec3]
Joints = tuple[float, float, float, float, float, float]
Pose = tuple[float, float, float, float, float, float]

_EPS = 1e-12


# --- small 3x3 / rigid-transform helpers --------------------------------------------------------


def mat_mul(a: Mat3, b: Mat3) -> Mat3:
    return tuple(
        tuple(a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j] for j in range(3))
        for i in range(3)
    )  # type: ignore[return-value]


def mat_t(a: Mat3) -> Mat3:
    return ((a[0][0], a[1][0], a[2][0]), (a[0][1], a[1][1], a[2][1]), (a[0][2], a[1][2], a[2][2]))


def mat_vec(a: Mat3, v: Vec3) -> Vec3:
    return (
        a[0][0] * v[0] + a[0][1] * v[1] + a[0][2] * v[2],
        a[1][0] * v[0] + a[1][1] * v[1] + a[1][2] * v[2],
        a[2][0] * v[0] + a[2][1] * v[1] + a[2][2] * v[2],
    )


def rot_x(t: float) -> Mat3:
    c, s = math.cos(t), math.sin(t)
    return ((1.0, 0.0, 0.0), (0.0, c, -s), (0.0, s, c))


def rot_y(t: float) -> Mat3:
    c, s = math.cos(t), math.sin(t)
    return ((c, 0.0, s), (0.0, 1.0, 0.0), (-s, 0.0, c))


def rot_z(t: float) -> Mat3:
    c, s = math.cos(t), math.sin(t)
    return ((c, -s, 0.0), (s, c, 0.0), (0.0, 0.0, 1.0))


@dataclass(frozen=True)
class Frame:
    """A rigid transform: rotation ``rot`` then translation ``pos`` (mm)."""

    rot: Mat3
    pos: Vec3

    def __matmul__(self, other: Frame) -> Frame:
        p = mat_vec(self.rot, other.pos)
        return Frame(
            mat_mul(self.rot, other.rot),
            (p[0] + self.pos[0], p[1] + self.pos[1], p[2] + self.pos[2]),
        )

    def inverse(self) -> Frame:
        rt = mat_t(self.rot)
        p = mat_vec(rt, self.pos)
        return Frame(rt, (-p[0], -p[1], -p[2]))


IDENTITY = Frame(((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)), (0.0, 0.0, 0.0))


def pose_to_frame(pose: Pose | list[float]) -> Frame:
    x, y, z, u, v, w = (float(c) for c in pose)
    rot = mat_mul(rot_z(math.radians(u)), mat_mul(rot_y(math.radians(v)), rot_x(math.radians(w))))
    return Frame(rot, (x, y, z))


def frame_to_pose(f: Frame) -> Pose:
    """Pose of a frame; at V = ±90° (gimbal lock) W is reported as 0."""
    r = f.rot
    cv = math.hypot(r[0][0], r[1][0])
    v = math.atan2(-r[2][0], cv)
    if cv > 1e-9:
        u = math.atan2(r[1][0], r[0][0])
        w = math.atan2(r[2][1], r[2][2])
    else:
        u = math.atan2(-r[0][1], r[1][1])
        w = 0.0
    return (
        f.pos[0],
        f.pos[1],
        f.pos[2],
        _clean_deg(math.degrees(u)),
        _clean_deg(math.degrees(v)),
        _clean_deg(math.degrees(w)),
    )


def _clean_deg(a: float) -> float:
    """Fold -180 to 180 and a signed zero to 0 so printed angles look as a controller's do."""
    if a <= -180.0 + 1e-10:
        a += 360.0
    return a + 0.0


def rotation_angle(a: Mat3, b: Mat3) -> float:
    """Angle in degrees of the rotation that takes orientation ``a`` to ``b``."""
    r = mat_mul(mat_t(a), b)
    c = (r[0][0] + r[1][1] + r[2][2] - 1.0) / 2.0
    s = 0.5 * math.sqrt(
        (r[2][1] - r[1][2]) ** 2 + (r[0][2] - r[2][0]) ** 2 + (r[1][0] - r[0][1]) ** 2
    )
    return math.degrees(math.atan2(s, c))


def mat_to_quat(r: Mat3) -> tuple[float, float, float, float]:
    tr = r[0][0] + r[1][1] + r[2][2]
    if tr > 0.0:
        s = math.sqrt(tr + 1.0) * 2.0
        q = (0.25 * s, (r[2][1] - r[1][2]) / s, (r[0][2] - r[2][0]) / s, (r[1][0] - r[0][1]) / s)
    elif r[0][0] > r[1][1] and r[0][0] > r[2][2]:
        s = math.sqrt(1.0 + r[0][0] - r[1][1] - r[2][2]) * 2.0
        q = ((r[2][1] - r[1][2]) / s, 0.25 * s, (r[0][1] + r[1][0]) / s, (r[0][2] + r[2][0]) / s)
    elif r[1][1] > r[2][2]:
        s = math.sqrt(1.0 + r[1][1] - r[0][0] - r[2][2]) * 2.0
        q = ((r[0][2] - r[2][0]) / s, (r[0][1] + r[1][0]) / s, 0.25 * s, (r[1][2] + r[2][1]) / s)
    else:
        s = math.sqrt(1.0 + r[2][2] - r[0][0] - r[1][1]) * 2.0
        q = ((r[1][0] - r[0][1]) / s, (r[0][2] + r[2][0]) / s, (r[1][2] + r[2][1]) / s, 0.25 * s)
    n = math.sqrt(sum(c * c for c in q))
    return (q[0] / n, q[1] / n, q[2] / n, q[3] / n)


def quat_to_mat(q: tuple[float, float, float, float]) -> Mat3:
    w, x, y, z = q
    return (
        (1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)),
        (2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)),
        (2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)),
    )


def slerp(a: Mat3, b: Mat3, s: float) -> Mat3:
    """Orientation at fraction ``s`` of the shortest rotation from ``a`` to ``b``."""
    qa, qb = mat_to_quat(a), mat_to_quat(b)
    dot = sum(x * y for x, y in zip(qa, qb, strict=True))
    if dot < 0.0:
        qb = tuple(-c for c in qb)  # type: ignore[assignment]
        dot = -dot
    if dot > 0.9999995:
        q = tuple(x + (y - x) * s for x, y in zip(qa, qb, strict=True))
    else:
        theta = math.acos(min(1.0, dot))
        sa = math.sin((1.0 - s) * theta) / math.sin(theta)
        sb = math.sin(s * theta) / math.sin(theta)
        q = tuple(sa * x + sb * y for x, y in zip(qa, qb, strict=True))
    n = math.sqrt(sum(c * c for c in q))
    return quat_to_mat(tuple(c / n for c in q))  # type: ignore[arg-type]


# --- the arm -----------------------------------------------------------------------------------


def _default_limits() -> tuple[tuple[float, float], ...]:
    return (
        (-170.0, 170.0),
        (-145.0, 145.0),
        (-245.0, 75.0),
        (-200.0, 200.0),
        (-135.0, 135.0),
        (-360.0, 360.0),
    )


@dataclass(frozen=True)
class ArmGeometry:
    """Geometry and joint limits of the simulated 6-axis arm (a table-top industrial arm of
    about 900 mm reach).

    d1: height of the shoulder (J2 axis) above the base mounting face.
    a1: shoulder offset, forward from the J1 axis to the J2 axis.
    a2: upper arm, from the J2 axis to the J3 axis.
    a3: elbow offset, perpendicular from the forearm axis to the J3 axis.
    d4: forearm, from the elbow along the J4 axis to the wrist centre (J5 axis).
    d6: wrist flange, from the wrist centre to the flange face.
    limits: (min, max) of J1..J6 in degrees.
    max_speed: joint speeds at Speed 100, degrees per second.
    max_accel: joint accelerations at Accel 100, degrees per second squared.
    """

    d1: float = 330.0
    a1: float = 100.0
    a2: float = 380.0
    a3: float = 30.0
    d4: float = 380.0
    d6: float = 80.0
    limits: tuple[tuple[float, float], ...] = field(default_factory=_default_limits)
    max_speed: tuple[float, ...] = (450.0, 450.0, 514.0, 555.0, 555.0, 720.0)
    max_accel: tuple[float, ...] = (1500.0, 1500.0, 1800.0, 2500.0, 2500.0, 3000.0)

    @property
    def reach(self) -> float:
        """Distance from the J1 axis to the flange face with the arm stretched horizontally."""
        return self.a1 + self.a2 + math.hypot(self.a3, self.d4) + self.d6


_ALIGN = rot_y(math.pi / 2.0)  # chain X axis -> flange Z axis
_ALIGN_T = mat_t(_ALIGN)


@dataclass(frozen=True)
class Solution:
    joints: Joints
    front: bool
    above: bool
    flip: bool

    @property
    def posture(self) -> tuple[bool, bool, bool]:
        return (self.front, self.above, self.flip)


class Arm:
    """Forward and inverse kinematics of one :class:`ArmGeometry`."""

    def __init__(self, geometry: ArmGeometry | None = None) -> None:
        self.g = geometry or ArmGeometry()
        self._forearm = math.hypot(self.g.a3, self.g.d4)
        self._phi = math.atan2(self.g.a3, self.g.d4)

    # Forward kinematics

    def flange(self, joints: Joints | list[float]) -> Frame:
        g = self.g
        q1, q2, q3, q4, q5, q6 = (math.radians(j) for j in joints)
        s2, c2 = math.sin(q2), math.cos(q2)
        q23 = q2 + q3
        s23, c23 = math.sin(q23), math.cos(q23)
        r = g.a1 + g.a2 * s2 + g.d4 * c23 + g.a3 * s23
        z = g.d1 + g.a2 * c2 - g.d4 * s23 + g.a3 * c23
        r03 = mat_mul(rot_z(q1), rot_y(q23))
        r36 = mat_mul(rot_x(q4), mat_mul(rot_y(q5), rot_x(q6)))
        chain = mat_mul(r03, r36)
        rot = mat_mul(chain, _ALIGN)
        c1, s1 = math.cos(q1), math.sin(q1)
        ax = (chain[0][0], chain[1][0], chain[2][0])
        pos = (r * c1 + g.d6 * ax[0], r * s1 + g.d6 * ax[1], z + g.d6 * ax[2])
        return Frame(rot, pos)

    # The points of the chain a drawing of the arm joins, in order.
    CHAIN_POINTS = ("base", "column", "shoulder", "elbow", "forearm", "wrist", "flange")

    def chain_frames(self, joints: Joints | list[float]) -> list[Frame]:
        """The frames at ``CHAIN_POINTS`` (the product of the chain in the module comment, taken
        step by step): the base, the top of the J1 column, the J2 axis, the J3 axis, the end of
        the elbow offset, the wrist centre and the flange, whose frame equals ``flange()``."""
        g = self.g
        q1, q2, q3, q4, q5, q6 = (math.radians(j) for j in joints)

        def step(rot: Mat3 = IDENTITY.rot, pos: Vec3 = (0.0, 0.0, 0.0)) -> Frame:
            return Frame(rot, pos)

        column = step(rot_z(q1)) @ step(pos=(0.0, 0.0, g.d1))
        shoulder = column @ step(pos=(g.a1, 0.0, 0.0))
        elbow = shoulder @ step(rot_y(q2)) @ step(pos=(0.0, 0.0, g.a2))
        forearm = elbow @ step(rot_y(q3)) @ step(pos=(0.0, 0.0, g.a3))
        wrist = forearm @ step(pos=(g.d4, 0.0, 0.0))
        hand = wrist @ step(mat_mul(rot_x(q4), mat_mul(rot_y(q5), rot_x(q6))))
        flange = hand @ step(pos=(g.d6, 0.0, 0.0)) @ step(_ALIGN)
        return [IDENTITY, column, shoulder, elbow, forearm, wrist, flange]

    def posture_of(self, joints: Joints | list[float]) -> tuple[bool, bool, bool]:
        """Posture flags (front, above, flip) of a joint configuration."""
        g = self.g
        q2, q3, q5 = math.radians(joints[1]), math.radians(joints[2]), math.radians(joints[4])
        q23 = q2 + q3
        r = g.a1 + g.a2 * math.sin(q2) + g.d4 * math.cos(q23) + g.a3 * math.sin(q23)
        front = r >= 0.0
        # The J3 branch keeps the elbow above the shoulder-wrist line in front of the base;
        # behind it the arm plane is mirrored and the same branch puts the elbow below.
        above = (math.cos(self._phi - q3) >= 0.0) == front
        return (front, above, math.sin(q5) < 0.0)

    # Inverse kinematics

    def solve(self, flange: Frame, reference: Joints | list[float] | None = None) -> list[Solution]:
        """Every joint solution within the limits that puts the flange at ``flange``.

        Each joint angle is the representative (angle + k·360°) within the limits nearest to
        the reference joints (all zeros when none is given). Singular cases (wrist centre on
        the J1 axis, J5 = 0) keep the reference's value of the undetermined joint.
        """
        g = self.g
        ref = tuple(reference) if reference is not None else (0.0,) * 6
        rot = flange.rot
        ax = (rot[0][2], rot[1][2], rot[2][2])  # flange normal = chain X axis
        wx = flange.pos[0] - g.d6 * ax[0]
        wy = flange.pos[1] - g.d6 * ax[1]
        wz = flange.pos[2] - g.d6 * ax[2]
        rho = math.hypot(wx, wy)
        if rho < 1e-9:
            base = math.radians(ref[0])
        else:
            base = math.atan2(wy, wx)
        chain = mat_mul(rot, _ALIGN_T)
        l2, lf = g.a2, self._forearm
        out: list[Solution] = []
        for front in (True, False):
            q1 = base if front else base + math.pi
            r = rho if front else -rho
            dx, dz = r - g.a1, wz - g.d1
            dd = dx * dx + dz * dz
            k = (dd - l2 * l2 - lf * lf) / (2.0 * l2 * lf)
            if k > 1.0 + 1e-9 or k < -1.0 - 1e-9:
                continue
            k = max(-1.0, min(1.0, k))
            ak = math.asin(k)
            for branch in (True, False):
                q3 = self._phi - ak if branch else self._phi - math.pi + ak
                above = branch == front
                delta = self._phi - q3 - math.pi / 2.0  # angle from upper arm to forearm
                gamma = math.atan2(lf * math.sin(delta), l2 + lf * math.cos(delta))
                alpha_u = math.atan2(dz, dx) - gamma
                q2 = math.pi / 2.0 - alpha_u
                r03 = mat_mul(rot_z(q1), rot_y(q2 + q3))
                m = mat_mul(mat_t(r03), chain)
                for wrist in self._wrist(m, math.radians(ref[3])):
                    q4, q5, q6 = wrist
                    raw = (q1, q2, q3, q4, q5, q6)
                    joints = self._fit_limits(tuple(math.degrees(a) for a in raw), ref)
                    if joints is None:
                        continue
                    sol = Solution(joints, front, above, math.sin(q5) < -1e-12)
                    if not any(_same(sol.joints, o.joints) for o in out):
                        out.append(sol)
        return out

    @staticmethod
    def _wrist(m: Mat3, ref4: float) -> list[tuple[float, float, float]]:
        """Rx(a)·Ry(b)·Rx(c) decompositions of ``m``: b >= 0 first, then the flipped one."""
        sb = math.hypot(m[0][1], m[0][2])
        b = math.atan2(sb, m[0][0])
        if sb < 1e-10:
            # J4 and J6 are aligned: only their sum (or difference) is determined.
            if m[0][0] > 0.0:
                total = math.atan2(m[2][1], m[1][1])
                return [(ref4, 0.0, total - ref4)]
            diff = math.atan2(-m[2][1], m[1][1])  # Rx(a)·Ry(pi)·Rx(c) = Ry(pi)·Rx(c - a)
            return [(ref4, math.pi, ref4 + diff)]
        a = math.atan2(m[1][0], -m[2][0])
        c = math.atan2(m[0][1], m[0][2])
        return [(a, b, c), (a + math.pi, -b, c + math.pi)]

    def _fit_limits(self, joints: tuple[float, ...], ref: tuple[float, ...]) -> Joints | None:
        fitted = []
        for q, r, (lo, hi) in zip(joints, ref, self.g.limits, strict=True):
            best = None
            base = q + 360.0 * round((r - q) / 360.0)
            for cand in (base, base - 360.0, base + 360.0, base - 720.0, base + 720.0):
                if not lo - 1e-9 <= cand <= hi + 1e-9:
                    continue
                if best is None or abs(cand - r) < abs(best - r):
                    best = cand
            if best is None:
                return None
            fitted.append(min(hi, max(lo, best)) + 0.0)
        return tuple(fitted)  # type: ignore[return-value]

    def within_limits(self, joints: Joints | list[float]) -> bool:
        return all(
            lo - 1e-9 <= q <= hi + 1e-9 for q, (lo, hi) in zip(joints, self.g.limits, strict=True)
        )

    # Posture choice

    def default_solution(self, flange: Frame, current: Joints | list[float]) -> Solution | None:
        """The solution in the posture the arm stands in now, or else the nearest one."""
        sols = self.solve(flange, current)
        if not sols:
            return None
        posture = self.posture_of(current)
        same = [s for s in sols if s.posture == posture]
        return nearest(same or sols, current)

    def ljm_solution(self, flange: Frame, reference: Joints | list[float]) -> Solution | None:
        """The solution needing least joint motion from ``reference`` (LJM)."""
        sols = self.solve(flange, reference)
        return nearest(sols, reference) if sols else None


def joint_distance(a: Joints | list[float], b: Joints | list[float]) -> float:
    return math.sqrt(sum((x - y) ** 2 for x, y in zip(a, b, strict=True)))


def nearest(solutions: list[Solution], reference: Joints | list[float]) -> Solution:
    return min(solutions, key=lambda s: joint_distance(s.joints, reference))


def _same(a: Joints, b: Joints) -> bool:
    return all(abs(x - y) < 1e-7 for x, y in zip(a, b, strict=True))
