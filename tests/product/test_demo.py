"""The demo: end to end on its own simulator, read-only and with motion against a "real" host (a
simulator it did not start), and what it leaves behind when interrupted or failing."""

from __future__ import annotations

import signal

import pytest
from helpers import WITH_DEFAULT_SIGINT, reaped

from epson_remote.cli.demo import STEPS as STEP_NAMES

# Each test starts processes and takes seconds: kept out of the sanitizer run.
pytestmark = pytest.mark.slow

MOTION_STEPS = (
    "Motors on",
    "Safety cuboid",
    "TCP override",
    "Go",
    "Move, pause, continue",
    "Abort",
)


def step_lines(out: str) -> dict[str, str]:
    """Step name -> its line, for the lines of the form 'mark  n/N Name  detail'."""
    found = {}
    for line in out.splitlines():
        parts = line.split(maxsplit=2)
        if len(parts) == 3 and parts[1].endswith(f"/{len(STEP_NAMES)}"):
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
    assert "aborted half-way" in lines["Abort"] and "(move() raised !Execute," in lines["Abort"]
    assert "sensor input 8 on after" in lines["Gripper"]
    assert "simulator reports motors off" in lines["Disconnect"]
    assert "Demo complete" in result.out
    csv_text = (tmp_path / "trajectory.csv").read_text()
    for event in ("go", "move", "pause", "continue", "abort", "back"):
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
    demo = [*WITH_DEFAULT_SIGINT, "-m", "epson_remote", "demo"]
    with reaped(runner.start(demo + ["--output", str(tmp_path), "--time-scale", "0.5"])) as process:
        runner.read_until(process, f" 9/{len(STEP_NAMES)} Go", timeout=90)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    assert process.returncode == 130, out + err
    assert "Move, pause, continue  interrupted" in out
    assert "epson-remote: error: interrupted" in err
    assert "Traceback" not in err
