"""decode_status: the same facts from the status query and from the telemetry status line, and
None wherever the words given cannot tell."""

from __future__ import annotations

from collections.abc import Iterator

import pytest
from helpers import wait_until

from epson_remote import (
    ControllerState,
    EpsonPowerMode,
    EthernetReceiveInterface,
    decode_status,
)

UNKNOWN = ControllerState(None, None, None, None, None, None)


@pytest.fixture
def telemetry(sim) -> Iterator[EthernetReceiveInterface]:
    rx = EthernetReceiveInterface()
    rx.connect(sim.host, sim.telemetry_port)
    yield rx
    rx.disconnect()


def both_sources(channel, telemetry) -> tuple[ControllerState, ControllerState]:
    """The query's state, and the stream's once a status line has caught up with it."""
    queried = decode_status(channel.get_controller_status())
    assert wait_until(lambda: decode_status(telemetry.get_status()) == queried, timeout=5.0), (
        queried,
        telemetry.get_status(),
    )
    return queried, decode_status(telemetry.get_status())


class TestBothSourcesAgree:
    def test_a_ready_controller(self, channel, telemetry):
        queried, streamed = both_sources(channel, telemetry)
        assert queried == ControllerState(
            emergency_stopped=False,
            safeguard_open=False,
            teach_mode=False,
            error_code=0,
            motors_on=False,
            power_high=False,
        )
        assert streamed == queried

    def test_motors_on_at_high_power(self, channel, telemetry):
        channel.set_power_mode(EpsonPowerMode.HIGH)
        channel.motor_on()
        queried, _ = both_sources(channel, telemetry)
        assert (queried.motors_on, queried.power_high) == (True, True)

    def test_emergency_stop_and_its_error(self, sim, channel, telemetry):
        sim.emergency_stop()
        queried, _ = both_sources(channel, telemetry)
        assert queried.emergency_stopped is True
        assert queried.error_code not in (None, 0)
        assert queried.motors_on is False
        sim.release_emergency_stop()
        channel.reset_controller()
        queried, _ = both_sources(channel, telemetry)
        assert (queried.emergency_stopped, queried.error_code) == (False, 0)

    def test_safeguard_open(self, sim, channel, telemetry):
        sim.set_safeguard(True)
        queried, _ = both_sources(channel, telemetry)
        assert (queried.safeguard_open, queried.emergency_stopped) == (True, False)


class TestWords:
    def test_raw_telemetry_words_alone_are_decoded_from_their_bits(self):
        # STAT=524288;SYSERR=0;CTRLDEV=21;ROBOTINFO=12;CTRLINFO=512, without the derived keys
        fields = {"stat": 0x80000, "system_error": 0, "robot_info": 0xC, "ctrl_info": 0x200}
        assert decode_status(fields) == ControllerState(
            emergency_stopped=False,
            safeguard_open=True,
            teach_mode=True,
            error_code=0,
            motors_on=True,
            power_high=True,
        )

    def test_boolean_words_win_over_bits(self):
        # SPEL+ prints true as -1; the query's own words are what the controller answered.
        fields = {"emergency_stopped": -1, "ctrl_info": 0, "safeguard_open": 0, "teach_mode": 1}
        state = decode_status(fields)
        assert (state.emergency_stopped, state.safeguard_open, state.teach_mode) == (
            True,
            False,
            True,
        )

    @pytest.mark.parametrize(
        "status",
        [
            {},
            {"fields": {}, "timestamp": 0.0, "valid": False},
            {"fields": {"stat": 0, "robot_info": 4}, "timestamp": 1.0, "valid": False},
            {"stat": "0x80000", "robot_info": None, "ctrl_info": 1.5, "system_error": "none"},
        ],
        ids=["empty", "no-status-yet", "stale-record", "not-integers"],
    )
    def test_missing_or_unknown_words_tell_nothing(self, status):
        assert decode_status(status) == UNKNOWN

    def test_each_fact_needs_only_its_own_word(self):
        state = decode_status({"fields": {"system_error": 4001}, "valid": True, "timestamp": 1.0})
        assert state == ControllerState(error_code=4001)
