"""Matrix cases for the hardened session and telemetry: lines that answer no request, resets and
closes between requests, a connect on a live session, one deadline per logical reply, pauses
whose reply comes late or never, bounded telemetry connect attempts and prompt stops, and forked
children that inherit a connection.

Registered with ``matrix.case`` like the cases of ``matrix.py``; the runner orders all cases by
step, so these run and report within their step.
"""

from __future__ import annotations

import contextlib
import gc
import os
import signal
import time
import warnings
from collections.abc import Callable

from common import PASSWORD, CheckFailed, check, wait_until
from matrix import (
    BROKEN,
    HOST,
    NOT_CONNECTED,
    TIMED_OUT,
    WAIT_FAILED,
    Background,
    Env,
    broken_pattern,
    bye,
    case,
    go_p1,
    hello,
    sample,
)
from peers import STATUS_STATEMENT

from epson_remote import CommandChannel, EthernetReceiveInterface

PRINT_TOOL = '$Execute,"Print Tool"'
UNEXPECTED = "Unexpected Epson response while waiting for #Execute: "
EMPTY = "Empty response from Epson controller"
IGNORED = " (ignored; the motion goes on)"
DISCARDED = "Discarded an Epson response that answers no request: "
PAUSE_TIMED_OUT = "Timed out waiting for Epson response to $Pause"
RESET = "write: Connection reset by peer"

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


def _still_works(env: Env, channel: CommandChannel, value: int = 5) -> None:
    """The session answers a request with the reply meant for it."""
    env.sim.script("Print Tool", reply=f'#Execute," {value}"')
    got = channel.get_tool()
    check(got == value, f"get_tool() {got}, expected {value}: a reply went to the wrong request")


# == connect ======================================================================================


@case("connect", "connect on a live session (motors on, Tool set)", budget=20)
def connect_on_live_session(env: Env) -> None:
    channel = env.logged_in()
    channel.motor_on()
    channel.set_tcp_offset([0.0, 0.0, 0.1, 0.0, 0.0, 0.0])
    port = env.command_peer()
    env.sim.clear_requests()
    channel.connect(HOST, port, PASSWORD)  # another controller: the first one is closed first
    env.fault()
    check(
        env.sim.requests()
        == [
            '$Execute,"Print TLDef(15)"',
            '$Execute,"TLClr 15"',
            '$Execute,"Tool 0"',
            '$Execute,"Motor Off"',
            "$Logout",
        ],
        f"requests to the first controller {env.sim.requests()}",
    )
    check(not env.sim.robot_state()["motors_on"], "the motors stay on at the first controller")
    check(not env.sim.has_client(), "the first connection is still open")
    env.flags(channel, True, True)
    check(channel.get_tool() == 0, "no working session on the second controller")
    first = env.sim.command_port
    env.expect_output(out=hello(first) + bye(first) + hello(port), err="")


# == command ======================================================================================


def _stray_outside_motion(env: Env, data: bytes, message: str) -> None:
    channel = env.logged_in()
    # The real reply follows: kept, the connection would hand it to the next request.
    env.sim.script("Print Tool", raw=data + b'#Execute," 3"\r\n')
    env.failure(RuntimeError, channel.get_tool, equals=message)
    env.fault()
    env.flags(channel, False, False)
    env.failure(RuntimeError, channel.get_power_mode, equals=NOT_CONNECTED)
    channel.disconnect()  # after a drop: sends and prints nothing
    env.expect_output(out=hello(env.sim.command_port), err="")
    env.recovers(channel)


def _register_stray_outside_motion(fault: str, data: bytes, message: str) -> None:
    @case("command", f"{fault} instead of the reply", budget=15)
    def body(env: Env) -> None:
        _stray_outside_motion(env, data, message)


for _fault, _data, _message, _ in STRAY_LINES:
    _register_stray_outside_motion(_fault, _data, _message)


@case("command", "a second reply line in the same segment", budget=15)
def command_second_line_in_segment(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Print Tool", raw=b'#Execute," 1"\r\n#Execute," 9"\r\n')
    check(channel.get_tool() == 1, "the first line is not the reply")
    env.fault()
    _still_works(env, channel)
    env.flags(channel, True, True)
    env.expect_output(out=hello(env.sim.command_port), err=DISCARDED + '#Execute," 9"\n')


@case("command", "a late duplicate reply between requests", budget=15)
def command_late_duplicate(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Print Tool", reply='#Execute," 2"')
    check(channel.get_tool() == 2, "the reply was not read")
    check(env.sim.push(b'#Execute," 2"\r\n'), "no client to send the duplicate to")
    time.sleep(0.2)  # it has arrived before the next request is sent
    env.fault()
    env.flags(channel, True, True)
    _still_works(env, channel)
    # A duplicate split across two segments is one line.
    check(env.sim.push(b"#Execute,"), "no client")
    time.sleep(0.1)
    check(env.sim.push(b'" 2"\r\n'), "no client")
    time.sleep(0.2)
    env.fault()
    _still_works(env, channel, 6)
    # A late quoted reply continued over two lines (logged line by line).
    check(env.sim.push(b'#Execute,"1,\r\n2"\r\n'), "no client")
    time.sleep(0.2)
    env.fault()
    _still_works(env, channel, 7)
    env.flags(channel, True, True)
    out, err = env.output()
    check(out == hello(env.sim.command_port), f"stdout {out!r}")
    lines = err.splitlines()
    check(lines[:2] == [DISCARDED + '#Execute," 2"'] * 2, f"stderr {err!r}")
    check(
        all(line.startswith(DISCARDED) for line in lines[2:])
        and "".join(line.removeprefix(DISCARDED) for line in lines[2:]).replace("\\r\\n", "")
        == '#Execute,"1,2"',
        f"stderr {err!r}",
    )


def _ended_between_requests(env: Env, how: str) -> tuple[CommandChannel, int]:
    server_id, port = env.peers.command_peer()
    env.servers.append(server_id)
    channel = env.logged_in(port)
    check(channel.get_tool() == 0, "no working session")
    check(env.peers.end_connections(server_id, how) == 1, "the peer had no connection to end")
    env.fault()
    # Seen on the descriptor, without a request.
    check(
        wait_until(lambda: not channel.is_connected(), 2.0),
        f"is_connected() still True 2 s after a {how} from the peer",
    )
    env.flags(channel, False, False)
    return channel, port


@case("command", "connection reset between requests (SO_LINGER 0)", budget=15)
def command_reset_between_requests(env: Env) -> None:
    channel, port = _ended_between_requests(env, "reset")
    env.failure(RuntimeError, channel.get_tool, equals=RESET)
    env.flags(channel, False, False)
    env.failure(RuntimeError, channel.get_tool, equals=NOT_CONNECTED)
    channel.disconnect()
    env.expect_output(out=hello(port), err="")
    env.recovers(channel)


@case("command", "peer closes between requests", budget=15)
def command_closed_between_requests(env: Env) -> None:
    channel, port = _ended_between_requests(env, "close")
    message, _ = env.failure(RuntimeError, channel.get_tool)
    check(
        message.startswith("write: ") or message in (WAIT_FAILED + text for text in BROKEN),
        f"message {message!r}",
    )
    env.flags(channel, False, False)
    env.failure(RuntimeError, channel.get_tool, equals=NOT_CONNECTED)
    env.expect_output(out=hello(port), err="")


@case("command", "quoted reply continued line by line past the reply time-out", budget=5 + 15)
def command_continuation_past_deadline(env: Env) -> None:
    # Every line comes 1.8 s after the one before, well within 5 s; the whole reply would take
    # 7.2 s. The deadline is the request's, not each line's.
    port = env.command_peer(
        rules=[
            {
                "match": "Print Tool",
                "action": "chunks",
                "data": [b'#Execute," 1\r\n', b"2\r\n", b"3\r\n", b"4\r\n", b'5"\r\n'],
                "interval": 1.8,
            }
        ]
    )
    channel = env.logged_in(port)
    _, elapsed = env.failure(RuntimeError, channel.get_tool, equals=TIMED_OUT.format(PRINT_TOOL))
    env.fault()
    env.within(elapsed, 4.5, 6.5, "get_tool")
    env.flags(channel, False, False)
    env.expect_output(out=hello(port), err="")


@case("command", "quoted reply continued line by line, in time", budget=5 + 15)
def command_continuation_in_time(env: Env) -> None:
    # Three lines 1.8 s apart: 3.6 s for the whole reply, within its 5 s.
    port = env.command_peer(
        rules=[
            {
                "match": STATUS_STATEMENT,
                "action": "chunks",
                "data": [b'#Execute,"1,0,\r\n', b"0,0,\r\n", b'0,21,0,0"\r\n'],
                "interval": 1.8,
            }
        ]
    )
    channel = env.logged_in(port)
    started = time.monotonic()
    status = channel.get_controller_status()
    env.fault()
    env.within(time.monotonic() - started, 3.4, 5.0, "get_controller_status")
    check(status["stat"] == 1 and status["control_device"] == 21, f"status {status}")
    env.flags(channel, True, True)


# == motion =======================================================================================


def _register_stray_in_motion(fault: str, data: bytes, logged: str) -> None:
    @case("motion", f"{fault} during the motion's wait", budget=15)
    def body(env: Env) -> None:
        channel = env.logged_in()
        env.sim.script("Go P1", silent=True)
        go = Background(lambda: go_p1(channel))
        env.sim.wait_for_request("Go P1")
        check(env.sim.push(data), "no client")
        time.sleep(0.3)
        env.fault()
        check(go.running, f"the motion ended at a line that is not its reply: {go.error}")
        env.flags(channel, True, True)
        check(env.sim.push(b"#Execute,0\r\n"), "no client")
        go.join(5)
        check(go.error is None, f"the motion failed: {go.error}")
        env.flags(channel, True, True)
        _still_works(env, channel)
        env.expect_output(out=hello(env.sim.command_port), err=logged + IGNORED + "\n")


for _fault, _data, _, _logged in STRAY_LINES:
    _register_stray_in_motion(_fault, _data, _logged)


@case("motion", "pause reply arrives shortly after the motion's reply", budget=15)
def motion_pause_reply_after_motion(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("$Pause", reply="#Pause,0", delay=0.6)
    env.sim.script("Go P1", reply="#Execute,0", delay=0.5)
    go = Background(lambda: go_p1(channel))
    env.sim.wait_for_request("Go P1")
    started = time.monotonic()
    channel.pause()  # its reply comes about 0.1 s after the motion's, when the motion has ended
    env.fault()
    env.within(time.monotonic() - started, 0.3, 2.0, "pause")
    go.join(5)
    check(go.error is None, f"the motion failed: {go.error}")
    env.flags(channel, True, True)
    _still_works(env, channel)
    env.expect_output(out=hello(env.sim.command_port), err="")


@case("motion", "pause pending when its connection breaks, then a reconnect", budget=5 + 20)
def motion_pause_across_reconnect(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("$Pause", silent=True)
    env.sim.script("Go P1", silent=True)
    go = Background(lambda: go_p1(channel))
    env.sim.wait_for_request("Go P1")
    pause = Background(channel.pause)
    env.sim.wait_for_request("$Pause")
    env.sim.drop_client()
    go.join(5)
    env.judge(go.error, RuntimeError, pattern=broken_pattern(WAIT_FAILED))
    env.sim.reset()
    channel.connect(HOST, env.sim.command_port, PASSWORD)  # before the pause's wait expires
    check(pause.running, "the pause ended before its 5 s")
    pause.join(10)
    env.fault()
    env.judge(pause.error, RuntimeError, equals=PAUSE_TIMED_OUT)
    env.within(pause.elapsed, 4.5, 7.0, "pause")
    # Every pause on the new connection gets its own reply at once.
    for _ in range(2):
        env.sim.script("$Pause", reply="#Pause,0")
        env.sim.script("Go P1", silent=True)
        go = Background(lambda: go_p1(channel))
        env.sim.wait_for_request("Go P1")
        started = time.monotonic()
        channel.pause()
        env.within(time.monotonic() - started, 0.0, 2.0, "pause on the new connection")
        check(env.sim.push(b"#Execute,0\r\n"), "no client")
        go.join(5)
        check(go.error is None, f"the motion failed: {go.error}")
        env.sim.clear_requests()
    env.flags(channel, True, True)
    _still_works(env, channel)
    port = env.sim.command_port
    env.expect_output(out=hello(port) + hello(port), err="")


# == disconnect: forked children ==================================================================


def _in_forked_child(action: Callable[[], None]) -> None:
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


def _forked_child_leaves_session(env: Env, drop: bool) -> None:
    held = [env.logged_in()]
    held[0].motor_on()
    held[0].set_tcp_offset([0.0, 0.0, 0.1, 0.0, 0.0, 0.0])
    env.sim.clear_requests()

    def in_child() -> None:
        if drop:
            env.objects.clear()
            held.clear()
            gc.collect()
        else:
            held[0].disconnect()

    _in_forked_child(in_child)
    env.fault()
    time.sleep(0.2)  # anything the child sent has arrived
    check(env.sim.requests() == [], f"the child sent {env.sim.requests()}")
    check(env.sim.has_client(), "the parent's connection was closed")
    check(env.sim.robot_state()["motors_on"], "the motors went off")
    channel = held[0]
    env.flags(channel, True, True)
    _still_works(env, channel)
    env.expect_output(out=hello(env.sim.command_port), err="")


@case("disconnect", "a forked child disconnects the inherited session", budget=20)
def disconnect_forked_child(env: Env) -> None:
    _forked_child_leaves_session(env, drop=False)


@case("disconnect", "a forked child drops the inherited session", budget=20)
def drop_forked_child(env: Env) -> None:
    _forked_child_leaves_session(env, drop=True)


# == telemetry ====================================================================================


def _syn_dropped(port: int) -> str:
    return f"Failed to connect to Epson telemetry at 127.0.0.1:{port}: Connection timed out"


@case("telemetry", "peer drops SYNs at connect (backlog full)", budget=2 + 15)
def telemetry_syn_dropped_at_connect(env: Env) -> None:
    server_id, port = env.telemetry_peer(syn_drop_after=0)
    receiver = env.receiver()
    _, elapsed = env.failure(
        RuntimeError,
        lambda: receiver.connect(HOST, port),
        equals=_syn_dropped(port),
    )
    env.fault()
    env.within(elapsed, 1.8, 3.5, "connect")
    check(not receiver.is_connected(), "connected after the failed connect")
    check(env.peers.records(server_id)["connections"] == 0, "a connection was accepted")
    env.expect_output(out="", err="")


def _reconnecting_to_syn_drop(env: Env, receiver: EthernetReceiveInterface) -> int:
    """Connects ``receiver`` to a peer that breaks the stream after a sample and then drops
    every SYN; returns once the reader is inside a reconnect attempt."""
    server_id, port = env.telemetry_peer(
        scripts=[[("send", sample(10.0)), ("sleep", 0.3), ("reset",)]], syn_drop_after=1
    )
    receiver.connect(HOST, port)
    check(wait_until(lambda: not receiver.is_connected(), 3.0), "the break went unnoticed")
    # 1 s pause, then a connect attempt that the peer leaves unanswered for up to 2 s.
    time.sleep(1.5)
    env.fault()
    return server_id


@case("telemetry", "disconnect while reconnecting to a peer that drops SYNs", budget=2 + 15)
def telemetry_disconnect_syn_drop(env: Env) -> None:
    receiver = env.receiver()
    server_id = _reconnecting_to_syn_drop(env, receiver)
    started = time.monotonic()
    receiver.disconnect()
    env.within(time.monotonic() - started, 0.0, 1.0, "disconnect")
    check(not receiver.is_connected(), "connected after disconnect")
    check(env.peers.records(server_id)["connections"] == 1, "a reconnection was accepted")
    env.expect_output(out="", err="")


@case("telemetry", "destruction while reconnecting to a peer that drops SYNs", budget=2 + 15)
def telemetry_destroy_syn_drop(env: Env) -> None:
    held = [EthernetReceiveInterface()]
    _reconnecting_to_syn_drop(env, held[0])
    started = time.monotonic()
    held.clear()
    gc.collect()
    env.within(time.monotonic() - started, 0.0, 1.0, "destruction")
    env.expect_output(out="", err="")


@case("telemetry", "destruction during the reconnection pause and while reading", budget=15)
def telemetry_destroy_other_states(env: Env) -> None:
    # While reading a silent stream.
    _, port = env.telemetry_peer(scripts=[[("send", sample(10.0)), ("hold",)]])
    held = [EthernetReceiveInterface()]
    held[0].connect(HOST, port)
    started = time.monotonic()
    held.clear()
    gc.collect()
    env.within(time.monotonic() - started, 0.0, 1.0, "destruction of a blocked reader")
    # During the 1 s pause after a break.
    _, port = env.telemetry_peer(
        scripts=[[("send", sample(10.0)), ("sleep", 0.2), ("close",)], [("hold",)]]
    )
    held = [EthernetReceiveInterface()]
    held[0].connect(HOST, port)
    check(wait_until(lambda: not held[0].is_connected(), 3.0), "the break went unnoticed")
    time.sleep(0.3)
    env.fault(2)
    started = time.monotonic()
    held.clear()
    gc.collect()
    env.within(time.monotonic() - started, 0.0, 1.0, "destruction during the pause")
    env.expect_output(out="", err="")


def _forked_child_leaves_telemetry(env: Env, drop: bool) -> None:
    server_id, port = env.telemetry_peer(scripts=[[("stream", 50.0, 20.0)]])
    held = [env.receiver()]
    held[0].connect(HOST, port)

    def in_child() -> None:
        if drop:
            env.objects.clear()
            held.clear()
            gc.collect()
        else:
            held[0].disconnect()

    _in_forked_child(in_child)
    env.fault()
    receiver = held[0]
    stamp = receiver.get_sample()["timestamp"]
    check(
        wait_until(lambda: receiver.get_sample()["timestamp"] != stamp, 2.0),
        "no fresh sample after the child ended",
    )
    time.sleep(0.3)
    check(receiver.is_connected(), "the parent's stream was broken")
    check(env.peers.records(server_id)["connections"] == 1, "the stream was reopened")
    env.expect_output(out="", err="")


@case("telemetry", "a forked child disconnects the inherited interface", budget=20)
def telemetry_forked_child_disconnects(env: Env) -> None:
    _forked_child_leaves_telemetry(env, drop=False)


@case("telemetry", "a forked child drops the inherited interface", budget=20)
def telemetry_forked_child_drops(env: Env) -> None:
    _forked_child_leaves_telemetry(env, drop=True)
