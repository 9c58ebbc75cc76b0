"""Matrix cases of a motion: its reply broken, late, over-long or odd while a pause waits, lines
that answer no request during its wait, and pause replies that come late or never."""

from __future__ import annotations

import time

from common import PASSWORD, check
from matrix import (
    HOST,
    NOT_CONNECTED,
    OVERSIZE,
    STRAY_LINES,
    TOO_LONG,
    WAIT_FAILED,
    Background,
    Env,
    broken_pattern,
    case,
    go_p1,
    hello,
    still_works,
)

IGNORED = " (ignored; the motion goes on)"
PAUSE_TIMED_OUT = "Timed out waiting for Epson response to $Pause"


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
    port = env.dripping_peer("Go P1", b"#Execute,0\r\n", 0.3)
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
        still_works(env, channel)
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
    still_works(env, channel)
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
    still_works(env, channel)
    port = env.sim.command_port
    env.expect_output(out=hello(port) + hello(port), err="")
