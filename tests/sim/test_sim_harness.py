"""ControllerSimulator: the simulator in a child process, driven over its control channel."""

from __future__ import annotations

import errno
import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from helpers import WITH_DEFAULT_SIGINT, reaped

import epson_remote
from epson_remote.sim import ControllerSimulator, SimulatorError

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(epson_remote.__file__)))


def subprocess_env() -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, env.get("PYTHONPATH")]))
    return env


def process_gone(pid: int, timeout: float) -> bool:
    """True once ``pid`` has exited (a zombie waiting for its new parent counts as exited)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X"):
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.05)
    return False


def test_script_and_records_work_through_the_child(sim, connect):
    sim.script("Print Tool", reply='#Execute," 3"')
    sim.script("$Pause", raw=b"#Pause,0\n")
    client = connect(sim.host, sim.command_port)
    exchanges = [
        ("$Login,", b"#Login,0\r\n"),
        ('$Execute,"Print Tool"', b'#Execute," 3"\r\n'),
        ('$Execute,"Print Tool"', b'#Execute," 0"\r\n'),  # the robot model
        ("$Pause", b"#Pause,0\n"),
    ]
    assert [(line, client.ask(line)) for line, _ in exchanges] == exchanges
    assert sim.requests() == ["$Login,", '$Execute,"Print Tool"', '$Execute,"Print Tool"', "$Pause"]
    assert sim.statements() == ["Print Tool", "Print Tool"]
    assert sim.push(b"!Foreign,99\r\n")
    assert client.line() == b"!Foreign,99\r\n"
    assert sim.drop_client()
    assert client.closed_by_peer()


def test_errors_in_the_child_come_back_as_exceptions(sim):
    with pytest.raises(ValueError, match="needs reply") as raised:
        sim.script("Print Tool")
    assert "raised in the simulator process" in raised.value.__notes__[0]
    with pytest.raises(TimeoutError, match="Go P1"):
        sim.wait_for_request("Go P1", timeout=0.1)
    with pytest.raises(ValueError, match="split_lines"):
        sim.configure_telemetry(split_lines=13)


def test_other_calls_are_answered_while_one_waits_for_a_request(sim, connect):
    found = []
    waiter = threading.Thread(target=lambda: found.append(sim.wait_for_request("Print Power")))
    waiter.start()
    client = connect(sim.host, sim.command_port)
    client.ask("$Login,")
    assert sim.requests() == ["$Login,"]
    client.ask('$Execute,"Print Power"')
    waiter.join(10)
    assert found == ['$Execute,"Print Power"']


def test_reset_clears_everything_a_test_left_behind(sim, connect):
    sim.script("Print Tool", reply="unused")
    sim.configure_telemetry(rate_hz=10, paused=True)
    sim.stop_telemetry()
    client = connect(sim.host, sim.command_port)
    client.ask("$Login,")
    sim.emergency_stop()
    assert sim.robot_state()["estop"]

    sim.reset()
    assert client.closed_by_peer()
    assert sim.requests() == [] and sim.unused_scripts() == []
    assert sim.telemetry_config()["rate_hz"] == 200.0 and not sim.telemetry_config()["paused"]
    assert not sim.robot_state()["estop"]
    telemetry = connect(sim.host, sim.telemetry_port)
    assert telemetry.line(b"\r").startswith(b"X=")


def test_robot_model_calls_are_forwarded_and_show_in_telemetry(sim, connect):
    telemetry = connect(sim.host, sim.telemetry_port)
    sim.configure_telemetry(status_every=1, status_only=True)
    sim.set_safeguard(True)
    sim.emergency_stop()
    assert sim.execute("Print EStopOn") == '#Execute," -1"'
    deadline = time.monotonic() + 5
    while b"CTRLINFO=768" not in telemetry.line(b"\r"):
        assert time.monotonic() < deadline


def test_a_child_survives_no_parent_and_no_main_guard_is_needed(tmp_path):
    # The script has no `if __name__ == "__main__":` guard: the child must not run it again.
    script = tmp_path / "unguarded.py"
    script.write_text(
        textwrap.dedent(
            """
            import sys, time
            from epson_remote.sim import ControllerSimulator
            sim = ControllerSimulator().start()
            print(sim.pid, sim.command_port, flush=True)
            time.sleep(60)
            """
        )
    )
    parent = subprocess.Popen(
        [sys.executable, str(script)], stdout=subprocess.PIPE, text=True, env=subprocess_env()
    )
    try:
        child_pid, _ = map(int, parent.stdout.readline().split())
        assert not process_gone(child_pid, 0.2)
    finally:
        os.kill(parent.pid, signal.SIGKILL)
        parent.wait()
        parent.stdout.close()
    assert process_gone(child_pid, 10)


def test_a_forked_process_leaves_the_simulator_to_its_owner(tmp_path):
    # The forked process inherits the object inside the with block: its stop(), the end of the
    # with block and its normal exit (atexit handlers run) must leave the simulator alone.
    script = tmp_path / "forks.py"
    script.write_text(
        textwrap.dedent(
            """
            import os, sys, warnings
            from epson_remote.sim import ControllerSimulator, SimulatorError
            warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
            with ControllerSimulator() as sim:
                pid = sim.pid
                child = os.fork()
                if child == 0:
                    try:
                        sim.requests()
                    except SimulatorError as error:
                        print("child:", error, flush=True)
                    sim.stop()
                    sys.exit(0)  # through the with block, then the interpreter's exit
                _, status = os.waitpid(child, 0)
                print("child exit:", os.waitstatus_to_exitcode(status), flush=True)
                print("parent:", sim.execute("Print 1"), sim.is_alive(), sim.pid == pid)
            """
        )
    )
    done = subprocess.run(
        [sys.executable, str(script)],
        capture_output=True,
        text=True,
        timeout=60,
        env=subprocess_env(),
    )
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("child: the simulator belongs to process "), done.stdout
    assert lines[1:] == ["child exit: 0", 'parent: #Execute," 1" True True'], done.stdout
    assert done.stderr == ""


def test_stop_joins_the_child_and_later_calls_fail():
    sim = ControllerSimulator().start()
    pid = sim.pid
    sim.stop()
    assert process_gone(pid, 1)
    with pytest.raises(SimulatorError, match="not started"):
        sim.requests()
    sim.stop()  # a second stop is harmless


@pytest.mark.parametrize("stop_signal", [signal.SIGINT, signal.SIGTERM])
def test_cli_prints_its_ports_serves_and_stops_cleanly(connect, stop_signal):
    cli = subprocess.Popen(
        [sys.executable, *WITH_DEFAULT_SIGINT, "-m", "epson_remote.sim"]
        + ["--command-port", "0", "--telemetry-port", "0"]
        + ["--password", "pw", "--telemetry-rate", "100"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=subprocess_env(),
    )
    # Popen's exit closes the pipes and waits, once reaped() has killed a child left running.
    with cli, reaped(cli):
        # The banner of `epson-remote sim`: a heading line, then the two addresses.
        heading, command_line, telemetry_line = (cli.stdout.readline() for _ in range(3))
        assert heading.startswith("Simulated Epson controller"), heading
        assert command_line.startswith("Remote Ethernet ") and " 127.0.0.1:" in command_line
        assert telemetry_line.startswith("Telemetry ") and " 127.0.0.1:" in telemetry_line
        command_port = int(command_line.rsplit(":", 1)[1])
        telemetry_port = int(telemetry_line.rsplit(":", 1)[1])
        client = connect("127.0.0.1", command_port)
        assert client.ask("$Login,") == b"!Login,13\r\n"
        assert client.ask("$Login,pw") == b"#Login,0\r\n"
        assert connect("127.0.0.1", telemetry_port).line(b"\r").startswith(b"X=")
        os.kill(cli.pid, stop_signal)
        assert cli.wait(10) == 0
        assert "Traceback" not in cli.stderr.read()


def test_a_start_failure_in_the_child_is_raised_in_the_parent():
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = taken.getsockname()[1]
        with pytest.raises(OSError) as raised:
            ControllerSimulator(command_port=port).start()
    assert raised.value.errno == errno.EADDRINUSE
