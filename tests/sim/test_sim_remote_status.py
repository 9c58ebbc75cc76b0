"""$GetStatus from the controller's real state, and which requests a controller accepts under
emergency stop, with the safeguard open, in teach mode, with an error pending and while an
$Execute motion runs."""

from __future__ import annotations

import time

import pytest
from helpers import wait_until

GET_REQUESTS = [
    "$GetIO,1",
    "$GetIOByte,0",
    "$GetIOWord,0",
    "$GetMemIO,1",
    "$GetMemIOByte,0",
    "$GetMemIOWord,0",
    "$GetVariable,g_value,Integer",
    "$GetStatus",
]
SET_REQUESTS = [
    "$SetIO,1,1",
    "$SetIOByte,0,FF",
    "$SetIOWord,0,FFFF",
    "$SetMemIO,1,1",
    "$SetMemIOByte,0,FF",
    "$SetMemIOWord,0,FFFF",
    "$SetVariable,g_value,9",
]
STATES = {
    # name: (how to get there, the #GetStatus payload there)
    "emergency stop": (lambda m: m.emergency_stop(), "00100011000,0001"),
    "safeguard open": (lambda m: m.set_safeguard(True), "00100100000,0000"),
    "teach mode": (lambda m: m.set_teach_mode(True), "01000000000,0000"),
    "error pending": (
        lambda m: (m.emergency_stop(), m.release_emergency_stop()),
        "00100001000,0001",
    ),
}


def name_of(request_line: str) -> str:
    return request_line[1:].split(",", 1)[0]


@pytest.mark.parametrize("state", list(STATES))
def test_in_each_state_gets_are_answered_and_sets_refused(model, remote, state):
    model.variables.define("g_value", "Integer", 3)
    model.register_program(0, ["On 1"])
    enter, status = STATES[state]
    enter(model)
    assert remote.answer("$GetStatus") == f"#GetStatus,{status}"
    for line in GET_REQUESTS:
        assert remote.answer(line).startswith(f"#{name_of(line)},"), line
    for line in [*SET_REQUESTS, "$Start,0"]:
        assert remote.answer(line) == f"!{name_of(line)},20", line
    stop = "!Stop,20" if state == "teach mode" else "#Stop,0"
    assert remote.answer("$Stop") == stop
    assert model.variables.value("g_value") == 3
    assert not any(model.io.word(kind, 0) for kind in ("output", "memory"))


def test_status_at_power_on_and_with_motors_on(model, remote):
    assert remote.answer("$GetStatus") == "#GetStatus,00100000001,0000"
    assert remote.answer('$Execute,"Motor On"') == "#Execute,0"
    assert remote.answer("$GetStatus") == "#GetStatus,00100000001,0000"
    assert remote.answer("$GetStatus,1") == "!GetStatus,12"


def test_while_an_execute_motion_runs_only_gets_and_status_are_answered(model, remote):
    model.time_scale = 1.0  # the Move takes 3.5 s
    model.variables.define("g_value", "Integer", 3)
    model.register_program(0, ["On 1"])
    remote.answer('$Execute,"Motor On"')
    remote.answer('$Execute,"SpeedS 100"')
    remote.request('$Execute,"Move Here -Y(300)"')
    assert wait_until(lambda: model.state()["moving"])
    assert remote.answer("$GetStatus") == "#GetStatus,00100000010,0000"  # Running
    for line in GET_REQUESTS[:-1]:
        assert remote.answer(line).startswith(f"#{name_of(line)},"), line
    for line in [*SET_REQUESTS, "$Start,0", "$Stop"]:
        assert remote.answer(line) == f"!{name_of(line)},21", line
    assert remote.answer("$Pause") == "#Pause,0"
    assert remote.answer("$GetStatus") == "#GetStatus,00100000100,0000"  # Paused
    assert model.state()["paused"]
    assert remote.answer("$Continue") == "#Continue,0"
    remote.request("$Abort")
    # The motion's failure and the abort's reply come from two threads: either may be first.
    assert sorted([remote.line(), remote.line()]) == [b"!Execute,99\r\n", b"#Abort,0\r\n"]
    # The Execute has ended: the Set requests are taken again.
    assert remote.answer("$SetIO,1,1") == "#SetIO,0"
    assert remote.answer("$GetStatus") == "#GetStatus,00100000001,0000"


def test_a_print_execute_answers_while_a_motion_runs_and_status_sees_the_motion(sim, connect):
    client = connect(sim.host, sim.command_port)
    for line in ("$Login,", '$Execute,"Motor On"', '$Execute,"SpeedS 200"'):
        assert client.answer(line).startswith("#")
    client.request('$Execute,"Move Here -Y(200)"')  # 2 s
    assert wait_until(lambda: sim.robot_state()["moving"])
    assert client.answer("$GetStatus") == "#GetStatus,00100000010,0000"
    time.sleep(0.1)
    assert sim.robot_state()["moving"]  # the status did not wait for the motion
    assert client.line(timeout=10.0) == b"#Execute,0\r\n"
    assert client.answer("$GetStatus") == "#GetStatus,00100000001,0000"
