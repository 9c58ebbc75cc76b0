"""Reading joints and pose in one request, and inverse kinematics solved by the controller."""

from __future__ import annotations

import math
import threading
import time

import pytest

STATE_QUERY = (
    "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),"
    "CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)"
)
POSE = [400.0, 0.0, 300.0, 0.0, 90.0, 0.0]


def ik_statement(point: str, joint: int) -> str:
    return f"Print PAgl({point},{joint})"


def answer_joints(sim, point: str, outputs: list[str]) -> None:
    for joint, output in enumerate(outputs, start=1):
        sim.script(ik_statement(point, joint), reply=f'#Execute,"{output}"')


class TestGetState:
    def test_twelve_values_split_into_joints_and_pose(self, sim, channel):
        sim.script(STATE_QUERY, reply='#Execute," 1,2,3,4,5,6,7.5, -8e2 ,9,10,11,12 "')
        state = channel.get_state()
        assert list(state) == ["joint_positions", "tcp_pose"]
        assert state["joint_positions"] == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
        assert state["tcp_pose"] == [7.5, -800.0, 9.0, 10.0, 11.0, 12.0]
        assert sim.statements() == [STATE_QUERY]

    @pytest.mark.parametrize(
        ("output", "count"),
        [
            ("1,2,3,4,5,6,7,8,9,10,11", 11),
            ("1,2,3,4,5,6,7,8,9,10,11,12,13", 13),
            ("1,2,3,x,5,6,7,8,9,10,11,12", 3),
            ("", 0),
        ],
    )
    def test_other_than_twelve_numbers(self, sim, channel, output, count):
        sim.script(STATE_QUERY, reply=f'#Execute,"{output}"')
        with pytest.raises(RuntimeError) as error:
            channel.get_state()
        assert str(error.value) == (
            f'Failed to parse robot state. Expected 12 values, received {count}: "{output}"'
        )

    def test_controller_failure_passes_through(self, sim, channel):
        sim.script(STATE_QUERY, reply="!Execute,11")
        with pytest.raises(RuntimeError, match=r"^Remote command failed: !Execute,11 \(command: "):
            channel.get_state()

    @pytest.mark.timeout(30)
    def test_waits_at_most_250_ms_for_a_busy_connection(self, sim, channel):
        sim.script("Print EStopOn", reply='#Execute,"0"', delay=2.0)
        holder = threading.Thread(target=channel.is_emergency_stopped)
        holder.start()
        try:
            sim.wait_for_request("Print EStopOn")
            started = time.monotonic()
            with pytest.raises(RuntimeError) as error:
                channel.get_state()
            waited = time.monotonic() - started
            assert str(error.value) == "getState() timed out waiting for the connection"
            assert waited >= 0.2
            assert holder.is_alive()  # gave up while the other operation still held the lock
        finally:
            holder.join()
        assert STATE_QUERY not in sim.statements()


class TestInverseKinematics:
    def test_default_is_least_joint_motion_from_here(self, sim, channel):
        point = "LJM(XY(400,0,300,0,90,0),Here)"
        answer_joints(sim, point, ["10", " -20.5 ", "30", "1e1", "0", "-0.25"])
        assert channel.inverse_kinematics(POSE) == [10.0, -20.5, 30.0, 10.0, 0.0, -0.25]
        assert sim.statements() == [ik_statement(point, j) for j in range(1, 7)]

    def test_without_least_joint_motion(self, sim, channel):
        point = "XY(400,0,300,0,90,0)"
        answer_joints(sim, point, ["1"] * 6)
        assert channel.inverse_kinematics(POSE, least_joint_motion=False) == [1.0] * 6
        assert sim.statements() == [ik_statement(point, j) for j in range(1, 7)]

    def test_reference_and_pose_with_17_significant_digits(self, sim, channel):
        point = (
            "LJM(XY(0.10000000000000001,-0,300,9.9999999999999995e-21,90,1.5e+17),"
            "AglToPls(0.10000000000000001,-0,90,123456789.125,2.5000000000000001e-05,-45.5))"
        )
        answer_joints(sim, point, ["0"] * 6)
        channel.inverse_kinematics(
            [0.1, -0.0, 300, 1e-20, 90, 1.5e17],
            reference_joint_positions=[0.1, -0.0, 90, 123456789.125, 2.5e-5, -45.5],
        )
        assert sim.statements() == [ik_statement(point, j) for j in range(1, 7)]

    @pytest.mark.parametrize(
        ("pose", "options", "message"),
        [
            (POSE[:5], {}, "cartesian_pose must contain exactly 6 values [X, Y, Z, U, V, W]"),
            ([math.nan] * 5, {}, "cartesian_pose must contain exactly 6 values [X, Y, Z, U, V, W]"),
            (POSE + [0.0], {}, "cartesian_pose must contain exactly 6 values [X, Y, Z, U, V, W]"),
            ([*POSE[:5], math.nan], {}, "cartesian_pose must contain only finite values"),
            ([math.inf, *POSE[1:]], {}, "cartesian_pose must contain only finite values"),
            (
                POSE,
                {"least_joint_motion": False, "reference_joint_positions": [math.nan]},
                "reference_joint_positions requires least_joint_motion",
            ),
            (
                POSE,
                {"reference_joint_positions": [0.0] * 7},
                "reference_joint_positions must contain exactly 6 values",
            ),
            (
                POSE,
                {"reference_joint_positions": [0.0] * 5 + [-math.inf]},
                "reference_joint_positions must contain only finite values",
            ),
            (
                [*POSE[:5], math.nan],
                {"least_joint_motion": False, "reference_joint_positions": []},
                "cartesian_pose must contain only finite values",
            ),
        ],
    )
    def test_invalid_arguments_send_nothing(self, sim, channel, pose, options, message):
        with pytest.raises(ValueError) as error:
            channel.inverse_kinematics(pose, **options)
        assert str(error.value) == message
        assert sim.requests() == []

    @pytest.mark.parametrize("output", ["12.5 deg", "", "inf", "nan", "1e999", "1,2"])
    def test_reply_must_be_one_finite_number(self, sim, channel, output):
        point = "LJM(XY(400,0,300,0,90,0),Here)"
        answer_joints(sim, point, ["1", output])
        with pytest.raises(RuntimeError) as error:
            channel.inverse_kinematics(POSE)
        assert str(error.value) == (
            f'Failed to parse Epson controller IK response for joint 2: "{output}"'
        )
        assert len(sim.statements()) == 2

    def test_rejected_joint_stops_the_queries(self, sim, channel):
        point = "XY(400,0,300,0,90,0)"
        answer_joints(sim, point, ["1", "2"])
        sim.script(ik_statement(point, 3), reply="!Execute,4044")
        with pytest.raises(RuntimeError) as error:
            channel.inverse_kinematics(POSE, False)
        statement = ik_statement(point, 3)
        assert str(error.value) == (
            f"Epson controller IK query failed for joint 3 ({statement}): "
            f'Remote command failed: !Execute,4044 (command: $Execute,"{statement}")'
        )
        assert sim.statements() == [ik_statement(point, j) for j in range(1, 4)]
