"""The Python surface of _command_channel: names, argument conversions, value types, errors.

Signatures and docstrings are held by the committed stubs (tests/product/test_typing.py)."""

from __future__ import annotations

import enum
import glob
import math
import os
import subprocess
import sys

import pytest

import epson_remote
from epson_remote import CommandChannel, EpsonPowerMode, PtpMotionLimits, _command_channel


class TestModule:
    def test_public_names_are_reexported_by_the_package(self):
        for name in ("CommandChannel", "EpsonPowerMode", "PtpMotionLimits"):
            assert name in epson_remote.__all__
        assert CommandChannel.__module__ == "epson_remote._command_channel"

    def test_xy_point_text_has_17_significant_digits_and_refuses_bad_poses(self):
        assert "xy" in epson_remote.__all__
        assert epson_remote.xy([400, 0.1, 300.5, 180, -0.0, 1.5e17]) == (
            "XY(400, 0.10000000000000001, 300.5, 180, -0, 1.5e+17)"
        )
        for pose in ([0.0] * 5, [0.0] * 7, [float("nan")] + [0.0] * 5, [0.0] * 5 + [-math.inf]):
            with pytest.raises(ValueError, match="6 values|finite"):
                epson_remote.xy(pose)

    def test_import_prints_nothing_in_development_mode(self):
        result = subprocess.run(
            [sys.executable, "-X", "dev", "-W", "error", "-c", "import epson_remote"],
            capture_output=True,
            text=True,
            check=False,
        )
        assert (result.returncode, result.stdout, result.stderr) == (0, "", "")

    def test_another_python_version_refuses_the_module(self):
        # A 3.11 interpreter loads the module file and must fail the version check cleanly.
        candidates = sorted(
            glob.glob(os.path.expanduser("~/.pyenv/versions/3.11.*/bin/python3.11"))
        )
        if not candidates:
            pytest.skip("no Python 3.11 on this machine")
        module_dir = os.path.dirname(_command_channel.__file__)
        path = _command_channel.__file__
        code = (
            "import importlib.util, sys\n"
            f"spec = importlib.util.spec_from_file_location('_command_channel', {path!r})\n"
            "try:\n"
            "    spec.loader.exec_module(importlib.util.module_from_spec(spec))\n"
            "except ImportError as error:\n"
            "    print(error)\n"
        )
        result = subprocess.run(
            [candidates[-1], "-c", code],
            capture_output=True,
            text=True,
            check=False,
            cwd=module_dir,
        )
        assert result.stdout.startswith(
            "Python version mismatch: module was compiled for Python 3.12, but the interpreter "
            "version is incompatible: 3.11"
        ), result.stdout + result.stderr


class TestCommandChannelClass:
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
            channel.go("P1", "yes")  # a flag must be a bool
        assert sim.requests() == []

    def test_motion_flags_default_to_off(self, sim, channel):
        sim.script("Go P1", reply="#Execute,0")
        sim.script("Move P2", reply="#Execute,0")
        sim.script("SpeedS 100.00000000000000000", reply="#Execute,0")
        channel.go("P1")
        channel.move("P2", speed_mm_s=100)
        assert sim.statements() == ["Go P1", "SpeedS 100.00000000000000000", "Move P2"]

    def test_go_takes_its_optional_texts_positionally(self, sim, channel):
        sim.script("Go P1", reply="#Execute,0")
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
        assert not hasattr(_command_channel, "LOW")
        import pickle

        assert pickle.loads(pickle.dumps(EpsonPowerMode.HIGH)) is EpsonPowerMode.HIGH

    def test_motion_limits_have_no_constructor_and_read_only_fields(self, sim, channel):
        with pytest.raises(TypeError):
            PtpMotionLimits()
        sim.script("Print AccelMax(1),AccelMax(2)", reply='#Execute," 120 80"')
        limits = channel.get_ptp_motion_limits()
        assert (limits.speed_percent, limits.acceleration_percent, limits.deceleration_percent) == (
            100,
            120,
            80,
        )
        with pytest.raises(AttributeError):
            limits.speed_percent = 5
