"""Matrix cases of disconnect: motor off, the Tool's restore and logout meeting every fault, and
forked children that let go of an inherited session."""

from __future__ import annotations

import functools
import re
import time

from common import check
from matrix import (
    OVERSIZE,
    TIMED_OUT,
    TOO_LONG,
    WAIT_FAILED,
    Env,
    broken_pattern,
    bye,
    case,
    hello,
    let_go_in_forked_child,
    still_works,
)

from epson_remote import CommandChannel


def _motors_on(env: Env, port: int | None = None) -> CommandChannel:
    channel = env.logged_in(port)
    channel.motor_on()
    return channel


def _broken_before_logout(env: Env, channel: CommandChannel, step: str) -> None:
    """``disconnect()`` meets a connection that breaks at the step logged as ``step``: it logs
    that, then the logout it can no longer send, and still prints both session lines."""
    channel.disconnect()
    env.fault()
    env.flags(channel, False, False)
    out, err = env.output()
    port = env.sim.command_port
    check(out == hello(port) + bye(port), f"stdout {out!r}")
    lines = err.splitlines()
    check(len(lines) == 3, f"stderr {err!r}")
    check(re.fullmatch(broken_pattern(step + WAIT_FAILED), lines[0]) is not None, f"stderr {err!r}")
    check(
        lines[1:]
        == [
            "logout() called but not connected",
            "Failed to log out of controller: logout() called but not connected",
        ],
        f"stderr {err!r}",
    )


@case("disconnect", "peer closes mid-line at motor off", budget=15)
def disconnect_closed_at_motor_off(env: Env) -> None:
    channel = _motors_on(env)
    env.sim.script("Motor Off", raw=b"#Exec", close=True)
    _broken_before_logout(env, channel, "Failed to turn off motor: ")


@case("disconnect", "peer closes mid-line while the Tool is restored", budget=15)
def disconnect_closed_at_restore(env: Env) -> None:
    channel = _motors_on(env)
    channel.set_tcp_offset([0.0, 0.0, 0.1, 0.0, 0.0, 0.0])
    env.sim.script("TLClr 15", raw=b"#Exe", close=True)
    _broken_before_logout(env, channel, "Failed to restore Epson TCP state: ")


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
    port = env.dripping_peer("$Logout", b"#Logout,0\r\n", 0.05)
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


def _forked_child_leaves_session(env: Env, drop: bool) -> None:
    held = [env.logged_in()]
    held[0].motor_on()
    held[0].set_tcp_offset([0.0, 0.0, 0.1, 0.0, 0.0, 0.0])
    env.sim.clear_requests()

    let_go_in_forked_child(env, held, drop)
    env.fault()
    time.sleep(0.2)  # anything the child sent has arrived
    check(env.sim.requests() == [], f"the child sent {env.sim.requests()}")
    check(env.sim.has_client(), "the parent's connection was closed")
    check(env.sim.robot_state()["motors_on"], "the motors went off")
    channel = held[0]
    env.flags(channel, True, True)
    still_works(env, channel)
    env.expect_output(out=hello(env.sim.command_port), err="")


for _how, _drop in (("disconnects", False), ("drops", True)):
    case("disconnect", f"a forked child {_how} the inherited session", budget=20)(
        functools.partial(_forked_child_leaves_session, drop=_drop)
    )
