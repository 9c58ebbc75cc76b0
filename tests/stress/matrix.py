"""The fault-injection matrix: every step of a session and of telemetry against every fault.

The cases live in one module a step, in the order of a session's life: ``matrix_connect``,
``matrix_login``, ``matrix_command``, ``matrix_motion``, ``matrix_disconnect`` and
``matrix_telemetry``. This module holds what they share: the case registry, the ``Env`` a case
works with and its checks, the texts the cases expect, and the runner, which loads the step
modules and reports their cases step by step.

Each case runs with fds 1 and 2 captured and the watchdog armed with the case's budget (the
documented time-outs it may meet, plus a margin). Around each case the runner counts open
descriptors and threads; whatever a case leaves behind, and any message or log line that shows
the password, fails it.

Faults come from the simulator's scripting where it can produce them (partial lines and close,
silence, delays, NUL and high bytes, over-long lines) and from the peers of ``peers.py`` where
it cannot (reset, slow drip, faults at accept time, every telemetry fault).
"""

from __future__ import annotations

import contextlib
import gc
import importlib
import os
import re
import signal
import threading
import time
import traceback
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from common import PASSWORD, Capture, CheckFailed, PhaseResult, Resources, Watchdog, check
from peers import PeerProcess
from telemetry_peers import sample_line

from epson_remote import CommandChannel, EthernetReceiveInterface

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
PRINT_TOOL = '$Execute,"Print Tool"'
UNEXPECTED = "Unexpected Epson response while waiting for #Execute: "
EMPTY = "Empty response from Epson controller"

# Lines that are not the reply to a Print Tool request: (fault, bytes, message outside a motion,
# stderr line during a motion).
STRAY_LINES = (
    ("an unexpected reply line", b"#Foo,0\r\n", UNEXPECTED + "#Foo,0", UNEXPECTED + "#Foo,0"),
    ("an empty line", b"\r\n", EMPTY, EMPTY),
    (
        "a failure reply naming another request",
        b"!Foo,11\r\n",
        f"Remote command failed: !Foo,11 (command: {PRINT_TOOL})",
        UNEXPECTED + "!Foo,11",
    ),
)


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

    def dripping_peer(self, match: str, data: bytes, interval: float, **rule: Any) -> int:
        """A command peer that answers ``match`` with ``data``, one byte every ``interval``
        seconds (``rule`` adds to the peer's rule, such as the connection it applies to)."""
        rule |= {"match": match, "action": "drip", "data": data, "interval": interval}
        return self.command_peer(rules=[rule])

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

    def dropped(self, channel: CommandChannel, call: Callable[[], Any], port: int | None = None):
        """The connection is gone: both flags are down, ``call`` reports the missing connection,
        disconnect sends and prints nothing (only the connect's line shows), and the same object
        connects again."""
        self.flags(channel, False, False)
        self.failure(RuntimeError, call, equals=NOT_CONNECTED)
        channel.disconnect()
        self.expect_output(out=hello(self.sim.command_port if port is None else port), err="")
        self.recovers(channel)

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


def still_works(env: Env, channel: CommandChannel, value: int = 5) -> None:
    """The session answers a request with the reply meant for it."""
    env.sim.script("Print Tool", reply=f'#Execute," {value}"')
    got = channel.get_tool()
    check(got == value, f"get_tool() {got}, expected {value}: a reply went to the wrong request")


def in_forked_child(action: Callable[[], None]) -> None:
    """Runs ``action`` in a child forked from this process, which then ends at once (no exit
    handlers); fails on the child's exception or when it does not end within 10 s."""
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads running
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(read_end)
            action()
            os.write(write_end, b"ok")
            code = 0
        except BaseException as error:
            with contextlib.suppress(BaseException):
                os.write(write_end, f"{type(error).__name__}: {error}".encode()[:4000])
        finally:
            os._exit(code)
    os.close(write_end)
    try:
        deadline = time.monotonic() + 10.0
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() >= deadline:
                os.kill(pid, signal.SIGKILL)  # our own child, by its PID
                os.waitpid(pid, 0)
                raise CheckFailed("the forked child did not end within 10 s")
            time.sleep(0.01)
        report = os.read(read_end, 8192)
    finally:
        os.close(read_end)
    check(
        os.waitstatus_to_exitcode(status) == 0 and report == b"ok",
        f"forked child: exit {os.waitstatus_to_exitcode(status)}, {report!r}",
    )


def let_go_in_forked_child(env: Env, held: list[Any], drop: bool) -> None:
    """In a forked child, ``held[0]`` (an object of ``env``, the only other reference in
    ``held``) is disconnected, or with ``drop`` every reference to it goes."""

    def in_child() -> None:
        if drop:
            env.objects.clear()
            held.clear()
            gc.collect()
        else:
            held[0].disconnect()

    in_forked_child(in_child)


# == the runner ===================================================================================


def load_cases() -> list[Case]:
    """The cases of every step module (each registers its own on import), step by step."""
    for step in STEPS:
        importlib.import_module(f"matrix_{step}")
    # Stable: within a step, the cases keep the order their module registers them in.
    return sorted(CASES, key=lambda c: STEPS.index(c.step))


def run(
    sim, peers: PeerProcess, capture: Capture, watchdog: Watchdog, select: str | None = None
) -> PhaseResult:
    result = PhaseResult("matrix", ok=True)
    started = time.monotonic()
    cases = [c for c in load_cases() if select is None or re.search(select, f"{c.step}: {c.fault}")]
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
