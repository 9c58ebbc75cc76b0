"""The fault-injection matrix: every step of a session and of telemetry against every fault.

Each case runs with fds 1 and 2 captured and the watchdog armed with the case's budget (the
documented time-outs it may meet, plus a margin). Around each case the runner counts open
descriptors and threads; whatever a case leaves behind, and any message or log line that shows
the password, fails it.

Faults come from the simulator's scripting where it can produce them (partial lines and close,
silence, delays, NUL and high bytes, over-long lines) and from the peers of ``peers.py`` where
it cannot (reset, slow drip, faults at accept time, every telemetry fault).
"""

from __future__ import annotations

import re
import socket
import threading
import time
import traceback
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from common import (
    PASSWORD,
    Capture,
    CheckFailed,
    PhaseResult,
    Resources,
    Watchdog,
    check,
    open_fds,
    wait_until,
)
from peers import STATE_STATEMENT, PeerProcess, sample_line

from epson_remote import CommandChannel, EthernetReceiveInterface, RobotCell

HOST = "127.0.0.1"
TIMED_OUT = "Timed out waiting for an Epson Remote Ethernet response to {} after 5000 ms"
WAIT_FAILED = "Failed while waiting for an Epson Remote Ethernet response: "
LOGIN_FAILED = "Epson Remote Ethernet login failed after 3 attempts: "
RETRIES = (
    "Epson Remote Ethernet login attempt 1 failed; retrying in 2 seconds\n"
    "Epson Remote Ethernet login attempt 2 failed; retrying in 2 seconds\n"
)
TOO_LONG = "Epson Remote Ethernet response exceeds 1048576 bytes"
NOT_CONNECTED = "command() was called but socket not connected"
NO_SAMPLE = (
    "Connected to the Epson telemetry port, but no complete six-axis sample was received within "
    "2 seconds. Check that the controller Background Task is running and continuously writing "
    "all X-W and J1-J6 angle fields."
)
BROKEN = ("End of file", "Connection reset by peer")
OVERSIZE = b"x" * (2 << 20)  # twice the longest reply line the session accepts
POSE = [412.5, -20.0, 610.25, 90.0, 0.0, 180.0]


def sample(j1: float) -> bytes:
    return sample_line(POSE, [j1, -35.0, 20.0, 0.0, 75.5, -90.0])


def go_p1(channel: CommandChannel) -> None:
    channel.go("P1", False, False, None, None, None, False)


class Background:
    """A call on its own thread, with its outcome and how long it took."""

    def __init__(self, call: Callable[[], Any]) -> None:
        self.result: Any = None
        self.error: BaseException | None = None
        self.elapsed = 0.0
        self.started = time.monotonic()
        self._thread = threading.Thread(target=self._run, args=(call,), daemon=True)
        self._thread.start()

    def _run(self, call: Callable[[], Any]) -> None:
        try:
            self.result = call()
        except BaseException as error:  # handed to the case
            self.error = error
        self.elapsed = time.monotonic() - self.started

    @property
    def running(self) -> bool:
        return self._thread.is_alive()

    def join(self, timeout: float) -> None:
        self._thread.join(timeout)
        check(not self._thread.is_alive(), f"a call still runs after {timeout} s")


@dataclass
class Case:
    step: str
    fault: str
    budget: float  # seconds: documented time-outs the case may meet, plus a margin
    body: Callable[[Env], None]


CASES: list[Case] = []
# The order of the steps in a session's life; the runner reports the cases step by step, whichever
# module registered them.
STEPS = ("connect", "login", "command", "motion", "disconnect", "telemetry")


def case(step: str, fault: str, budget: float = 15.0):
    def register(body: Callable[[Env], None]) -> Callable[[Env], None]:
        CASES.append(Case(step, fault, budget, body))
        return body

    return register


class Env:
    """What a case works with; it tracks what the case opens so the runner can clean up."""

    def __init__(self, sim, peers: PeerProcess, capture: Capture) -> None:
        self.sim = sim
        self.peers = peers
        self.capture = capture
        self.messages: list[str] = []
        self.objects: list[Any] = []
        self.servers: list[int] = []
        self.faults = 0
        self.notes: list[str] = []

    # -- objects under test ----------------------------------------------------------------

    def channel(self) -> CommandChannel:
        channel = CommandChannel()
        self.objects.append(channel)
        return channel

    def logged_in(self, port: int | None = None) -> CommandChannel:
        channel = self.channel()
        channel.connect(HOST, self.sim.command_port if port is None else port, PASSWORD)
        return channel

    def receiver(self) -> EthernetReceiveInterface:
        receiver = EthernetReceiveInterface()
        self.objects.append(receiver)
        return receiver

    def command_peer(self, **options) -> int:
        server_id, port = self.peers.command_peer(**options)
        self.servers.append(server_id)
        return port

    def telemetry_peer(self, **options) -> tuple[int, int]:
        server_id, port = self.peers.telemetry_peer(**options)
        self.servers.append(server_id)
        return server_id, port

    # -- checks ----------------------------------------------------------------------------

    def fault(self, count: int = 1) -> None:
        self.faults += count

    def failure(
        self,
        kind: type[BaseException],
        call: Callable[[], Any],
        *,
        equals: str | None = None,
        prefix: str | None = None,
        pattern: str | None = None,
    ) -> tuple[str, float]:
        """Runs ``call``, which must raise ``kind``; returns the message and the seconds taken."""
        started = time.monotonic()
        try:
            call()
        except BaseException as error:  # judged below
            elapsed = time.monotonic() - started
            return self.judge(error, kind, equals=equals, prefix=prefix, pattern=pattern), elapsed
        raise CheckFailed(f"expected {kind.__name__}, but the call returned")

    def judge(
        self,
        error: BaseException | None,
        kind: type[BaseException],
        *,
        equals: str | None = None,
        prefix: str | None = None,
        pattern: str | None = None,
    ) -> str:
        check(error is not None, f"expected {kind.__name__}, but the call returned")
        message = str(error)
        self.messages.append(message)
        self.messages.append(repr(error))
        check(
            type(error) is kind,
            f"expected {kind.__name__}, got {type(error).__name__}: {message!r}",
        )
        if equals is not None:
            check(message == equals, f"message {message!r}, expected {equals!r}")
        if prefix is not None:
            check(message.startswith(prefix), f"message {message!r}, expected {prefix!r}...")
        if pattern is not None:
            check(re.fullmatch(pattern, message, re.S) is not None, f"message {message!r}")
        return message

    def output(self) -> tuple[str, str]:
        out, err = self.capture.read()
        return out.decode("utf-8", "backslashreplace"), err.decode("utf-8", "backslashreplace")

    def expect_output(self, out: str | None = None, err: str | None = None) -> None:
        got_out, got_err = self.output()
        if out is not None:
            check(got_out == out, f"stdout {got_out!r}, expected {out!r}")
        if err is not None:
            check(got_err == err, f"stderr {got_err!r}, expected {err!r}")

    @staticmethod
    def flags(channel: CommandChannel, connected: bool, logged_in: bool) -> None:
        check(
            (channel.is_connected(), channel.is_logged_in()) == (connected, logged_in),
            f"is_connected/is_logged_in {channel.is_connected()}/{channel.is_logged_in()}, "
            f"expected {connected}/{logged_in}",
        )

    @staticmethod
    def within(elapsed: float, low: float, high: float, what: str) -> None:
        check(low <= elapsed <= high, f"{what} took {elapsed:.2f} s, expected {low} to {high} s")

    def recovers(self, channel: CommandChannel) -> None:
        """After a drop the same object connects again and works."""
        self.sim.reset()
        channel.connect(HOST, self.sim.command_port, PASSWORD)
        check(channel.get_tool() == 0, "no working session after reconnecting")
        channel.disconnect()

    # -- clean-up --------------------------------------------------------------------------

    def cleanup(self) -> None:
        for thing in reversed(self.objects):
            try:
                thing.disconnect()
            except Exception as error:  # a failed clean-up is reported by the leak check
                self.messages.append(str(error))
        self.objects.clear()
        for server_id in self.servers:
            try:
                self.peers.stop(server_id)
            except Exception as error:
                self.notes.append(f"stopping a peer failed: {error}")
        self.servers.clear()


def hello(port: int) -> str:
    return f"Connected to 127.0.0.1:{port}\n"


def bye(port: int) -> str:
    return f"Disconnected from 127.0.0.1:{port}\n"


def login_request() -> str:
    return f"$Login,{PASSWORD}"


def broken_pattern(prefix: str) -> str:
    return re.escape(prefix) + "(" + "|".join(re.escape(text) for text in BROKEN) + ")"


# == connect ======================================================================================


@case("connect", "nothing listens (refused)", budget=3 * 20 + 4 + 15)
def connect_refused(env: Env) -> None:
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        port = probe.getsockname()[1]
    channel = env.channel()
    message, elapsed = env.failure(
        RuntimeError,
        lambda: channel.connect(HOST, port, PASSWORD),
        equals=f"{LOGIN_FAILED}Failed to connect to {HOST}:{port}: Connection refused",
    )
    env.fault(3)
    env.within(elapsed, 3.5, 3 * 20 + 4 + 5, "connect")
    env.flags(channel, False, False)
    env.expect_output(out="", err=RETRIES)


def _accept_fault(env: Env, fault: str) -> None:
    port = env.command_peer(at_accept=[fault] * 3)
    channel = env.channel()
    started = time.monotonic()
    try:
        channel.connect(HOST, port, PASSWORD)
        raise CheckFailed("connect succeeded against a peer that drops every connection")
    except RuntimeError as error:
        message = env.judge(error, RuntimeError)
    elapsed = time.monotonic() - started
    env.fault(3)
    # Every attempt ends unanswered, so each is retried: the reply wait sees the end, the login
    # write already fails, or (a reset that arrives before the connect's completion is read) the
    # connect itself fails.
    broken = "(" + "|".join(re.escape(text) for text in BROKEN) + ")"
    endings = [
        re.escape(WAIT_FAILED) + broken,
        r"write: (Broken pipe|Connection reset by peer)",
        re.escape(f"Failed to connect to {HOST}:{port}: Connection reset by peer"),
    ]
    pattern = re.escape(LOGIN_FAILED) + "(" + "|".join(endings) + ")"
    check(re.fullmatch(pattern, message) is not None, f"unexpected message {message!r}")
    env.expect_output(out="", err=RETRIES)
    env.within(elapsed, 3.5, 20, "connect")
    env.flags(channel, False, False)


@case("connect", "peer closes at accept", budget=30)
def connect_closed_at_accept(env: Env) -> None:
    _accept_fault(env, "close")


@case("connect", "peer resets at accept (SO_LINGER 0)", budget=30)
def connect_reset_at_accept(env: Env) -> None:
    _accept_fault(env, "reset")


# == login ========================================================================================


@case("login", "peer closes mid-line", budget=30)
def login_closed_mid_line(env: Env) -> None:
    env.sim.script(login_request(), raw=b"#Log", close=True, times=None)
    channel = env.channel()
    _, elapsed = env.failure(
        RuntimeError,
        lambda: channel.connect(HOST, env.sim.command_port, PASSWORD),
        pattern=broken_pattern(LOGIN_FAILED + WAIT_FAILED),
    )
    env.fault(3)
    env.within(elapsed, 3.5, 20, "connect")
    env.flags(channel, False, False)
    env.expect_output(out="", err=RETRIES)
    check(env.sim.requests() == [login_request()] * 3, f"requests {env.sim.requests()}")
    env.recovers(channel)


@case("login", "connection reset mid-line", budget=30)
def login_reset_mid_line(env: Env) -> None:
    port = env.command_peer(
        rules=[{"match": login_request(), "action": "reset", "data": b"#Login", "times": None}]
    )
    channel = env.channel()
    _, elapsed = env.failure(
        RuntimeError,
        lambda: channel.connect(HOST, port, PASSWORD),
        pattern=broken_pattern(LOGIN_FAILED + WAIT_FAILED),
    )
    env.fault(3)
    env.within(elapsed, 3.5, 20, "connect")
    env.flags(channel, False, False)
    env.expect_output(out="", err=RETRIES)


@case("login", "silence on every attempt", budget=3 * 5 + 2 * 2 + 20)
def login_silence(env: Env) -> None:
    env.sim.script(login_request(), silent=True, times=None)
    channel = env.channel()
    _, elapsed = env.failure(
        RuntimeError,
        lambda: channel.connect(HOST, env.sim.command_port, PASSWORD),
        equals=LOGIN_FAILED + TIMED_OUT.format("$Login,<redacted>"),
    )
    env.fault(3)
    env.within(elapsed, 3 * 5 + 2 * 2 - 1, 3 * 5 + 2 * 2 + 10, "connect")
    env.flags(channel, False, False)
    env.expect_output(out="", err=RETRIES)


@case("login", "slow drip, in time", budget=15)
def login_drip_in_time(env: Env) -> None:
    port = env.command_peer(
        rules=[
            {"match": login_request(), "action": "drip", "data": b"#Login,0\r\n", "interval": 0.05}
        ]
    )
    channel = env.logged_in(port)
    env.fault()
    env.flags(channel, True, True)
    channel.disconnect()
    env.expect_output(out=hello(port) + bye(port), err="")


@case("login", "slow drip past the reply time-out, then a good attempt", budget=5 + 2 + 5 + 15)
def login_drip_too_slow(env: Env) -> None:
    port = env.command_peer(
        rules=[
            {
                "match": login_request(),
                "action": "drip",
                "data": b"#Login,0\r\n",
                "interval": 1.0,
                "connection": 0,
            }
        ]
    )
    channel = env.channel()
    started = time.monotonic()
    channel.connect(HOST, port, PASSWORD)
    env.fault()
    # The time-out bounds the whole line, not the gap between bytes: a 10 s drip fails at 5 s.
    env.within(time.monotonic() - started, 6.5, 5 + 2 + 5, "connect")
    env.flags(channel, True, True)
    env.expect_output(
        out=hello(port), err="Epson Remote Ethernet login attempt 1 failed; retrying in 2 seconds\n"
    )
    channel.disconnect()


@case("login", "over-long reply line", budget=30)
def login_over_long(env: Env) -> None:
    env.sim.script(login_request(), raw=b"#Login," + OVERSIZE, times=None)
    channel = env.channel()
    _, elapsed = env.failure(
        RuntimeError,
        lambda: channel.connect(HOST, env.sim.command_port, PASSWORD),
        equals=LOGIN_FAILED + TOO_LONG,
    )
    env.fault(3)
    env.within(elapsed, 3.5, 20, "connect")
    env.flags(channel, False, False)
    env.expect_output(out="", err=RETRIES)


@case("login", "NUL and high bytes after a good reply", budget=15)
def login_binary_accepted(env: Env) -> None:
    env.sim.script(login_request(), raw=b"#Login,0\x00\xff\xfe\x80\r\n")
    channel = env.logged_in()
    env.fault()
    env.flags(channel, True, True)
    check(channel.get_tool() == 0, "the session does not work after the login")


@case("login", "high bytes in a failure reply", budget=15)
def login_high_bytes_refused(env: Env) -> None:
    env.sim.script(login_request(), raw=b"!Login,13,\xff\xfe bad\r\n")
    channel = env.channel()
    env.failure(
        RuntimeError,
        lambda: channel.connect(HOST, env.sim.command_port, PASSWORD),
        prefix="Remote command failed: !Login,13,",
    )
    env.fault()
    env.flags(channel, False, False)
    env.expect_output(out="", err="")


@case("login", "NUL in a failure reply", budget=15)
def login_nul_refused(env: Env) -> None:
    env.sim.script(login_request(), raw=b"!Login,13,\x00 bad\r\n")
    channel = env.channel()
    message, _ = env.failure(
        RuntimeError,
        lambda: channel.connect(HOST, env.sim.command_port, PASSWORD),
        prefix="Remote command failed: !Login,13,",
    )
    env.fault()
    if not message.endswith("(command: $Login,<redacted>)"):
        env.notes.append("the message ends at the NUL byte")
    env.flags(channel, False, False)


@case("login", "wrong password", budget=15)
def login_wrong_password(env: Env) -> None:
    channel = env.channel()
    wrong = PASSWORD[::-1]
    message, _ = env.failure(
        RuntimeError,
        lambda: channel.connect(HOST, env.sim.command_port, wrong),
        equals="Remote command failed: !Login,13 (command: $Login,<redacted>)",
    )
    env.fault()
    check(wrong not in message, "the wrong password shows in the message")
    env.flags(channel, False, False)
    env.expect_output(out="", err="")


# == command ======================================================================================


@case("command", "peer closes mid-line", budget=15)
def command_closed_mid_line(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Print Tool", raw=b'#Execute," 1', close=True)
    env.failure(RuntimeError, channel.get_tool, pattern=broken_pattern(WAIT_FAILED))
    env.fault()
    env.flags(channel, False, False)
    env.failure(RuntimeError, channel.get_tool, equals=NOT_CONNECTED)
    channel.disconnect()  # after a drop: sends and prints nothing
    env.expect_output(out=hello(env.sim.command_port), err="")
    env.recovers(channel)


@case("command", "connection reset mid-line", budget=15)
def command_reset_mid_line(env: Env) -> None:
    port = env.command_peer(
        rules=[{"match": "Print Tool", "action": "reset", "data": b'#Execute," 1'}]
    )
    channel = env.logged_in(port)
    env.failure(RuntimeError, channel.get_tool, equals=WAIT_FAILED + "Connection reset by peer")
    env.fault()
    env.flags(channel, False, False)
    channel.disconnect()
    env.expect_output(out=hello(port), err="")


@case("command", "silence", budget=5 + 15)
def command_silence(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Print Tool", silent=True)
    _, elapsed = env.failure(
        RuntimeError, channel.get_tool, equals=TIMED_OUT.format('$Execute,"Print Tool"')
    )
    env.fault()
    env.within(elapsed, 4.5, 15, "get_tool")
    env.flags(channel, False, False)
    channel.disconnect()
    env.expect_output(out=hello(env.sim.command_port), err="")


@case("command", "slow drip, in time", budget=15)
def command_drip_in_time(env: Env) -> None:
    port = env.command_peer(
        rules=[
            {
                "match": "Print Tool",
                "action": "drip",
                "data": b'#Execute," 7"\r\n',
                "interval": 0.02,
            }
        ]
    )
    channel = env.logged_in(port)
    check(channel.get_tool() == 7, "the dripped reply was not read whole")
    env.fault()
    env.flags(channel, True, True)


@case("command", "slow drip past the reply time-out", budget=5 + 15)
def command_drip_too_slow(env: Env) -> None:
    port = env.command_peer(
        rules=[
            {"match": "Print Tool", "action": "drip", "data": b'#Execute," 7"\r\n', "interval": 1.0}
        ]
    )
    channel = env.logged_in(port)
    _, elapsed = env.failure(
        RuntimeError, channel.get_tool, equals=TIMED_OUT.format('$Execute,"Print Tool"')
    )
    env.fault()
    # The drip would take 15 s; the time-out bounds the whole line.
    env.within(elapsed, 4.5, 12, "get_tool")
    env.flags(channel, False, False)


@case("command", "over-long reply line", budget=15)
def command_over_long(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Print Tool", raw=b"#Execute," + OVERSIZE)
    env.failure(RuntimeError, channel.get_tool, equals=TOO_LONG)
    env.fault()
    env.flags(channel, False, False)
    env.recovers(channel)


@case("command", "over-long quoted continuation", budget=15)
def command_over_long_continuation(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Print Tool", raw=b'#Execute," 1\r\n' + b"xx\r\n" * 600_000)
    env.failure(RuntimeError, channel.get_tool, equals=TOO_LONG)
    env.fault()
    env.flags(channel, False, False)


@case("command", "high bytes in the payload", budget=15)
def command_high_bytes_payload(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Print Tool", raw=b'#Execute," 1\xff\xfe"\r\n')
    env.failure(
        RuntimeError,
        channel.get_tool,
        prefix='Failed to parse controller status value as an integer: " 1',
    )
    env.fault()
    env.flags(channel, True, True)
    check(channel.get_tool() == 0, "the session does not work after the bad reply")


@case("command", "NUL in the payload", budget=15)
def command_nul_payload(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Print Tool", raw=b'#Execute," 1\x00 2"\r\n')
    message, _ = env.failure(
        RuntimeError,
        channel.get_tool,
        prefix='Failed to parse controller status value as an integer: " 1',
    )
    env.fault()
    if not message.endswith('"'):
        env.notes.append("the message ends at the NUL byte")
    env.flags(channel, True, True)
    check(channel.get_tool() == 0, "the session does not work after the bad reply")


@case("command", "high bytes in a foreign line", budget=15)
def command_high_bytes_foreign(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Print Tool", raw=b'\xff\xfe#Execute," 1"\r\n')
    env.failure(
        RuntimeError,
        channel.get_tool,
        prefix="Unexpected Epson response while waiting for #Execute: ",
    )
    env.fault()
    # A line that is not the reply drops the connection: the real reply may still come.
    env.flags(channel, False, False)
    env.failure(RuntimeError, channel.get_tool, equals=NOT_CONNECTED)
    env.recovers(channel)


@case("command", "high bytes across a quoted continuation (state)", budget=15)
def command_high_bytes_state(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script(STATE_STATEMENT, raw=b'#Execute,"1,2,\r\n3\xff,4"\r\n')
    env.failure(
        RuntimeError,
        channel.get_state,
        prefix="Failed to parse robot state. Expected 12 values, received 3: ",
    )
    env.fault()
    env.flags(channel, True, True)


@case("command", "high bytes in a motor-on failure", budget=15)
def command_high_bytes_motor_on(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Motor On", raw=b"!Execute,\xfe\xff\r\n")
    env.failure(RuntimeError, channel.motor_on, prefix="Remote command failed: !Execute,")
    env.fault()
    error = channel.motor_on_error()
    check(
        isinstance(error, str) and error.startswith("Remote command failed: !Execute,"),
        f"motor_on_error() {error!r}",
    )
    env.flags(channel, True, True)


# == motion =======================================================================================


@case("motion", "peer closes mid-line while a pause waits", budget=15)
def motion_closed_mid_line(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("$Pause", silent=True)
    env.sim.script("Go P1", raw=b"#Exec", close=True, delay=2.0)
    go = Background(lambda: go_p1(channel))
    env.sim.wait_for_request('$Execute,"Go P1"')
    pause = Background(channel.pause)
    env.sim.wait_for_request("$Pause")
    check(go.running, "the motion ended before the pause was sent")
    go.join(10)
    pause.join(10)
    env.fault()
    env.judge(go.error, RuntimeError, pattern=broken_pattern(WAIT_FAILED))
    env.within(go.elapsed, 1.5, 10, "go")
    env.judge(pause.error, RuntimeError, equals="Timed out waiting for Epson response to $Pause")
    env.within(pause.elapsed, 4.5, 10, "pause")
    env.flags(channel, False, False)
    # The motion flag is down again: a state read reaches the session and finds it closed.
    env.failure(RuntimeError, channel.get_state, equals=NOT_CONNECTED)
    env.recovers(channel)


@case("motion", "connection reset mid-line", budget=15)
def motion_reset_mid_line(env: Env) -> None:
    port = env.command_peer(rules=[{"match": "Go P1", "action": "reset", "data": b"#Exe"}])
    channel = env.logged_in(port)
    env.failure(
        RuntimeError, lambda: go_p1(channel), equals=WAIT_FAILED + "Connection reset by peer"
    )
    env.fault()
    env.flags(channel, False, False)
    env.failure(RuntimeError, channel.get_state, equals=NOT_CONNECTED)


@case("motion", "silence beyond the command time-out, then close", budget=6 + 15)
def motion_silence(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Go P1", silent=True)
    env.sim.script("$Pause", reply="#Pause,0")
    go = Background(lambda: go_p1(channel))
    env.sim.wait_for_request('$Execute,"Go P1"')
    channel.pause()  # answered while the motion waits: routed by the motion's thread
    env.failure(
        RuntimeError,
        channel.get_state,
        equals="getState() skipped: a motion command is in progress and holds the connection "
        "until the move completes",
    )
    # A motion waits for its reply with the motion time-out, not the 5 s command time-out.
    time.sleep(max(0.0, go.started + 6.0 - time.monotonic()))
    check(go.running, f"the motion ended after {go.elapsed:.1f} s of silence: {go.error}")
    env.flags(channel, True, True)
    env.sim.drop_client()
    go.join(10)
    env.fault()
    env.judge(go.error, RuntimeError, pattern=broken_pattern(WAIT_FAILED))
    env.flags(channel, False, False)


@case("motion", "slow drip of the motion reply", budget=15)
def motion_drip(env: Env) -> None:
    port = env.command_peer(
        rules=[{"match": "Go P1", "action": "drip", "data": b"#Execute,0\r\n", "interval": 0.3}]
    )
    channel = env.logged_in(port)
    started = time.monotonic()
    go_p1(channel)
    env.fault()
    env.within(time.monotonic() - started, 3.0, 12, "go")
    env.flags(channel, True, True)
    check(channel.get_tool() == 0, "the session does not work after the motion")


@case("motion", "over-long reply line", budget=15)
def motion_over_long(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Go P1", raw=b"#Execute," + OVERSIZE)
    env.failure(RuntimeError, lambda: go_p1(channel), equals=TOO_LONG)
    env.fault()
    env.flags(channel, False, False)
    env.failure(RuntimeError, channel.get_state, equals=NOT_CONNECTED)


@case("motion", "high bytes in the motion's failure reply", budget=15)
def motion_high_bytes(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Go P1", raw=b"!Execute,\xff\xfe,4001\r\n")
    env.failure(RuntimeError, lambda: go_p1(channel), prefix="Remote command failed: !Execute,")
    env.fault()
    env.flags(channel, True, True)
    check(channel.get_tool() == 0, "the session does not work after the failed motion")


@case("motion", "NUL and high bytes after a good reply", budget=15)
def motion_binary_accepted(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Go P1", raw=b"#Execute,0\x00\xff\r\n")
    go_p1(channel)
    env.fault()
    env.flags(channel, True, True)
    check(channel.get_tool() == 0, "the session does not work after the motion")


# == disconnect ===================================================================================


def _motors_on(env: Env, port: int | None = None) -> CommandChannel:
    channel = env.logged_in(port)
    channel.motor_on()
    return channel


@case("disconnect", "peer closes mid-line at motor off", budget=15)
def disconnect_closed_at_motor_off(env: Env) -> None:
    channel = _motors_on(env)
    env.sim.script("Motor Off", raw=b"#Exec", close=True)
    channel.disconnect()
    env.fault()
    env.flags(channel, False, False)
    out, err = env.output()
    port = env.sim.command_port
    check(out == hello(port) + bye(port), f"stdout {out!r}")
    lines = err.splitlines()
    check(len(lines) == 3, f"stderr {err!r}")
    check(
        re.fullmatch(broken_pattern("Failed to turn off motor: " + WAIT_FAILED), lines[0])
        is not None,
        f"stderr {err!r}",
    )
    check(
        lines[1:]
        == [
            "logout() called but not connected",
            "Failed to log out of controller: logout() called but not connected",
        ],
        f"stderr {err!r}",
    )


@case("disconnect", "peer closes mid-line while the Tool is restored", budget=15)
def disconnect_closed_at_restore(env: Env) -> None:
    channel = _motors_on(env)
    channel.set_tcp_offset([0.0, 0.0, 0.1, 0.0, 0.0, 0.0])
    env.sim.script("TLClr 15", raw=b"#Exe", close=True)
    channel.disconnect()
    env.fault()
    env.flags(channel, False, False)
    out, err = env.output()
    port = env.sim.command_port
    check(out == hello(port) + bye(port), f"stdout {out!r}")
    lines = err.splitlines()
    check(len(lines) == 3, f"stderr {err!r}")
    prefix = "Failed to restore Epson TCP state: " + WAIT_FAILED
    check(re.fullmatch(broken_pattern(prefix), lines[0]) is not None, f"stderr {err!r}")
    check(
        lines[1:]
        == [
            "logout() called but not connected",
            "Failed to log out of controller: logout() called but not connected",
        ],
        f"stderr {err!r}",
    )


@case("disconnect", "connection reset at logout", budget=15)
def disconnect_reset_at_logout(env: Env) -> None:
    port = env.command_peer(rules=[{"match": "$Logout", "action": "reset", "data": b"#Log"}])
    channel = _motors_on(env, port)
    channel.disconnect()
    env.fault()
    env.flags(channel, False, False)
    env.expect_output(
        out=hello(port) + bye(port),
        err=f"Failed to log out of controller: {WAIT_FAILED}Connection reset by peer\n",
    )


@case("disconnect", "silence at logout", budget=5 + 15)
def disconnect_silence(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("$Logout", silent=True)
    started = time.monotonic()
    channel.disconnect()
    env.fault()
    env.within(time.monotonic() - started, 4.5, 15, "disconnect")
    env.flags(channel, False, False)
    port = env.sim.command_port
    env.expect_output(
        out=hello(port) + bye(port),
        err="Failed to log out of controller: " + TIMED_OUT.format("$Logout") + "\n",
    )


@case("disconnect", "slow drip at logout", budget=15)
def disconnect_drip(env: Env) -> None:
    port = env.command_peer(
        rules=[{"match": "$Logout", "action": "drip", "data": b"#Logout,0\r\n", "interval": 0.05}]
    )
    channel = _motors_on(env, port)
    channel.disconnect()
    env.fault()
    env.flags(channel, False, False)
    env.expect_output(out=hello(port) + bye(port), err="")


@case("disconnect", "over-long reply at motor off", budget=15)
def disconnect_over_long(env: Env) -> None:
    channel = _motors_on(env)
    env.sim.script("Motor Off", raw=b"#Execute," + OVERSIZE)
    channel.disconnect()
    env.fault()
    env.flags(channel, False, False)
    port = env.sim.command_port
    env.expect_output(
        out=hello(port) + bye(port),
        err=f"Failed to turn off motor: {TOO_LONG}\n"
        "logout() called but not connected\n"
        "Failed to log out of controller: logout() called but not connected\n",
    )


@case("disconnect", "NUL and high bytes in the logout failure", budget=15)
def disconnect_binary_failure(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("$Logout", raw=b"!Logout,\xff\x00\xfe\r\n")
    channel.disconnect()
    env.fault()
    env.flags(channel, False, False)
    out, err = env.capture.read()
    port = env.sim.command_port
    check(out.decode() == hello(port) + bye(port), f"stdout {out!r}")
    whole = b"Failed to log out of controller: Remote command failed: !Logout,\xff\x00\xfe "
    check(
        err.endswith(b"\n") and (whole + b"(command: $Logout)\n").startswith(err[:-1]),
        f"stderr {err!r}",
    )
    if err != whole + b"(command: $Logout)\n":
        env.notes.append("the log line ends at the NUL byte")


# == telemetry ====================================================================================


def _reconnects(env: Env, receiver: EthernetReceiveInterface, server_id: int, j1: float) -> None:
    """The reader notices the break, pauses about a second, and comes back by itself."""
    check(wait_until(lambda: not receiver.is_connected(), 3.0), "the break went unnoticed")
    back = wait_until(
        lambda: receiver.is_connected() and receiver.get_sample()["joint_positions"][0] == j1,
        1.0 + 4.0,
    )
    check(back, "no fresh sample within the reconnection pause and a margin")
    sample_now = receiver.get_sample()
    check(sample_now["tcp_pose"] == [400.0, 0.0, 300.0, 0.0, 90.0, 0.0], f"sample {sample_now}")
    check(env.peers.records(server_id)["connections"] == 2, "not exactly one reconnection")


def _break_after_first_sample(env: Env, how: tuple) -> None:
    server_id, port = env.telemetry_peer(
        scripts=[
            [("send", sample(10.0)), ("sleep", 0.3), ("send", b"X=1;Y=2;Z="), how],
            [("stream", 50.0, 20.0)],
        ]
    )
    receiver = env.receiver()
    receiver.connect(HOST, port)
    check(receiver.get_sample()["joint_positions"][0] == 10.0, "first sample wrong")
    env.fault()
    _reconnects(env, receiver, server_id, 20.0)
    receiver.disconnect()
    env.expect_output(out="", err="")


@case("telemetry", "peer closes mid-line", budget=15)
def telemetry_closed_mid_line(env: Env) -> None:
    _break_after_first_sample(env, ("close",))


@case("telemetry", "connection reset mid-line", budget=15)
def telemetry_reset_mid_line(env: Env) -> None:
    _break_after_first_sample(env, ("reset",))


@case("telemetry", "silence before the first sample", budget=2 + 15)
def telemetry_silence_at_connect(env: Env) -> None:
    _, port = env.telemetry_peer(scripts=[[("hold",)]])
    receiver = env.receiver()
    _, elapsed = env.failure(RuntimeError, lambda: receiver.connect(HOST, port), equals=NO_SAMPLE)
    env.fault()
    env.within(elapsed, 1.8, 6, "connect")
    check(not receiver.is_connected(), "connected after the failed connect")


@case("telemetry", "silence after the first sample", budget=15)
def telemetry_silence_after(env: Env) -> None:
    _, port = env.telemetry_peer(scripts=[[("send", sample(10.0)), ("hold",)]])
    receiver = env.receiver()
    receiver.connect(HOST, port)
    stamp = receiver.get_sample()["timestamp"]
    time.sleep(1.5)  # the fault itself: a stream that stops without closing
    env.fault()
    check(receiver.is_connected(), "a silent stream must not count as a break")
    check(receiver.get_sample()["timestamp"] == stamp, "the sample changed without data")
    started = time.monotonic()
    receiver.disconnect()
    env.within(time.monotonic() - started, 0.0, 3.0, "disconnect of a blocked reader")


@case("telemetry", "slow drip of the first sample, in time", budget=15)
def telemetry_drip_in_time(env: Env) -> None:
    _, port = env.telemetry_peer(scripts=[[("drip", sample(10.0), 0.004), ("hold",)]])
    receiver = env.receiver()
    receiver.connect(HOST, port)
    env.fault()
    got = receiver.get_sample()
    check(got["joint_positions"] == [10.0, -35.0, 20.0, 0.0, 75.5, -90.0], f"sample {got}")
    check(got["tcp_pose"] == POSE, f"sample {got}")


@case("telemetry", "slow drip past the first-sample wait", budget=2 + 15)
def telemetry_drip_too_slow(env: Env) -> None:
    _, port = env.telemetry_peer(scripts=[[("drip", sample(10.0), 0.05), ("hold",)]])
    receiver = env.receiver()
    _, elapsed = env.failure(RuntimeError, lambda: receiver.connect(HOST, port), equals=NO_SAMPLE)
    env.fault()
    env.within(elapsed, 1.8, 6, "connect")


@case("telemetry", "over-long line without CR", budget=15)
def telemetry_over_long(env: Env) -> None:
    server_id, port = env.telemetry_peer(
        scripts=[
            [("send", sample(10.0)), ("sleep", 0.2), ("send", b"X" * 200_000), ("hold",)],
            [("stream", 50.0, 20.0)],
        ]
    )
    receiver = env.receiver()
    receiver.connect(HOST, port)
    env.fault()
    _reconnects(env, receiver, server_id, 20.0)


@case("telemetry", "NUL and high bytes", budget=15)
def telemetry_binary(env: Env) -> None:
    server_id, port = env.telemetry_peer(
        scripts=[
            [
                ("send", sample(10.0)),
                ("send", b"\xff\xfe\x00=1;" + sample(30.0)),  # odd key: kept, unused
                ("send", b"X=\xff\x00;Y=1\r"),  # bad value: the line is dropped
                ("send", b"X=412.5\x00\xff;" + sample(31.0).split(b";", 1)[1]),  # NUL ends it
                ("send", sample(32.0)),
                ("hold",),
            ]
        ]
    )
    receiver = env.receiver()
    receiver.connect(HOST, port)
    env.fault(3)
    check(
        wait_until(lambda: receiver.get_sample()["joint_positions"][0] == 32.0, 3.0),
        f"last sample not read: {receiver.get_sample()}",
    )
    got = receiver.get_sample()
    check(got["tcp_pose"] == POSE, f"sample {got}")
    check(receiver.is_connected(), "the stream was dropped")
    check(env.peers.records(server_id)["connections"] == 1, "the stream was reopened")


@case("telemetry", "server restarts every 100 ms for 10 s", budget=10 + 2 + 20)
def telemetry_restarts(env: Env) -> None:
    marker = 77.0
    server_id, port = env.telemetry_peer(
        mode="restart", churn_seconds=10.0, period=0.1, stable_marker=marker
    )
    receiver = env.receiver()
    baseline = len(open_fds())
    for _ in range(20):  # the port may be between two of its lives
        try:
            receiver.connect(HOST, port)
            break
        except RuntimeError as error:
            env.messages.append(str(error))
            time.sleep(0.02)
    else:
        raise CheckFailed("could not connect while the server restarts")
    most, flips, last = 0, 0, receiver.is_connected()
    while not env.peers.records(server_id)["finished"]:
        most = max(most, len(open_fds()) - baseline)
        now = receiver.is_connected()
        flips += now != last
        last = now
        time.sleep(0.02)
    check(most <= 1, f"{most} descriptors open at once for one telemetry connection")
    back = wait_until(
        lambda: receiver.is_connected() and receiver.get_sample()["joint_positions"][0] == marker,
        1.0 + 5.0,
    )
    check(back, "no sample from the stable server within the reconnection pause and a margin")
    records = env.peers.records(server_id)
    env.fault(records["restarts"])
    env.notes.append(
        f"{records['restarts']} restarts, {records['connections']} connections accepted, "
        f"{flips} connection state changes seen"
    )
    receiver.disconnect()


@case("telemetry", "robot cell: telemetry silent at open", budget=2 + 20)
def telemetry_cell_silent(env: Env) -> None:
    env.sim.script("$Login,739", reply="#Login,0")
    _, port = env.telemetry_peer(scripts=[[("hold",)]])
    _, elapsed = env.failure(
        RuntimeError, lambda: RobotCell(HOST, env.sim.command_port, port), equals=NO_SAMPLE
    )
    env.fault()
    env.within(elapsed, 1.8, 8, "RobotCell()")
    check(env.sim.requests() == ["$Login,739", "$Logout"], f"requests {env.sim.requests()}")
    command_port = env.sim.command_port
    env.expect_output(out=hello(command_port) + bye(command_port), err="")


# == the runner ===================================================================================


def run(
    sim, peers: PeerProcess, capture: Capture, watchdog: Watchdog, select: str | None = None
) -> PhaseResult:
    result = PhaseResult("matrix", ok=True)
    started = time.monotonic()
    cases = [c for c in CASES if select is None or re.search(select, f"{c.step}: {c.fault}")]
    cases.sort(key=lambda c: STEPS.index(c.step))  # stable: registration order within a step
    survived = 0
    for item in cases:
        label = f"{item.step}: {item.fault}"
        capture.say(f"  {label} ...")
        sim.reset()
        env = Env(sim, peers, capture)
        before = Resources.now()
        failure = ""
        capture.start()
        watchdog.arm(f"matrix case '{label}'", item.budget)
        case_started = time.monotonic()
        try:
            item.body(env)
        except CheckFailed as error:
            failure = str(error)
        except Exception as error:
            failure = f"{type(error).__name__}: {error}\n" + traceback.format_exc()
            env.messages.append(str(error))
        finally:
            try:
                env.cleanup()
            finally:
                elapsed = time.monotonic() - case_started
                watchdog.disarm()
                out, err = capture.stop()
        leftovers = before.leftovers()
        if leftovers and not failure:
            failure = f"left behind: {leftovers}"
        seen = [out, err, *(m.encode("utf-8", "surrogateescape") for m in env.messages)]
        if any(PASSWORD.encode() in text for text in seen) and not failure:
            failure = "the password shows in a message or a log line"
        status = "ok" if not failure else "FAILED"
        if env.notes:
            status += " (" + "; ".join(env.notes) + ")"
        capture.say(f"    {status} in {elapsed:.1f} s")
        if failure:
            result.ok = False
            result.failures.append(f"{label}: {failure}")
            capture.say("    " + failure.replace("\n", "\n    "))
            captured = (out + err).decode("utf-8", "backslashreplace").strip()
            if captured:
                capture.say("    captured output:\n      " + captured.replace("\n", "\n      "))
        else:
            survived += env.faults
        result.rows.append((item.step, item.fault, status, elapsed))
    passed = sum(1 for row in result.rows if row[2].startswith("ok"))
    result.figures = {
        "cases tried": len(cases),
        "cases passed": passed,
        "faults injected and survived": survived,
    }
    result.seconds = time.monotonic() - started
    return result
