"""The asyncio event loop's lag while a ``go`` is awaited and telemetry streams at 1 kHz through
``async for``, next to the same loop with nothing of ours running.

A ticker task asks for 1 ms sleeps and notes how much later than asked the loop wakes it. Windows
of each condition take turns, in an order that rotates from round to round, so that a drift of
the machine's load hits all alike:

- alone: the ticker only (the baseline);
- with: the ticker while an ``AsyncRobotCell`` (command port on the simulator, telemetry from
  the native writer at 1 kHz) awaits a 2 s ``go`` scripted on the simulator, and another task
  takes every sample with ``async for``;
- plain: the ticker while asyncio's own stream reader takes the writer's lines, nothing of ours
  imported: what a 1 kHz stream costs any loop.

The cell is opened before and closed after each "with" window, outside the measurement. Prints
one JSON object.

    loop_lag_bench.py ROUNDS
"""

from __future__ import annotations

import asyncio
import json
import sys
import time

from tools import HOST, percentile, server

from epson_remote.aio import AsyncRobotCell, AsyncSampleStream
from epson_remote.sim import ControllerSimulator

WINDOW_S = 1.5  # measured per window; the scripted motion outlasts it
GO_S = 2.0
TICK_S = 0.001
TELEMETRY_HZ = 1000


async def tick(seconds: float) -> list[float]:
    """Lags in seconds of ``TICK_S`` sleeps over ``seconds``."""
    lags = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        asked = time.monotonic()
        await asyncio.sleep(TICK_S)
        lags.append(time.monotonic() - asked - TICK_S)
    return lags


async def take_every_sample(stream: AsyncSampleStream, sequences: list[int]) -> None:
    async for sample in stream:
        sequences.append(sample["sequence"])


async def with_go_and_telemetry(sim: ControllerSimulator, telemetry_port: int) -> dict:
    assert sim.command_port is not None
    await asyncio.to_thread(sim.script, "Go P1", reply="#Execute,0", delay=GO_S)
    async with AsyncRobotCell(HOST, sim.command_port, telemetry_port) as cell:
        stream = cell.get_receive_interface().samples()
        sequences: list[int] = []
        recorder = asyncio.create_task(take_every_sample(stream, sequences))
        motion = asyncio.create_task(cell.get_control_interface().go("P1"))
        await asyncio.to_thread(sim.wait_for_request, "Go P1", 10.0)
        lags = await tick(WINDOW_S)
        moving = not motion.done()
        await motion  # a failed go voids the figure: raised here
        stream.close()
        await recorder
    if not moving:
        raise RuntimeError("the go ended before the window did")
    gaps = [b - a - 1 for a, b in zip(sequences, sequences[1:], strict=False)]
    return {
        "lags": lags,
        "samples": len(sequences),
        "largest_gap": max(gaps, default=0),
        "dropped": stream.dropped,
    }


async def with_plain_reader(telemetry_port: int) -> list[float]:
    reader, writer = await asyncio.open_connection(HOST, telemetry_port)

    async def take_every_line() -> None:
        while True:
            await reader.readuntil(b"\r")

    taker = asyncio.create_task(take_every_line())
    try:
        return await tick(WINDOW_S)
    finally:
        taker.cancel()
        writer.close()
        await writer.wait_closed()


def summary(lags_s: list[float]) -> dict:
    lags_ms = [lag * 1e3 for lag in lags_s]
    return {
        "ticks": len(lags_ms),
        "p50_ms": round(percentile(lags_ms, 0.5), 3),
        "p99_ms": round(percentile(lags_ms, 0.99), 3),
        "max_ms": round(max(lags_ms), 3),
    }


async def measure(rounds: int, sim: ControllerSimulator, telemetry_port: int) -> dict:
    await tick(0.3)  # warm-up
    conditions = ("alone", "with", "plain")
    lags: dict[str, list[float]] = {condition: [] for condition in conditions}
    streams = []
    for index in range(rounds):
        for condition in conditions[index % 3 :] + conditions[: index % 3]:
            if condition == "alone":
                lags["alone"] += await tick(WINDOW_S)
            elif condition == "plain":
                lags["plain"] += await with_plain_reader(telemetry_port)
            else:
                window = await with_go_and_telemetry(sim, telemetry_port)
                lags["with"] += window.pop("lags")
                streams.append(window)
    return {
        **{condition: summary(lags[condition]) for condition in conditions},
        "streams": streams,
        "rounds": rounds,
        "window_s": WINDOW_S,
        "tick_s": TICK_S,
    }


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 6
    with server("bench_telemetry_writer", TELEMETRY_HZ) as writer, ControllerSimulator() as sim:
        assert writer.port is not None
        result = asyncio.run(measure(rounds, sim, writer.port))
    print("BENCH-RESULT " + json.dumps(result))


if __name__ == "__main__":
    main()
