"""Matrix cases of an ordinary command: its reply broken, late, over-long or odd, lines that answer
no request, and connections that end between requests."""

from __future__ import annotations

import time

from command_peers import STATE_STATEMENT, STATUS_STATEMENT
from common import check, wait_until
from matrix import (
    BROKEN,
    NOT_CONNECTED,
    OVERSIZE,
    PRINT_TOOL,
    STRAY_LINES,
    TIMED_OUT,
    TOO_LONG,
    UNEXPECTED,
    WAIT_FAILED,
    Env,
    broken_pattern,
    case,
    hello,
    still_works,
)

from epson_remote import CommandChannel

DISCARDED = "Discarded an Epson response that answers no request: "
RESET = "write: Connection reset by peer"


@case("command", "peer closes mid-line", budget=15)
def command_closed_mid_line(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Print Tool", raw=b'#Execute," 1', close=True)
    env.failure(RuntimeError, channel.get_tool, pattern=broken_pattern(WAIT_FAILED))
    env.fault()
    env.dropped(channel, channel.get_tool)


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
    port = env.dripping_peer("Print Tool", b'#Execute," 7"\r\n', 0.02)
    channel = env.logged_in(port)
    check(channel.get_tool() == 7, "the dripped reply was not read whole")
    env.fault()
    env.flags(channel, True, True)


@case("command", "slow drip past the reply time-out", budget=5 + 15)
def command_drip_too_slow(env: Env) -> None:
    port = env.dripping_peer("Print Tool", b'#Execute," 7"\r\n', 1.0)
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


def _payload_no_integer(env: Env, raw: bytes) -> str:
    """A Tool reply whose payload is no integer fails the call, and only the call; returns the
    message."""
    channel = env.logged_in()
    env.sim.script("Print Tool", raw=raw)
    message, _ = env.failure(
        RuntimeError,
        channel.get_tool,
        prefix='Failed to parse controller status value as an integer: " 1',
    )
    env.fault()
    env.flags(channel, True, True)
    check(channel.get_tool() == 0, "the session does not work after the bad reply")
    return message


@case("command", "high bytes in the payload", budget=15)
def command_high_bytes_payload(env: Env) -> None:
    _payload_no_integer(env, b'#Execute," 1\xff\xfe"\r\n')


@case("command", "NUL in the payload", budget=15)
def command_nul_payload(env: Env) -> None:
    if not _payload_no_integer(env, b'#Execute," 1\x00 2"\r\n').endswith('"'):
        env.notes.append("the message ends at the NUL byte")


@case("command", "high bytes in a foreign line", budget=15)
def command_high_bytes_foreign(env: Env) -> None:
    channel = env.logged_in()
    env.sim.script("Print Tool", raw=b'\xff\xfe#Execute," 1"\r\n')
    env.failure(RuntimeError, channel.get_tool, prefix=UNEXPECTED)
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


def _stray_outside_motion(env: Env, data: bytes, message: str) -> None:
    channel = env.logged_in()
    # The real reply follows: kept, the connection would hand it to the next request.
    env.sim.script("Print Tool", raw=data + b'#Execute," 3"\r\n')
    env.failure(RuntimeError, channel.get_tool, equals=message)
    env.fault()
    env.dropped(channel, channel.get_power_mode)


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
    still_works(env, channel)
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
    still_works(env, channel)
    # A duplicate split across two segments is one line.
    check(env.sim.push(b"#Execute,"), "no client")
    time.sleep(0.1)
    check(env.sim.push(b'" 2"\r\n'), "no client")
    time.sleep(0.2)
    env.fault()
    still_works(env, channel, 6)
    # A late quoted reply continued over two lines (logged line by line).
    check(env.sim.push(b'#Execute,"1,\r\n2"\r\n'), "no client")
    time.sleep(0.2)
    env.fault()
    still_works(env, channel, 7)
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
    env.dropped(channel, channel.get_tool, port)


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
