"""The demo: end to end on its own simulator, read-only and with motion against a "real" host (a
simulator it did not start), and what it leaves behind when interrupted or failing."""

from __future__ import annotations

import signal

import pytest

# Each test starts processes and takes seconds: kept out of the sanitizer run.
pytestmark = pytest.mark.slow

# A test command started as a background job of a non-interactive shell (as CI may run it) has
# SIGINT ignored, and its children inherit that. A child that gets Ctrl-C is started through this
# wrapper, which sets the default action first, as in a terminal, and then runs the command in the
# same process (exec), so the SIGINT the test sends meets what a user's Ctrl-C would.
WITH_DEFAULT_SIGINT = [
    "-c",
    "import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); "
    "os.execv(sys.executable, [sys.executable, *sys.argv[1:]])",
]

STEP_NAMES = (
    "Simulator",
    "Connect",
    "Status",
    "Power mode",
    "Motion limits",
    "Motors on",
    "Safety cuboid",
    "TCP override",
    "Go",
    "Move, pause, continue",
    "State",
    "Inverse kinematics",
    "Telemetry",
    "Restore",
    "Disconnect",
    "Output",
)
MOTION_STEPS = ("Motors on", "Safety cuboid", "TCP override", "Go", "Move, pause, continue")


def step_lines(out: str) -> dict[str, str]:
    """Step name -> its line, for the lines of the form 'mark  n/16 Name  detail'."""
    found = {}
    for line in out.splitlines():
        parts = line.split(maxsplit=2)
        if len(parts) == 3 and parts[1].endswith("/16"):
            for name in STEP_NAMES:
                if parts[2].startswith(name + " "):
                    found[name] = line
    return found


def host_args(sim) -> list[str]:
    return [
        sim.host,
        "--command-port",
        str(sim.command_port),
        "--telemetry-port",
        str(sim.telemetry_port),
    ]


def test_the_readme_demo_runs_every_step(runner, tmp_path, no_new_simulator):
    """examples/demo.py is what `bash scripts/run demo` runs."""
    result = runner.run(["examples/demo.py", "--output", str(tmp_path)], timeout=120)
    assert result.code == 0, result.out + result.err
    lines = step_lines(result.out)
    assert list(lines) == list(STEP_NAMES)
    assert all(line.startswith("✓") for line in lines.values()), result.out
    assert "paused at" in lines["Move, pause, continue"]
    assert "get_state refused in" in lines["Move, pause, continue"]
    assert "simulator reports motors off" in lines["Disconnect"]
    assert "Demo complete" in result.out
    csv_text = (tmp_path / "trajectory.csv").read_text()
    for event in ("go", "move", "pause", "continue", "back"):
        assert f",{event}\n" in csv_text or f"; {event}" in csv_text
    if pytest.importorskip("matplotlib"):
        assert (tmp_path / "trajectory.png").read_bytes().startswith(b"\x89PNG")


def test_a_real_host_is_only_read(runner, sim, tmp_path):
    result = runner.cli("demo", *host_args(sim), "--output", str(tmp_path))
    assert result.code == 0, result.out + result.err
    lines = step_lines(result.out)
    for name in MOTION_STEPS:
        assert "skipped: reads only on a real controller (pass --allow-motion)" in lines[name]
    assert "nothing was changed" in lines["Restore"]
    assert lines["Inverse kinematics"].startswith("✓")
    assert all(statement.startswith("Print") for statement in sim.statements()), sim.statements()


def test_motion_on_a_real_host_is_small_and_restored(runner, sim, tmp_path):
    result = runner.cli("demo", *host_args(sim), "--allow-motion", "--yes", "--output", tmp_path)
    assert result.code == 0, result.out + result.err
    statements = sim.statements()
    assert "Motor On" in statements
    assert not any(s.startswith(("Power", "XYLim")) for s in statements)  # never on a real robot
    assert "not on a real controller" in step_lines(result.out)["Safety cuboid"]
    state = sim.robot_state()
    assert not state["motors_on"]
    assert state["tool"] == 0
    assert state["power"] == "Low"
    assert state["pose"] == pytest.approx([480.0, 0.0, 660.0, 180.0, 0.0, 180.0], abs=1e-6)


def test_a_failure_half_way_leaves_motors_off(runner, sim, tmp_path):
    sim.script("SpeedS 20.00000000000000000", reply="!Execute,99")  # the demo's Move on a real host
    result = runner.cli("demo", *host_args(sim), "--allow-motion", "--yes", "--output", tmp_path)
    assert result.code == 1
    assert "Traceback" not in result.err
    assert step_lines(result.out)["Move, pause, continue"].startswith("✗")
    assert "!Execute,99" in result.err
    state = sim.robot_state()
    assert not state["motors_on"] and state["tool"] == 0
    assert (tmp_path / "trajectory.csv").exists()  # what was recorded up to the failure


def test_ctrl_c_during_the_move(runner, tmp_path, no_new_simulator):
    process = runner.start(
        [*WITH_DEFAULT_SIGINT, "-m", "epson_remote", "demo"]
        + ["--output", str(tmp_path), "--time-scale", "0.5"]
    )
    try:
        runner.read_until(process, " 9/16 Go", timeout=90)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 130, out + err
    assert "Move, pause, continue  interrupted" in out
    assert "epson-remote: error: interrupted" in err
    assert "Traceback" not in err
