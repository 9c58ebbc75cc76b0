"""The typed API: committed stubs match the compiled modules, and ``mypy --strict`` accepts the
examples and a typed usage file, which also runs against the simulator."""

from __future__ import annotations

import importlib.util
import sys

import pytest

from epson_remote import EthernetReceiveInterface, RobotCell

# Each test starts processes and takes seconds: kept out of the sanitizer run.
pytestmark = pytest.mark.slow


def test_stubs_are_current_and_agree_with_the_modules(runner):
    result = runner.run(["scripts/stubs.py", "--check"], timeout=120)
    assert result.code == 0, result.out + result.err


def test_mypy_strict_on_examples_and_typed_usage(runner):
    result = runner.run(["-m", "mypy"], timeout=300)  # files and options: pyproject.toml
    assert result.code == 0, result.out + result.err
    assert "Success" in result.out


def test_package_is_marked_typed(runner):
    import epson_remote

    assert (runner.repo / "python/epson_remote/py.typed").exists()
    for module in ("_command_channel", "_receive_interface", "_robot_cell"):
        assert (runner.repo / f"python/epson_remote/{module}.pyi").exists()
        assert hasattr(epson_remote, "__file__")


def test_typed_usage_runs(runner, sim, channel):
    spec = importlib.util.spec_from_file_location(
        "typed_usage", runner.repo / "tests/product/typed_usage.py"
    )
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules["typed_usage"] = module
    try:
        spec.loader.exec_module(module)
        joints = module.use_channel(channel)
        assert joints == [0.0, 0.0, 0.0, 0.0, 90.0, 0.0] or len(joints) == 6
        telemetry = EthernetReceiveInterface()
        telemetry.connect(sim.host, sim.telemetry_port)
        try:
            assert module.use_telemetry(telemetry) > 0
        finally:
            telemetry.disconnect()
        channel.disconnect()  # the simulator serves one command client at a time
        cell = RobotCell(sim.host, sim.command_port, sim.telemetry_port)
        try:
            control, receive = module.use_cell(cell)
            assert control.is_logged_in() and receive.is_connected()
        finally:
            cell.disconnect()
        state = module.use_host_program(sim.host, sim.command_port, sim.telemetry_port)
        assert state.motors_on is True and not sim.robot_state()["motors_on"]
    finally:
        del sys.modules["typed_usage"]
