"""Bad arguments are refused at once and unsent: never after waiting for a running motion, never
after part of a request sequence went out, never by silently reading a float-like as an integer."""

from __future__ import annotations

import decimal
import fractions
import math

import numpy as np
import pytest
from helpers import Background, go, move

from epson_remote import CommandChannel, EthernetReceiveInterface, RobotCell

# Longest a refusal may take. The motion below holds the connection until the test answers it, so
# a call that waited for the connection would still be running.
REFUSAL_SECONDS = 0.5


TOOL_RANGE = "Tool number must be between 1 and 15"
# (call on the channel, exception type, message)
BAD_CALLS = {
    "go empty destination": (lambda ch: go(ch, ""), ValueError, "Go destination must not be empty"),
    "go quoted destination": (
        lambda ch: go(ch, 'P1" CP'),
        ValueError,
        "Go destination must not contain quotes or line endings",
    ),
    "go flag without LJM": (
        lambda ch: go(ch, flag=1),
        ValueError,
        "orientation_flag can only be used when LJM is enabled",
    ),
    "go speed above 100": (
        lambda ch: go(ch, speed_percent=101),
        ValueError,
        "speed_percent must be between 1 and 100",
    ),
    "go zero acceleration": (
        lambda ch: go(ch, speed_percent=50, acceleration_percent=0),
        ValueError,
        "acceleration_percent must be at least 1",
    ),
    "go deceleration alone": (
        lambda ch: go(ch, deceleration_percent=20),
        ValueError,
        "deceleration_percent requires acceleration_percent",
    ),
    # Refused after the settings were checked: nothing of the sequence may go out first.
    "go empty search after settings": (
        lambda ch: go(ch, search="", speed_percent=50, acceleration_percent=40),
        ValueError,
        "search_expression must not be empty",
    ),
    "go parallel with line ending": (
        lambda ch: go(ch, parallel="On 1\r\nMotor Off", speed_percent=50),
        ValueError,
        "parallel_processing must not contain quotes or line endings",
    ),
    "move empty destination": (
        lambda ch: move(ch, ""),
        ValueError,
        "Move destination must not be empty",
    ),
    "move negative speed": (
        lambda ch: move(ch, speed_mm_s=-1.0),
        ValueError,
        "speed_mm_s must be finite and positive",
    ),
    "move NaN acceleration after a good speed": (
        lambda ch: move(ch, speed_mm_s=100.0, acceleration_mm_s2=math.nan),
        ValueError,
        "acceleration_mm_s2 must be finite and positive",
    ),
    "move tiny speed": (
        lambda ch: move(ch, speed_mm_s=1e-18),
        ValueError,
        "speed_mm_s is too small to send: it would read 0",
    ),
    "move quoted search after settings": (
        lambda ch: move(ch, search='Till "x"', speed_mm_s=100.0, acceleration_mm_s2=500.0),
        ValueError,
        "search_expression must not contain quotes or line endings",
    ),
    "set_tool out of range": (
        lambda ch: ch.set_tool(99),
        IndexError,
        "Tool number must be between 0 and 15",
    ),
    "tl_set empty point": (
        lambda ch: ch.tl_set(1, ""),
        ValueError,
        "TLSet tool_def_point must not be empty",
    ),
    "tl_set flange": (lambda ch: ch.tl_set(0, "P1"), IndexError, TOOL_RANGE),
    "tl_clear out of range": (lambda ch: ch.tl_clear(16), IndexError, TOOL_RANGE),
    "is_tool_defined flange": (lambda ch: ch.is_tool_defined(0), IndexError, TOOL_RANGE),
    "get_tool_definition negative": (
        lambda ch: ch.get_tool_definition(-1),
        IndexError,
        TOOL_RANGE,
    ),
    "set_tcp_offset short pose": (
        lambda ch: ch.set_tcp_offset([1]),
        ValueError,
        "TCP offset must contain exactly 6 values",
    ),
    "set_tcp_offset overflowing pose": (
        lambda ch: ch.set_tcp_offset([1e308, 0, 0, 0, 0, 0]),
        ValueError,
        "TCP offset values must be finite",
    ),
    "inverse_kinematics short pose": (
        lambda ch: ch.inverse_kinematics([1]),
        ValueError,
        "cartesian_pose must contain exactly 6 values [X, Y, Z, U, V, W]",
    ),
    "inverse_kinematics reference without LJM": (
        lambda ch: ch.inverse_kinematics([0.0] * 6, False, [0.0] * 6),
        ValueError,
        "reference_joint_positions requires least_joint_motion",
    ),
    "add_safety_cuboid short corner": (
        lambda ch: ch.add_safety_cuboid([0, 0, 0], [1, 1]),
        ValueError,
        "Safety cuboid corners must each have 3 coordinates",
    ),
}


# Text arguments with a NUL byte, which would end the text early on the controller's side:
# (call on the channel, the argument as the message names it).
NUL_TEXTS = {
    "go NUL destination": (lambda ch: go(ch, "P1\0 CP"), "Go destination"),
    "go NUL search": (lambda ch: go(ch, search="Till\0Sw(1) = On"), "search_expression"),
    "go NUL parallel": (
        lambda ch: go(ch, parallel="On 1\0", speed_percent=50),
        "parallel_processing",
    ),
    "move NUL destination": (lambda ch: move(ch, "P2\0"), "Move destination"),
    "move NUL search": (lambda ch: move(ch, search="\0"), "search_expression"),
    "move NUL parallel": (
        lambda ch: move(ch, parallel="On\0 1", speed_mm_s=100.0),
        "parallel_processing",
    ),
    "tl_set NUL point": (
        lambda ch: ch.tl_set(1, "XY(0, 0, 100, 0, 0, 0)\0"),
        "TLSet tool_def_point",
    ),
}
BAD_CALLS |= {
    name: (call, ValueError, f"{argument} must not contain NUL bytes")
    for name, (call, argument) in NUL_TEXTS.items()
}


@pytest.mark.timeout(60)
@pytest.mark.parametrize(("call", "kind", "message"), BAD_CALLS.values(), ids=BAD_CALLS.keys())
def test_refused_at_once_while_a_motion_holds_the_connection(sim, channel, call, kind, message):
    sim.script("Go P1", silent=True)
    mover = Background(go, channel)
    sim.wait_for_request("Go P1")
    sim.clear_requests()

    attempt = Background(call, channel)
    refused_in_time = attempt.finished_within(REFUSAL_SECONDS)
    sent_meanwhile = sim.requests()
    sim.push(b"#Execute,0\r\n")  # ends the motion, also when the call wrongly waits for it
    assert mover.outcome() is None
    assert refused_in_time, "the refused call waited for the running motion"
    error = attempt.outcome()
    assert type(error) is kind
    assert str(error) == message
    assert sent_meanwhile == []
    assert sim.requests() == []
    # The session goes on as if nothing had been tried.
    assert channel.get_tool() == 0


# Objects with __int__ (or __float__) but no __index__: reading them as an integer would drop a
# fraction without a word.
FLOAT_LIKES = [
    np.float32(1.7),
    np.float32(1.0),
    np.float64(1.0),
    decimal.Decimal(1),
    fractions.Fraction(3, 2),
]
FLOAT_LIKE_IDS = ["float32-fraction", "float32-whole", "float64", "Decimal", "Fraction"]

# (name, call with the value in its one integer parameter)
INTEGER_PARAMETERS = {
    "set_tool": lambda ch, v: ch.set_tool(v),
    "tl_set": lambda ch, v: ch.tl_set(v, "XY(0, 0, 100, 0, 0, 0)"),
    "tl_clear": lambda ch, v: ch.tl_clear(v),
    "is_tool_defined": lambda ch, v: ch.is_tool_defined(v),
    "get_tool_definition": lambda ch, v: ch.get_tool_definition(v),
    "go orientation_flag": lambda ch, v: go(ch, ljm=True, flag=v),
    "go speed_percent": lambda ch, v: go(ch, speed_percent=v),
    "go acceleration_percent": lambda ch, v: go(ch, acceleration_percent=v),
    "go deceleration_percent": lambda ch, v: go(
        ch, acceleration_percent=10, deceleration_percent=v
    ),
}


class TestIntegerParameters:
    @pytest.mark.parametrize("value", FLOAT_LIKES, ids=FLOAT_LIKE_IDS)
    @pytest.mark.parametrize("call", INTEGER_PARAMETERS.values(), ids=INTEGER_PARAMETERS.keys())
    def test_float_likes_are_type_errors_and_unsent(self, sim, channel, call, value):
        with pytest.raises(TypeError):
            call(channel, value)
        assert sim.requests() == []

    @pytest.mark.parametrize("value", FLOAT_LIKES, ids=FLOAT_LIKE_IDS)
    def test_float_like_ports_are_type_errors(self, sim, value):
        port_like = type(value)(sim.command_port)
        with pytest.raises(TypeError):
            CommandChannel().connect(sim.host, port_like)
        with pytest.raises(TypeError):
            EthernetReceiveInterface().connect(sim.host, port_like)
        with pytest.raises(TypeError):
            RobotCell(sim.host, port_like, sim.telemetry_port)
        with pytest.raises(TypeError):
            RobotCell(sim.host, sim.command_port, port_like)
        assert sim.requests() == []
        assert not sim.has_client()
        assert sim.telemetry_clients() == 0

    def test_numpy_integers_still_work(self, sim, channel):
        channel.tl_set(np.int32(2), "XY(0, 0, 100, 0, 0, 0)")
        assert channel.is_tool_defined(np.int16(2))
        assert channel.get_tool_definition(np.int64(2)) == [0.0, 0.0, 100.0, 0.0, 0.0, 0.0]
        channel.set_tool(np.uint8(2))
        channel.set_tool(np.int64(0))
        channel.tl_clear(np.int8(2))
        sim.script("Speed 50", reply="#Execute,0")
        sim.script("Accel 40, 20", reply="#Execute,0")
        sim.script("Go P1 LJM 1", reply="#Execute,0")
        go(
            channel,
            ljm=True,
            flag=np.int64(1),
            speed_percent=np.int32(50),
            acceleration_percent=np.uint16(40),
            deceleration_percent=np.int8(20),
        )
        assert sim.statements() == [
            "TLSet 2, XY(0, 0, 100, 0, 0, 0)",
            "Print TLDef(2)",
            "Print TLDef(2)",
            "Print CX(TLSet(2)),CY(TLSet(2)),CZ(TLSet(2)),CU(TLSet(2)),CV(TLSet(2)),CW(TLSet(2))",
            "Tool 2",
            "Tool 0",
            "TLClr 2",
            "Speed 50",
            "Accel 40, 20",
            "Go P1 LJM 1",
        ]


class TestHostNames:
    @pytest.mark.parametrize(
        ("host", "message"),
        [
            ("", "Controller host must not be empty"),
            ("127.0.0.1\x00.example.invalid", "Controller host must not contain NUL bytes"),
        ],
    )
    def test_empty_or_nul_host_is_refused_before_any_connection(self, sim, host, message):
        attempts = [
            lambda: CommandChannel().connect(host, sim.command_port),
            lambda: EthernetReceiveInterface().connect(host, sim.telemetry_port),
            lambda: RobotCell(host, sim.command_port, sim.telemetry_port),
        ]
        for attempt in attempts:
            with pytest.raises(ValueError) as error:
                attempt()
            assert str(error.value) == message
        assert sim.requests() == [] and not sim.has_client()
        assert sim.telemetry_clients() == 0

    def test_numpy_integer_ports_are_taken(self, sim):
        ch = CommandChannel()
        ch.connect(sim.host, np.uint16(sim.command_port))
        assert ch.is_logged_in()
        ch.disconnect()
