"""A command session against a controller that breaks the connection, and a caller who forgets
to close it: dead connections are reported as dead, nothing of one connection leaks into the
next, and the disconnect steps run whoever ends the session."""

from __future__ import annotations

import gc
import os
import socket
import struct
import threading
import time

import pytest
from helpers import wait_until

from epson_remote import CommandChannel, RobotCell
from epson_remote.sim import ControllerSimulator

NOT_CONNECTED = "command() was called but socket not connected"


class ResettingController:
    """Answers the login, then resets the connection (SO_LINGER 0) without reading on."""

    def __init__(self) -> None:
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.logged_in = threading.Event()
        self.reset_now = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self) -> None:
        client, _ = self.listener.accept()
        with client:
            client.recv(1024)
            client.sendall(b"#Login,0\r\n")
            self.logged_in.set()
            self.reset_now.wait(10)
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    def close(self) -> None:
        self.reset_now.set()
        self.thread.join(5)
        self.listener.close()


class TestDeadConnection:
    def test_a_reset_between_requests_is_seen_and_the_write_drops_the_connection(self):
        peer = ResettingController()
        try:
            ch = CommandChannel()
            ch.connect("127.0.0.1", peer.port)
            peer.reset_now.set()
            peer.thread.join(5)
            # Seen without a request.
            assert wait_until(lambda: not ch.is_connected(), timeout=3.0)
            assert not ch.is_logged_in()
            with pytest.raises(RuntimeError) as error:
                ch.get_tool()
            assert str(error.value) == "write: Connection reset by peer"
            with pytest.raises(
                RuntimeError, match=f"^{NOT_CONNECTED.replace('(', '.').replace(')', '.')}$"
            ):
                ch.get_tool()
            ch.disconnect()
        finally:
            peer.close()

    def test_a_peer_that_closed_is_seen_without_a_request(self, sim, channel):
        assert channel.is_connected()
        sim.drop_client()
        assert wait_until(lambda: not channel.is_connected(), timeout=3.0)
        assert not channel.is_logged_in()


class TestReconnect:
    def test_connect_on_a_live_session_turns_off_its_motors_and_logs_out_first(self, sim, capfd):
        ch = CommandChannel()
        ch.connect(sim.host, sim.command_port)
        ch.motor_on()
        ch.connect(sim.host, sim.command_port)
        assert sim.requests()[1:] == [
            '$Execute,"Motor On"',
            '$Execute,"Motor Off"',
            "$Logout",
            "$Login,",
        ]
        ch.disconnect()
        # The motors were turned on by the first session: the second one leaves them be.
        assert sim.requests()[-1] == "$Logout"
        assert sim.requests().count('$Execute,"Motor Off"') == 1

    def test_tool_state_is_restored_on_the_controller_it_was_saved_on(self, sim):
        with ControllerSimulator() as other:
            ch = CommandChannel()
            ch.connect(sim.host, sim.command_port)
            ch.tl_set(3, "XY(0, 0, 50, 0, 0, 0)")
            ch.set_tool(3)
            ch.set_tcp_offset([0.0, 0.0, 0.1, 0.0, 0.0, 0.0])
            sim.clear_requests()
            ch.connect(other.host, other.command_port)
            assert '$Execute,"Tool 3"' in sim.requests()  # restored where it was saved
            ch.disconnect()
            assert other.requests() == ["$Login,", "$Logout"]


class TestDisconnectSteps:
    def test_a_step_that_breaks_the_connection_still_ends_in_an_orderly_close(self, sim, capfd):
        ch = CommandChannel()
        ch.connect(sim.host, sim.command_port)
        ch.motor_on()
        sim.script("Motor Off", raw=b"#Exe", close=True)
        capfd.readouterr()
        ch.disconnect()
        captured = capfd.readouterr()
        assert captured.err.startswith(
            "Failed to turn off motor: Failed while waiting for an Epson Remote Ethernet response: "
        )
        assert captured.out == f"Disconnected from 127.0.0.1:{sim.command_port}\n"
        assert not ch.is_connected() and not ch.is_logged_in()


class TestForgottenDisconnect:
    def test_dropping_a_connected_channel_runs_the_disconnect_steps(self, sim, capfd):
        ch = CommandChannel()
        ch.connect(sim.host, sim.command_port)
        ch.motor_on()
        del ch
        gc.collect()
        assert sim.requests()[-2:] == ['$Execute,"Motor Off"', "$Logout"]
        assert capfd.readouterr().out.endswith(f"Disconnected from 127.0.0.1:{sim.command_port}\n")


class TestTeardownWithoutTheInterpreterLock:
    def test_dropping_a_cell_during_a_motion_leaves_other_threads_running(self, sim):
        sim.script("Go P1", reply="#Execute,0", delay=2.0)
        holder = [RobotCell(sim.host, sim.command_port, sim.telemetry_port)]
        control = holder[0].get_control_interface()
        mover = threading.Thread(
            target=control.go, args=("P1", False, False, None, None, None, False)
        )
        mover.start()
        sim.wait_for_request('$Execute,"Go P1"')
        del control  # the motion's thread keeps its own reference

        dropped = threading.Event()

        def drop() -> None:
            holder.clear()  # the teardown waits for the motion to give the connection back
            dropped.set()

        dropper = threading.Thread(target=drop)
        dropper.start()
        ticks = 0
        started = time.monotonic()
        while time.monotonic() - started < 1.0:
            ticks += 1
            time.sleep(0.01)
        assert ticks > 20, "the other threads froze while the cell was torn down"
        assert not dropped.is_set()
        dropper.join(10)
        mover.join(10)
        assert dropped.is_set()
        assert sim.requests()[-1] == "$Logout"


class TestFork:
    @pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
    def test_a_forked_child_leaves_the_parents_session_alone(self, sim, channel, capfd):
        pid = os.fork()
        if pid == 0:  # the child: every way out of a session it did not open
            code = 0
            try:
                code |= 1 if channel.is_connected() else 0
                channel.disconnect()
                try:
                    channel.get_tool()
                    code |= 2
                except RuntimeError:
                    pass
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert sim.requests() == []
        assert channel.is_connected() and channel.is_logged_in()
        assert channel.get_tool() == 0
        capfd.readouterr()
