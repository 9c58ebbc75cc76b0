"""The command session: connect and login, reply matching, time-outs, drops, disconnect."""

from __future__ import annotations

import socket
import threading
import time

import pytest
from helpers import free_port

from epson_remote import CommandChannel

TIMEOUT_MESSAGE = "Timed out waiting for an Epson Remote Ethernet response to {} after 5000 ms"


class TestConnectAndLogin:
    def test_logs_in_with_the_empty_password_and_reports_on_stdout(self, sim, capfd):
        ch = CommandChannel()
        ch.connect(sim.host, sim.command_port)
        assert sim.requests() == ["$Login,"]
        assert ch.is_connected() and ch.is_logged_in()
        assert capfd.readouterr().out == f"Connected to 127.0.0.1:{sim.command_port}\n"

        ch.disconnect()
        assert sim.requests() == ["$Login,", "$Logout"]
        assert not ch.is_connected() and not ch.is_logged_in()
        captured = capfd.readouterr()
        assert captured.out == f"Disconnected from 127.0.0.1:{sim.command_port}\n"
        assert captured.err == ""

    def test_password_is_sent_unchanged(self, sim):
        ch = CommandChannel()
        ch.connect(sim.host, sim.command_port, 'p"w, x')
        assert sim.requests() == ['$Login,p"w, x']
        ch.disconnect()

    @pytest.mark.parametrize("password", ["a\rb", "a\nb", "\r\n"])
    def test_password_with_a_line_ending_is_refused_before_anything_happens(self, sim, password):
        ch = CommandChannel()
        with pytest.raises(
            ValueError, match="^Remote Ethernet password must not contain line endings$"
        ):
            ch.connect(sim.host, sim.command_port, password)
        assert not ch.is_connected()
        assert sim.requests() == []
        assert not sim.has_client()

    def test_rejected_login_fails_at_once_without_retry(self, sim, capfd):
        sim.script("$Login,secret", reply="!Login,13")
        ch = CommandChannel()
        with pytest.raises(RuntimeError) as error:
            ch.connect(sim.host, sim.command_port, "secret")
        assert str(error.value) == "Remote command failed: !Login,13 (command: $Login,<redacted>)"
        assert "secret" not in str(error.value)
        assert sim.requests() == ["$Login,secret"]
        assert not ch.is_connected() and not ch.is_logged_in()
        assert capfd.readouterr().err == ""

    def test_unexpected_login_reply_is_not_retried(self, sim):
        sim.script("$Login,", reply="#Execute,0")
        ch = CommandChannel()
        with pytest.raises(
            RuntimeError, match="^Unexpected Epson response while waiting for #Login: #Execute,0$"
        ):
            ch.connect(sim.host, sim.command_port)
        assert sim.requests() == ["$Login,"]
        assert not ch.is_connected()

    def test_refused_connection_is_tried_three_times(self, capfd):
        port = free_port()
        ch = CommandChannel()
        started = time.monotonic()
        with pytest.raises(RuntimeError) as error:
            ch.connect("127.0.0.1", port)
        elapsed = time.monotonic() - started
        assert str(error.value) == (
            "Epson Remote Ethernet login failed after 3 attempts: "
            f"Failed to connect to 127.0.0.1:{port}: Connection refused"
        )
        assert capfd.readouterr().err == (
            "Epson Remote Ethernet login attempt 1 failed; retrying in 2 seconds\n"
            "Epson Remote Ethernet login attempt 2 failed; retrying in 2 seconds\n"
        )
        assert 3.5 < elapsed < 30
        assert not ch.is_connected()

    @pytest.mark.slow
    def test_unanswered_login_times_out_on_every_attempt(self, sim, capfd):
        sim.script("$Login,pw", silent=True, times=None)
        ch = CommandChannel()
        with pytest.raises(RuntimeError) as error:
            ch.connect(sim.host, sim.command_port, "pw")
        assert str(error.value) == (
            "Epson Remote Ethernet login failed after 3 attempts: "
            + TIMEOUT_MESSAGE.format("$Login,<redacted>")
        )
        assert capfd.readouterr().err == (
            "Epson Remote Ethernet login attempt 1 failed; retrying in 2 seconds\n"
            "Epson Remote Ethernet login attempt 2 failed; retrying in 2 seconds\n"
        )
        assert sim.requests() == ["$Login,pw"] * 3
        assert not ch.is_connected()

    def test_second_connect_closes_the_first_session_the_orderly_way(self, sim, capfd):
        ch = CommandChannel()
        ch.connect(sim.host, sim.command_port)
        ch.connect(sim.host, sim.command_port)
        assert sim.requests() == ["$Login,", "$Logout", "$Login,"]
        assert capfd.readouterr().out == (
            f"Connected to 127.0.0.1:{sim.command_port}\n"
            f"Disconnected from 127.0.0.1:{sim.command_port}\n"
            f"Connected to 127.0.0.1:{sim.command_port}\n"
        )
        assert ch.is_logged_in()
        ch.disconnect()

    def test_port_outside_16_bits_is_a_type_error(self):
        ch = CommandChannel()
        for port in (70000, -1, 5000.0):
            with pytest.raises(TypeError):
                ch.connect("127.0.0.1", port)

    def test_default_port_is_5000(self):
        from epson_remote.sim import ControllerSimulator

        try:
            sim = ControllerSimulator(command_port=5000, telemetry_port=0).start()
        except Exception as error:  # noqa: BLE001 - the port is taken on this machine
            pytest.skip(f"port 5000 not free: {error}")
        try:
            ch = CommandChannel()
            ch.connect("127.0.0.1")
            assert ch.is_logged_in()
            ch.disconnect()
        finally:
            sim.stop()


class TestReplies:
    def test_quoted_reply_may_span_physical_lines(self, sim, channel):
        sim.script("Print Tool", raw=b'#Execute," 1\r\n2 "\r\n')
        assert channel.get_tool() == 12
        status = "Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)"
        sim.script(status, raw=b'#Execute,"1 \r\n 2\r\n3"\r\n')
        with pytest.raises(RuntimeError) as error:
            channel.get_controller_status()
        # The logical line is the physical lines joined by single LFs.
        assert str(error.value) == (
            'Failed to parse controller status. Expected 8 values, received 3: "1 \n 2\n3"'
        )
        assert channel.is_connected()

    def test_bare_line_feed_ends_a_reply(self, sim, channel):
        sim.script("Print Tool", raw=b'#Execute," 7"\n')
        assert channel.get_tool() == 7

    def test_reply_split_across_writes_is_reassembled(self, sim, channel):
        sim.script("Print Tool", raw=b'#Execute," 1')

        def finish_reply() -> None:
            sim.wait_for_request('$Execute,"Print Tool"')
            time.sleep(0.1)  # let the first half arrive on its own
            sim.push(b'1"\r\n')

        thread = threading.Thread(target=finish_reply)
        thread.start()
        try:
            assert channel.get_tool() == 11
        finally:
            thread.join()

    @pytest.mark.parametrize(
        ("raw", "message"),
        [
            (b"#Foo,0\r\n", "Unexpected Epson response while waiting for #Execute: #Foo,0"),
            (b"\r\n", "Empty response from Epson controller"),
            (b"!Foo,11\r\n", 'Remote command failed: !Foo,11 (command: $Execute,"Print Tool")'),
        ],
    )
    def test_a_line_that_is_not_the_reply_drops_the_connection(self, sim, channel, raw, message):
        # Kept, the connection would hand the real reply to the next request.
        sim.script("Print Tool", raw=raw + b'#Execute," 3"\r\n')
        with pytest.raises(RuntimeError) as error:
            channel.get_tool()
        assert str(error.value) == message
        assert not channel.is_connected() and not channel.is_logged_in()
        with pytest.raises(
            RuntimeError, match="^command\\(\\) was called but socket not connected$"
        ):
            channel.get_power_mode()

    @pytest.mark.parametrize("reply", ["!Execute,99", "!Execute,99,1"])
    def test_failure_reply_is_reported_with_the_line_and_keeps_the_connection(
        self, sim, channel, reply
    ):
        sim.script("Reset", reply=reply)
        with pytest.raises(RuntimeError) as error:
            channel.reset_controller()
        assert str(error.value) == (
            f"Remote command failed: {reply} (Epson Remote Ethernet error 99: system error or "
            'communication error; no motion error code was returned) (command: $Execute,"Reset")'
        )
        assert channel.is_connected() and channel.is_logged_in()

    def test_reply_without_a_quoted_payload(self, sim, channel):
        sim.script("Print Tool", reply="#Execute,0")
        with pytest.raises(RuntimeError, match="^Unexpected Execute response: #Execute,0$"):
            channel.get_tool()

    def test_new_connection_starts_with_an_empty_receive_buffer(self, sim, channel):
        # Two replies in one segment: the second stays buffered after the first query.
        sim.script("Print Tool", raw=b'#Execute," 1"\r\n#Execute," 9"\r\n')
        assert channel.get_tool() == 1
        channel.connect(sim.host, sim.command_port)
        assert channel.get_tool() == 0

    def test_a_line_after_the_reply_is_never_the_next_reply(self, sim, channel, capfd):
        # One extra line in the reply's segment, one arriving on its own a moment later.
        sim.script("Print Tool", raw=b'#Execute," 1"\r\n#Execute," 9"\r\n')
        assert channel.get_tool() == 1
        assert channel.get_tool() == 0
        sim.script("Print Tool", raw=b'#Execute," 2"\r\n')
        assert channel.get_tool() == 2
        assert sim.push(b'#Execute," 7"\r\n')
        time.sleep(0.2)
        assert channel.get_tool() == 0
        assert channel.is_connected()
        assert capfd.readouterr().err == (
            'Discarded an Epson response that answers no request: #Execute," 9"\n'
            'Discarded an Epson response that answers no request: #Execute," 7"\n'
        )

    def test_endless_reply_line_is_bounded(self, sim, channel):
        sim.script("Print Tool", raw=b"#Execute," + b"x" * (1 << 20) + b"y" * 10)
        with pytest.raises(
            RuntimeError, match="^Epson Remote Ethernet response exceeds 1048576 bytes$"
        ):
            channel.get_tool()
        assert not channel.is_connected()

    def test_endless_quoted_continuation_is_bounded(self, sim, channel):
        sim.script("Print Tool", raw=b'#Execute,"' + b"xx\r\n" * 600_000)
        with pytest.raises(
            RuntimeError, match="^Epson Remote Ethernet response exceeds 1048576 bytes$"
        ):
            channel.get_tool()
        assert not channel.is_connected()


class TestDrops:
    @pytest.mark.slow
    def test_reply_timeout_drops_the_connection(self, sim, channel):
        sim.script("Print Tool", silent=True)
        started = time.monotonic()
        with pytest.raises(RuntimeError) as error:
            channel.get_tool()
        assert str(error.value) == TIMEOUT_MESSAGE.format('$Execute,"Print Tool"')
        assert 4.5 < time.monotonic() - started < 15
        assert not channel.is_connected() and not channel.is_logged_in()
        with pytest.raises(
            RuntimeError, match="^command\\(\\) was called but socket not connected$"
        ):
            channel.get_tool()

    @pytest.mark.slow
    @pytest.mark.parametrize(
        ("first", "piece", "interval"),
        [
            (b"#Exe", b"c", 0.4),  # a line that never ends
            (b'#Execute," 1\r\n', b"2\r\n", 0.8),  # a quoted reply continued line by line
        ],
    )
    def test_a_reply_that_keeps_coming_is_bounded_as_a_whole(
        self, sim, channel, first, piece, interval
    ):
        # Each piece comes well within 5 s and restarts no clock: the whole reply has one deadline.
        sim.script("Print Tool", raw=first)
        stop = threading.Event()

        def keep_coming() -> None:
            sim.wait_for_request('$Execute,"Print Tool"')
            give_up = time.monotonic() + 10  # a wait that restarts per piece ends 5 s after this
            while time.monotonic() < give_up and not stop.wait(interval) and sim.push(piece):
                pass

        thread = threading.Thread(target=keep_coming)
        thread.start()
        started = time.monotonic()
        try:
            with pytest.raises(RuntimeError) as error:
                channel.get_tool()
        finally:
            stop.set()
            thread.join()
        assert str(error.value) == TIMEOUT_MESSAGE.format('$Execute,"Print Tool"')
        assert 4.5 < time.monotonic() - started < 7
        assert not channel.is_connected()

    def test_peer_closing_drops_the_connection(self, sim, channel):
        sim.script("Print Tool", close=True)
        with pytest.raises(
            RuntimeError, match="^Failed while waiting for an Epson Remote Ethernet response: "
        ):
            channel.get_tool()
        assert not channel.is_connected()

    def test_disconnect_after_a_drop_sends_and_prints_nothing(self, sim, channel, capfd):
        sim.script("Print Tool", close=True)
        with pytest.raises(RuntimeError):
            channel.get_tool()
        capfd.readouterr()
        channel.disconnect()
        assert capfd.readouterr() == ("", "")

    def test_disconnect_of_a_never_connected_channel_is_silent(self, capfd):
        ch = CommandChannel()
        ch.disconnect()
        ch.disconnect()
        assert capfd.readouterr() == ("", "")

    def test_rejected_logout_is_reported_and_the_socket_still_closes(self, sim, channel, capfd):
        sim.script("$Logout", reply="!Logout,20")
        capfd.readouterr()
        channel.disconnect()
        captured = capfd.readouterr()
        assert captured.err == (
            "Failed to log out of controller: "
            "Remote command failed: !Logout,20 (command: $Logout)\n"
        )
        assert captured.out == f"Disconnected from 127.0.0.1:{sim.command_port}\n"
        assert not channel.is_connected()

    def test_connect_and_disconnect_leave_no_socket_or_thread(self, sim, no_leaks):
        for _ in range(3):
            ch = CommandChannel()
            ch.connect(sim.host, sim.command_port)
            ch.disconnect()
            del ch


class _SilentPeer:
    """Accepts one client, answers its login, then never reads again."""

    def __init__(self) -> None:
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.stop = threading.Event()
        self.thread.start()

    def _serve(self) -> None:
        conn, _ = self.listener.accept()
        with conn:
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            conn.recv(64)
            conn.sendall(b"#Login,0\r\n")
            self.stop.wait(30)

    def close(self) -> None:
        self.stop.set()
        self.thread.join()
        self.listener.close()


def _more_than_the_send_buffer() -> int:
    """A request length the kernel cannot take whole while the peer does not read: four times the
    largest TCP send buffer. Not more, since every byte costs time before and after the write
    (much of it under a sanitizer), and the test bounds the whole call."""
    try:
        with open("/proc/sys/net/ipv4/tcp_wmem") as limits:
            largest = int(limits.read().split()[2])
    except (OSError, ValueError, IndexError):
        largest = 16 << 20
    return 4 * max(largest, 4 << 20)


@pytest.mark.slow
def test_write_to_a_peer_that_stops_reading_is_bounded():
    peer = _SilentPeer()
    try:
        ch = CommandChannel()
        ch.connect("127.0.0.1", peer.port)
        started = time.monotonic()
        with pytest.raises(RuntimeError) as error:
            ch.go("P" * _more_than_the_send_buffer(), False, False, None, None, None, False)
        assert str(error.value).startswith(
            'Timed out sending an Epson Remote Ethernet request $Execute,"Go PPP'
        )
        assert str(error.value).endswith('" after 5000 ms')
        assert 4.5 < time.monotonic() - started < 15
        assert not ch.is_connected()
    finally:
        peer.close()


def test_pause_waiting_for_the_connection_is_not_held_up_by_the_motion_that_takes_it(sim, channel):
    # A slow query holds the connection; a go and a pause both wait for it. Whichever gets it
    # first, the pause must be answered long before the motion ends.
    sim.script("Print Tool", reply='#Execute," 0"', delay=0.5)
    sim.script("Go P1", reply="#Execute,0", delay=3.0)
    sim.script("$Pause", reply="#Pause,0")
    finished: dict[str, float] = {}

    def run(name, call):
        call()
        finished[name] = time.monotonic()

    threads = [
        threading.Thread(target=run, args=("query", channel.get_tool)),
        threading.Thread(
            target=run,
            args=("go", lambda: channel.go("P1", False, False, None, None, None, False)),
        ),
        threading.Thread(target=run, args=("pause", channel.pause)),
    ]
    threads[0].start()
    sim.wait_for_request('$Execute,"Print Tool"')
    threads[1].start()
    threads[2].start()
    for thread in threads:
        thread.join(timeout=20)
    assert set(finished) == {"query", "go", "pause"}
    assert finished["pause"] < finished["go"] - 1.0


class TestUndecodableControllerText:
    """Messages quote the controller's bytes; a stray byte must not change the exception type."""

    def test_query_failure_stays_a_runtime_error(self, sim, channel):
        sim.script("Print Tool", raw=b'#Execute," 1\xff"\r\n')
        with pytest.raises(RuntimeError) as error:
            channel.get_tool()
        assert str(error.value) == (
            'Failed to parse controller status value as an integer: " 1\\xff"'
        )

    def test_failure_reply_and_motor_on_error(self, sim, channel):
        sim.script("Motor On", raw=b"!Execute,\xfe\xff\r\n")
        with pytest.raises(RuntimeError) as error:
            channel.motor_on()
        expected = 'Remote command failed: !Execute,\\xfe\\xff (command: $Execute,"Motor On")'
        assert str(error.value) == expected
        assert channel.motor_on_error() == expected

    def test_valid_utf8_text_is_shown_as_is(self, sim, channel):
        sim.script("Print Tool", raw='#Execute," 1°"\r\n'.encode())
        with pytest.raises(RuntimeError) as error:
            channel.get_tool()
        assert str(error.value) == 'Failed to parse controller status value as an integer: " 1°"'
