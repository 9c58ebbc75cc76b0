"""RobotCell: opening and closing the command session and telemetry as one unit.

The cell's destructor runs with the interpreter lock held and talks to the controller, so the
controller is the simulator in its child process (``sim``); a telemetry server in a thread of
this process is used only where the cell's constructor releases the lock.
"""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Iterator

import pytest
from helpers import wait_until

import epson_remote
from epson_remote import CommandChannel, EthernetReceiveInterface, RobotCell

HOST = "127.0.0.1"
NO_SAMPLE = (
    "Connected to the Epson telemetry port, but no complete six-axis sample was received within "
    "2 seconds. Check that the controller Background Task is running and continuously writing "
    "all X-W and J1-J6 angle fields."
)
LOGIN = "$Login,739"
LOGOUT = "$Logout"


@pytest.fixture
def cell(sim, no_leaks) -> Iterator[RobotCell]:
    robot = RobotCell(sim.host, sim.command_port, sim.telemetry_port)
    yield robot
    robot.disconnect()


class TestOpen:
    def test_logs_in_with_the_cell_password_then_streams_without_motor_power(self, sim, no_leaks):
        robot = RobotCell(
            host=sim.host, control_port=sim.command_port, receive_port=sim.telemetry_port
        )
        assert sim.requests() == [LOGIN]
        assert not sim.robot_state()["motors_on"]
        assert robot.is_connected()
        assert robot.get_control_interface().is_logged_in()
        assert robot.get_receive_interface().get_sample()["valid"]
        robot.disconnect()

    @pytest.mark.parametrize(
        "ports",
        [
            {"control_port": 70000},
            {"control_port": -1},
            {"receive_port": 65536},
            {"control_port": 5000.0},
            {"receive_port": 2000.0},
        ],
    )
    def test_ports_that_are_not_16_bit_integers_are_type_errors(self, sim, ports):
        arguments = {"control_port": sim.command_port, "receive_port": sim.telemetry_port}
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            RobotCell(sim.host, **(arguments | ports))
        assert sim.requests() == []


class TestFailedOpen:
    def test_refused_login_raises_the_channels_error_and_never_opens_telemetry(self, sim, no_leaks):
        sim.script(LOGIN, reply="!Login,13", times=2)
        with pytest.raises(RuntimeError) as direct:
            CommandChannel().connect(sim.host, sim.command_port, "739")
        with socket.create_server((HOST, 0)) as telemetry_port:
            with pytest.raises(RuntimeError) as error:
                RobotCell(sim.host, sim.command_port, telemetry_port.getsockname()[1])
            telemetry_port.setblocking(False)
            with pytest.raises(BlockingIOError):
                telemetry_port.accept()  # nobody ever connected
        assert str(error.value) == str(direct.value)
        assert sim.requests() == [LOGIN, LOGIN]

    def test_closed_telemetry_port_logs_out_before_raising(self, sim, no_leaks, capfd):
        sim.stop_telemetry()
        with pytest.raises(RuntimeError) as error:
            RobotCell(sim.host, sim.command_port, sim.telemetry_port)
        assert str(error.value) == (
            f"Failed to connect to Epson telemetry at {sim.host}:{sim.telemetry_port}: "
            "Connection refused"
        )
        assert sim.requests() == [LOGIN, LOGOUT]
        assert capfd.readouterr().out.splitlines() == [
            f"Connected to {sim.host}:{sim.command_port}",
            f"Disconnected from {sim.host}:{sim.command_port}",
        ]

    @pytest.mark.slow
    def test_stream_without_joint_fields_fails_after_two_seconds(self, sim, no_leaks):
        sim.configure_telemetry(status_only=True)
        # A Python thread keeps running while the constructor waits: the interpreter lock is
        # released. Held, it would let the thread in at most once or twice in those 2 s.
        stamps: list[float] = []
        done = threading.Event()

        def tick() -> None:
            while not done.wait(0.02):
                stamps.append(time.monotonic())

        ticker = threading.Thread(target=tick)
        ticker.start()
        started = time.monotonic()
        try:
            with pytest.raises(RuntimeError) as error:
                RobotCell(sim.host, sim.command_port, sim.telemetry_port)
            ended = time.monotonic()
        finally:
            done.set()
            ticker.join()
        # join() returns a moment before the system thread is gone; the leak check counts those.
        assert wait_until(lambda: not os.path.exists(f"/proc/self/task/{ticker.native_id}"))
        assert str(error.value) == NO_SAMPLE
        assert len([stamp for stamp in stamps if started < stamp < ended]) >= 10
        assert sim.requests() == [LOGIN, LOGOUT]
        assert wait_until(lambda: sim.telemetry_clients() == 0)


class TestInterfaces:
    def test_are_shared_objects_of_the_other_modules_types(self, cell):
        control = cell.get_control_interface()
        receive = cell.get_receive_interface()
        assert type(control) is CommandChannel
        assert type(receive) is EthernetReceiveInterface
        assert type(control).__module__ == "epson_remote._command_channel"
        assert cell.get_control_interface() is control
        assert cell.get_receive_interface() is receive

    def test_telemetry_drop_shows_until_it_reconnects_by_itself(self, cell, sim):
        assert sim.drop_telemetry() == 1
        assert wait_until(lambda: not cell.is_connected())
        assert cell.get_control_interface().is_connected()
        assert wait_until(cell.is_connected)

    def test_outlive_the_cell_disconnected_and_still_usable(self, sim, no_leaks):
        robot = RobotCell(sim.host, sim.command_port, sim.telemetry_port)
        control = robot.get_control_interface()
        receive = robot.get_receive_interface()
        del robot
        assert sim.requests() == [LOGIN, LOGOUT]
        assert not control.is_connected()
        assert not receive.is_connected()
        assert receive.get_sample()["valid"]  # the last sample stays readable

        control.connect(sim.host, sim.command_port, "739")
        receive.connect(sim.host, sim.telemetry_port)
        assert control.is_logged_in() and receive.is_connected()
        receive.disconnect()
        control.disconnect()


class TestDisconnect:
    def test_closes_telemetry_then_logs_out(self, sim, no_leaks, capfd):
        robot = RobotCell(sim.host, sim.command_port, sim.telemetry_port)
        robot.disconnect()
        assert not robot.is_connected()
        assert sim.requests() == [LOGIN, LOGOUT]
        assert wait_until(lambda: sim.telemetry_clients() == 0)
        assert not sim.has_client()
        assert capfd.readouterr().out.splitlines()[-1] == (
            f"Disconnected from {sim.host}:{sim.command_port}"
        )

    def test_twice_is_harmless_and_the_destructor_sends_nothing_more(self, sim, no_leaks):
        robot = RobotCell(sim.host, sim.command_port, sim.telemetry_port)
        robot.disconnect()
        robot.disconnect()
        del robot
        assert sim.requests() == [LOGIN, LOGOUT]

    def test_interfaces_can_be_reopened_after_the_cells_disconnect(self, cell, sim):
        cell.disconnect()
        control = cell.get_control_interface()
        control.connect(sim.host, sim.command_port, "739")
        cell.get_receive_interface().connect(sim.host, sim.telemetry_port)
        assert cell.is_connected()


def test_module_imports_the_interface_modules_itself(sim):
    """Without the package's own imports, _robot_cell still hands out its interfaces."""
    script = textwrap.dedent(
        f"""
        import sys, types
        package = types.ModuleType("epson_remote")
        package.__path__ = {list(epson_remote.__path__)!r}
        sys.modules["epson_remote"] = package  # skips epson_remote/__init__.py
        from epson_remote._robot_cell import RobotCell
        print(RobotCell.get_control_interface.__doc__.splitlines()[0])
        print(RobotCell.get_receive_interface.__doc__.splitlines()[0])
        cell = RobotCell({sim.host!r}, {sim.command_port}, {sim.telemetry_port})
        print(type(cell.get_control_interface()).__module__)
        print(type(cell.get_receive_interface()).__module__)
        cell.disconnect()
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    session_log = ("Connected to ", "Disconnected from ")
    printed = [line for line in result.stdout.splitlines() if not line.startswith(session_log)]
    assert printed == [
        "get_control_interface(self: epson_remote._robot_cell.RobotCell)"
        " -> epson_remote._command_channel.CommandChannel",
        "get_receive_interface(self: epson_remote._robot_cell.RobotCell)"
        " -> epson_remote._receive_interface.EthernetReceiveInterface",
        "epson_remote._command_channel",
        "epson_remote._receive_interface",
    ]
