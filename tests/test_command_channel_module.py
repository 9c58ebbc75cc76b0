"""The Python surface of _command_channel: names, order, signatures, docstrings, conversions."""

from __future__ import annotations

import enum
import glob
import os
import subprocess
import sys

import pytest

import epson_remote
from epson_remote import CommandChannel, EpsonPowerMode, PtpMotionLimits
from epson_remote import _command_channel

METHODS_IN_ORDER = [
    "connect", "disconnect", "is_connected", "is_logged_in", "motor_on_error",
    "is_emergency_stopped", "get_controller_status", "reset_controller", "motor_on", "motor_off",
    "pause", "continue_motion", "get_power_mode", "get_ptp_motion_limits", "add_safety_cuboid",
    "set_power_mode", "tl_set", "tl_clear", "set_tool", "get_tool", "is_tool_defined",
    "get_tool_definition", "get_tcp_offset", "set_tcp_offset", "restore_tcp_offset",
    "inverse_kinematics", "go", "move", "get_state",
]  # fmt: skip

FIRST_DOC_LINES = {
    "__init__": "Create a disconnected control interface.",
    "connect": "Connect and log in without turning the motors on.",
    "disconnect": "Restore controller state, log out, and close the socket.",
    "is_connected": "Return whether the command socket is connected.",
    "is_logged_in": "Return whether the Remote Ethernet session is logged in.",
    "motor_on_error": "Return the error from the most recent explicit motor-on attempt.",
    "is_emergency_stopped": "Return whether Emergency Stop is active.",
    "get_controller_status": "Read raw Epson controller status fields.",
    "reset_controller": "Clear the current controller error with SPEL+ ``Reset``.",
    "motor_on": "Turn the Epson robot motors on.",
    "motor_off": "Turn the Epson robot motors off.",
    "pause": "Pause active Epson tasks and robot motion.",
    "continue_motion": "Continue paused Epson tasks and robot motion.",
    "get_power_mode": "Read the current Epson servo power mode.",
    "get_ptp_motion_limits": "Read maximum SPEL+ point-to-point motion settings.",
    "add_safety_cuboid": "Set the Epson controller's allowed Cartesian workspace.",
    "set_power_mode": "Set and verify the Epson servo power mode.",
    "tl_set": "Define a native Epson Tool with SPEL+ ``TLSet``.",
    "tl_clear": "Clear a native Epson Tool definition.",
    "set_tool": "Select the Tool used by subsequent Epson motion.",
    "get_tool": "Return the selected Epson Tool number.",
    "is_tool_defined": "Return whether an Epson Tool slot has a definition.",
    "get_tool_definition": "Read a native Epson Tool definition.",
    "get_tcp_offset": "Read the selected controller TCP in Corvane units.",
    "set_tcp_offset": "Set the active controller TCP in Corvane units.",
    "restore_tcp_offset": "Restore the controller Tool state saved by ``set_tcp_offset()``.",
    "inverse_kinematics": "Solve inverse kinematics on the connected Epson controller.",
    "go": "Execute a point-to-point SPEL+ ``Go`` motion.",
    "move": "Execute a straight-line Cartesian SPEL+ ``Move`` motion.",
    "get_state": "Read joint positions and TCP pose in one controller request.",
}

# Integer arguments are taken strictly (int, bool or an object with __index__): they show as int.
INT = "int"
SELF = "self: epson_remote._command_channel.CommandChannel"


def signature(name: str) -> str:
    return getattr(CommandChannel, name).__doc__.splitlines()[0]


def first_doc_line(name: str) -> str:
    # pybind11 puts the generated signature first, then a blank line, then our docstring.
    return getattr(CommandChannel, name).__doc__.splitlines()[2]


class TestModule:
    def test_module_docstring(self):
        assert _command_channel.__doc__ == (
            "Provide Epson Remote Ethernet command access.\n\n"
            "Use ``CommandChannel`` for controller commands and TCP management.\n"
            "Continuous telemetry is handled separately by ``EthernetReceiveInterface``.\n"
        )

    def test_public_names_are_reexported_by_the_package(self):
        for name in ("CommandChannel", "EpsonPowerMode", "PtpMotionLimits"):
            assert name in epson_remote.__all__
        assert CommandChannel.__module__ == "epson_remote._command_channel"

    def test_import_prints_nothing_in_development_mode(self):
        result = subprocess.run(
            [sys.executable, "-X", "dev", "-W", "error", "-c", "import epson_remote"],
            capture_output=True, text=True, check=False,
        )
        assert (result.returncode, result.stdout, result.stderr) == (0, "", "")

    def test_another_python_version_refuses_the_module(self):
        # A 3.11 interpreter loads the module file and must fail the version check cleanly.
        candidates = sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.11.*/bin/python3.11")))
        if not candidates:
            pytest.skip("no Python 3.11 on this machine")
        module_dir = os.path.dirname(_command_channel.__file__)
        code = (
            "import importlib.util, sys\n"
            f"spec = importlib.util.spec_from_file_location('_command_channel', {_command_channel.__file__!r})\n"
            "try:\n"
            "    spec.loader.exec_module(importlib.util.module_from_spec(spec))\n"
            "except ImportError as error:\n"
            "    print(error)\n"
        )
        result = subprocess.run(
            [candidates[-1], "-c", code], capture_output=True, text=True, check=False,
            cwd=module_dir,
        )
        assert result.stdout.startswith(
            "Python version mismatch: module was compiled for Python 3.12, but the interpreter "
            "version is incompatible: 3.11"
        ), result.stdout + result.stderr


class TestCommandChannelClass:
    def test_methods_are_registered_in_order(self):
        names = [name for name in vars(CommandChannel) if name in METHODS_IN_ORDER]
        assert names == METHODS_IN_ORDER

    @pytest.mark.parametrize("name", sorted(FIRST_DOC_LINES))
    def test_docstring_first_lines(self, name):
        assert first_doc_line(name) == FIRST_DOC_LINES[name]

    def test_class_docstring(self):
        doc = CommandChannel.__doc__
        assert doc.startswith("Control an Epson robot through Remote Ethernet.\n")
        assert ">>> channel.is_logged_in()\n    True" in doc

    def test_signatures_show_types_and_defaults(self):
        assert signature("connect") == (
            f"connect({SELF}, host: str, port: {INT} = 5000, password: str = '') -> None"
        )
        assert signature("inverse_kinematics") == (
            f"inverse_kinematics({SELF}, cartesian_pose: collections.abc.Sequence[typing.SupportsFloat"
            " | typing.SupportsIndex], least_joint_motion: bool = True, reference_joint_positions: "
            "collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex] | None = None)"
            " -> list[float]"
        )
        assert signature("go").startswith(
            f"go({SELF}, destination: str, cp: bool, ljm: bool, orientation_flag: {INT} | None, "
            "search_expression: str | None, parallel_processing: str | None, sync: bool, "
            f"speed_percent: {INT} | None = None, "
        )
        assert signature("get_state") == f"get_state({SELF}) -> dict"
        assert signature("get_controller_status") == f"get_controller_status({SELF}) -> dict[str, int]"

    def test_static_properties_are_read_only(self):
        channel = CommandChannel()
        assert CommandChannel.default_port == channel.default_port == 5000
        assert CommandChannel.default_password == channel.default_password == ""
        with pytest.raises(AttributeError):
            CommandChannel.default_port = 1
        with pytest.raises(AttributeError):
            channel.default_password = "x"
        assert CommandChannel.default_port == 5000

    def test_wrong_argument_types_fail_before_native_code(self, sim):
        channel = CommandChannel()
        with pytest.raises(TypeError):
            channel.connect(sim.host, 70000)
        with pytest.raises(TypeError):
            channel.connect(sim.host, "5000")
        with pytest.raises(TypeError):
            channel.set_tool(1.0)
        with pytest.raises(TypeError):
            channel.set_tool(2**31)
        with pytest.raises(TypeError):
            channel.set_tcp_offset("0.1")
        with pytest.raises(TypeError):
            channel.go("P1")
        assert sim.requests() == []

    def test_go_takes_its_optional_texts_positionally(self, sim, channel):
        sim.script('Go P1', reply="#Execute,0")
        channel.go("P1", False, False, None, None, None, False)
        assert sim.requests() == ['$Execute,"Go P1"']

    def test_exceptions_map_to_python_types(self, sim, channel):
        with pytest.raises(IndexError, match="^Tool number must be between 1 and 15$"):
            channel.tl_clear(0)
        with pytest.raises(ValueError, match="^TLSet tool_def_point must not be empty$"):
            channel.tl_set(1, "")
        sim.script("Print Tool", reply="!Execute,11")
        with pytest.raises(RuntimeError, match="^Remote command failed: !Execute,11 "):
            channel.get_tool()


class TestValueTypes:
    def test_power_mode_is_a_standard_int_enum(self):
        assert issubclass(EpsonPowerMode, enum.IntEnum)
        assert EpsonPowerMode(1) is EpsonPowerMode.HIGH
        assert EpsonPowerMode.LOW.value == 0 and int(EpsonPowerMode.HIGH) == 1
        assert EpsonPowerMode.HIGH.name == "HIGH"
        assert list(EpsonPowerMode.__members__) == ["LOW", "HIGH"]
        assert not hasattr(_command_channel, "LOW")
        assert EpsonPowerMode.__doc__.startswith("Epson controller servo power mode.")
        import pickle

        assert pickle.loads(pickle.dumps(EpsonPowerMode.HIGH)) is EpsonPowerMode.HIGH

    def test_motion_limits_have_no_constructor_and_read_only_fields(self, sim, channel):
        with pytest.raises(TypeError):
            PtpMotionLimits()
        sim.script("Print AccelMax(1),AccelMax(2)", reply='#Execute," 120 80"')
        limits = channel.get_ptp_motion_limits()
        assert (limits.speed_percent, limits.acceleration_percent, limits.deceleration_percent) == (
            100, 120, 80,
        )
        with pytest.raises(AttributeError):
            limits.speed_percent = 5
        assert PtpMotionLimits.__doc__.startswith(
            "Maximum Epson SPEL+ point-to-point motion settings."
        )
