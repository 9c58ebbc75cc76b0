"""A cell's I/O, variables and programs: request lines and refusals against scripted replies, and
behaviour against the simulator (a wired gripper, programs, the emergency stop)."""

from __future__ import annotations

import re
import time

import pytest
from helpers import Background, start_go

from epson_remote import CommandChannel

STATUS_KEYS = [
    "test",
    "teach_mode",
    "auto",
    "warning",
    "severe_error",
    "safeguard_open",
    "emergency_stopped",
    "error",
    "paused",
    "running",
    "ready",
]


class TestRequestLines:
    @pytest.mark.parametrize(
        ("call", "line", "reply", "result"),
        [
            (lambda ch: ch.get_input_bit(7), "$GetIO,7", "#GetIO,1", True),
            (lambda ch: ch.get_input_bit(65535), "$GetIO,65535", "#GetIO,0", False),
            (lambda ch: ch.get_input_byte(2), "$GetIOByte,2", "#GetIOByte,a5", 0xA5),
            (lambda ch: ch.get_input_word(1), "$GetIOWord,1", "#GetIOWord,BEEF", 0xBEEF),
            (lambda ch: ch.set_output_bit(3, True), "$SetIO,3,1", "#SetIO,0", None),
            (lambda ch: ch.set_output_bit(3, False), "$SetIO,3,0", "#SetIO,0", None),
            (lambda ch: ch.set_output_byte(1, 10), "$SetIOByte,1,0A", "#SetIOByte,0", None),
            (lambda ch: ch.set_output_word(0, 4660), "$SetIOWord,0,1234", "#SetIOWord,0", None),
            (lambda ch: ch.get_memory_bit(9), "$GetMemIO,9", "#GetMemIO,1", True),
            (lambda ch: ch.set_memory_bit(9, True), "$SetMemIO,9,1", "#SetMemIO,0", None),
            (lambda ch: ch.start_program(), "$Start,0", "#Start,0", None),
            (lambda ch: ch.start_program(63), "$Start,63", "#Start,0", None),
            (lambda ch: ch.stop_programs(), "$Stop", "#Stop,0", None),
        ],
    )
    def test_remote_requests(self, sim, channel, call, line, reply, result):
        sim.script(line, reply=reply)
        assert call(channel) == result
        assert sim.requests() == [line]

    @pytest.mark.parametrize(
        ("call", "statement", "output", "result"),
        [
            (lambda ch: ch.get_output_bit(4), "Print Oport(4)", " 1", True),
            (lambda ch: ch.get_output_byte(0), "Print Out(0)", " 17", 17),
            (lambda ch: ch.get_output_word(2), "Print OutW(2)", " 65535", 65535),
            (lambda ch: ch.execute_statement("Print 1+1"), "Print 1+1", " 2", " 2"),
        ],
    )
    def test_outputs_read_back_through_execute(self, sim, channel, call, statement, output, result):
        sim.script(statement, reply=f'#Execute,"{output}"')
        assert call(channel) == result
        assert sim.statements() == [statement]

    def test_a_statement_that_prints_nothing_returns_empty(self, sim, channel):
        sim.script("Off 3", reply="#Execute,0")
        assert channel.execute_statement("Off 3") == ""

    @pytest.mark.parametrize(
        ("call", "line", "reply", "result"),
        [
            (lambda ch: ch.get_variable("g_x"), "$GetVariable,g_x,Double", "#GetVariable,2.5", 2.5),
            (
                lambda ch: ch.get_variable("g_pos(3)", "Integer"),
                "$GetVariable,g_pos(3),Integer",
                "#GetVariable,-7",
                -7,
            ),
            (
                lambda ch: ch.get_variable("g_on", "boolean"),
                "$GetVariable,g_on,Boolean",
                "#GetVariable,True",
                True,
            ),
            (lambda ch: ch.get_variable("g_on", "Boolean"), None, "#GetVariable,-1", True),
            (lambda ch: ch.get_variable("g_on", "Boolean"), None, "#GetVariable,0", False),
            (
                lambda ch: ch.get_variable("g_big", "UInt64"),
                "$GetVariable,g_big,UInt64",
                "#GetVariable,18446744073709551615",
                2**64 - 1,
            ),
            (
                lambda ch: ch.get_variable("g_name", "String"),
                "$GetVariable,g_name,String",
                "#GetVariable,part 7",
                "part 7",
            ),
            (
                lambda ch: ch.set_variable("g_x", 0.1),
                "$SetVariable,g_x,0.1",
                "#SetVariable,0",
                None,
            ),
            (
                lambda ch: ch.set_variable("g_n", -32768, "Short"),
                "$SetVariable,g_n,-32768",
                "#SetVariable,0",
                None,
            ),
            (
                lambda ch: ch.set_variable("g_on", False, "Boolean"),
                "$SetVariable,g_on,False",
                "#SetVariable,0",
                None,
            ),
            (
                lambda ch: ch.set_variable("g_name", "box A", "String"),
                "$SetVariable,g_name,box A",
                "#SetVariable,0",
                None,
            ),
        ],
    )
    def test_variables(self, sim, channel, call, line, reply, result):
        sim.script(line or "$GetVariable,g_on,Boolean", reply=reply)
        assert call(channel) == result
        assert sim.requests() == [line or "$GetVariable,g_on,Boolean"]

    def test_remote_status_flags_in_order(self, sim, channel):
        sim.script("$GetStatus", reply="#GetStatus,10100000011,0012")
        status = channel.get_remote_status()
        assert list(status) == [*STATUS_KEYS, "error_code"]
        on = {key for key in STATUS_KEYS if status[key]}
        assert on == {"test", "auto", "running", "ready"}
        assert status["error_code"] == 12

    @pytest.mark.parametrize(
        ("call", "line", "reply"),
        [
            (lambda ch: ch.get_input_bit(1), "$GetIO,1", "#GetIO,2"),
            (lambda ch: ch.get_input_byte(1), "$GetIOByte,1", "#GetIOByte,1FF"),
            (lambda ch: ch.get_input_word(1), "$GetIOWord,1", "#GetIOWord,xyz1"),
            (lambda ch: ch.get_variable("v", "Byte"), "$GetVariable,v,Byte", "#GetVariable,300"),
            (lambda ch: ch.get_remote_status(), "$GetStatus", "#GetStatus,1010,0000"),
        ],
    )
    def test_replies_that_do_not_parse(self, sim, channel, call, line, reply):
        sim.script(line, reply=reply)
        with pytest.raises(RuntimeError, match="^Failed to parse Epson"):
            call(channel)
        assert channel.is_connected()

    def test_a_reply_of_a_longer_request_name_is_not_taken(self, sim, channel):
        # "#GetIOByte" begins like "#GetIO": it answers another request, not this one.
        sim.script("$GetIO,1", reply="#GetIOByte,01")
        with pytest.raises(RuntimeError, match="Unexpected Epson response"):
            channel.get_input_bit(1)

    def test_failure_replies_keep_their_text(self, sim, channel):
        sim.script("$Start,1", reply="!Start,20")
        with pytest.raises(RuntimeError) as error:
            channel.start_program(1)
        assert str(error.value) == "Remote command failed: !Start,20 (command: $Start,1)"


BAD_INDEX = [-1, 65536, 2**70, 1.0, "1", True, None]


class TestRefusedBeforeSending:
    @pytest.mark.parametrize("bad", BAD_INDEX)
    @pytest.mark.parametrize(
        "call",
        [
            lambda ch, v: ch.get_input_bit(v),
            lambda ch, v: ch.get_input_byte(v),
            lambda ch, v: ch.get_input_word(v),
            lambda ch, v: ch.get_output_bit(v),
            lambda ch, v: ch.get_output_byte(v),
            lambda ch, v: ch.get_output_word(v),
            lambda ch, v: ch.get_memory_bit(v),
            lambda ch, v: ch.set_output_bit(v, True),
            lambda ch, v: ch.set_memory_bit(v, False),
            lambda ch, v: ch.set_output_byte(v, 0),
            lambda ch, v: ch.wait_for_input(v, True, 0.1),
        ],
    )
    def test_bits_and_ports(self, sim, channel, call, bad):
        with pytest.raises(ValueError, match="must be an integer from 0 to 65535"):
            call(channel, bad)
        assert sim.requests() == []

    @pytest.mark.parametrize(
        ("call", "message"),
        [
            (lambda ch: ch.set_output_byte(0, 256), "value must be an integer from 0 to 255"),
            (lambda ch: ch.set_output_byte(0, -1), "value must be an integer from 0 to 255"),
            (lambda ch: ch.set_output_word(0, 65536), "value must be an integer from 0 to 65535"),
            (lambda ch: ch.start_program(64), "function must be an integer from 0 to 63"),
            (lambda ch: ch.start_program(-1), "function must be an integer from 0 to 63"),
            (
                lambda ch: ch.wait_for_input(1, True, -1.0),
                "timeout_s must be from 0 to 86400 seconds",
            ),
            (
                lambda ch: ch.wait_for_input(1, True, float("nan")),
                "timeout_s must be from 0 to 86400 seconds",
            ),
        ],
    )
    def test_values(self, sim, channel, call, message):
        with pytest.raises(ValueError) as error:
            call(channel)
        assert str(error.value) == message
        assert sim.requests() == []

    def test_switches_take_a_bool(self, sim, channel):
        for not_a_bool in (1, "on", None):
            with pytest.raises(TypeError):
                channel.set_output_bit(1, not_a_bool)
        assert sim.requests() == []

    @pytest.mark.parametrize(
        ("name", "value", "type_", "message"),
        [
            ("1x", 1.0, "Double", "variable name must be a SPEL+ identifier"),
            ("g x", 1.0, "Double", "variable name must be a SPEL+ identifier"),
            ("g_x(", 1.0, "Double", "variable name must be a SPEL+ identifier"),
            ("g_x(a)", 1.0, "Double", "variable name must be a SPEL+ identifier"),
            ("g_x,1", 1.0, "Double", "variable name must be a SPEL+ identifier"),
            ("a" * 33, 1.0, "Double", "variable name must be a SPEL+ identifier"),
            ("g_x", 1.0, "Float", "type must be one of Boolean, Byte"),
            ("g_x", 1, "Boolean", "value of a Boolean variable must be a bool"),
            ("g_x", 128, "Byte", "value is out of the range of a Byte variable"),
            ("g_x", -129, "Byte", "value is out of the range of a Byte variable"),
            ("g_x", 256, "UByte", "value is out of the range of a UByte variable"),
            ("g_x", -1, "UShort", "value is out of the range of a UShort variable"),
            ("g_x", 2**31, "Int32", "value is out of the range of a Int32 variable"),
            ("g_x", 2**32, "UInt32", "value is out of the range of a UInt32 variable"),
            ("g_x", 2**63, "Int64", "value is out of the range of a Int64 variable"),
            ("g_x", -1, "UInt64", "value is out of the range of a UInt64 variable"),
            ("g_x", 2**64, "UInt64", "out of the range of every integer variable type"),
            ("g_x", 1.5, "Integer", "value of a Integer variable must be an int"),
            ("g_x", float("inf"), "Double", "must be finite"),
            ("g_x", 1e39, "Real", "must be finite and within its range"),
            ("g_x", "1", "Double", "value of a Double variable must be a number"),
            ("g_x", 'say "hi"', "String", "must not contain quotes, commas"),
            ("g_x", "a,b", "String", "must not contain quotes, commas"),
            ("g_x", "a\r", "String", "must not contain quotes, commas"),
            ("g_x", "x" * 256, "String", "at most 255 characters"),
            ("g_x", [1], "Double", "value must be a bool, an int, a float or a str"),
        ],
    )
    def test_variables(self, sim, channel, name, value, type_, message):
        with pytest.raises(ValueError, match=re.escape(message)):
            channel.set_variable(name, value, type_)
        assert sim.requests() == []

    @pytest.mark.parametrize(
        ("statement", "message"),
        [
            ("Go P1", "use go() or move() for motion"),
            ("  jump P1 C0", "use go() or move() for motion"),
            ("MOVE P2", "use go() or move() for motion"),
            ("Arc3 P1, P2", "use go() or move() for motion"),
            ('Print "x"', "statement must not contain quotes or line endings"),
            ("Print 1\r\nGo P1", "statement must not contain quotes or line endings"),
            ("Print 1\x00", "statement must not contain NUL bytes"),
            ("   ", "statement must not be empty"),
        ],
    )
    def test_execute_statement(self, sim, channel, statement, message):
        with pytest.raises(ValueError) as error:
            channel.execute_statement(statement)
        assert str(error.value) == message
        assert sim.requests() == []

    def test_not_connected(self, sim):
        with pytest.raises(RuntimeError, match="not connected"):
            CommandChannel().get_input_bit(0)


class TestOnTheSimulator:
    def test_outputs_are_switched_and_read_back(self, sim, channel):
        channel.set_output_bit(5, True)
        assert sim.output(5) and channel.get_output_bit(5)
        channel.set_output_byte(1, 0x81)
        assert channel.get_output_byte(1) == 0x81
        assert channel.get_output_bit(8) and channel.get_output_bit(15)
        channel.set_output_word(2, 0xABCD)
        assert channel.get_output_word(2) == 0xABCD
        channel.set_output_bit(5, False)
        assert not channel.get_output_bit(5)

    def test_inputs_and_memory(self, sim, channel):
        sim.set_input(3, True)
        sim.set_input_byte(2, 0x5A)
        assert channel.get_input_bit(3) and not channel.get_input_bit(4)
        assert channel.get_input_byte(2) == 0x5A
        assert channel.get_input_word(1) == 0x5A
        channel.set_memory_bit(100, True)
        assert channel.get_memory_bit(100) and sim.memory(100)

    def test_a_wired_gripper_and_its_sensor(self, sim, channel):
        sim.wire_output_to_input(8, 12, delay_s=0.3)
        channel.set_output_bit(8, True)
        assert not channel.get_input_bit(12)
        started = time.monotonic()
        assert channel.wait_for_input(12, True, 5.0)
        assert 0.2 < time.monotonic() - started < 2.0
        channel.set_output_bit(8, False)
        assert not channel.wait_for_input(12, False, 0.05)  # not yet: the sensor follows later
        assert channel.wait_for_input(12, False, 5.0)

    def test_wait_for_input_times_out(self, sim, channel):
        started = time.monotonic()
        assert channel.wait_for_input(20, True, 0.3) is False
        assert 0.25 < time.monotonic() - started < 2.0

    def test_other_threads_go_between_the_polls(self, sim, channel):
        waiter = Background(channel.wait_for_input, 21, True, 5.0)
        time.sleep(0.2)
        assert channel.get_tool() == 0  # while the wait goes on
        sim.set_input(21, True)
        assert waiter.outcome() is None

    @pytest.mark.parametrize(
        ("type_", "value"),
        [
            ("Boolean", True),
            ("Byte", -128),
            ("UByte", 255),
            ("Integer", -32768),
            ("UShort", 65535),
            ("Long", -(2**31)),
            ("UInt32", 2**32 - 1),
            ("Int64", -(2**63)),
            ("UInt64", 2**64 - 1),
            ("Real", 1.5),
            ("Double", 0.1),
            ("String", "lot 42"),
        ],
    )
    def test_variables_round_trip(self, sim, channel, type_, value):
        sim.define_variable("g_value", type_)
        channel.set_variable("g_value", value, type_)
        assert channel.get_variable("g_value", type_) == value

    def test_programs_run_and_stop(self, sim, channel):
        sim.register_program(1, ["On 9", "Wait 0.1", "Off 9"], loop=True)
        channel.start_program(1)
        assert channel.get_remote_status()["running"]
        channel.stop_programs()
        assert not channel.get_remote_status()["running"]

    def test_inputs_and_status_under_emergency_stop(self, sim, channel):
        sim.set_input(2, True)
        sim.emergency_stop()
        assert channel.get_input_bit(2)
        status = channel.get_remote_status()
        assert status["emergency_stopped"] and not status["ready"]
        sim.define_variable("g_count", "Integer", 5)
        assert channel.get_variable("g_count", "Integer") == 5

    def test_remote_status_during_a_motion(self, sim, channel):
        mover = start_go(sim, channel)
        sim.script("$GetStatus", reply="#GetStatus,00100000011,0000")
        assert channel.get_remote_status()["running"]
        sim.push(b"#Execute,0\r\n")
        assert mover.outcome() is None
