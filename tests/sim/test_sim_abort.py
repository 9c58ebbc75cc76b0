"""$Abort: a running or paused motion stops where the arm is, its $Execute fails, the motors stay
on and the next motion runs."""

from __future__ import annotations

import time

import pytest
from helpers import wait_until

from epson_remote.sim import controller as controller_module
from epson_remote.sim.controller import ERR_ABORTED, SimulatedController

ABORTED = f"!Execute,{ERR_ABORTED}\r\n".encode()
LONG_MOVE = '$Execute,"Move Here -Y(300)"'  # 3.5 s at SpeedS 100


@pytest.fixture
def client(sim, connect):
    client = connect(sim.host, sim.command_port)
    for request in ("$Login,", '$Execute,"Motor On"', '$Execute,"SpeedS 100"'):
        assert client.ask(request).startswith(b"#")
    return client


def start_long_move(sim, client) -> None:
    client.request(LONG_MOVE)
    assert wait_until(lambda: sim.robot_state()["moving"])
    time.sleep(0.2)


def assert_stopped_and_ready(sim, client, y_at_abort: float | None = None) -> None:
    """Stopped short of the target, held there, motors on, no error, and a new motion runs."""
    state = sim.robot_state()
    assert -300 < state["pose"][1] < 0
    if y_at_abort is not None:
        assert state["pose"][1] == y_at_abort
    assert not state["moving"] and not state["paused"]
    assert state["motors_on"] and state["error"] == 0
    time.sleep(0.1)
    assert sim.robot_state()["pose"] == state["pose"]
    assert client.ask('$Execute,"Print SysErr"') == b'#Execute," 0"\r\n'
    assert client.ask('$Execute,"Move Here -Y(5)"') == b"#Execute,0\r\n"
    assert sim.robot_state()["pose"][1] == pytest.approx(state["pose"][1] - 5)


def test_abort_of_a_running_motion(sim, client):
    start_long_move(sim, client)
    client.request("$Abort")
    # The motion's failure and the abort's reply come from two threads: either may be first.
    assert sorted([client.line(), client.line()]) == sorted([b"#Abort,0\r\n", ABORTED])
    assert_stopped_and_ready(sim, client)


def test_abort_of_a_paused_motion_keeps_the_arm_where_it_paused(sim, client):
    start_long_move(sim, client)
    assert client.ask("$Pause") == b"#Pause,0\r\n"
    paused_y = sim.robot_state()["pose"][1]
    time.sleep(0.2)
    client.request("$Abort")
    assert sorted([client.line(), client.line()]) == sorted([b"#Abort,0\r\n", ABORTED])
    assert client.ask("$Continue") == b"!Continue,20\r\n"  # nothing left to continue
    assert_stopped_and_ready(sim, client, y_at_abort=paused_y)


@pytest.mark.parametrize("stopped", [False, True])
def test_abort_without_a_motion_is_accepted_and_changes_nothing(sim, client, stopped):
    if stopped:
        sim.emergency_stop()
    before = sim.robot_state()
    assert client.ask("$Abort") == b"#Abort,0\r\n"
    assert sim.robot_state() == before


def test_abort_while_the_motion_is_planned_keeps_it_from_starting(monkeypatch):
    ctl = SimulatedController(time_scale=10.0)
    assert ctl.execute("Motor On") == "#Execute,0"
    plan_move = controller_module.plan_move

    def plan_then_abort(*args, **kwargs):
        motion = plan_move(*args, **kwargs)
        assert ctl.abort() == "#Abort,0"
        return motion

    monkeypatch.setattr(controller_module, "plan_move", plan_then_abort)
    before = ctl.state()["joints"]
    assert ctl.execute("Move Here -Y(100)") == f"!Execute,{ERR_ABORTED}"
    assert ctl.state()["joints"] == before
    monkeypatch.setattr(controller_module, "plan_move", plan_move)
    assert ctl.execute("Move Here -Y(100)") == "#Execute,0"  # the abort is not left pending


def test_abort_is_refused_in_teach_mode():
    ctl = SimulatedController()
    ctl.set_teach_mode(True)
    assert ctl.abort() == "!Abort,20"
