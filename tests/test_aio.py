"""epson_remote.aio against the simulator: coroutines that leave the event loop free, a cancelled
motion aborted before the cancellation completes, cancelled connects that leave nothing open,
and ``async for`` over the sample stream."""

from __future__ import annotations

import asyncio
import time
from collections.abc import Awaitable
from typing import Any

import pytest
from helpers import HOST, SynDroppingPort, free_port, wait_until

from epson_remote import xy
from epson_remote.aio import AsyncCommandChannel, AsyncReceiveInterface, AsyncRobotCell

# Each test runs an event loop against the simulator for a second or more.
pytestmark = pytest.mark.slow


def run(scenario: Awaitable[Any], timeout: float = 60.0) -> Any:
    async def bounded() -> Any:
        return await asyncio.wait_for(scenario, timeout)

    return asyncio.run(bounded())


async def loop_lags(until: asyncio.Future[Any], period_s: float = 0.005) -> list[float]:
    """How much later than asked the loop wakes a sleeper, until ``until`` is done."""
    lags = []
    while not until.done():
        asked = time.monotonic()
        await asyncio.sleep(period_s)
        lags.append(time.monotonic() - asked - period_s)
    return lags


async def consecutive(stream, into: list[int]) -> None:
    async for sample in stream:
        into.append(sample["sequence"])


def assert_consecutive(sequences: list[int]) -> None:
    assert sequences == list(range(sequences[0], sequences[0] + len(sequences)))


class TestRobotCell:
    def test_connects_on_entry_and_disconnects_on_exit(self, sim, no_leaks):
        async def scenario():
            async with AsyncRobotCell(sim.host, sim.command_port, sim.telemetry_port) as cell:
                control = cell.get_control_interface()
                receive = cell.get_receive_interface()
                assert cell.is_connected() and control.is_logged_in() and receive.is_connected()
                assert await control.get_tool() == 0
                assert (await receive.wait_for_sample(None, 0.0))["sequence"] >= 1
            return cell, control, receive

        cell, control, receive = run(scenario())
        assert not (cell.is_connected() or control.is_connected() or receive.is_connected())

    def test_a_failed_connect_raises_from_the_block_and_leaves_no_interfaces(self, no_leaks):
        cell = AsyncRobotCell(HOST, free_port(), free_port())

        async def scenario():
            async with cell:
                pass

        with pytest.raises(RuntimeError, match="Connection refused"):
            run(scenario())
        with pytest.raises(RuntimeError, match="^AsyncRobotCell is not connected$"):
            cell.get_control_interface()

    def test_a_cancelled_connect_leaves_nothing_open(self, sim):
        async def scenario():
            cell = AsyncRobotCell(sim.host, sim.command_port, sim.telemetry_port)
            opening = asyncio.create_task(cell.connect())
            await asyncio.sleep(0)  # under way in its thread
            opening.cancel()
            with pytest.raises(asyncio.CancelledError):
                await opening
            return cell

        cell = run(scenario())
        assert not cell.is_connected()
        assert wait_until(lambda: not sim.has_client() and sim.telemetry_clients() == 0)


class TestMotion:
    def test_the_loop_runs_on_during_a_go_with_telemetry_at_1_khz(self, sim):
        sim.configure_telemetry(rate_hz=1000.0)
        sim.script("Go P1", reply="#Execute,0", delay=1.5)

        async def scenario():
            async with AsyncRobotCell(sim.host, sim.command_port, sim.telemetry_port) as cell:
                stream = cell.get_receive_interface().samples()
                sequences: list[int] = []
                recorder = asyncio.create_task(consecutive(stream, sequences))
                motion = asyncio.create_task(cell.get_control_interface().go("P1"))
                lags = await loop_lags(motion)
                await motion
                stream.close()
                await recorder
                return lags, sequences, stream.dropped

        lags, sequences, dropped = run(scenario())
        assert max(lags) < 0.05
        assert_consecutive(sequences)
        assert dropped == 0 and len(sequences) > 1000

    @pytest.mark.parametrize("how", ["cancel", "timeout", "at once"])
    def test_cancelling_a_move_aborts_it_before_the_cancellation_completes(self, sim, how):
        async def scenario():
            control = AsyncCommandChannel()
            await control.connect(sim.host, sim.command_port)
            try:
                await control.motor_on()
                start = (await control.get_state())["tcp_pose"]
                target = [start[0], start[1] + 150.0, *start[2:]]
                move = control.move(xy(target), speed_mm_s=50.0)  # 3 s away
                if how == "timeout":
                    with pytest.raises(TimeoutError):
                        async with asyncio.timeout(0.8):
                            await move
                else:
                    motion = asyncio.create_task(move)
                    # "at once": before the motion thread has sent anything, most likely
                    await asyncio.sleep(0 if how == "at once" else 0.8)
                    motion.cancel()
                    with pytest.raises(asyncio.CancelledError):
                        await motion
                state = await asyncio.to_thread(sim.robot_state)  # as the cancellation ended
                await control.get_tool()  # no motion holds the session any more
                return state, target
            finally:
                await control.disconnect()

        state, target = run(scenario())
        assert not state["moving"] and not state["paused"] and state["motors_on"]
        assert abs(state["pose"][1] - target[1]) > 20.0

    def test_failures_of_a_motion_are_raised_by_the_await(self, sim, channel):
        async def scenario():
            control = AsyncCommandChannel(channel)
            with pytest.raises(ValueError):
                await control.go("P1", orientation_flag=1)  # a flag needs ljm
            with pytest.raises(RuntimeError, match="!Execute"):
                await control.go("P1")  # the motors are off

        run(scenario())


class TestReceiveInterface:
    def test_async_for_takes_every_sample_and_a_cancelled_wait_loses_none(self, sim):
        sim.configure_telemetry(rate_hz=250.0)

        async def scenario():
            receive = AsyncReceiveInterface()
            await receive.connect(sim.host, sim.telemetry_port)
            stream = receive.samples()
            sequences = [(await anext(stream))["sequence"]]
            for _ in range(20):
                waiting = asyncio.create_task(anext(stream))
                await asyncio.sleep(0)
                if waiting.cancel():
                    with pytest.raises(asyncio.CancelledError):
                        await waiting
                else:  # it had its sample already
                    sequences.append(waiting.result()["sequence"])
                sequences.append((await anext(stream))["sequence"])
            recorder = asyncio.create_task(consecutive(stream, sequences))
            await asyncio.sleep(0.5)
            await receive.disconnect()
            await recorder  # the stream ended with the connection
            return sequences, stream.dropped

        sequences, dropped = run(scenario())
        assert_consecutive(sequences)
        assert dropped == 0 and len(sequences) > 100

    def test_a_cancelled_connect_ends_the_attempt_at_once(self):
        unanswered = SynDroppingPort()
        receive = AsyncReceiveInterface()

        async def scenario():
            connecting = asyncio.create_task(receive.connect(HOST, unanswered.port))
            await asyncio.sleep(0.3)
            connecting.cancel()
            started = time.monotonic()
            with pytest.raises(asyncio.CancelledError):
                await connecting
            return time.monotonic() - started

        try:
            assert run(scenario()) < 1.0
            assert not receive.is_connected()
            assert wait_until(lambda: unanswered.waiting() == 1)  # the attempt was abandoned
        finally:
            unanswered.close()

    def test_wait_for_sample_is_awaited(self, sim):
        async def scenario():
            receive = AsyncReceiveInterface()
            await receive.connect(sim.host, sim.telemetry_port)
            try:
                latest = await receive.wait_for_sample()
                later = await receive.wait_for_sample(latest["sequence"], 1.0)
                return latest, later, receive.get_sample()
            finally:
                await receive.disconnect()

        latest, later, sample = run(scenario())
        assert later["sequence"] > latest["sequence"]
        assert sample["timestamp"] >= later["timestamp"]


def test_a_cancelled_command_connect_leaves_the_channel_disconnected(sim):
    async def scenario():
        control = AsyncCommandChannel()
        connecting = asyncio.create_task(control.connect(sim.host, sim.command_port))
        await asyncio.sleep(0)
        connecting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await connecting
        return control

    assert not run(scenario()).is_connected()
    assert wait_until(lambda: not sim.has_client())
