"""Matrix cases of connect: a refused port, faults at accept time, a connect on a live session."""

from __future__ import annotations

import re
import socket
import time

from common import PASSWORD, CheckFailed, check
from matrix import BROKEN, HOST, LOGIN_FAILED, RETRIES, WAIT_FAILED, Env, bye, case, hello


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
