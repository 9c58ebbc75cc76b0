"""Soak: 100,000 commands and 1,000,000 telemetry lines in one process; resident memory must grow
by less than 1 MiB between the end of a warm-up (a tenth of each) and the end of the run.

Commands go to the sequence-tagged responder (without records) in one child process; telemetry
comes from a writer in another that sends the lines in rounds as fast as the reader takes them.
The reader parses them on its own thread while the main thread sends commands.
"""

from __future__ import annotations

import gc
import time

from common import (
    PASSWORD,
    Capture,
    CheckFailed,
    PhaseResult,
    Resources,
    Watchdog,
    check,
    rss_bytes,
    wait_until,
)
from peers import PeerProcess

from epson_remote import CommandChannel, EthernetReceiveInterface

HOST = "127.0.0.1"
MIB = 1 << 20


def _command(channel: CommandChannel, number: int) -> None:
    kind = number % 8
    if kind in (0, 4):
        channel.get_tool()
    elif kind == 1:
        channel.get_state()
    elif kind == 2:
        channel.get_controller_status()
    elif kind == 3:
        channel.is_tool_defined(3)
    elif kind == 5:
        channel.go("P1", False, False, None, None, None, False)
    elif kind == 6:
        channel.get_tool_definition(3)  # two requests
    else:
        channel.pause()  # no motion: an ordinary exchange


def _lines_done(receiver: EthernetReceiveInterface, total: int) -> bool:
    return receiver.get_status()["fields"].get("system_error") == total


def run(
    capture: Capture,
    watchdog: Watchdog,
    commands: int = 100_000,
    lines: int = 1_000_000,
    children: list[int] | None = None,
) -> PhaseResult:
    result = PhaseResult("soak", ok=True)
    started = time.monotonic()
    command_peers, telemetry_peers = PeerProcess(), PeerProcess()
    if children is not None:
        children += [command_peers.pid, telemetry_peers.pid]
    try:
        before = Resources.now()
        command_id, port = command_peers.command_peer(mode="seq", record=False)
        telemetry_id, telemetry_port = telemetry_peers.telemetry_peer(mode="blast")
        capture.start()
        watchdog.arm("soak", 900)
        try:
            figures = _soak(
                capture,
                command_peers,
                command_id,
                port,
                telemetry_peers,
                telemetry_id,
                telemetry_port,
                commands,
                lines,
            )
        finally:
            watchdog.disarm()
            out, err = capture.stop()
        result.figures = figures
        check(err == b"", f"standard error: {err[:500]!r}")
        check(PASSWORD.encode() not in out, "the password shows in the output")
        command_peers.stop_all()
        telemetry_peers.stop_all()
        leftovers = before.leftovers()
        check(not leftovers, f"left behind: {leftovers}")
        check(
            figures["resident memory growth after warm-up (KiB)"] < MIB // 1024,
            "resident memory grew by 1 MiB or more",
        )
    except CheckFailed as error:
        result.ok = False
        result.failures.append(str(error))
    finally:
        command_peers.close()
        telemetry_peers.close()
    result.seconds = time.monotonic() - started
    return result


def _soak(
    capture: Capture,
    command_peers: PeerProcess,
    command_id: int,
    port: int,
    telemetry_peers: PeerProcess,
    telemetry_id: int,
    telemetry_port: int,
    commands: int,
    lines: int,
) -> dict:
    channel = CommandChannel()
    channel.connect(HOST, port, PASSWORD)
    receiver = EthernetReceiveInterface()
    warm_commands, warm_lines = commands // 10, lines // 10
    # The writer sends nothing before the first round: connect waits for the first sample.
    telemetry_peers.blast(telemetry_id, warm_lines)
    receiver.connect(HOST, telemetry_port)
    number = 0
    for number in range(warm_commands):
        _command(channel, number)
    check(wait_until(lambda: _lines_done(receiver, warm_lines), 120, 0.05), "warm-up lines lost")
    gc.collect()
    warm_rss = rss_bytes()
    capture.say(f"    warm-up done: {warm_commands} commands, {warm_lines} lines")

    telemetry_peers.blast(telemetry_id, lines - warm_lines)
    main_started = time.monotonic()
    for number in range(warm_commands, commands):
        _command(channel, number)
    command_seconds = time.monotonic() - main_started
    check(wait_until(lambda: _lines_done(receiver, lines), 300, 0.05), "telemetry lines lost")
    sample = receiver.get_sample()
    check(sample["joint_positions"][0] == lines - 1, f"last sample {sample}")
    check(receiver.is_connected(), "the telemetry connection broke")
    check(channel.is_logged_in(), "the command session broke")
    gc.collect()
    end_rss = rss_bytes()
    answered = command_peers.records(command_id)["counted"]
    connections = telemetry_peers.records(telemetry_id)["connections"]
    receiver.disconnect()
    channel.disconnect()
    check(connections == 1, f"the telemetry stream was opened {connections} times")
    return {
        "commands": commands,
        "requests answered": answered,
        "telemetry lines": lines,
        "commands per second (after warm-up)": round((commands - warm_commands) / command_seconds),
        "resident memory after warm-up (MiB)": round(warm_rss / MIB, 1),
        "resident memory growth after warm-up (KiB)": (end_rss - warm_rss) // 1024,
    }
