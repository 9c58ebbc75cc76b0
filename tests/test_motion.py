"""Go and Move: statements, settings lines, validation, and what other threads may do meanwhile."""

from __future__ import annotations

import math
import time

import pytest
from helpers import Background, go, move, start_go

STATE_QUERY = (
    "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),"
    "CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)"
)
SKIPPED = (
    "getState() skipped: a motion command is in progress and holds the connection until the "
    "move completes"
)


def assert_not_moving(sim, channel) -> None:
    """A state read is refused while the session believes a motion runs."""
    sim.script(STATE_QUERY, reply='#Execute,"0,0,0,0,0,0,0,0,0,0,0,0"')
    channel.get_state()


def assert_refused_unsent(sim, channel, motion, options, message) -> None:
    """``motion(channel, **options)`` is refused with ``message``, before anything is sent or the
    session takes itself for moving."""
    with pytest.raises(ValueError) as error:
        motion(channel, **options)
    assert str(error.value) == message
    assert sim.requests() == []
    assert_not_moving(sim, channel)


class TestGo:
    def test_plain_go_is_one_line(self, sim, channel):
        sim.script("Go P1", reply="#Execute,0")
        go(channel)
        assert sim.requests() == ['$Execute,"Go P1"']

    def test_settings_lines_come_first(self, sim, channel):
        for statement in ("Speed 50", "Accel 40, 40", "Go P1 CP LJM 1 SYNC"):
            sim.script(statement, reply="#Execute,0")
        go(channel, cp=True, ljm=True, flag=1, sync=True, speed_percent=50, acceleration_percent=40)
        assert sim.statements() == ["Speed 50", "Accel 40, 40", "Go P1 CP LJM 1 SYNC"]

    def test_deceleration_follows_acceleration(self, sim, channel):
        sim.script("Accel 40, 20", reply="#Execute,0")
        sim.script("Go P1", reply="#Execute,0")
        go(channel, acceleration_percent=40, deceleration_percent=20)
        assert sim.statements() == ["Accel 40, 20", "Go P1"]

    @pytest.mark.parametrize(
        ("options", "statement"),
        [
            ({"ljm": True}, "Go P1 LJM"),
            (
                {"ljm": True, "flag": -2, "search": "Till Sw(1) = On"},
                "Go P1 LJM -2 Till Sw(1) = On",
            ),
            ({"parallel": "On 1", "sync": True}, "Go P1 !On 1! SYNC"),
            (
                {"cp": True, "ljm": True, "flag": 0, "search": "Till", "parallel": "D10; On 1"},
                "Go P1 CP LJM 0 Till !D10; On 1!",
            ),
        ],
    )
    def test_modifier_order(self, sim, channel, options, statement):
        sim.script(statement, reply="#Execute,0")
        go(channel, **options)
        assert sim.statements() == [statement]

    def test_rejected_setting_stops_before_the_motion(self, sim, channel):
        sim.script("Speed 50", reply="!Execute,11")
        with pytest.raises(RuntimeError) as error:
            go(channel, speed_percent=50, acceleration_percent=40)
        assert (
            str(error.value) == 'Remote command failed: !Execute,11 (command: $Execute,"Speed 50")'
        )
        assert sim.statements() == ["Speed 50"]
        assert_not_moving(sim, channel)

    def test_failed_motion(self, sim, channel):
        sim.script("Go P1", reply="!Execute,4001")
        with pytest.raises(RuntimeError) as error:
            go(channel)
        assert (
            str(error.value) == 'Remote command failed: !Execute,4001 (command: $Execute,"Go P1")'
        )
        assert_not_moving(sim, channel)

    @pytest.mark.slow
    def test_motion_may_take_longer_than_a_command(self, sim, channel):
        sim.script("Go P1", reply="#Execute,0", delay=6.0)
        go(channel)
        assert channel.is_connected()


class TestGoValidation:
    @pytest.mark.parametrize(
        ("options", "message"),
        [
            (
                {"destination": "", "flag": 1, "speed_percent": 0},
                "Go destination must not be empty",
            ),
            (
                {"destination": 'P"1', "flag": 1},
                "Go destination must not contain quotes or line endings",
            ),
            (
                {"destination": "P1\r\nMotor On"},
                "Go destination must not contain quotes or line endings",
            ),
            (
                {"flag": 2, "speed_percent": 0},
                "orientation_flag can only be used when LJM is enabled",
            ),
            ({"speed_percent": 101}, "speed_percent must be between 1 and 100"),
            ({"speed_percent": 0, "acceleration_percent": 0}, "speed_percent must be at least 1"),
            (
                {"acceleration_percent": 0, "deceleration_percent": 0},
                "acceleration_percent must be at least 1",
            ),
            ({"deceleration_percent": 0}, "deceleration_percent must be at least 1"),
            ({"deceleration_percent": 20}, "deceleration_percent requires acceleration_percent"),
            ({"search": "", "speed_percent": 50}, "search_expression must not be empty"),
            ({"search": "", "parallel": ""}, "search_expression must not be empty"),
            (
                {"search": 'Till "x"', "parallel": ""},
                "search_expression must not contain quotes or line endings",
            ),
            ({"search": "Till\n"}, "search_expression must not contain quotes or line endings"),
            ({"parallel": ""}, "parallel_processing must not be empty"),
            ({"parallel": "On 1\r"}, "parallel_processing must not contain quotes or line endings"),
            ({"speed_percent": 0, "search": ""}, "speed_percent must be at least 1"),
        ],
    )
    def test_nothing_is_sent(self, sim, channel, options, message):
        assert_refused_unsent(sim, channel, go, options, message)

    def test_percent_bounds_are_inclusive(self, sim, channel):
        for statement in ("Speed 100", "Accel 1, 1", "Speed 1", "Go P1"):
            sim.script(statement, reply="#Execute,0", times=2 if statement == "Go P1" else 1)
        go(channel, speed_percent=100, acceleration_percent=1, deceleration_percent=1)
        go(channel, speed_percent=1)
        assert sim.statements() == ["Speed 100", "Accel 1, 1", "Go P1", "Speed 1", "Go P1"]


class TestMove:
    def test_settings_in_fixed_notation_then_statement(self, sim, channel):
        statements = [
            "SpeedS 250.00000000000000000",
            "AccelS 1000.00000000000000000",
            "Move P2 ROT ECP CP",
        ]
        for statement in statements:
            sim.script(statement, reply="#Execute,0")
        move(channel, rot=True, ecp=True, cp=True, speed_mm_s=250, acceleration_mm_s2=1000)
        assert sim.statements() == statements

    @pytest.mark.parametrize(
        ("value", "text"),
        [
            (0.5, "0.50000000000000000"),
            (1e-17, "0.00000000000000001"),
            (0.1, "0.10000000000000001"),
        ],
    )
    def test_seventeen_decimals(self, sim, channel, value, text):
        sim.script(f"AccelS {text}", reply="#Execute,0")
        sim.script("Move P2", reply="#Execute,0")
        move(channel, acceleration_mm_s2=value)
        assert sim.statements() == [f"AccelS {text}", "Move P2"]

    def test_modifier_order(self, sim, channel):
        statement = "Move P2 CP Till Sw(1) = On !On 1! SYNC"
        sim.script(statement, reply="#Execute,0")
        move(channel, cp=True, search="Till Sw(1) = On", parallel="On 1", sync=True)
        assert sim.statements() == [statement]

    @pytest.mark.parametrize(
        ("bad", "refusal"),
        [
            (bad, "must be finite and positive")
            for bad in (0.0, -1.0, -0.0, math.inf, -math.inf, math.nan)
        ]
        # Positive, but written with 17 decimals they would read 0 (the last one is subnormal).
        + [(bad, "is too small to send: it would read 0") for bad in (1e-18, 4e-18, 5e-324)],
    )
    @pytest.mark.parametrize("name", ["speed_mm_s", "acceleration_mm_s2"])
    def test_settings_refused_unsent(self, sim, channel, name, bad, refusal):
        with pytest.raises(ValueError) as error:
            move(channel, **{name: bad})
        assert str(error.value) == f"{name} {refusal}"
        assert sim.requests() == []

    def test_the_smallest_value_that_reads_non_zero_is_sent(self, sim, channel):
        # 6e-18 rounds up to the last of the 17 decimals.
        for statement in ("SpeedS 0.00000000000000001", "AccelS 0.00000000000000001", "Move P2"):
            sim.script(statement, reply="#Execute,0")
        move(channel, speed_mm_s=6e-18, acceleration_mm_s2=1e-17)
        assert sim.statements() == [
            "SpeedS 0.00000000000000001",
            "AccelS 0.00000000000000001",
            "Move P2",
        ]

    @pytest.mark.parametrize(
        ("options", "message"),
        [
            ({"destination": "", "speed_mm_s": -1.0}, "Move destination must not be empty"),
            (
                {"destination": 'P"2', "speed_mm_s": -1.0},
                "Move destination must not contain quotes or line endings",
            ),
            (
                {"speed_mm_s": 0.0, "acceleration_mm_s2": 0.0},
                "speed_mm_s must be finite and positive",
            ),
            (
                {"acceleration_mm_s2": math.nan, "search": ""},
                "acceleration_mm_s2 must be finite and positive",
            ),
            ({"search": "", "parallel": ""}, "search_expression must not be empty"),
            ({"parallel": '"'}, "parallel_processing must not contain quotes or line endings"),
        ],
    )
    def test_validation_order(self, sim, channel, options, message):
        assert_refused_unsent(sim, channel, move, options, message)


@pytest.mark.timeout(60)
class TestDuringMotion:
    """The Go statement is scripted silent; the test pushes its reply when it wants it to end."""

    def start_go_and_pause(self, sim, channel) -> tuple[Background, Background]:
        """A motion that runs and a pause waiting for its reply, which the test pushes."""
        sim.script("$Pause", silent=True)
        mover = start_go(sim, channel)
        pauser = Background(channel.pause)
        sim.wait_for_request("$Pause")
        return mover, pauser

    def finish(self, sim, mover: Background, reply: bytes = b"#Execute,0\r\n") -> None:
        sim.push(reply)
        assert mover.outcome() is None

    @pytest.mark.parametrize(
        ("call", "line"), [("pause", "$Pause"), ("continue_motion", "$Continue")]
    )
    def test_motion_control_returns_while_the_motion_goes_on(self, sim, channel, call, line):
        sim.script(line, reply=f"#{line[1:]},0")
        mover = start_go(sim, channel)
        getattr(channel, call)()
        assert mover.running()
        self.finish(sim, mover)
        assert sim.requests() == ['$Execute,"Go P1"', line]

    def test_pause_waits_for_a_reply_that_comes_late(self, sim, channel):
        sim.script("$Pause", reply="#Pause,0", delay=0.5)
        mover = start_go(sim, channel)
        channel.pause()
        assert mover.running()
        self.finish(sim, mover)

    def test_second_pause_fails_at_once(self, sim, channel):
        mover, first = self.start_go_and_pause(sim, channel)
        with pytest.raises(RuntimeError) as error:
            channel.pause()
        assert str(error.value) == "Another Epson motion-control command is pending"
        assert first.running()
        sim.push(b"#Pause,0\r\n")
        assert first.outcome() is None
        self.finish(sim, mover)
        assert sim.requests() == ['$Execute,"Go P1"', "$Pause"]

    def test_state_read_is_refused_at_once(self, sim, channel):
        mover = start_go(sim, channel)
        with pytest.raises(RuntimeError) as error:
            channel.get_state()
        assert str(error.value) == SKIPPED
        assert channel.is_connected() and channel.is_logged_in()
        self.finish(sim, mover)
        assert sim.requests() == ['$Execute,"Go P1"']
        assert_not_moving(sim, channel)

    def test_python_threads_run_while_go_blocks(self, sim, channel):
        sim.script("Go P1", silent=True)

        def answer_the_motion() -> None:
            sim.wait_for_request("Go P1")
            sim.push(b"#Execute,0\r\n")

        helper = Background(answer_the_motion)
        go(channel)  # returns only if the helper could run meanwhile
        assert helper.outcome() is None

    def test_motion_failure_stays_with_the_motion_while_a_pause_is_pending(self, sim, channel):
        mover, pauser = self.start_go_and_pause(sim, channel)
        sim.push(b"!Execute,99\r\n")
        error = mover.outcome()
        assert isinstance(error, RuntimeError)
        assert str(error) == (
            "Remote command failed: !Execute,99 (Epson Remote Ethernet error 99: system error or "
            'communication error; no motion error code was returned) (command: $Execute,"Go P1")'
        )
        assert pauser.running()
        # The next reader routes the pause's own reply to it.
        sim.push(b"#Pause,0\r\n")
        channel.reset_controller()
        assert pauser.outcome() is None

    def test_pause_failure_goes_to_the_pause(self, sim, channel):
        sim.script("$Pause", reply="!Pause,20")
        mover = start_go(sim, channel)
        with pytest.raises(RuntimeError) as error:
            channel.pause()
        assert str(error.value) == "Remote command failed: !Pause,20 (command: $Pause)"
        assert mover.running()
        self.finish(sim, mover)

    @pytest.mark.slow
    def test_late_pause_reply_read_by_the_motion_is_swallowed(self, sim, channel):
        sim.script("$Pause", silent=True)
        mover = start_go(sim, channel)
        with pytest.raises(RuntimeError) as error:
            channel.pause()
        assert str(error.value) == "Timed out waiting for Epson response to $Pause"
        assert mover.running()
        sim.push(b"#Pause,0\r\n")
        self.finish(sim, mover)
        assert channel.is_emergency_stopped() is False  # its own reply, not shifted

    @pytest.mark.slow
    def test_late_pause_reply_read_by_the_next_command_is_swallowed(self, sim, channel):
        sim.script("$Pause", silent=True)
        mover = start_go(sim, channel)
        with pytest.raises(
            RuntimeError, match="^Timed out waiting for Epson response to \\$Pause$"
        ):
            channel.pause()
        self.finish(sim, mover)
        sim.push(b"#Pause,0\r\n")
        sim.emergency_stop()
        assert channel.is_emergency_stopped() is True
        assert channel.get_power_mode() == 0
        assert channel.is_connected()

    def test_a_stray_line_during_a_motion_is_logged_and_the_motion_waits_on(
        self, sim, channel, capfd
    ):
        # Dropping the connection here would leave a moving arm that nothing can pause.
        mover = start_go(sim, channel)
        sim.push(b"#Foo,0\r\n\r\n!Login,11\r\n")
        time.sleep(0.3)
        assert mover.running()
        self.finish(sim, mover)
        assert capfd.readouterr().err == (
            "Unexpected Epson response while waiting for #Execute: #Foo,0 "
            "(ignored; the motion goes on)\n"
            "Empty response from Epson controller (ignored; the motion goes on)\n"
            "Unexpected Epson response while waiting for #Execute: !Login,11 "
            "(ignored; the motion goes on)\n"
        )
        assert channel.is_connected()
        assert channel.get_tool() == 0  # its own reply, not a leftover

    def test_pause_reply_after_the_motion_reply_still_reaches_the_pause(self, sim, channel):
        sim.script("$Pause", reply="#Pause,0", delay=0.6)
        sim.script("Go P1", reply="#Execute,0", delay=0.5)
        mover = Background(go, channel)
        sim.wait_for_request("Go P1")
        started = time.monotonic()
        channel.pause()  # its reply comes 0.1 s after the motion's, when nobody else reads
        assert time.monotonic() - started < 3
        assert mover.outcome() is None
        assert channel.get_tool() == 0

    @pytest.mark.slow
    def test_a_pause_expired_on_a_broken_connection_leaves_the_next_one_alone(self, sim, channel):
        mover, pauser = self.start_go_and_pause(sim, channel)
        sim.drop_client()
        assert isinstance(mover.outcome(), RuntimeError)
        channel.connect(sim.host, sim.command_port)  # before the pause's wait has expired
        assert isinstance(pauser.outcome(), RuntimeError)
        # Every pause on the new connection gets its own reply.
        for _ in range(2):
            sim.script("$Pause", reply="#Pause,0")
            mover = start_go(sim, channel)
            started = time.monotonic()
            channel.pause()
            assert time.monotonic() - started < 2
            self.finish(sim, mover)

    def test_a_stray_line_read_by_a_pause_after_the_motion_drops_the_connection(self, sim, channel):
        mover, pauser = self.start_go_and_pause(sim, channel)
        self.finish(sim, mover)  # the pause now reads the connection itself
        sim.push(b"#Foo,0\r\n")
        error = pauser.outcome()
        assert isinstance(error, RuntimeError)
        assert str(error) == "Unexpected Epson response while waiting for #Pause: #Foo,0"
        assert not channel.is_connected()
        # Nothing of it is left pending for the next connection.
        channel.connect(sim.host, sim.command_port)
        sim.script("$Pause", reply="#Pause,0")
        mover = start_go(sim, channel)
        channel.pause()
        self.finish(sim, mover)
