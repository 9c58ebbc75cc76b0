"""Matrix cases of login: the reply to ``$Login`` broken, late, over-long or odd, and a wrong
password."""

from __future__ import annotations

import time

from common import PASSWORD, check
from matrix import (
    HOST,
    LOGIN_FAILED,
    OVERSIZE,
    RETRIES,
    TIMED_OUT,
    TOO_LONG,
    WAIT_FAILED,
    Env,
    broken_pattern,
    bye,
    case,
    hello,
    login_request,
)


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
    port = env.dripping_peer(login_request(), b"#Login,0\r\n", 0.05)
    channel = env.logged_in(port)
    env.fault()
    env.flags(channel, True, True)
    channel.disconnect()
    env.expect_output(out=hello(port) + bye(port), err="")


@case("login", "slow drip past the reply time-out, then a good attempt", budget=5 + 2 + 5 + 15)
def login_drip_too_slow(env: Env) -> None:
    port = env.dripping_peer(login_request(), b"#Login,0\r\n", 1.0, connection=0)
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
