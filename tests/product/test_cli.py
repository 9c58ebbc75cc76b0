"""The ``epson-remote`` tool as a user meets it: help, usage errors, and each subcommand's main
path against the simulator."""

from __future__ import annotations

import csv
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from helpers import WITH_DEFAULT_SIGINT, reaped

from epson_remote import (
    CommandChannel,
    ConnectionLost,
    ControllerError,
    EpsonTimeout,
    ProtocolError,
)
from epson_remote.cli._telemetry import CSV_COLUMNS, Sample, write_csv

# Each test starts processes and takes seconds: kept out of the sanitizer run.
pytestmark = pytest.mark.slow

COMMANDS = ("demo", "sim", "status", "monitor", "plot")


def assert_clean_failure(result, code: int, message: str) -> None:
    assert result.code == code, (result.out, result.err)
    assert message in result.err
    assert "Traceback" not in result.err + result.out


class TestHelp:
    def test_top_level_lists_every_command(self, runner):
        result = runner.cli("--help")
        assert result.code == 0
        assert result.out.startswith("usage: epson-remote")
        for command in COMMANDS:
            assert f"    {command} " in result.out
        assert "epson-remote demo" in result.out

    @pytest.mark.parametrize(
        ("command", "options"),
        [
            ("demo", ["--allow-motion", "--output", "--password", "--telemetry-port"]),
            (
                "sim",
                [
                    "--command-port",
                    "--telemetry-port",
                    "--password",
                    "--telemetry-rate",
                    "--time-scale",
                    "--accel-max",
                    "--link",
                ],
            ),
            ("status", ["HOST", "--command-port", "--password", "--json"]),
            ("monitor", ["HOST", "--telemetry-port", "--record", "--duration"]),
            ("plot", ["FILE.csv", "--output"]),
        ],
    )
    def test_each_command_explains_its_options(self, runner, command, options):
        result = runner.cli(command, "--help")
        assert result.code == 0
        assert result.out.startswith(f"usage: epson-remote {command}")
        for option in options:
            assert option in result.out
        assert "example" in result.out

    def test_module_entry_points(self, runner):
        assert runner.run(["-m", "epson_remote.cli", "--help"]).out.startswith(
            "usage: epson-remote"
        )
        alias = runner.run(["-c", "from epson_remote.cli.sim import main; main()", "--help"])
        assert alias.code == 0 and alias.out.startswith("usage: epson-remote-sim")


class TestUsageErrors:
    @pytest.mark.parametrize(
        ("args", "message"),
        [
            ([], "the following arguments are required: COMMAND"),
            (["fly"], "invalid choice: 'fly'"),
            (["status"], "the following arguments are required: HOST"),
            (["status", "127.0.0.1", "--command-port", "70000"], "port 70000 is outside 1..65535"),
            (["status", " "], "the host must not be empty"),
            (["monitor", "127.0.0.1", "--duration", "-1"], "the duration must be positive"),
            (["sim", "--telemetry-rate", "0"], "the rate must be in (0, 10000]"),
            (["sim", "--link", "a9=3"], "expected NAME=MM"),
            (["plot", "missing.csv"], "missing.csv: no such file"),
            (
                ["status", "127.0.0.1", "--port", "5000"],
                "unrecognized arguments: --port 5000 (did you mean --command-port?)",
            ),
            (
                ["demo", "--port=5000"],
                "unrecognized arguments: --port=5000 (did you mean --command-port?)",
            ),
            (["monitor", "127.0.0.1", "--port", "2000"], "(did you mean --telemetry-port?)"),
        ],
    )
    def test_exit_code_2_and_a_message(self, runner, args, message):
        assert_clean_failure(runner.cli(*args), 2, message)

    def test_an_option_unknown_to_every_command_is_reported_as_before(self, runner):
        result = runner.cli("status", "127.0.0.1", "--colour")
        assert_clean_failure(result, 2, "epson-remote: error: unrecognized arguments: --colour")
        assert "did you mean" not in result.err

    def test_a_file_that_is_not_a_trajectory(self, runner, tmp_path):
        bad = tmp_path / "bad.csv"
        bad.write_text("a,b\n1,2\n")
        assert_clean_failure(runner.cli("plot", str(bad)), 2, "is not a trajectory file")


class TestStatus:
    def test_reads_and_decodes_without_changing_anything(self, runner, sim):
        result = runner.cli("status", sim.host, "--command-port", str(sim.command_port))
        assert result.code == 0, result.err
        for text in (
            "Ready for remote commands",
            "Emergency stop  released",
            "Safeguard       closed",
            "Teach mode      off",
            "Error           none",
            "Motors          off",
            "Power mode  LOW",
            "speed 100 %, acceleration 120 %, deceleration 120 %",
            "Tool        0 (flange)",
            "480.000  0.000  660.000",
            "Remote status   auto, ready; code 0000",
        ):
            assert text in result.out
        assert all(statement.startswith("Print") for statement in sim.statements())
        assert sim.requests()[-1] == "$Logout"
        assert not sim.has_client()

    def test_what_blocks_the_robot_is_spelled_out(self, runner, sim):
        sim.emergency_stop()
        sim.set_safeguard(True)
        result = runner.cli("status", sim.host, "--command-port", str(sim.command_port))
        assert result.code == 0, result.err
        assert "Not ready: emergency stop, safeguard, error" in result.out
        assert "ACTIVE: release it, then reset the controller" in result.out
        assert "OPEN: close the safety door" in result.out

    def test_json(self, runner, sim):
        result = runner.cli("status", sim.host, "--command-port", str(sim.command_port), "--json")
        assert result.code == 0, result.err
        report = json.loads(result.out)  # standard output carries the JSON object alone
        assert result.err.splitlines() == [
            f"Connected to {sim.host}:{sim.command_port}",
            f"Disconnected from {sim.host}:{sim.command_port}",
        ]
        assert report["power_mode"] == "LOW"
        assert report["status"]["emergency_stopped"] == 0
        assert report["ptp_motion_limits"]["acceleration_percent"] == 120
        assert report["state"]["tcp_pose"] == [480.0, 0.0, 660.0, 180.0, 0.0, 180.0]
        assert report["remote_status"]["ready"] is True
        assert report["remote_status"]["error_code"] == 0

    def test_the_session_log_lines_come_before_the_report(self, runner, sim):
        result = runner.cli("status", sim.host, "--command-port", str(sim.command_port))
        assert result.code == 0, result.err
        lines = result.out.splitlines()
        where = f"{sim.host}:{sim.command_port}"
        assert lines[:2] == [f"Connected to {where}", f"Disconnected from {where}"]
        assert result.err == ""

    @pytest.mark.parametrize(
        ("reply", "hint"),
        [
            ("!Login,13", "hint: The controller refused the password"),
            ("!Login,98", "hint: The controller asks a client on a routed (global) network"),
        ],
    )
    def test_controller_refusal_is_shown_with_its_message(self, runner, sim, reply, hint):
        sim.script("$Login,", reply=reply)
        result = runner.cli("status", sim.host, "--command-port", str(sim.command_port))
        assert_clean_failure(
            result, 1, f"epson-remote: error: Remote command failed: {reply} (command: $Login,"
        )
        assert hint in result.err

    def test_an_unanswered_request_gets_the_time_out_hint(self, runner, sim):
        sim.script("Print AccelMax(1),AccelMax(2)", silent=True)
        result = runner.cli("status", sim.host, "--command-port", str(sim.command_port))
        assert_clean_failure(result, 1, "error: Timed out waiting for an Epson Remote Ethernet")
        assert "hint: The controller did not answer in time" in result.err

    def test_nothing_listening(self, runner):
        result = runner.cli("status", "127.0.0.1", "--command-port", "1", timeout=60)
        assert_clean_failure(result, 1, "Connection refused")
        assert "hint: Nothing listens there" in result.err


class TestIo:
    def args(self, sim, *more: str) -> list[str]:
        return ["io", sim.host, "--command-port", str(sim.command_port), *more]

    def test_reads_inputs_and_outputs(self, runner, sim):
        sim.set_input(3, True)
        result = runner.cli(*self.args(sim, "--bits", "2-4", "--json"))
        assert result.code == 0, result.err
        report = json.loads(result.out)  # the session's log lines are on standard error
        assert report["inputs"] == {"2": False, "3": True, "4": False}
        assert report["outputs"] == {"2": False, "3": False, "4": False}
        assert not any(request.startswith("$Set") for request in sim.requests())

    def test_set_switches_with_yes(self, runner, sim):
        result = runner.cli(*self.args(sim, "--set", "5=on", "--set", "6=off", "--yes"))
        assert result.code == 0, result.err
        assert sim.output(5) and not sim.output(6)
        assert "$SetIO,5,1" in sim.requests()

    def test_set_without_yes_and_no_terminal_switches_nothing(self, runner, sim):
        result = runner.cli(*self.args(sim, "--set", "5=on"))
        assert_clean_failure(result, 2, "not switching output 5 on")
        assert "hint: Pass --yes" in result.err
        assert not sim.output(5) and not sim.has_client()

    @pytest.mark.parametrize(("option", "bad"), [("--set", "5=up"), ("--bits", "9-2")])
    def test_bad_options(self, runner, sim, option, bad):
        assert_clean_failure(runner.cli(*self.args(sim, option, bad)), 2, bad)


class TestMonitor:
    def test_plain_lines_and_every_sample_recorded(self, runner, sim, tmp_path):
        record = tmp_path / "run.csv"
        result = runner.cli(
            "monitor",
            sim.host,
            "--telemetry-port",
            str(sim.telemetry_port),
            "--duration",
            "1.5",
            "--record",
            str(record),
        )
        assert result.code == 0, result.err
        assert "samples/s" in result.out and "emergency stop released" in result.out
        with record.open() as file:
            rows = list(csv.reader(file))
        assert tuple(rows[0]) == CSV_COLUMNS
        times = [float(row[0]) for row in rows[1:]]
        assert len(times) > 100  # 250 samples/s for 1.5 s
        assert times == sorted(times) and len(set(times)) == len(times)
        assert rows[1][7:10] == ["480.0", "0.0", "660.0"]
        assert f"Recorded {len(times)} samples to {record}" in result.out

    def test_piped_lines_are_not_wrapped_at_80_columns(self, runner, sim):
        result = runner.run(
            [
                "-c",
                "import os, sys; os.environ.pop('COLUMNS', None); "
                "from epson_remote.cli import main; sys.exit(main(sys.argv[1:]))",
                "monitor",
                sim.host,
                "--telemetry-port",
                str(sim.telemetry_port),
                "--duration",
                "1.5",
            ]
        )
        assert result.code == 0, result.err
        lines = result.out.splitlines()
        assert lines
        for line in lines:  # one line a second, whole
            assert len(line) > 80
            assert line.startswith(f"{sim.host}:{sim.telemetry_port}: ") and "| J " in line
            assert line.endswith("motors off")

    def test_no_telemetry(self, runner, sim):
        sim.stop_telemetry()
        result = runner.cli("monitor", sim.host, "--telemetry-port", str(sim.telemetry_port))
        assert_clean_failure(result, 1, "Failed to connect to Epson telemetry at")
        assert "hint: Check the telemetry port" in result.err

    @pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
    def test_refreshes_in_place_in_a_terminal(self, runner, sim, tmp_path):
        session = f"epson-monitor-{time.monotonic_ns()}"
        done = tmp_path / "exit-code"
        # The tmux server keeps the environment it started with: hand the import path over.
        path = shlex.quote(os.environ.get("PYTHONPATH", ""))
        command = (
            f"cd {shlex.quote(str(runner.repo))} && PYTHONPATH={path} {sys.executable} -m "
            f"epson_remote monitor {sim.host} --telemetry-port {sim.telemetry_port}; "
            f"echo $? > {done}; sleep 30"
        )
        subprocess.run(
            ["tmux", "new-session", "-d", "-s", session, "-x", "120", "-y", "40", command],
            check=True,
        )
        try:
            screen = ""
            deadline = time.monotonic() + 20
            while "samples/s" not in screen and time.monotonic() < deadline:
                time.sleep(0.2)
                screen = _capture(session)
            time.sleep(1.0)  # several refreshes
            screen = _capture(session)
            assert screen.count("Telemetry 127.0.0.1") == 1  # redrawn, not scrolled
            assert "J1 / X" in screen and "Emergency stop  released" in screen
            subprocess.run(["tmux", "send-keys", "-t", session, "C-c"], check=True)
            deadline = time.monotonic() + 10
            while not done.exists() and time.monotonic() < deadline:
                time.sleep(0.1)
            assert done.read_text().strip() == "0"
            assert "Traceback" not in _capture(session)
        finally:
            subprocess.run(["tmux", "kill-session", "-t", session], check=False)


def _capture(session: str) -> str:
    return subprocess.run(
        ["tmux", "capture-pane", "-p", "-t", session], capture_output=True, text=True
    ).stdout


class TestPlot:
    def samples(self) -> list[Sample]:
        return [
            Sample(
                t * 0.01,
                (t * 0.5, 0, 0, 0, 90, 0),
                (480 - t, t, 660, 180, 0, 180),
                "go" if t == 10 else "",
            )
            for t in range(200)
        ]

    def test_png(self, runner, tmp_path):
        pytest.importorskip("matplotlib")
        source = tmp_path / "run.csv"
        write_csv(source, self.samples())
        result = runner.cli("plot", str(source), "-o", str(tmp_path / "out.png"))
        assert result.code == 0, result.err
        image = (tmp_path / "out.png").read_bytes()
        assert image.startswith(b"\x89PNG") and len(image) > 20_000
        assert "(200 samples)" in result.out

    def test_without_matplotlib(self, runner, tmp_path):
        source = tmp_path / "run.csv"
        write_csv(source, self.samples())
        result = runner.run(
            [
                "-c",
                "import sys; sys.modules['matplotlib'] = None; "
                "from epson_remote.cli import main; sys.exit(main(sys.argv[1:]))",
                "plot",
                str(source),
            ]
        )
        assert_clean_failure(result, 1, "matplotlib is not installed")
        assert "pip install 'epson-remote[plot]'" in result.err


class TestSim:
    def test_serves_until_interrupted(self, runner, no_new_simulator):
        ports = ["--command-port", "0", "--telemetry-port", "0"]
        options = ["--password", "pw", "--accel-max", "100", "90"]
        sim = [*WITH_DEFAULT_SIGINT, "-m", "epson_remote", "sim", *ports, *options]
        with reaped(runner.start(sim)) as process:
            lines = runner.read_until(process, "Telemetry ")
            command_port = int(lines[-2].rsplit(":", 1)[1])
            channel = CommandChannel()
            channel.connect("127.0.0.1", command_port, "pw")
            try:
                limits = channel.get_ptp_motion_limits()
                assert (limits.acceleration_percent, limits.deceleration_percent) == (100, 90)
            finally:
                channel.disconnect()
            process.send_signal(signal.SIGINT)
            out, err = process.communicate(timeout=15)
        assert process.returncode == 0, err
        assert "Simulator stopped" in out and "Traceback" not in err

    def test_port_in_use(self, runner, sim):
        result = runner.cli("sim", "--command-port", str(sim.command_port), "--telemetry-port", "0")
        assert_clean_failure(result, 1, f"cannot listen on 127.0.0.1:{sim.command_port}")


def test_trajectory_csv_reads_back(tmp_path: Path):
    from epson_remote.cli._telemetry import read_csv

    path = tmp_path / "x.csv"
    write_csv(path, [Sample(5.0, (1,) * 6, (2,) * 6, "go"), Sample(5.5, (3,) * 6, (4,) * 6)])
    trajectory = read_csv(path)
    assert trajectory.time_s == [0.0, 0.5]
    assert trajectory.events == [(0.0, "go")]
    assert trajectory.joints[0] == [1.0, 3.0] and trajectory.pose[5] == [2.0, 4.0]


LOGIN_REFUSED = "Remote command failed: !Login,{} (command: $Login,<redacted>)"


@pytest.mark.parametrize(
    ("error", "hint"),
    [
        (
            ControllerError(LOGIN_REFUSED.format(13), 13, "$Login,<redacted>", "!Login,13"),
            "password",
        ),
        (ControllerError(LOGIN_REFUSED.format(98), 98), "routed (global) network"),
        (ControllerError("Remote command failed: !Execute,20 (...)", 20), "not ready"),
        # The class decides, not words in the message.
        (ControllerError("!Execute,99: Connection refused, timed out", 99), None),
        (ControllerError("Unexpected failure reply", None), None),
        (EpsonTimeout("Timed out waiting for an Epson Remote Ethernet response"), "in time"),
        (EpsonTimeout("login failed after 3 attempts: Connection to h:1 timed out"), "in time"),
        (EpsonTimeout("Connected to the Epson telemetry port, but no complete"), "Background"),
        (ConnectionLost("login failed after 1 attempt: ...: Connection refused"), "Nothing"),
        (ConnectionLost("Failed to resolve h:5000: Host not found"), "does not resolve"),
        (
            ConnectionLost("Failed to connect to Epson telemetry at h:2000: Connection refused"),
            "telemetry port",
        ),
        (ConnectionLost("write: Broken pipe"), None),
        (ProtocolError('Failed to parse Epson controller status response: ""'), None),
        (RuntimeError("login failed: Connection refused, timed out"), None),
        (None, None),
    ],
)
def test_hints_follow_the_failure_class_and_code(error, hint):
    from epson_remote.cli._hints import hint_for

    found = hint_for(error)
    assert (found is None) if hint is None else (found is not None and hint in found), found


def test_a_library_failure_a_command_rephrased_keeps_its_hint(capsys):
    from epson_remote.cli._output import CliError, report_error

    try:
        try:
            raise ControllerError(LOGIN_REFUSED.format(13), 13)
        except ControllerError as refused:
            raise CliError(f"--query: {refused}") from None
    except CliError as rephrased:
        assert report_error(rephrased) == 1
    err = capsys.readouterr().err
    assert err.startswith("epson-remote: error: --query: Remote command failed: !Login,13")
    assert "hint: The controller refused the password" in err
