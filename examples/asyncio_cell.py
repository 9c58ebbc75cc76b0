"""An asyncio program: a motion awaited while every telemetry sample is recorded, then a second
motion cancelled halfway, which aborts it.

    python examples/asyncio_cell.py                   # a simulator of its own (it moves)
    python examples/asyncio_cell.py 192.168.0.1       # a controller: ports 5000 and 2000

Nothing here blocks the event loop: a ticker task measures how late the loop wakes it meanwhile.
Against a controller the arm moves: 200 mm down and back along Y, at 100 mm/s.
"""

from __future__ import annotations

import asyncio
import math
import sys
import time
from typing import TYPE_CHECKING

from epson_remote import EpsonPowerMode, xy
from epson_remote.aio import AsyncRobotCell, AsyncSampleStream
from epson_remote.sim import ControllerSimulator

if TYPE_CHECKING:
    from epson_remote._receive_interface import SequencedSample

SPEED_MM_S = 100.0
ACCEL_MM_S2 = 1000.0


async def record(stream: AsyncSampleStream, into: list[SequencedSample]) -> None:
    """Appends every sample until the stream is closed."""
    async for sample in stream:
        into.append(sample)


async def tick(lags: list[float], period_s: float = 0.01) -> None:
    """Sleeps ``period_s`` at a time and notes how much later than asked the loop woke it."""
    while True:
        asked = time.monotonic()
        await asyncio.sleep(period_s)
        lags.append(time.monotonic() - asked - period_s)


async def run(host: str, control_port: int, receive_port: int) -> None:
    async with AsyncRobotCell(host, control_port, receive_port) as cell:
        control = cell.get_control_interface()
        rx = cell.get_receive_interface()
        await control.set_power_mode(EpsonPowerMode.HIGH)
        await control.motor_on()  # only ever explicit; disconnect turns the motors off again
        start = (await control.get_state())["tcp_pose"]
        away = [start[0], start[1] - 200.0, *start[2:]]

        samples: list[SequencedSample] = []
        lags: list[float] = []
        stream = rx.samples()
        recorder = asyncio.create_task(record(stream, samples))
        ticker = asyncio.create_task(tick(lags))
        await control.move(xy(away), speed_mm_s=SPEED_MM_S, acceleration_mm_s2=ACCEL_MM_S2)
        ticker.cancel()
        print(f"event loop lag during the move: max {max(lags, default=0.0) * 1000:.1f} ms")

        # Halfway back, cancel: the motion is aborted, and the task ends once the arm stopped.
        back = asyncio.create_task(
            control.move(xy(start), speed_mm_s=SPEED_MM_S, acceleration_mm_s2=ACCEL_MM_S2)
        )
        await asyncio.sleep(1.0)
        back.cancel()
        try:
            await back
        except asyncio.CancelledError:
            stopped = (await control.get_state())["tcp_pose"]
            short = math.dist(stopped[:3], start[:3])
            print(f"cancelled: the arm stopped {short:.0f} mm short of its target")

        stream.close()  # the recorder's loop ends
        await recorder
        sequences = [sample["sequence"] for sample in samples]
        missing = sum(b - a - 1 for a, b in zip(sequences, sequences[1:], strict=False))
        print(f"{len(samples)} samples recorded: {missing} missing, {stream.dropped} dropped")


def main() -> None:
    if len(sys.argv) > 1:
        asyncio.run(run(sys.argv[1], 5000, 2000))
        return
    with ControllerSimulator(telemetry_rate_hz=250.0) as sim:
        assert sim.command_port is not None and sim.telemetry_port is not None
        asyncio.run(run(sim.host, sim.command_port, sim.telemetry_port))


if __name__ == "__main__":
    main()
