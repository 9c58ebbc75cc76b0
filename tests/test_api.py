"""The package as a host program uses it: sessions in ``with`` blocks, failures told apart by
class and controller code, the library's log lines in ``logging``, motions without a row of
flags, and a cell that logs in with the controller's own password."""

from __future__ import annotations

import logging
import pickle
import subprocess
import sys
import textwrap
from collections.abc import Callable, Iterator

import pytest
from helpers import HOST, SynDroppingPort, free_port, wait_until

import epson_remote
from epson_remote import (
    CommandChannel,
    ConnectionLost,
    ControllerError,
    EpsonError,
    EpsonTimeout,
    EthernetReceiveInterface,
    NotConnected,
    ProtocolError,
    RobotCell,
    log_to,
    xy,
)
from epson_remote.sim import ControllerSimulator

WRONG_PASSWORD = "Remote command failed: !Login,13 (command: $Login,<redacted>)"
NOT_CONNECTED = "command() was called but socket not connected"


def motors_on(sim: ControllerSimulator) -> bool:
    return bool(sim.robot_state()["motors_on"])


def session_ended(sim: ControllerSimulator) -> bool:
    return wait_until(lambda: not sim.has_client(), timeout=5.0)


class TestWithBlocks:
    """A block left by an exception ends the session as ``disconnect()`` does: motors off, logged
    out, the controller free for the next client at once."""

    def test_channel(self, sim):
        with pytest.raises(ZeroDivisionError):
            with CommandChannel() as channel:
                channel.connect(sim.host, sim.command_port)
                channel.motor_on()
                assert motors_on(sim)
                _ = 1 / 0
        assert not motors_on(sim)
        assert sim.requests()[-1] == "$Logout"
        assert not channel.is_connected()
        assert session_ended(sim)
        with CommandChannel() as next_client:
            next_client.connect(sim.host, sim.command_port, attempts=1)
            assert next_client.is_logged_in()

    def test_cell(self, sim):
        with pytest.raises(KeyError):
            with RobotCell(sim.host, sim.command_port, sim.telemetry_port) as cell:
                cell.get_control_interface().motor_on()
                assert motors_on(sim)
                raise KeyError("host program failure")
        assert not motors_on(sim)
        assert not cell.is_connected()
        assert session_ended(sim)
        assert wait_until(lambda: sim.telemetry_clients() == 0)

    def test_receive_interface(self, sim):
        with pytest.raises(RuntimeError, match="^host program failure$"):
            with EthernetReceiveInterface() as telemetry:
                telemetry.connect(sim.host, sim.telemetry_port)
                assert telemetry.get_sample()["valid"]
                raise RuntimeError("host program failure")
        assert not telemetry.is_connected()
        assert wait_until(lambda: sim.telemetry_clients() == 0)

    def test_a_block_without_exception_ends_the_session_too(self, sim):
        with CommandChannel() as channel:
            assert channel.__enter__() is channel
            channel.connect(sim.host, sim.command_port)
        assert sim.requests()[-1] == "$Logout"
        assert session_ended(sim)


class TestFailureClasses:
    def test_a_wrong_password_is_a_controller_error_with_code_13(self):
        with ControllerSimulator(password="secret") as sim, CommandChannel() as channel:
            try:
                channel.connect(sim.host, sim.command_port, "not the password")
            except ControllerError as error:
                assert error.code == 13
                assert str(error) == WRONG_PASSWORD
                assert error.request == "$Login,<redacted>"
                assert error.reply == "!Login,13"
                assert error.description == "wrong login password"
            else:
                pytest.fail("the login was accepted")
            assert sim.requests() == ["$Login,not the password"]  # refused: not asked again

    @pytest.mark.parametrize(("code", "description"), [(98, "global address"), (11, "unknown")])
    def test_other_login_refusals_keep_their_code(self, sim, code, description):
        sim.script("$Login,", reply=f"!Login,{code}")
        with pytest.raises(ControllerError) as refused:
            CommandChannel().connect(sim.host, sim.command_port)
        assert refused.value.code == code and description in refused.value.description
        assert str(refused.value) == WRONG_PASSWORD.replace("13", str(code))

    def test_a_refused_statement(self, sim, channel):
        sim.script("Motor On", reply="!Execute,20")
        with pytest.raises(ControllerError) as refused:
            channel.motor_on()
        assert refused.value.code == 20
        assert refused.value.reply == "!Execute,20"
        assert refused.value.request == '$Execute,"Motor On"'
        assert refused.value.request in str(refused.value)

    def test_a_refused_connection_is_connection_lost_and_an_os_error(self):
        port = free_port()
        with pytest.raises(OSError) as refused:  # what a host program's network code catches
            CommandChannel().connect(HOST, port, attempts=1)
        assert type(refused.value) is ConnectionLost
        assert isinstance(refused.value, ConnectionError)
        assert isinstance(refused.value, RuntimeError)
        assert str(refused.value) == (
            "Epson Remote Ethernet login failed after 1 attempt: "
            f"Failed to connect to {HOST}:{port}: Connection refused"
        )

    def test_login_failed_after_attempts_has_the_last_attempts_class(self):
        unanswered = SynDroppingPort()
        try:
            with pytest.raises(EpsonTimeout) as timed_out:
                CommandChannel().connect(HOST, unanswered.port, timeout_s=0.2, attempts=2)
        finally:
            unanswered.close()
        assert str(timed_out.value) == (
            "Epson Remote Ethernet login failed after 2 attempts: "
            f"Connection to {HOST}:{unanswered.port} timed out"
        )
        assert isinstance(timed_out.value, TimeoutError)

    @pytest.mark.slow
    def test_an_unanswered_request_is_a_time_out(self, sim, channel):
        sim.script("Motor On", silent=True)
        with pytest.raises(EpsonTimeout, match="^Timed out waiting for an Epson Remote Ethernet"):
            channel.motor_on()
        assert not channel.is_connected()  # a reply that may still come is not waited for

    def test_a_call_on_a_closed_session(self):
        with pytest.raises(NotConnected) as refused:
            CommandChannel().get_tool()
        assert str(refused.value) == NOT_CONNECTED

    def test_a_reply_of_the_wrong_name_is_a_protocol_error(self, sim):
        sim.script("$Login,", reply="#Foo,1")
        with pytest.raises(ProtocolError, match="^Unexpected Epson response"):
            CommandChannel().connect(sim.host, sim.command_port)

    def test_every_module_raises_the_same_classes(self, sim):
        port = free_port()
        calls: list[Callable[[], object]] = [
            lambda: CommandChannel().connect(HOST, port, attempts=1),
            lambda: EthernetReceiveInterface().connect(HOST, port),
            lambda: RobotCell(HOST, sim.command_port, port),  # its telemetry fails
        ]
        for call in calls:
            with pytest.raises(ConnectionLost) as refused:
                call()
            assert type(refused.value) is epson_remote.ConnectionLost, call
            assert str(refused.value).endswith(f"{HOST}:{port}: Connection refused")
        assert session_ended(sim)  # the cell closed its command session again

    def test_every_class_is_an_epson_error_and_a_runtime_error(self):
        for kind in (ControllerError, EpsonTimeout, ConnectionLost, NotConnected, ProtocolError):
            assert issubclass(kind, EpsonError) and issubclass(kind, RuntimeError)
            assert kind.__module__ == "epson_remote._errors"

    def test_failures_survive_pickling(self, sim):
        sim.script("$Login,", reply="!Login,13")
        with pytest.raises(ControllerError) as refused:
            CommandChannel().connect(sim.host, sim.command_port)
        failures = [
            refused.value,
            EpsonTimeout("Timed out"),
            ConnectionLost("write: Broken pipe"),
            NotConnected(NOT_CONNECTED),
            ProtocolError("Empty response from Epson controller"),
        ]
        for failure in failures:
            copy = pickle.loads(pickle.dumps(failure))
            assert type(copy) is type(failure) and str(copy) == str(failure)
        copy = pickle.loads(pickle.dumps(refused.value))
        assert (copy.code, copy.request, copy.reply) == (13, "$Login,<redacted>", "!Login,13")


class Recorder(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.lines: list[tuple[str, str]] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.lines.append((record.levelname, record.getMessage()))


@pytest.fixture
def logged() -> Iterator[Callable[[], list[tuple[str, str]]]]:
    """Sends the library's lines to a logger of the test's; calling the result turns that off
    (the lines still queued are logged first) and returns (level, line) of every line."""
    recorder = Recorder()
    logger = logging.Logger("host program")
    logger.addHandler(recorder)
    log_to(logger)

    def lines() -> list[tuple[str, str]]:
        log_to(None)
        return recorder.lines

    yield lines
    log_to(None)


class TestLogging:
    def test_connect_and_disconnect_reach_the_logger_and_nothing_else(self, sim, logged, capfd):
        with CommandChannel() as channel:
            channel.connect(sim.host, sim.command_port)
        where = f"{sim.host}:{sim.command_port}"
        assert logged() == [
            ("INFO", f"Connected to {where}"),
            ("INFO", f"Disconnected from {where}"),
        ]
        assert capfd.readouterr() == ("", "")

    def test_the_default_streams_come_back(self, sim, logged, capfd):
        logged()
        with CommandChannel() as channel:
            channel.connect(sim.host, sim.command_port)
        assert capfd.readouterr().out.startswith(f"Connected to {sim.host}:{sim.command_port}\n")

    def test_a_failure_swallowed_is_a_warning(self, sim, logged, capfd):
        with CommandChannel() as channel:
            channel.connect(sim.host, sim.command_port)
            channel.motor_on()
            sim.script("Motor Off", reply="!Execute,99")
        warnings = [line for level, line in logged() if level == "WARNING"]
        assert len(warnings) == 1 and warnings[0].startswith("Failed to turn off motor: ")
        assert capfd.readouterr() == ("", "")

    def test_a_failure_raised_is_an_error(self, logged, capfd):
        with pytest.raises(ConnectionLost) as unresolved:
            CommandChannel().connect("no-such-host.invalid", attempts=1)
        assert logged() == [("ERROR", str(unresolved.value))]
        assert capfd.readouterr() == ("", "")

    def test_the_lines_of_all_modules_keep_their_order(self, sim, logged):
        where = f"{sim.host}:{sim.command_port}"
        for _ in range(2):
            with RobotCell(sim.host, sim.command_port, sim.telemetry_port):
                pass
            with CommandChannel() as channel:
                channel.connect(sim.host, sim.command_port)
        assert [line for _, line in logged()] == [
            f"Connected to {where}",
            f"Disconnected from {where}",
        ] * 4

    def test_only_a_logger_or_none(self):
        with pytest.raises(TypeError):
            log_to("epson")  # type: ignore[arg-type]

    def test_interpreter_exit_with_a_session_open(self, sim):
        """The session a program left open still ends at exit, its lines on the default
        streams once logging is shut down; nothing waits forever."""
        program = textwrap.dedent(
            f"""
            import logging, sys
            from epson_remote import CommandChannel, log_to
            logging.basicConfig(stream=sys.stderr, format="logged %(levelname)s %(message)s")
            logger = logging.getLogger("host")
            logger.setLevel(logging.INFO)
            log_to(logger)
            channel = CommandChannel()
            channel.connect({sim.host!r}, {sim.command_port})
            """
        )
        done = subprocess.run(
            [sys.executable, "-c", program], capture_output=True, text=True, timeout=60
        )
        assert done.returncode == 0, done.stderr
        where = f"{sim.host}:{sim.command_port}"
        assert f"logged INFO Connected to {where}" in done.stderr
        assert (done.stdout + done.stderr).count(f"Disconnected from {where}") == 1
        assert sim.requests()[-1] == "$Logout"


class TestMotionDefaults:
    def test_go_and_move_need_only_a_destination(self, sim, channel):
        channel.motor_on()
        start = channel.get_state()["tcp_pose"]
        target = [start[0], start[1] + 50.0, start[2] - 50.0, *start[3:]]
        channel.go(xy(target))
        assert channel.get_state()["tcp_pose"] == pytest.approx(target, abs=1e-3)
        channel.move(xy(start), speed_mm_s=100)
        assert channel.get_state()["tcp_pose"] == pytest.approx(start, abs=1e-3)
        motions = [s for s in sim.statements() if s.startswith(("Go", "Move", "SpeedS", "Speed"))]
        assert motions == [f"Go {xy(target)}", "SpeedS 100.00000000000000000", f"Move {xy(start)}"]

    def test_a_point_name(self, sim, channel):
        channel.motor_on()
        sim.set_point(1, [400.0, 100.0, 600.0, 180.0, 0.0, 180.0])
        channel.go("P1")
        assert channel.get_state()["tcp_pose"][:3] == pytest.approx([400.0, 100.0, 600.0])


class TestCellPassword:
    def test_a_cell_logs_in_with_the_password_given(self):
        with ControllerSimulator(password="secret") as sim:
            ports = (sim.host, sim.command_port, sim.telemetry_port)
            with RobotCell(*ports, password="secret") as cell:
                assert cell.get_control_interface().is_logged_in()
            assert sim.requests()[0] == "$Login,secret"
            with pytest.raises(ControllerError) as refused:
                RobotCell(*ports)  # the cell's fixed password is not this controller's
            assert refused.value.code == 13
            fixed = sim.requests()[-1].removeprefix("$Login,")
            assert fixed != "secret"
            for shown in (str(refused.value), RobotCell.__init__.__doc__ or "", repr(cell)):
                assert f"$Login,{fixed}" not in shown and f"'{fixed}'" not in shown
