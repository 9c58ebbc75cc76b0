"""Typed use of the public API, checked by ``mypy --strict`` against the shipped stubs (and run
against the simulator by test_typing.py, so that what it asserts about types is also true)."""

from __future__ import annotations

from typing import TYPE_CHECKING, assert_type

from epson_remote import (
    CommandChannel,
    EpsonPowerMode,
    EthernetReceiveInterface,
    PtpMotionLimits,
    RobotCell,
)

if TYPE_CHECKING:
    from epson_remote._command_channel import RobotState
    from epson_remote._receive_interface import TelemetrySample, TelemetryStatus


def use_channel(channel: CommandChannel) -> list[float]:
    assert_type(CommandChannel.default_port, int)
    assert_type(CommandChannel.default_password, str)
    assert_type(channel.is_logged_in(), bool)
    assert_type(channel.get_controller_status(), dict[str, int])
    mode = channel.get_power_mode()
    assert_type(mode, EpsonPowerMode)
    if mode is EpsonPowerMode.LOW:
        assert_type(mode.value, int)
    limits = channel.get_ptp_motion_limits()
    assert_type(limits, PtpMotionLimits)
    assert_type(limits.acceleration_percent, int)
    state: RobotState = channel.get_state()
    assert_type(state["joint_positions"], list[float])
    assert_type(channel.get_tool(), int)
    assert_type(channel.get_tcp_offset(), list[float])
    # Sequences of numbers are accepted, tuples included.
    joints = channel.inverse_kinematics(tuple(state["tcp_pose"]), reference_joint_positions=None)
    assert_type(joints, list[float])
    return joints


def use_telemetry(telemetry: EthernetReceiveInterface) -> float:
    sample: TelemetrySample = telemetry.get_sample()
    status: TelemetryStatus = telemetry.get_status()
    assert_type(sample["valid"], bool)
    assert_type(status["fields"], dict[str, int])
    return sample["timestamp"]


def use_cell(cell: RobotCell) -> tuple[CommandChannel, EthernetReceiveInterface]:
    return cell.get_control_interface(), cell.get_receive_interface()
