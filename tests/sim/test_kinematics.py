"""Kinematics of the simulated arm: FK against the documented geometry, IK round trips in every
posture, singular poses, joint limits, Tool composition and the least-joint-motion choice."""

from __future__ import annotations

import math
import random

import pytest

from epson_remote.sim.kinematics import (
    Arm,
    ArmGeometry,
    frame_to_pose,
    pose_to_frame,
    rotation_angle,
    slerp,
)

ARM = Arm()
G = ARM.g
TOL = 1e-6


def frame_error(a, b) -> float:
    """Largest position difference (mm) or orientation difference (deg) of two frames."""
    return max(math.dist(a.pos, b.pos), rotation_angle(a.rot, b.rot))


def joints_close(a, b, tol=TOL) -> bool:
    return all(abs(x - y) <= tol for x, y in zip(a, b, strict=True))


def random_joints(rng: random.Random):
    """Joint angles within the limits, away from the singularities (J5 = 0, stretched elbow,
    wrist centre on the J1 axis), where IK is well conditioned."""
    while True:
        joints = tuple(rng.uniform(lo + 1.0, hi - 1.0) for lo, hi in G.limits)
        if abs(math.sin(math.radians(joints[4]))) < 0.1:
            continue
        phi = math.atan2(G.a3, G.d4)
        if abs(math.sin(phi - math.radians(joints[2]))) > 0.99:
            continue
        flange = ARM.flange(joints)
        ax = (flange.rot[0][2], flange.rot[1][2], flange.rot[2][2])
        wrist = [flange.pos[i] - G.d6 * ax[i] for i in range(3)]
        if math.hypot(wrist[0], wrist[1]) < 20.0:
            continue
        return joints


class TestForward:
    def test_zero_and_home_poses_follow_the_documented_geometry(self):
        zero = frame_to_pose(ARM.flange((0, 0, 0, 0, 0, 0)))
        expected = (G.a1 + G.d4 + G.d6, 0, G.d1 + G.a2 + G.a3, 0, 90, 0)
        assert zero == pytest.approx(expected, abs=1e-9)
        # J5 = 90 turns the flange normal straight down.
        home = ARM.flange((0, 0, 0, 0, 90, 0))
        assert home.pos == pytest.approx((G.a1 + G.d4, 0, G.d1 + G.a2 + G.a3 - G.d6), abs=1e-9)
        assert home.rot[2][2] == pytest.approx(-1.0)

    def test_joint_directions(self):
        base = ARM.flange((0, 0, 0, 0, 90, 0)).pos
        assert ARM.flange((10, 0, 0, 0, 90, 0)).pos[1] > base[1]  # J1 counter-clockwise
        assert ARM.flange((0, 10, 0, 0, 90, 0)).pos[0] > base[0]  # J2 leans forward
        assert ARM.flange((0, 0, 10, 0, 90, 0)).pos[2] < base[2]  # J3 lowers the forearm

    def test_reach_of_the_stretched_arm(self):
        assert 850.0 <= G.reach <= 1050.0
        # With the forearm in line with the upper arm, laid horizontally forward.
        phi = math.degrees(math.atan2(G.a3, G.d4))
        stretched = ARM.flange((0, 90, phi - 90, 0, -phi, 0))
        assert stretched.pos[0] == pytest.approx(G.reach)
        assert stretched.pos[2] == pytest.approx(G.d1)

    @pytest.mark.parametrize(
        "pose",
        [
            (1, 2, 3, 10, 20, 30),
            (0, 0, 0, -170, -45, 100),
            (5, 5, 5, 30, 90, 0),  # V = 90: U and W combine
            (5, 5, 5, 0, -90, 40),
            (0, 0, 0, 180, 0, 180),
        ],
    )
    def test_pose_frame_round_trip_uses_rz_ry_rx(self, pose):
        frame = pose_to_frame(pose)
        assert frame_error(pose_to_frame(frame_to_pose(frame)), frame) < 1e-9
        if abs(pose[4]) != 90:
            assert frame_to_pose(frame) == pytest.approx(pose, abs=1e-9)

    def test_orientation_convention_is_rz_u_ry_v_rx_w(self):
        # W = 90 alone turns the frame's Y axis onto base Z; U = 90 alone its X axis onto base Y.
        w = pose_to_frame((0, 0, 0, 0, 0, 90)).rot
        assert (w[0][1], w[1][1], w[2][1]) == pytest.approx((0, 0, 1), abs=1e-12)
        u = pose_to_frame((0, 0, 0, 90, 0, 0)).rot
        assert (u[0][0], u[1][0], u[2][0]) == pytest.approx((0, 1, 0), abs=1e-12)
        # Order: rotate about X by W first, then Y by V, then Z by U (fixed axes).
        r = pose_to_frame((0, 0, 0, 90, 90, 0)).rot
        assert (r[0][2], r[1][2], r[2][2]) == pytest.approx((0, 1, 0), abs=1e-12)


class TestInverse:
    def test_round_trip_over_random_poses_in_every_posture(self):
        rng = random.Random(20240611)
        postures_seen = set()
        for _ in range(400):
            joints = random_joints(rng)
            flange = ARM.flange(joints)
            solutions = ARM.solve(flange, joints)
            assert any(joints_close(s.joints, joints) for s in solutions), joints
            postures = [s.posture for s in solutions]
            assert len(postures) == len(set(postures)), "a posture came twice"
            for s in solutions:
                assert frame_error(ARM.flange(s.joints), flange) < TOL
                assert ARM.within_limits(s.joints)
                assert s.posture == ARM.posture_of(s.joints)
            postures_seen.add(ARM.posture_of(joints))
        assert len(postures_seen) == 8

    def test_a_central_pose_has_all_eight_postures(self):
        flange = pose_to_frame((350, 150, 450, 30, 40, 50))
        solutions = ARM.solve(flange, (0, 0, 0, 0, 90, 0))
        assert {s.posture for s in solutions} == {
            (f, a, w) for f in (True, False) for a in (True, False) for w in (True, False)
        }

    @pytest.mark.parametrize("pose", [(350, 150, 450, 30, 40, 50), (300, -200, 300, 0, 180, 0)])
    def test_elbow_flag_means_above_the_shoulder_wrist_line(self, pose):
        for s in ARM.solve(pose_to_frame(pose)):
            q1, q2 = math.radians(s.joints[0]), math.radians(s.joints[1])
            flange = ARM.flange(s.joints)
            ax = (flange.rot[0][2], flange.rot[1][2], flange.rot[2][2])
            wrist = [flange.pos[i] - G.d6 * ax[i] for i in range(3)]
            # Horizontal coordinate h along the direction from the J1 axis to the wrist centre.
            d = math.atan2(wrist[1], wrist[0])
            arm_dir = 1.0 if math.cos(q1 - d) > 0 else -1.0  # reaching forward or over the back
            s_h, s_z = arm_dir * G.a1, G.d1
            e_h, e_z = s_h + arm_dir * G.a2 * math.sin(q2), s_z + G.a2 * math.cos(q2)
            w_h, w_z = math.hypot(wrist[0], wrist[1]), wrist[2]
            line_z = s_z + (w_z - s_z) * (e_h - s_h) / (w_h - s_h)
            assert (e_z > line_z) == s.above, s

    def test_unreachable_poses_have_no_solution(self):
        assert ARM.solve(pose_to_frame((2000, 0, 300, 0, 90, 0))) == []
        # Inside the base, closer than the folded arm can reach.
        assert ARM.solve(pose_to_frame((G.a1, 0, G.d1, 0, 90, 0)) @ pose_to_frame((0,) * 6)) == []

    def test_joint_limits_exclude_solutions(self):
        narrow = Arm(
            ArmGeometry(limits=((-10, 10), (-100, 135), (-90, 70), (-5, 5), (0, 135), (-360, 360)))
        )
        joints = (0, 20, -30, 0, 60, 0)
        solutions = narrow.solve(narrow.flange(joints), joints)
        assert [s.joints for s in solutions] == [pytest.approx(joints)]

    def test_representative_nearest_the_reference_for_wide_joints(self):
        joints = (0, 10, -20, 170, 60, 300)
        flange = ARM.flange(joints)
        near_wrap = ARM.ljm_solution(flange, joints)
        assert near_wrap.joints == pytest.approx(joints)
        near_zero = ARM.ljm_solution(flange, (0, 10, -20, -170, 60, -40))
        assert near_zero.joints == pytest.approx((0, 10, -20, -190, 60, -60))

    def test_wrist_singularity_keeps_the_reference_j4(self):
        joints = (15, 10, -20, 35, 0, 20)
        flange = ARM.flange(joints)
        for s in ARM.solve(flange, joints):
            assert frame_error(ARM.flange(s.joints), flange) < TOL
        sol = ARM.ljm_solution(flange, joints)
        assert sol.joints == pytest.approx(joints)

    def test_wrist_centre_on_the_j1_axis_keeps_the_reference_j1(self):
        # Wrist centre straight above J1: J1 is free; the solver keeps the reference's.
        flange = pose_to_frame((0, 0, 900 + G.d6, 0, 0, 0))
        solutions = ARM.solve(flange, (25, 0, 0, 0, 0, 0))
        assert solutions
        for s in solutions:
            assert frame_error(ARM.flange(s.joints), flange) < TOL
            assert s.joints[0] in (pytest.approx(25), pytest.approx(-155))


class TestPostureChoice:
    def test_default_keeps_the_current_posture_and_ljm_follows_the_reference(self):
        home = (0, 0, 0, 0, 90, 0)
        target = pose_to_frame((400, 100, 400, 0, 180, 0))
        default = ARM.default_solution(target, home)
        assert default.posture == ARM.posture_of(home)
        flipped = next(s for s in ARM.solve(target, home) if s.posture == (True, True, True))
        reference = tuple(q + 3.0 for q in flipped.joints)  # near, not at, the flipped posture
        chosen = ARM.ljm_solution(target, reference)
        assert chosen.posture == (True, True, True)
        assert chosen.joints == pytest.approx(flipped.joints)
        assert chosen.posture != default.posture

    def test_default_falls_back_to_the_nearest_posture(self):
        # A point behind the base cannot be reached in the front posture.
        current = (0, 0, 0, 0, 90, 0)
        target = pose_to_frame((-450, 0, 500, 0, 180, 0))
        sol = ARM.default_solution(target, current)
        assert sol is not None and not sol.front
        assert frame_error(ARM.flange(sol.joints), target) < TOL


class TestInterpolation:
    def test_slerp_follows_the_shortest_rotation(self):
        a = pose_to_frame((0, 0, 0, 0, 0, 0)).rot
        b = pose_to_frame((0, 0, 0, 120, 0, 0)).rot
        assert rotation_angle(slerp(a, b, 0.0), a) < 1e-9
        assert rotation_angle(slerp(a, b, 1.0), b) < 1e-9
        mid = slerp(a, b, 0.5)
        assert rotation_angle(a, mid) == pytest.approx(60.0)
        assert rotation_angle(mid, b) == pytest.approx(60.0)
        # 350 degrees about Z is 10 degrees the other way.
        c = pose_to_frame((0, 0, 0, -10, 0, 0)).rot
        assert rotation_angle(a, slerp(a, c, 0.5)) == pytest.approx(5.0)

    def test_tool_offset_composes_in_the_flange_frame(self):
        flange = ARM.flange((0, 0, 0, 0, 90, 0))  # flange normal pointing down
        tcp = flange @ pose_to_frame((0, 0, 100, 0, 0, 0))
        assert tcp.pos == pytest.approx((flange.pos[0], 0, flange.pos[2] - 100))
        back = tcp @ pose_to_frame((0, 0, 100, 0, 0, 0)).inverse()
        assert frame_error(back, flange) < 1e-9
