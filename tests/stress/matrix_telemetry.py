"""Matrix cases of telemetry: the stream broken, silent, dripped, over-long or odd, a server that
restarts, SYNs dropped, prompt stops in every state, and forked children that let go of an
inherited interface."""

from __future__ import annotations

import functools
import gc
import time

from common import CheckFailed, check, open_fds, wait_until
from matrix import HOST, NO_SAMPLE, POSE, Env, bye, case, hello, let_go_in_forked_child, sample

from epson_remote import EthernetReceiveInterface, RobotCell


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


def _destroyed_at_once(env: Env, held: list[EthernetReceiveInterface], what: str) -> None:
    """Drops the only reference to ``held[0]``; its destruction must take less than a second."""
    started = time.monotonic()
    held.clear()
    gc.collect()
    env.within(time.monotonic() - started, 0.0, 1.0, what)


@case("telemetry", "destruction while reconnecting to a peer that drops SYNs", budget=2 + 15)
def telemetry_destroy_syn_drop(env: Env) -> None:
    held = [EthernetReceiveInterface()]
    _reconnecting_to_syn_drop(env, held[0])
    _destroyed_at_once(env, held, "destruction")
    env.expect_output(out="", err="")


@case("telemetry", "destruction during the reconnection pause and while reading", budget=15)
def telemetry_destroy_other_states(env: Env) -> None:
    # While reading a silent stream.
    _, port = env.telemetry_peer(scripts=[[("send", sample(10.0)), ("hold",)]])
    held = [EthernetReceiveInterface()]
    held[0].connect(HOST, port)
    _destroyed_at_once(env, held, "destruction of a blocked reader")
    # During the 1 s pause after a break.
    _, port = env.telemetry_peer(
        scripts=[[("send", sample(10.0)), ("sleep", 0.2), ("close",)], [("hold",)]]
    )
    held = [EthernetReceiveInterface()]
    held[0].connect(HOST, port)
    check(wait_until(lambda: not held[0].is_connected(), 3.0), "the break went unnoticed")
    time.sleep(0.3)
    env.fault(2)
    _destroyed_at_once(env, held, "destruction during the pause")
    env.expect_output(out="", err="")


def _forked_child_leaves_telemetry(env: Env, drop: bool) -> None:
    server_id, port = env.telemetry_peer(scripts=[[("stream", 50.0, 20.0)]])
    held = [env.receiver()]
    held[0].connect(HOST, port)

    let_go_in_forked_child(env, held, drop)
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


for _how, _drop in (("disconnects", False), ("drops", True)):
    case("telemetry", f"a forked child {_how} the inherited interface", budget=20)(
        functools.partial(_forked_child_leaves_telemetry, drop=_drop)
    )
