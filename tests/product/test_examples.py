"""Every example runs against a simulator of its own and prints what its docstring promises
(examples/demo.py runs in test_demo.py)."""

from __future__ import annotations

import pytest

# Each test starts processes and takes seconds: kept out of the sanitizer run.
pytestmark = pytest.mark.slow

EXPECTED = {
    "query_controller.py": ["Emergency stop: False", "Power mode:     LOW", "TCP pose:"],
    "pause_and_continue.py": [
        "get_state during the motion: getState() skipped",
        "arrived at [480.0, -200.0, 560.0] mm",
        "motors on after disconnect: False",
    ],
    "record_telemetry.py": ["samples in", "per second", "status words:", ": 0 lost"],
    "asyncio_cell.py": [
        "event loop lag during the move: max",
        "cancelled: the arm stopped",
        "0 missing, 0 dropped",
    ],
    "pick_and_place.py": [
        "lamp program running: True",
        "parts placed: 2",
        "gripper open: True",
        "motors on after disconnect: False",
    ],
    "robot_cell.py": ["both connected: True", "after disconnect: False"],
    "tools_and_tcp.py": [
        "Tool 2 defined: True [0.0, 0.0, 120.0, 0.0, 0.0, 0.0]",
        "override: Tool 15 TCP [m, deg]: [0.01, 0.0, 0.15, 0.0, 0.0, 90.0]",
        "restored: Tool 2",
        "IndexError: Tool number must be between 0 and 15",
    ],
    "errors_and_recovery.py": [
        "connect: Epson Remote Ethernet login failed after 3 attempts",
        "motor_on: Remote command failed: !Execute,20",
        "after reset: system_error = 0",
        "add_safety_cuboid: Safety cuboid corners must each have 3 coordinates",
    ],
}


def test_every_example_is_covered(runner):
    present = {path.name for path in (runner.repo / "examples").glob("*.py")}
    assert present == set(EXPECTED) | {"demo.py"}


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_example(runner, name, no_new_simulator):
    result = runner.run([f"examples/{name}"], timeout=90)
    assert result.code == 0, result.out + result.err
    for text in EXPECTED[name]:
        assert text in result.out


def test_readme_snippet(runner, tmp_path, no_new_simulator):
    """The first Python block of README.md runs as written."""
    text = (runner.repo / "README.md").read_text()
    snippet = text.split("```python\n", 1)[1].split("```", 1)[0]
    script = tmp_path / "snippet.py"
    script.write_text(snippet)
    result = runner.run([str(script)], timeout=60)
    assert result.code == 0, result.out + result.err
    assert "'emergency_stopped': 0" in result.out
