"""Ctrl-C in the main thread: each blocking call ends with KeyboardInterrupt within about a second,
a motion it runs is aborted first, and the session stays usable. Each case runs in a child
process that the test sends SIGINT, as a user's terminal would."""

from __future__ import annotations

import json
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from helpers import WITH_DEFAULT_SIGINT, SynDroppingPort, reaped, wait_until

# The child prints "ready" when the call under test is about to start, then one JSON line with
# the outcome. Scenarios: "move" (a long move of its own), "behind" (a call queued behind another
# thread's motion), "connect" (a connect that gets no answer), "cell" (a RobotCell likewise).
CHILD = textwrap.dedent(
    """
    import json, sys, threading, time
    from epson_remote import CommandChannel, RobotCell, xy

    scenario, host, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    channel = CommandChannel()
    outcome = {}
    if scenario in ("move", "behind"):
        channel.connect(host, port)
    if scenario == "move":
        channel.motor_on()
        start = channel.get_state()["tcp_pose"]
        target = [start[0], start[1] + 150.0, *start[2:]]
        outcome["target"] = target
        call = lambda: channel.move(xy(target), False, False, False, None, None, False, 30.0)
    elif scenario == "behind":
        other = threading.Thread(
            target=lambda: channel.go("P1", False, False, None, None, None, False), daemon=True
        )
        other.start()
        time.sleep(0.5)
        call = channel.get_tool
    elif scenario == "connect":
        call = lambda: channel.connect(host, port)
    else:
        call = lambda: RobotCell(host, port, port)
    print("ready", flush=True)
    started = time.monotonic()
    try:
        call()
        outcome["result"] = "returned"
    except KeyboardInterrupt:
        outcome["result"] = "KeyboardInterrupt"
    outcome["after_s"] = time.monotonic() - started
    outcome["connected"] = channel.is_connected()
    if scenario == "move":
        outcome["state"] = channel.get_state()["tcp_pose"]  # the session works on
    if scenario == "behind":
        outcome["other_alive"] = other.is_alive()
    print(json.dumps(outcome), flush=True)
    if scenario == "behind":
        sys.stdin.readline()  # the test ends the other thread's motion, then lets us go
        other.join(10)
        outcome = {"tool": channel.get_tool()}
        print(json.dumps(outcome), flush=True)
    channel.disconnect()
    """
)


def next_line(child: subprocess.Popen[str]) -> str:
    """The child's next line of its own, past the session's "Connected to" log lines."""
    assert child.stdout is not None
    while (line := child.stdout.readline()).startswith(("Connected to", "Disconnected from")):
        pass
    return line


def interrupted(scenario: str, host: str, port: int, *, before_sigint=None) -> tuple:
    """Runs ``scenario`` in a child, sends SIGINT once the call is under way; returns the child's
    outcome, the seconds from SIGINT to the outcome line, and the running child."""
    child = subprocess.Popen(
        [sys.executable, *WITH_DEFAULT_SIGINT, "-c", CHILD, scenario, host, str(port)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert next_line(child).strip() == "ready"
    if before_sigint is not None:
        before_sigint()
    time.sleep(0.6)  # well into the call: blocking, not starting
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    line = next_line(child)
    answered = time.monotonic() - sent
    return json.loads(line), answered, child


@pytest.mark.parametrize("scenario", ["connect", "cell"])
def test_connect_that_gets_no_answer(scenario):
    unanswered = SynDroppingPort()
    try:
        outcome, answered, child = interrupted(scenario, "127.0.0.1", unanswered.port)
        with reaped(child):
            assert outcome["result"] == "KeyboardInterrupt"
            assert answered < 1.5
            assert not outcome["connected"]
            assert child.wait(10) == 0
    finally:
        unanswered.close()


def test_a_move_is_aborted_and_the_session_works_on(sim):
    outcome, answered, child = interrupted(
        "move",
        sim.host,
        sim.command_port,
        before_sigint=lambda: wait_until(lambda: sim.robot_state()["moving"]),
    )
    with reaped(child):
        assert outcome["result"] == "KeyboardInterrupt"
        assert answered < 2.0
        assert outcome["connected"]
        state = sim.robot_state()
        assert not state["moving"] and not state["paused"]
        assert abs(state["pose"][1] - outcome["target"][1]) > 20.0  # stopped short
        assert outcome["state"] == pytest.approx(state["pose"], abs=1e-3)
        assert child.wait(10) == 0
    assert not sim.robot_state()["motors_on"]  # the child's disconnect turned them off
    assert "$Abort" in sim.requests()


def test_a_call_behind_another_threads_motion_stops_waiting(sim):
    sim.script("Go P1", silent=True)
    outcome, answered, child = interrupted(
        "behind", sim.host, sim.command_port, before_sigint=lambda: sim.wait_for_request("Go P1")
    )
    with reaped(child):
        assert outcome["result"] == "KeyboardInterrupt"
        assert answered < 1.5
        assert outcome["other_alive"]  # that motion goes on
        assert "$Abort" not in sim.requests()
        sim.push(b"#Execute,0\r\n")
        assert child.stdin is not None
        child.stdin.write("\n")
        child.stdin.flush()
        assert json.loads(next_line(child)) == {"tool": 0}
        assert child.wait(10) == 0
