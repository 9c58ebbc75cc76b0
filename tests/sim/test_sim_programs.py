"""Programs: registered SPEL+ statements run as a task by $Start, stopped by $Stop, $Abort, the
emergency stop; paused and continued; refused when the controller cannot start them."""

from __future__ import annotations

import time

import pytest
from helpers import wait_until

RUNNING, PAUSED, READY = 9, 8, 10  # places of the flags in #GetStatus
TOGGLE = ["On 4", "g_count = g_count + 1", "Wait 0.02", "Off 4", "Wait 0.02"]


def flags(client) -> str:
    reply = client.answer("$GetStatus")
    assert reply.startswith("#GetStatus,"), reply
    return reply.split(",")[1]


def test_a_looping_program_runs_until_stop_and_its_effects_are_visible(sim, connect):
    sim.define_variable("g_count", "Long", 0)
    sim.register_program(2, TOGGLE, loop=True)
    client = connect(sim.host, sim.command_port)
    client.answer("$Login,")
    assert flags(client)[READY] == "1"
    assert client.answer("$Start,2") == "#Start,0"
    status = flags(client)
    assert status[RUNNING] == "1" and status[READY] == "0" and status[PAUSED] == "0"
    assert wait_until(lambda: sim.variable("g_count") >= 3)
    assert wait_until(lambda: client.answer('$Execute,"Print Oport(4)"') == '#Execute," 1"')
    assert client.answer("$Stop") == "#Stop,0"
    status = flags(client)
    assert status[RUNNING] == "0" and status[READY] == "1"
    count = sim.variable("g_count")
    time.sleep(0.2)
    assert sim.variable("g_count") == count
    assert sim.program_status()["failure"] is None
    assert client.answer("$Stop") == "#Stop,0"  # nothing left to stop
    assert client.answer("$Start,2") == "#Start,0"  # and it starts again


def test_a_program_without_loop_ends_by_itself(model, remote):
    model.variables.define("g_done", "Boolean")
    model.register_program(0, ["Out 2, &H81", "MemOn 3", "g_done = True"])
    assert remote.answer("$Start,0") == "#Start,0"
    assert wait_until(lambda: not model.program_status()["running"])
    assert flags(remote)[RUNNING] == "0" and flags(remote)[READY] == "1"
    assert remote.answer("$GetMemIO,3") == "#GetMemIO,1"
    assert remote.answer('$Execute,"Print Out(2)"') == '#Execute," 129"'
    assert remote.answer("$GetVariable,g_done,Boolean") == "#GetVariable,True"
    assert model.program_status()["rounds"] == 1


def test_pause_holds_a_program_and_continue_resumes_it(model, remote):
    model.variables.define("g_count", "Long", 0)
    model.register_program(1, TOGGLE, loop=True)
    remote.answer("$Start,1")
    assert wait_until(lambda: model.variables.value("g_count") >= 1)
    assert remote.answer("$Pause") == "#Pause,0"
    status = flags(remote)
    assert status[PAUSED] == "1" and status[RUNNING] == "0" and status[READY] == "0"
    count = model.variables.value("g_count")
    time.sleep(0.2)
    assert model.variables.value("g_count") == count
    assert remote.answer("$Start,1") == "!Start,20"  # a paused program still counts
    assert remote.answer("$Continue") == "#Continue,0"
    assert wait_until(lambda: model.variables.value("g_count") > count)
    model.set_safeguard(True)  # opening the safeguard pauses it too
    assert flags(remote)[PAUSED] == "1"
    assert remote.answer("$Continue") == "!Continue,20"
    model.set_safeguard(False)
    assert remote.answer("$Continue") == "#Continue,0"
    assert flags(remote)[RUNNING] == "1"


@pytest.mark.parametrize(
    ("prepare", "request_line", "code"),
    [
        (lambda m: m.emergency_stop(), "$Start,1", 20),
        (lambda m: m.set_safeguard(True), "$Start,1", 20),
        (lambda m: (m.emergency_stop(), m.release_emergency_stop()), "$Start,1", 20),
        (lambda m: m.set_teach_mode(True), "$Start,1", 20),
        (lambda m: m.set_teach_mode(True), "$Stop", 20),
        (lambda m: None, "$Start,5", 15),  # nothing registered
        (lambda m: None, "$Start,64", 14),
        (lambda m: None, "$Start,x", 14),
        (lambda m: None, "$Start", 15),
        (lambda m: None, "$Start,1,2", 12),
        (lambda m: None, "$Stop,1", 12),
    ],
)
def test_start_and_stop_refusals(model, remote, prepare, request_line, code):
    model.register_program(1, ["On 1"])
    prepare(model)
    name = request_line[1:].split(",", 1)[0]
    assert remote.answer(request_line) == f"!{name},{code}"
    assert not model.io.bit("output", 1)


def test_a_program_that_runs_cannot_be_started_twice(model, remote):
    model.register_program(1, ["Wait 5"])
    model.register_program(2, ["On 1"])
    assert remote.answer("$Start,1") == "#Start,0"
    assert remote.answer("$Start,1") == "!Start,20"
    assert remote.answer("$Start,2") == "!Start,20"
    started = time.monotonic()
    assert remote.answer("$Stop") == "#Stop,0"  # the Wait ends at once
    assert time.monotonic() - started < 1.0
    assert remote.answer("$Start,2") == "#Start,0"


def test_a_failing_statement_ends_the_program_with_an_error_until_reset(model, remote):
    model.register_program(3, ["On 1", "Print g_missing", "On 2"])
    assert remote.answer("$Start,3") == "#Start,0"
    assert wait_until(lambda: model.program_status()["failure"] is not None)
    assert "g_missing" in model.program_status()["failure"]
    assert remote.answer("$GetStatus") == "#GetStatus,00100001000,2011"
    assert model.io.bit("output", 1) and not model.io.bit("output", 2)
    assert remote.answer("$SetIO,5,1") == "!SetIO,20"  # the error makes the controller not ready
    assert remote.answer('$Execute,"Reset"') == "#Execute,0"
    assert remote.answer("$GetStatus") == "#GetStatus,00100000001,0000"


def test_registration_checks_function_and_statements(model):
    for function, statements in [(64, ["On 1"]), (-1, ["On 1"]), (0, []), (0, "On 1")]:
        with pytest.raises(ValueError):
            model.register_program(function, statements)
    with pytest.raises(ValueError, match="Print 1 +"):
        model.register_program(0, ["On 1", "Print 1 +"])
    assert model.program_status()["registered"] == []


def moving_program(model, remote):
    """A program whose motion runs (Move of 300 mm at 100 mm/s); returns the model once it
    moves."""
    model.register_program(4, ["Motor On", "SpeedS 100", "Move Here -Y(300)", "On 9"])
    assert remote.answer("$Start,4") == "#Start,0"
    assert wait_until(lambda: model.state()["moving"])


@pytest.mark.parametrize("how", ["$Stop", "$Abort", "emergency stop", "teach mode"])
def test_stopping_a_program_stops_its_motion_where_the_arm_is(model, remote, how):
    model.time_scale = 1.0  # 3.5 s for the whole Move
    moving_program(model, remote)
    time.sleep(0.2)
    if how.startswith("$"):
        assert remote.answer(how) == f"#{how[1:]},0"
    elif how == "emergency stop":
        model.emergency_stop()
    else:
        model.set_teach_mode(True)
    state = model.state()
    assert -300 < state["pose"][1] < 0 and not state["moving"]
    status = model.program_status()
    assert not status["running"] and status["failure"] is None
    time.sleep(0.1)
    assert model.state()["pose"] == state["pose"] and not model.io.bit("output", 9)
    assert state["motors_on"] == (how != "emergency stop")
    assert state["error"] == (1 if how == "emergency stop" else 0)


def test_wait_for_a_time_a_condition_or_its_time_out(model):
    started = time.monotonic()
    assert model.execute("Wait 0.2") == "#Execute,0"
    assert time.monotonic() - started >= 0.19
    started = time.monotonic()
    assert model.execute("Wait Sw(3) = On, 0.2") == "#Execute,0"  # timed out
    assert 0.19 <= time.monotonic() - started < 2.0
    model.io.set_bit("input", 3, True)
    started = time.monotonic()
    assert model.execute("Wait Sw(3)") == "#Execute,0"
    assert time.monotonic() - started < 0.5
    for statement, code in [("Wait -1", 14), ("Wait 1, 2", 12), ("Wait", 15)]:
        assert model.execute(statement) == f"!Execute,{code}"


def test_a_program_waits_for_an_input_set_from_outside(model, remote):
    model.register_program(6, ["Wait Sw(12) = On", "On 13"])
    assert remote.answer("$Start,6") == "#Start,0"
    time.sleep(0.1)
    assert not model.io.bit("output", 13) and flags(remote)[RUNNING] == "1"
    model.io.set_bit("input", 12, True)
    assert wait_until(lambda: model.io.bit("output", 13))
    assert wait_until(lambda: flags(remote)[RUNNING] == "0")


def test_abort_ends_a_wait_of_execute(model, remote):
    remote.request('$Execute,"Wait 10"')
    assert wait_until(lambda: flags(remote)[RUNNING] == "1")
    assert remote.answer("$SetIO,1,1") == "!SetIO,21"
    started = time.monotonic()
    remote.request("$Abort")
    assert sorted([remote.line(), remote.line()]) == [b"!Execute,99\r\n", b"#Abort,0\r\n"]
    assert time.monotonic() - started < 1.0
    assert remote.answer("$SetIO,1,1") == "#SetIO,0"
