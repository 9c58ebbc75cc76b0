"""Typed use of the public API, checked by ``mypy --strict`` against the shipped stubs (and run
against the simulator by test_typing.py, so that what it asserts about types is also true)."""

from __future__ import annotations

import logging
from typing import TYPE_CHECKING, assert_type

import epson_remote
from epson_remote import (
    CommandChannel,
    ConnectionLost,
    ControllerError,
    ControllerState,
    EpsonError,
    EpsonPowerMode,
    EpsonTimeout,
    EthernetReceiveInterface,
    NotConnected,
    ProtocolError,
    PtpMotionLimits,
    RobotCell,
    decode_status,
    log_to,
    xy,
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


def describe_failure(error: EpsonError) -> str:
    """A host program's handling of each failure class."""
    if isinstance(error, ControllerError):
        assert_type(error.code, int | None)
        return f"{error.reply} to {error.request}: {error.description}"
    if isinstance(error, EpsonTimeout | ConnectionLost):
        oserror: OSError = error  # both are OSError too
        return f"network: {oserror}"
    if isinstance(error, NotConnected | ProtocolError):
        return f"session: {error}"
    return str(error)


def use_host_program(host: str, command_port: int, telemetry_port: int) -> ControllerState:
    """Sessions in with blocks, log lines in logging, motions with defaults, a cell's password."""
    assert_type(epson_remote.__version__, str)
    log_to(logging.getLogger("typed_usage"))
    try:
        with CommandChannel() as channel:
            assert_type(channel, CommandChannel)
            try:
                channel.connect(host, command_port)
            except EpsonError as error:
                raise RuntimeError(describe_failure(error)) from error
            channel.motor_on()
            pose = channel.get_state()["tcp_pose"]
            channel.go(xy(pose))
            channel.move(xy(pose), speed_mm_s=100)
            channel.go(xy(pose), speed_percent=10, acceleration_percent=10)
            limits = channel.get_ptp_motion_limits()
            assert str(limits.acceleration_percent) in repr(limits)
            state = decode_status(channel.get_controller_status())
        assert_type(state.motors_on, bool | None)
        with RobotCell(host, command_port, telemetry_port, password=None, attempts=1) as cell:
            assert_type(cell, RobotCell)
        with EthernetReceiveInterface() as telemetry:
            assert_type(telemetry, EthernetReceiveInterface)
            telemetry.connect(host, telemetry_port)
            assert_type(decode_status(telemetry.get_status()).error_code, int | None)
    finally:
        log_to(None)
    return state
