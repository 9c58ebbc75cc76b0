"""EthernetReceiveInterface against small telemetry servers run by threads of this process (and,
for the stream at a controller's rate, against the simulator).

The native reader thread needs no interpreter lock, so a Python server thread can feed it while
the test thread sits in ``connect``.
"""

from __future__ import annotations

import contextlib
import json
import os
import queue
import select
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable, Iterator

import pytest
from helpers import WITH_DEFAULT_SIGINT, SynDroppingPort, free_port, reaped, wait_until

from epson_remote import EthernetReceiveInterface

HOST = "127.0.0.1"
NO_SAMPLE = (
    "Connected to the Epson telemetry port, but no complete six-axis sample was received within "
    "2 seconds. Check that the controller Background Task is running and continuously writing "
    "all X-W and J1-J6 angle fields."
)
POSE_KEYS = ("X", "Y", "Z", "U", "V", "W")
JOINT_KEYS = tuple(f"J{n}agl" for n in range(1, 7))
STATUS_LINE = b"STAT=524288;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=256\r"


def sample_line(pose: list[float], joints: list[float], ending: str = "\r") -> bytes:
    fields = [f"{k}={v!r}" for k, v in zip(POSE_KEYS + JOINT_KEYS, pose + joints, strict=True)]
    return (";".join(fields) + ending).encode()


POSE_A = [412.5, -20.0, 610.25, 90.0, 0.0, 180.0]
JOINTS_A = [10.5, -35.0, 20.0, 0.0, 75.5, -90.0]
SAMPLE_A = sample_line(POSE_A, JOINTS_A)


class TelemetryPeer:
    """A telemetry server on loopback: sends ``greeting`` to every client it accepts."""

    def __init__(self, greeting: bytes = SAMPLE_A, port: int = 0) -> None:
        self.greeting = greeting
        self.accepted: queue.Queue[socket.socket] = queue.Queue()
        self._clients: list[socket.socket] = []
        self._listener = socket.create_server((HOST, port))
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self) -> None:
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            self._clients.append(client)
            with contextlib.suppress(OSError):
                client.sendall(self.greeting)
            self.accepted.put(client)

    def next_client(self, timeout: float = 5.0) -> socket.socket:
        return self.accepted.get(timeout=timeout)

    def close(self) -> None:
        """Stop listening and close every connection."""
        with contextlib.suppress(OSError):
            self._listener.shutdown(socket.SHUT_RDWR)
        self._thread.join(5.0)
        # join() returns a moment before the system thread is gone; the leak check counts those.
        assert wait_until(lambda: not os.path.exists(f"/proc/self/task/{self._thread.native_id}"))
        self._listener.close()
        for client in self._clients:
            with contextlib.suppress(OSError):
                client.shutdown(socket.SHUT_RDWR)
            client.close()


def closed_by_peer(client: socket.socket, timeout: float = 5.0) -> bool:
    """Whether the other side closed ``client`` within ``timeout`` (data read meanwhile is
    dropped)."""
    client.settimeout(timeout)
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            if client.recv(4096) == b"":
                return True
    except ConnectionResetError:  # closed with our data unread
        return True
    except TimeoutError:
        pass
    return False


@pytest.fixture
def unanswered(no_leaks) -> Iterator[SynDroppingPort]:
    port = SynDroppingPort()
    yield port
    port.close()


def reconnecting_into(peer: TelemetryPeer) -> SynDroppingPort:
    """Ends ``peer``'s stream and leaves its port unanswered; returns once a connection attempt
    of the reader waits there."""
    port = peer.port
    peer.close()
    unanswered = SynDroppingPort(port)
    assert wait_until(lambda: unanswered.waiting() == 2)
    return unanswered


@pytest.fixture
def peer(no_leaks) -> Iterator[TelemetryPeer]:
    server = TelemetryPeer()
    yield server
    server.close()


@pytest.fixture
def telemetry(peer: TelemetryPeer) -> Iterator[EthernetReceiveInterface]:
    """An interface connected to ``peer``, disconnected before the leak check."""
    receiver = EthernetReceiveInterface()
    receiver.connect(HOST, peer.port)
    yield receiver
    receiver.disconnect()


def send_and_sync(telemetry: EthernetReceiveInterface, client: socket.socket, data: bytes) -> None:
    """Send ``data``, then a status line whose arrival proves that ``data`` has been parsed
    (lines are handled in order)."""
    marker = (1 + time.monotonic_ns() % 1_000_000) * 1024  # bits 8, 9 and 19 stay clear
    client.sendall(data + f"STAT=0;SYSERR={marker};CTRLDEV=0;ROBOTINFO=0;CTRLINFO=0\r".encode())
    assert wait_until(lambda: telemetry.get_status()["fields"].get("system_error") == marker)


# -- connect ------------------------------------------------------------------------------------


class TestConnect:
    def test_returns_with_the_first_sample_on_the_monotonic_clock(self, peer):
        receiver = EthernetReceiveInterface()
        before = time.monotonic()
        receiver.connect(HOST, peer.port)
        after = time.monotonic()
        try:
            sample = receiver.get_sample()
            assert sample == {
                "joint_positions": JOINTS_A,
                "tcp_pose": POSE_A,
                "timestamp": sample["timestamp"],
                "valid": True,
            }
            assert before <= sample["timestamp"] <= after
            assert receiver.is_connected()
        finally:
            receiver.disconnect()
        assert not receiver.is_connected()
        assert receiver.get_sample()["valid"]  # the last sample stays readable

    def test_refused_connection_names_the_endpoint(self, no_leaks):
        port = free_port()
        receiver = EthernetReceiveInterface()
        with pytest.raises(RuntimeError) as error:
            receiver.connect(HOST, port)
        assert str(error.value) == (
            f"Failed to connect to Epson telemetry at {HOST}:{port}: Connection refused"
        )
        assert not receiver.is_connected()

    def test_unresolvable_host_names_the_endpoint(self, no_leaks):
        with pytest.raises(
            RuntimeError,
            match=r"^Failed to resolve Epson telemetry endpoint "
            r"no-such-host\.invalid:2000: ",
        ):
            EthernetReceiveInterface().connect("no-such-host.invalid")

    def test_status_lines_alone_fail_after_two_seconds_and_disconnect(self, peer):
        peer.greeting = STATUS_LINE * 3
        receiver = EthernetReceiveInterface()
        with pytest.raises(RuntimeError) as error:
            receiver.connect(HOST, peer.port)
        assert str(error.value) == NO_SAMPLE
        assert not receiver.is_connected()
        assert closed_by_peer(peer.next_client())
        assert receiver.get_status()["valid"]  # status lines were read all the same

    def test_split_sample_completes_on_its_last_line(self, peer):
        # The sample arrives in pieces cut mid-field, with CR LF line ends.
        fields = sample_line(POSE_A, JOINTS_A, "").decode().split(";")
        data = (";".join(fields[:5]) + "\r\n" + ";".join(fields[5:]) + "\r\n").encode()
        peer.greeting = b""

        def feed() -> None:
            client = peer.next_client()
            client.sendall(data[:17])
            time.sleep(0.05)  # two segments, not synchronisation
            client.sendall(data[17:])

        receiver = EthernetReceiveInterface()
        feeder = threading.Thread(target=feed)
        feeder.start()
        try:
            receiver.connect(HOST, peer.port)
            feeder.join()
            assert receiver.get_sample()["tcp_pose"] == POSE_A
            assert receiver.get_sample()["joint_positions"] == JOINTS_A
        finally:
            feeder.join()
            receiver.disconnect()

    def test_reconnecting_closes_the_old_connection_and_invalidates_the_records(
        self, telemetry, peer
    ):
        first = peer.next_client()
        send_and_sync(telemetry, first, b"")
        assert telemetry.get_status()["valid"]
        telemetry.connect(HOST, peer.port)
        assert closed_by_peer(first)
        assert telemetry.is_connected()
        assert telemetry.get_sample()["valid"]
        status = telemetry.get_status()
        assert not status["valid"]
        assert status["fields"]["system_error"] != 0  # the old values stay, marked invalid

    def test_disconnect_twice_or_never_connected_is_harmless(self, no_leaks):
        receiver = EthernetReceiveInterface()
        receiver.disconnect()
        receiver.disconnect()
        assert not receiver.is_connected()
        assert receiver.get_sample() == {
            "joint_positions": [0.0] * 6,
            "tcp_pose": [0.0] * 6,
            "timestamp": 0.0,
            "valid": False,
        }
        assert receiver.get_status() == {"fields": {}, "timestamp": 0.0, "valid": False}

    def test_a_port_outside_sixteen_bits_is_a_type_error(self):
        with pytest.raises(TypeError):
            EthernetReceiveInterface().connect(HOST, 70000)
        with pytest.raises(TypeError):
            EthernetReceiveInterface().connect(HOST, 2000.0)


# -- the stream ---------------------------------------------------------------------------------


class TestStream:
    def test_status_line_sets_the_derived_flags(self, telemetry, peer):
        before = time.monotonic()
        peer.next_client().sendall(STATUS_LINE)
        assert wait_until(lambda: telemetry.get_status()["valid"])
        status = telemetry.get_status()
        assert status["fields"] == {
            "control_device": 21,
            "ctrl_info": 256,
            "emergency_stopped": 1,
            "robot_info": 0,
            "safeguard_open": 0,
            "stat": 524288,
            "system_error": 0,
            "teach_mode": 1,
        }
        assert before <= status["timestamp"] <= time.monotonic()

    def test_incomplete_status_line_leaves_the_previous_status(self, telemetry, peer):
        client = peer.next_client()
        send_and_sync(telemetry, client, b"")
        kept = telemetry.get_status()
        client.sendall(b"STAT=1;SYSERR=2;CTRLDEV=3;ROBOTINFO=4\r")
        client.sendall(sample_line([1.0] * 6, [2.0] * 6))
        assert wait_until(lambda: telemetry.get_sample()["tcp_pose"] == [1.0] * 6)
        assert telemetry.get_status() == kept

    def test_later_lines_replace_the_sample(self, telemetry, peer):
        old = telemetry.get_sample()
        peer.next_client().sendall(sample_line([1.0] * 6, [2.0] * 6))
        assert wait_until(lambda: telemetry.get_sample()["tcp_pose"] == [1.0] * 6)
        sample = telemetry.get_sample()
        assert sample["joint_positions"] == [2.0] * 6
        assert sample["timestamp"] > old["timestamp"]

    def test_rejected_line_drops_the_partly_collected_sample(self, telemetry, peer):
        client = peer.next_client()
        nines = ";".join(f"{k}=9" for k in POSE_KEYS[3:] + JOINT_KEYS)
        send_and_sync(telemetry, client, f"X=9;Y=9;Z=9\rU=abc\r{nines}\r".encode())
        assert telemetry.get_sample()["tcp_pose"] == POSE_A
        # Collection restarts with the next line that carries X.
        send_and_sync(telemetry, client, f"X=8;Y=8;Z=8\r{nines}\r".encode())
        assert telemetry.get_sample()["tcp_pose"] == [8.0, 8.0, 8.0, 9.0, 9.0, 9.0]

    def test_a_line_without_carriage_return_over_64_kib_reopens_the_connection(
        self, telemetry, peer
    ):
        first = peer.next_client()
        old = telemetry.get_sample()
        with contextlib.suppress(OSError):
            first.sendall(b"X" * (64 * 1024 + 1))
        assert closed_by_peer(first)
        peer.next_client()  # reconnected by itself
        assert wait_until(telemetry.is_connected)
        assert telemetry.get_sample()["valid"]
        assert telemetry.get_sample()["timestamp"] >= old["timestamp"]


# -- reconnection and shutdown ------------------------------------------------------------------


class TestReconnect:
    def test_reconnects_by_itself_after_the_server_restarts(self, no_leaks):
        server = TelemetryPeer()
        port = server.port
        receiver = EthernetReceiveInterface()
        try:
            receiver.connect(HOST, port)
            server.next_client()
            old = receiver.get_sample()
            server.close()
            assert wait_until(lambda: not receiver.is_connected())
            assert receiver.get_sample() == old  # still valid, with its old timestamp

            server = TelemetryPeer(greeting=sample_line([3.0] * 6, [4.0] * 6), port=port)
            server.next_client(timeout=10.0)
            assert wait_until(receiver.is_connected)
            assert wait_until(lambda: receiver.get_sample()["tcp_pose"] == [3.0] * 6)
        finally:
            receiver.disconnect()
            server.close()

    def test_disconnect_does_not_wait_out_the_reconnection_pause(self, no_leaks):
        server = TelemetryPeer()
        receiver = EthernetReceiveInterface()
        receiver.connect(HOST, server.port)
        server.close()
        assert wait_until(lambda: not receiver.is_connected())
        started = time.monotonic()
        receiver.disconnect()
        # The pause is one second; a disconnect that slept through it would take that long.
        assert time.monotonic() - started < 0.9


# -- unanswered connection attempts -------------------------------------------------------------


def call_within(call: Callable[[], object], timeout: float) -> BaseException | None:
    """Runs ``call`` on a thread of its own and returns what it raised; fails when the call is
    still blocked after ``timeout`` (so that a hang fails the test instead of holding the run)."""
    raised: list[BaseException] = []

    def run() -> None:
        try:
            call()
        except BaseException as error:
            raised.append(error)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(timeout)
    assert not thread.is_alive(), f"still blocked after {timeout} s"
    return raised[0] if raised else None


@pytest.fixture
def reconnecting(no_leaks) -> Iterator[tuple[EthernetReceiveInterface, SynDroppingPort]]:
    """An interface whose stream has ended, inside a connection attempt its port leaves
    unanswered; and that port."""
    peer = TelemetryPeer()
    receiver = EthernetReceiveInterface()
    receiver.connect(HOST, peer.port)
    unanswered = reconnecting_into(peer)
    yield receiver, unanswered
    unanswered.close()


class TestUnansweredConnect:
    def test_connect_gives_up_after_two_seconds(self, unanswered):
        receiver = EthernetReceiveInterface()
        error = call_within(lambda: receiver.connect(HOST, unanswered.port), timeout=4.0)
        assert isinstance(error, RuntimeError)
        assert str(error) == (
            f"Failed to connect to Epson telemetry at {HOST}:{unanswered.port}: "
            "Connection timed out"
        )
        assert not receiver.is_connected()
        assert wait_until(lambda: unanswered.waiting() == 1)  # the attempt was abandoned

    def test_disconnect_from_another_thread_ends_a_connect_attempt(self, unanswered):
        receiver = EthernetReceiveInterface()
        raised: list[BaseException] = []

        def connect() -> None:
            try:
                receiver.connect(HOST, unanswered.port)
            except RuntimeError as error:
                raised.append(error)

        connecting = threading.Thread(target=connect, daemon=True)
        connecting.start()
        assert wait_until(lambda: unanswered.waiting() == 2)
        assert call_within(receiver.disconnect, timeout=1.5) is None
        connecting.join(1.5)
        assert not connecting.is_alive()
        assert [str(error) for error in raised] == [
            f"Failed to connect to Epson telemetry at {HOST}:{unanswered.port}: Operation canceled"
        ]

    def test_an_unanswered_reconnection_is_given_up_and_tried_again(self, reconnecting):
        receiver, unanswered = reconnecting
        assert wait_until(lambda: unanswered.waiting() == 1, timeout=4.0)  # given up
        assert wait_until(lambda: unanswered.waiting() == 2, timeout=4.0)  # the next one
        assert not receiver.is_connected()
        assert call_within(receiver.disconnect, timeout=1.5) is None

    def test_disconnect_during_an_unanswered_reconnection_returns_at_once(self, reconnecting):
        receiver, unanswered = reconnecting
        assert call_within(receiver.disconnect, timeout=1.5) is None
        assert not receiver.is_connected()
        assert wait_until(lambda: unanswered.waiting() == 1)

    def test_dropping_the_object_during_an_unanswered_reconnection_returns_at_once(self, no_leaks):
        # In a process of its own: a destructor that blocks holds the interpreter with it.
        peer = TelemetryPeer()
        script = textwrap.dedent(
            f"""
            import sys, time
            from epson_remote import EthernetReceiveInterface
            receiver = EthernetReceiveInterface()
            receiver.connect({HOST!r}, {peer.port})
            print("connected", flush=True)
            sys.stdin.readline()
            started = time.monotonic()
            del receiver
            print(time.monotonic() - started, flush=True)
            """
        )
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
        child = subprocess.Popen(
            [sys.executable, "-c", script],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=env,
        )
        unanswered = None
        try:
            assert child.stdout.readline() == "connected\n"
            unanswered = reconnecting_into(peer)
            child.stdin.write("\n")
            child.stdin.flush()
            assert child.wait(timeout=10.0) == 0
            assert float(child.stdout.read()) < 1.0
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
            child.stdin.close()
            child.stdout.close()
            if unanswered is not None:
                unanswered.close()
            peer.close()


# -- fork ---------------------------------------------------------------------------------------


def child_exit_code(pid: int, timeout: float = 10.0) -> int | None:
    """The exit code of child ``pid``, or None (and the child killed) when it hangs."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return None


class TestForkedChild:
    @pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
    @pytest.mark.parametrize("let_go", ["disconnect", "destroy"])
    def test_a_child_letting_go_of_its_copy_leaves_the_parents_stream_alone(self, peer, let_go):
        receiver = EthernetReceiveInterface()
        receiver.connect(HOST, peer.port)
        client = peer.next_client()
        copies = [receiver]
        pid = os.fork()
        if pid == 0:  # the child: never returns into the test run
            code = 0
            try:
                code |= 1 if receiver.is_connected() else 0
                if let_go == "disconnect":
                    receiver.disconnect()
                    code |= 2 if receiver.is_connected() else 0
                del receiver
                copies.clear()
            except BaseException:
                code |= 4
            finally:
                os._exit(code)
        try:
            assert child_exit_code(pid) == 0
            assert not closed_by_peer(client, timeout=0.5)
            assert receiver.is_connected()
            send_and_sync(receiver, client, sample_line([5.0] * 6, [6.0] * 6))
            assert receiver.get_sample()["tcp_pose"] == [5.0] * 6
        finally:
            receiver.disconnect()

    @pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
    def test_a_childs_copy_of_a_stream_has_ended_and_lets_go_at_once(self, telemetry, peer):
        stream = telemetry.samples()
        waiting = threading.Thread(target=lambda: list(stream))  # in next() at the fork
        waiting.start()
        time.sleep(0.1)  # into the wait (nothing to synchronise on: it only waits)
        pid = os.fork()
        if pid == 0:
            code = 0
            try:
                code |= 0 if list(stream) == [] and stream.wait(5.0) else 1
                stream.close()
                del stream
            except BaseException:
                code |= 4
            finally:
                os._exit(code)
        try:
            assert child_exit_code(pid) == 0
            send_and_sync(telemetry, peer.next_client(), numbered(0, 1))
            assert not stream.closed  # the parent's stream goes on
        finally:
            stream.close()
            waiting.join(2.0)

    @pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
    def test_a_child_connects_its_copy_anew(self, peer):
        receiver = EthernetReceiveInterface()
        receiver.connect(HOST, peer.port)
        client = peer.next_client()
        other = TelemetryPeer(greeting=sample_line([7.0] * 6, [8.0] * 6))
        try:
            pid = os.fork()
            if pid == 0:
                code = 0
                try:
                    receiver.connect(HOST, other.port)
                    code |= 0 if receiver.get_sample()["tcp_pose"] == [7.0] * 6 else 1
                    receiver.disconnect()
                except BaseException:
                    code |= 4
                finally:
                    os._exit(code)
            assert child_exit_code(pid) == 0
            assert closed_by_peer(other.next_client())  # the child's own connection
            assert not closed_by_peer(client, timeout=0.5)
            send_and_sync(receiver, client, b"")
        finally:
            receiver.disconnect()
            other.close()


# -- sequence numbers and waiting for a sample --------------------------------------------------


def numbered(first: int, count: int) -> bytes:
    """``count`` one-line samples whose pose values are first, first + 1, ..."""
    return b"".join(sample_line([float(n)] * 6, JOINTS_A) for n in range(first, first + count))


def elapsed(call: Callable[[], object]) -> tuple[object, float]:
    started = time.monotonic()
    result = call()
    return result, time.monotonic() - started


class TestSequence:
    def test_counts_complete_samples_from_connect_through_the_readers_reconnections(self, no_leaks):
        server = TelemetryPeer()
        port = server.port
        receiver = EthernetReceiveInterface()
        try:
            receiver.connect(HOST, port)
            assert receiver.wait_for_sample(None, 0.0) == {
                **receiver.get_sample(),
                "sequence": 1,
            }
            # A line that only starts a sample, and a rejected one, are no samples.
            send_and_sync(receiver, server.next_client(), b"X=1;Y=2\rU=abc\r" + SAMPLE_A)
            assert receiver.wait_for_sample(None, 0.0)["sequence"] == 2

            server.close()
            server = TelemetryPeer(port=port)
            server.next_client(timeout=10.0)  # reconnected by itself: the count goes on
            assert receiver.wait_for_sample(2, timeout_s=5.0)["sequence"] == 3

            receiver.connect(HOST, port)  # a connect starts it again
            assert receiver.wait_for_sample(None, 0.0)["sequence"] == 1
        finally:
            receiver.disconnect()
            server.close()


class TestWaitForSample:
    def test_without_after_the_latest_at_once(self, telemetry):
        sample, took = elapsed(lambda: telemetry.wait_for_sample(timeout_s=5.0))
        assert took < 0.5
        assert sample == {**telemetry.get_sample(), "sequence": 1}

    def test_after_waits_for_a_later_sample_woken_by_the_reader(self, telemetry, peer):
        client = peer.next_client()
        # Sent by a Python thread: it runs only because the wait released the interpreter lock.
        later = threading.Timer(0.2, client.sendall, [sample_line([1.0] * 6, [2.0] * 6)])
        later.start()
        try:
            sample, took = elapsed(lambda: telemetry.wait_for_sample(after=1, timeout_s=5.0))
        finally:
            later.join()
        assert sample["sequence"] == 2 and sample["tcp_pose"] == [1.0] * 6
        assert 0.15 < took < 1.5

    def test_after_a_sample_already_replaced_returns_the_latest_at_once(self, telemetry, peer):
        send_and_sync(telemetry, peer.next_client(), numbered(10, 3))
        sample, took = elapsed(lambda: telemetry.wait_for_sample(after=1, timeout_s=5.0))
        assert took < 0.5
        assert sample["sequence"] == 4 and sample["tcp_pose"] == [12.0] * 6
        # Every sequence is at least 1: a negative `after` lets the latest through.
        assert telemetry.wait_for_sample(after=-5, timeout_s=0.0)["sequence"] == 4

    def test_none_after_the_time_out(self, telemetry):
        sample, took = elapsed(lambda: telemetry.wait_for_sample(after=1, timeout_s=0.3))
        assert sample is None
        assert 0.29 < took < 1.5
        assert telemetry.wait_for_sample(after=1, timeout_s=0.0) is None

    def test_disconnect_from_another_thread_ends_the_wait(self, peer):
        receiver = EthernetReceiveInterface()
        receiver.connect(HOST, peer.port)
        results: queue.Queue[object] = queue.Queue()
        waiter = threading.Thread(
            target=lambda: results.put(elapsed(lambda: receiver.wait_for_sample(1, 10.0)))
        )
        waiter.start()
        time.sleep(0.2)  # under way (nothing to synchronise on: it only waits)
        receiver.disconnect()
        waiter.join(5.0)
        sample, took = results.get(timeout=1.0)
        assert sample is None and took < 2.0

    def test_once_disconnected_only_the_last_sample_is_left(self, peer, no_leaks):
        receiver = EthernetReceiveInterface()
        assert elapsed(lambda: receiver.wait_for_sample(None, 5.0))[1] < 0.5  # never connected
        assert receiver.wait_for_sample(None, 0.0) is None
        receiver.connect(HOST, peer.port)
        receiver.disconnect()
        sample, took = elapsed(lambda: receiver.wait_for_sample(None, 5.0))
        assert sample["sequence"] == 1 and took < 0.5
        sample, took = elapsed(lambda: receiver.wait_for_sample(1, 5.0))
        assert sample is None and took < 0.5

    @pytest.mark.parametrize("timeout", [-0.001, float("nan")])
    def test_a_negative_or_nan_time_out_is_a_value_error(self, telemetry, timeout):
        with pytest.raises(ValueError, match="^timeout_s must be a number of seconds, at least 0$"):
            telemetry.wait_for_sample(None, timeout)
        with pytest.raises(ValueError, match="^timeout_s must be"):
            telemetry.samples().wait(timeout)


# -- every sample -------------------------------------------------------------------------------


class TestSampleStream:
    def test_yields_every_sample_in_order_from_when_it_is_made(self, telemetry, peer):
        client = peer.next_client()
        stream = telemetry.samples()
        client.sendall(numbered(0, 500))  # far faster than a controller writes them
        got = [next(stream) for _ in range(500)]
        assert [s["sequence"] for s in got] == list(range(2, 502))
        assert [s["tcp_pose"][0] for s in got] == [float(n) for n in range(500)]
        assert got[-1] == {**telemetry.get_sample(), "sequence": 501}
        assert stream.dropped == 0 and stream.max_queue == 1024

        later = telemetry.samples()  # made now: from the next sample on
        client.sendall(numbered(500, 1))
        assert next(later)["sequence"] == next(stream)["sequence"] == 502
        assert later.next_nowait() is None and stream.next_nowait() is None

    def test_a_consumer_that_falls_behind_loses_the_oldest_and_counts_them(self, telemetry, peer):
        client = peer.next_client()
        stream = telemetry.samples(max_queue=4)
        send_and_sync(telemetry, client, numbered(0, 10))
        assert telemetry.get_sample()["tcp_pose"][0] == 9.0  # the reader did not wait
        assert stream.dropped == 6
        assert [stream.next_nowait()["tcp_pose"][0] for _ in range(4)] == [6.0, 7.0, 8.0, 9.0]
        assert stream.next_nowait() is None
        client.sendall(numbered(10, 1))
        assert next(stream)["sequence"] == 12  # the gap to 7 is what was dropped
        assert stream.dropped == 6

    def test_ends_once_disconnected_after_the_samples_queued_before(self, peer, no_leaks):
        receiver = EthernetReceiveInterface()
        receiver.connect(HOST, peer.port)
        stream = receiver.samples()
        send_and_sync(receiver, peer.next_client(), numbered(0, 3))
        idle = receiver.samples()
        blocked = threading.Thread(target=lambda: list(idle))  # waits in next()
        blocked.start()
        receiver.disconnect()
        blocked.join(2.0)
        assert not blocked.is_alive()
        assert [s["tcp_pose"][0] for s in stream] == [0.0, 1.0, 2.0]
        with pytest.raises(StopIteration):
            stream.next_nowait()
        assert stream.wait(5.0) and not stream.closed

    def test_close_drops_what_it_holds_ends_at_once_and_detaches(self, telemetry, peer):
        client = peer.next_client()
        with telemetry.samples(max_queue=2) as stream:
            waiting = telemetry.samples()
            blocked = threading.Thread(target=lambda: list(waiting))
            blocked.start()
            send_and_sync(telemetry, client, numbered(0, 2))
            waiting.close()
            blocked.join(2.0)
            assert not blocked.is_alive() and waiting.closed
        assert stream.closed
        assert list(stream) == []
        with pytest.raises(StopIteration):
            stream.next_nowait()
        send_and_sync(telemetry, client, numbered(2, 5))
        assert stream.dropped == 0  # detached: nothing more was queued
        stream.close()  # twice is harmless

    def test_made_while_disconnected_it_yields_nothing(self, no_leaks):
        stream = EthernetReceiveInterface().samples()
        assert list(stream) == []
        assert stream.wait(5.0)  # at once: it has ended

    def test_it_outlives_the_readers_reconnection_and_a_new_connect_ends_it(self, no_leaks):
        server = TelemetryPeer()
        port = server.port
        receiver = EthernetReceiveInterface()
        try:
            receiver.connect(HOST, port)
            stream = receiver.samples()
            server.close()
            server = TelemetryPeer(port=port, greeting=numbered(7, 1))
            sample = next(stream)  # the greeting of the reconnection
            assert sample["sequence"] == 2 and sample["tcp_pose"][0] == 7.0
            receiver.connect(HOST, port)
            assert list(stream) == []
        finally:
            receiver.disconnect()
            server.close()

    def test_wait_reports_a_queued_sample_without_taking_it(self, telemetry, peer):
        stream = telemetry.samples()
        ready, took = elapsed(lambda: stream.wait(0.2))
        assert not ready and took > 0.19
        later = threading.Timer(0.1, peer.next_client().sendall, [numbered(3, 1)])
        later.start()
        assert stream.wait(5.0)
        later.join()
        assert stream.next_nowait()["tcp_pose"][0] == 3.0
        assert stream.next_nowait() is None

    def test_its_descriptor_is_readable_while_next_nowait_has_something_to_say(
        self, telemetry, peer
    ):
        def readable(stream) -> bool:
            return bool(select.select([stream.fileno()], [], [], 0)[0])

        early, late = telemetry.samples(), telemetry.samples()
        assert not readable(early)
        send_and_sync(telemetry, peer.next_client(), numbered(0, 2))
        assert readable(early) and readable(late)  # the late one's descriptor made just now
        assert early.fileno() == early.fileno() != late.fileno()
        early.next_nowait()
        early.next_nowait()
        assert readable(early)  # cleared only by finding the queue empty
        assert early.next_nowait() is None and not readable(early)
        early.close()
        telemetry.disconnect()
        assert readable(early) and readable(late)  # ended: next_nowait() raises StopIteration

    @pytest.mark.parametrize("size", [0, -1, 2**20 + 1])
    def test_a_queue_size_outside_its_range_is_a_value_error(self, size):
        with pytest.raises(ValueError, match="^Sample queue size must be between 1 and 1048576$"):
            EthernetReceiveInterface().samples(size)


# -- against the simulator ----------------------------------------------------------------------


class TestSimulatedStream:
    RATE_HZ = 250.0

    def test_two_seconds_at_250_hz_arrive_whole_and_in_order(self, sim, no_leaks):
        sim.configure_telemetry(rate_hz=self.RATE_HZ)
        receiver = EthernetReceiveInterface()
        receiver.connect(sim.host, sim.telemetry_port)
        try:
            with receiver.samples() as stream:
                first = next(stream)
                sequences = [first["sequence"]]
                for sample in stream:
                    sequences.append(sample["sequence"])
                    if sample["timestamp"] - first["timestamp"] >= 2.0:
                        break
                assert stream.dropped == 0
        finally:
            receiver.disconnect()
        assert sequences == list(range(sequences[0], sequences[0] + len(sequences)))
        assert len(sequences) >= 0.8 * 2.0 * self.RATE_HZ

    def test_wait_for_the_next_sample_returns_within_a_sample_period(self, sim, no_leaks):
        sim.configure_telemetry(rate_hz=self.RATE_HZ)
        receiver = EthernetReceiveInterface()
        receiver.connect(sim.host, sim.telemetry_port)
        try:
            latest = receiver.wait_for_sample()
            waits = []
            for _ in range(50):
                sample, took = elapsed(
                    lambda after=latest["sequence"]: receiver.wait_for_sample(after, 1.0)
                )
                # Lines that come together are stored together: the latest may be past the next.
                assert sample["sequence"] > latest["sequence"]
                waits.append(took)
                latest = sample
        finally:
            receiver.disconnect()
        period = 1.0 / self.RATE_HZ
        assert sorted(waits)[len(waits) // 2] <= 1.5 * period
        assert max(waits) < 0.1  # a loaded machine may delay a wake-up, never by a poll's worth


# -- Ctrl-C -------------------------------------------------------------------------------------

# The child connects to the parent's peer (or unanswered port), prints "ready", makes the call
# under test, and prints one JSON line: what ended it, after how long, and what is left.
CTRL_C_CHILD = textwrap.dedent(
    """
    import json, os, sys, time
    from epson_remote import EthernetReceiveInterface

    scenario, port = sys.argv[1], int(sys.argv[2])
    receiver = EthernetReceiveInterface()
    threads = len(os.listdir("/proc/self/task"))
    if scenario in ("next", "wait"):
        receiver.connect("127.0.0.1", port)
        stream = receiver.samples()
    call = {
        "next": lambda: next(stream),
        "wait": lambda: receiver.wait_for_sample(1, 60.0),
        "connect": lambda: receiver.connect("127.0.0.1", port),
    }[scenario]
    print("ready", flush=True)
    started = time.monotonic()
    try:
        call()
        result = "returned"
    except KeyboardInterrupt:
        result = "KeyboardInterrupt"
    after_s = time.monotonic() - started
    time.sleep(0.2)  # a reader thread that was ended is gone by now
    print(json.dumps({"result": result, "after_s": after_s,
                      "connected": receiver.is_connected(),
                      "extra_threads": len(os.listdir("/proc/self/task")) - threads}), flush=True)
    receiver.disconnect()
    """
)


@pytest.mark.slow
class TestCtrlC:
    def interrupted(self, scenario: str, port: int) -> dict:
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
        child = subprocess.Popen(
            [sys.executable, *WITH_DEFAULT_SIGINT, "-c", CTRL_C_CHILD, scenario, str(port)],
            stdout=subprocess.PIPE,
            text=True,
            env=env,
        )
        with reaped(child):
            assert child.stdout.readline() == "ready\n"
            time.sleep(0.3)  # into the call (nothing to synchronise on: it only waits)
            child.send_signal(signal.SIGINT)
            outcome = json.loads(child.stdout.readline())
            assert child.wait(timeout=10.0) == 0
            child.stdout.close()
        return outcome

    @pytest.mark.parametrize("scenario", ["next", "wait"])
    def test_a_wait_for_samples_ends_and_the_interface_stays_connected(self, peer, scenario):
        outcome = self.interrupted(scenario, peer.port)
        assert outcome["result"] == "KeyboardInterrupt"
        assert outcome["after_s"] < 1.0
        assert outcome["connected"]

    def test_a_connect_ends_disconnected_with_no_thread_left(self, unanswered):
        outcome = self.interrupted("connect", unanswered.port)
        assert outcome == {**outcome, "result": "KeyboardInterrupt", "connected": False}
        assert outcome["after_s"] < 1.0 and outcome["extra_threads"] == 0

    def test_a_wait_for_the_first_sample_ends_likewise(self, peer):
        peer.greeting = b""
        outcome = self.interrupted("connect", peer.port)
        assert outcome == {**outcome, "result": "KeyboardInterrupt", "connected": False}
        assert outcome["after_s"] < 1.0 and outcome["extra_threads"] == 0
        assert closed_by_peer(peer.next_client())
