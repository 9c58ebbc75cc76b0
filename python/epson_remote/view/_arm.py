"""The arm as the page draws it: the chain's points from the joint angles by the simulator's
forward kinematics, the TCP frame from the telemetry pose, and whether the two agree.

The telemetry pose is the TCP of the selected Tool, ``flange · Tool``. With the right geometry
``flange⁻¹ · TCP`` is that Tool's offset, the same in every posture; with a wrong geometry it
changes as the arm moves. A Tool that is not known is told from a wrong geometry that way.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

from ..sim.kinematics import Arm, ArmGeometry, Frame, mat_to_quat, pose_to_frame

MM_PER_M = 1000.0
AGREE_MM = 5.0  # "a few millimetres": more than this and the drawing is not this robot
MOVED_DEG = 5.0  # joints that moved this much tell a Tool from a wrong geometry
CHECK_SAMPLES = 20  # postures compared, spread over the window


def to_metres(point: Sequence[float]) -> tuple[float, float, float]:
    return (point[0] / MM_PER_M, point[1] / MM_PER_M, point[2] / MM_PER_M)


@dataclass(frozen=True)
class Verdict:
    """How the drawn flange relates to the telemetry TCP."""

    kind: str  # "agree", "tool", "unsure" or "mismatch"
    offset_mm: float  # distance from the computed flange to the telemetry TCP
    note: str  # empty when there is nothing to say


class ArmModel:
    """Forward kinematics of one arm geometry, in the page's units (metres)."""

    def __init__(self, geometry: ArmGeometry | None = None) -> None:
        self.geometry = geometry or ArmGeometry()
        self._arm = Arm(self.geometry)

    def chain_points(self, joints: Sequence[float]) -> list[tuple[float, float, float]]:
        return [to_metres(frame.pos) for frame in self._arm.chain_frames(list(joints))]

    def flange(self, joints: Sequence[float]) -> Frame:
        return self._arm.flange(list(joints))


def orientation_position(frame: Frame) -> tuple[tuple[float, ...], tuple[float, ...]]:
    """A frame's orientation quaternion (w, x, y, z) and its position in metres."""
    return mat_to_quat(frame.rot), to_metres(frame.pos)


def _distance(a: Sequence[float], b: Sequence[float]) -> float:
    return math.dist(a[:3], b[:3])


def check_geometry(
    model: ArmModel,
    postures: Sequence[tuple[Sequence[float], Sequence[float]]],
    tool: Sequence[float] | None = None,
) -> Verdict:
    """Compare the computed flange with the telemetry TCP over ``postures`` (joints, pose pairs,
    oldest first, the latest last). ``tool``: the selected Tool's offset ``[x, y, z, u, v, w]``
    when known (``[0] * 6`` for Tool 0)."""
    if not postures:
        return Verdict("agree", 0.0, "")
    joints, pose = postures[-1]
    flange = model.flange(joints)
    offset = _distance(flange.pos, pose)
    if tool is not None:
        expected = (flange @ pose_to_frame(list(tool))).pos
        miss = _distance(expected, pose)
        if miss > AGREE_MM:
            return Verdict("mismatch", offset, _mismatch_note(miss))
        return Verdict("agree" if offset <= AGREE_MM else "tool", offset, "")
    if offset <= AGREE_MM:
        return Verdict("agree", offset, "")
    step = max(len(postures) // CHECK_SAMPLES, 1)
    picked = list(postures[::step]) + [postures[-1]]
    tools = [(model.flange(j).inverse() @ pose_to_frame(list(p))).pos for j, p in picked]
    spread = max(_distance(t, tools[-1]) for t in tools)
    if spread > AGREE_MM:
        return Verdict("mismatch", offset, _mismatch_note(spread))
    moved = max(max(abs(a - b) for a, b in zip(j, joints, strict=True)) for j, _ in picked)
    if moved >= MOVED_DEG:
        return Verdict("tool", offset, "")
    return Verdict(
        "unsure",
        offset,
        f"The TCP is {offset:.0f} mm from the flange drawn from the joints: a Tool is selected, "
        "or the arm geometry does not match this robot (a motion tells which).",
    )


def _mismatch_note(mm: float) -> str:
    return (
        f"The arm drawn from the joint angles misses the telemetry TCP by {mm:.0f} mm: the arm "
        "geometry does not match this robot (give its links with --link NAME=MM)."
    )
