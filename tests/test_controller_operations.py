"""Status words, Emergency Stop, reset, motors, pause and continue, power mode, PTP limits."""

from __future__ import annotations

import pytest

from epson_remote import EpsonPowerMode

STATUS_QUERY = "Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)"
ACCEL_MAX_QUERY = "Print AccelMax(1),AccelMax(2)"


def prints(sim, statement: str, output: str) -> None:
    """Script the printed output of one query."""
    sim.script(statement, reply=f'#Execute,"{output}"')


class TestControllerStatus:
    def test_values_pass_through_raw_under_sorted_keys(self, sim, channel):
        prints(sim, STATUS_QUERY, "0x10,-1,True,0,0,21,010,FALSE")
        status = channel.get_controller_status()
        assert list(status) == [
            "control_device",
            "ctrl_info",
            "emergency_stopped",
            "robot_info",
            "safeguard_open",
            "stat",
            "system_error",
            "teach_mode",
        ]
        assert status == {
            "stat": 16,
            "system_error": -1,
            "emergency_stopped": 1,
            "safeguard_open": 0,
            "teach_mode": 0,
            "control_device": 21,
            "robot_info": 8,
            "ctrl_info": 0,
        }
        assert sim.statements() == [STATUS_QUERY]

    def test_empty_fields_between_commas_vanish(self, sim, channel):
        prints(sim, STATUS_QUERY, " 0,,0, 1 ,0,0,0,0,0")
        assert channel.get_controller_status()["emergency_stopped"] == 1

    @pytest.mark.parametrize(("output", "count"), [("0,0,0,0,0,0,0", 7), ("0 0 0 0 0 0 0 0 0", 9)])
    def test_other_than_eight_values(self, sim, channel, output, count):
        prints(sim, STATUS_QUERY, output)
        with pytest.raises(RuntimeError) as error:
            channel.get_controller_status()
        assert str(error.value) == (
            f'Failed to parse controller status. Expected 8 values, received {count}: "{output}"'
        )

    @pytest.mark.parametrize("token", ["yes", "1.5", "0x", "99999999999999999999"])
    def test_first_bad_value_is_named(self, sim, channel, token):
        prints(sim, STATUS_QUERY, f"0,0,{token},0,0,0,0,nope")
        with pytest.raises(RuntimeError) as error:
            channel.get_controller_status()
        assert str(error.value) == (
            f'Failed to parse controller status value as an integer: "{token}"'
        )


class TestEmergencyStop:
    @pytest.mark.parametrize(
        ("output", "stopped"),
        [
            ("-1", True),
            ("2", True),
            ("0", False),
            (" 1 ", True),
            ("True", True),
            (" false ", False),
        ],
    )
    def test_integer_or_word(self, sim, channel, output, stopped):
        prints(sim, "Print EStopOn", output)
        assert channel.is_emergency_stopped() is stopped

    @pytest.mark.parametrize("output", ["yes", "1.0", "", "0x1", "1 2", "4294967297"])
    def test_anything_else_fails(self, sim, channel, output):
        prints(sim, "Print EStopOn", output)
        with pytest.raises(RuntimeError) as error:
            channel.is_emergency_stopped()
        assert str(error.value) == f'Failed to parse EStopOn response as a Boolean: "{output}"'


class TestCommandsWithoutOutput:
    @pytest.mark.parametrize(
        ("call", "line"),
        [
            ("reset_controller", '$Execute,"Reset"'),
            ("motor_on", '$Execute,"Motor On"'),
            ("motor_off", '$Execute,"Motor Off"'),
        ],
    )
    def test_exact_lines(self, sim, channel, call, line):
        getattr(channel, call)()
        assert sim.requests() == [line]

    @pytest.mark.parametrize(
        ("call", "line"), [("pause", "$Pause"), ("continue_motion", "$Continue")]
    )
    def test_pause_and_continue_outside_a_motion(self, sim, channel, call, line):
        name = line[1:]
        sim.script(line, reply=f"#{name},0")
        getattr(channel, call)()
        sim.script(line, reply=f"!{name},20")
        with pytest.raises(RuntimeError) as error:
            getattr(channel, call)()
        assert str(error.value) == f"Remote command failed: !{name},20 (command: {line})"
        assert sim.requests() == [line, line]


class TestMotors:
    def test_motor_on_error_keeps_the_last_attempt(self, sim, channel):
        assert channel.motor_on_error() == ""
        sim.script("Motor On", reply="!Execute,20")
        with pytest.raises(RuntimeError) as error:
            channel.motor_on()
        assert channel.motor_on_error() == str(error.value)
        assert (
            str(error.value) == 'Remote command failed: !Execute,20 (command: $Execute,"Motor On")'
        )

        channel.motor_off()  # does not touch the motor-on error
        assert channel.motor_on_error() == str(error.value)

        channel.motor_on()
        assert channel.motor_on_error() == ""

    def test_disconnect_turns_off_motors_this_session_turned_on(self, sim, channel):
        channel.motor_on()
        sim.clear_requests()
        channel.disconnect()
        assert sim.requests() == ['$Execute,"Motor Off"', "$Logout"]

    @pytest.mark.parametrize("history", ["never", "turned_off", "failed_on"])
    def test_disconnect_leaves_motors_alone_otherwise(self, sim, channel, history):
        if history == "turned_off":
            channel.motor_on()
            channel.motor_off()
        elif history == "failed_on":
            sim.script("Motor On", reply="!Execute,20")
            with pytest.raises(RuntimeError):
                channel.motor_on()
        sim.clear_requests()
        channel.disconnect()
        assert sim.requests() == ["$Logout"]

    def test_failed_motor_off_keeps_the_session_responsible(self, sim, channel):
        channel.motor_on()
        sim.script("Motor Off", reply="!Execute,11")
        with pytest.raises(RuntimeError):
            channel.motor_off()
        sim.clear_requests()
        channel.disconnect()
        assert sim.requests() == ['$Execute,"Motor Off"', "$Logout"]


class TestPowerMode:
    @pytest.mark.parametrize(
        ("output", "mode"),
        [("1", EpsonPowerMode.HIGH), (" 0", EpsonPowerMode.LOW), ("true", EpsonPowerMode.HIGH)],
    )
    def test_read(self, sim, channel, output, mode):
        prints(sim, "Print Power", output)
        assert channel.get_power_mode() is mode

    def test_value_other_than_0_or_1(self, sim, channel):
        prints(sim, "Print Power", " 2")
        with pytest.raises(RuntimeError) as error:
            channel.get_power_mode()
        assert str(error.value) == "Epson controller returned an invalid Power mode value: 2"

    def test_value_that_is_no_integer(self, sim, channel):
        prints(sim, "Print Power", "High")
        with pytest.raises(RuntimeError) as error:
            channel.get_power_mode()
        assert str(error.value) == 'Failed to parse controller status value as an integer: "High"'

    @pytest.mark.parametrize(
        ("mode", "word", "reported"),
        [(EpsonPowerMode.HIGH, "High", "1"), (EpsonPowerMode.LOW, "Low", "0")],
    )
    def test_set_and_read_back(self, sim, channel, mode, word, reported):
        sim.script(f"Power {word}", reply="#Execute,0")
        prints(sim, "Print Power", reported)
        channel.set_power_mode(mode)
        assert sim.requests() == [f'$Execute,"Power {word}"', '$Execute,"Print Power"']

    def test_read_back_mismatch(self, sim, channel):
        sim.script("Power High", reply="#Execute,0")
        prints(sim, "Print Power", "0")
        with pytest.raises(RuntimeError) as error:
            channel.set_power_mode(EpsonPowerMode.HIGH)
        assert str(error.value) == "Epson controller did not enter Power High mode"

    def test_rejected_set_is_not_read_back(self, sim, channel):
        sim.script("Power Low", reply="!Execute,11")
        with pytest.raises(RuntimeError, match=r"^Remote command failed: !Execute,11 "):
            channel.set_power_mode(EpsonPowerMode.LOW)
        assert sim.requests() == ['$Execute,"Power Low"']


class TestPtpMotionLimits:
    @pytest.mark.parametrize("output", ["120,130", " 120 , 130 ", "120 130"])
    def test_read(self, sim, channel, output):
        prints(sim, ACCEL_MAX_QUERY, output)
        limits = channel.get_ptp_motion_limits()
        assert (limits.speed_percent, limits.acceleration_percent, limits.deceleration_percent) == (
            100,
            120,
            130,
        )
        assert sim.statements() == [ACCEL_MAX_QUERY]

    def test_largest_32_bit_value_passes(self, sim, channel):
        prints(sim, ACCEL_MAX_QUERY, "2147483647,1")
        assert channel.get_ptp_motion_limits().acceleration_percent == 2147483647

    @pytest.mark.parametrize(
        "output", ["0,120", "120", "120,120,5", "120;120", "3000000000,1", "-5,10", "1.5,2", ""]
    )
    def test_malformed_or_not_positive(self, sim, channel, output):
        prints(sim, ACCEL_MAX_QUERY, output)
        with pytest.raises(RuntimeError) as error:
            channel.get_ptp_motion_limits()
        assert str(error.value) == (
            f'Failed to parse positive AccelMax limits from Epson controller: "{output}"'
        )
