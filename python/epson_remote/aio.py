"""The library for asyncio programs: every blocking call a coroutine that never blocks the loop.

``AsyncCommandChannel``, ``AsyncReceiveInterface`` and ``AsyncRobotCell`` wrap the classes of the
same names without ``Async``; each blocking method runs in a thread (the native code releases the
interpreter lock and serialises the calls of one session itself), the quick ones (``is_connected``,
``get_sample``, ...) stay plain methods::

    async with AsyncRobotCell("192.168.0.1") as cell:
        control = cell.get_control_interface()
        await control.motor_on()
        motion = asyncio.create_task(control.go("P1"))
        async for sample in cell.get_receive_interface().samples():
            ...

Cancelling an awaited ``go`` or ``move`` aborts the motion (``abort_motion()``) and waits for the
motion's end before the cancellation completes, so that the arm has stopped when the caller sees
``CancelledError`` (or the ``TimeoutError`` of ``asyncio.timeout``). Cancelling a ``connect``
leaves the object disconnected. Cancelling any other call stops the waiting only: the call runs
to its end in its thread.
"""

from __future__ import annotations

import asyncio
import contextlib
import functools
import threading
from collections.abc import Callable, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any, Self, SupportsFloat, SupportsIndex

from ._command_channel import CommandChannel, EpsonPowerMode, PtpMotionLimits
from ._receive_interface import EthernetReceiveInterface, SampleStream
from ._robot_cell import RobotCell

if TYPE_CHECKING:
    from ._command_channel import RobotState
    from ._receive_interface import SequencedSample, TelemetrySample, TelemetryStatus

__all__ = ["AsyncCommandChannel", "AsyncReceiveInterface", "AsyncRobotCell", "AsyncSampleStream"]

type _Number = SupportsFloat | SupportsIndex

# An abort sent before the motion took the session (a cancellation right after the call) finds
# nothing to stop; it is sent again when the motion has not ended this long after.
_ABORT_RETRY_S = 0.5
# Samples an `async for` takes from a full queue before it lets other tasks run.
_SAMPLES_PER_YIELD = 64


async def _outlast(future: asyncio.Future[Any]) -> None:
    """Waits until ``future`` is done, through further cancellations of the calling task; what
    it raised is dropped (the caller is being cancelled: nobody is there to take it)."""
    while not future.done():
        with contextlib.suppress(asyncio.CancelledError):
            await asyncio.wait({future})
    if not future.cancelled():
        future.exception()  # retrieved: asyncio does not log it as lost


async def _undoable[T](call: Callable[[], T], undo: Callable[[], object]) -> T:
    """Runs ``call`` in a thread; when the caller is cancelled meanwhile, runs ``undo`` at once
    and again once ``call`` has ended, then lets the cancellation through. For connects: an undo
    that comes too early (before the connect began) is followed by one that does not."""
    future = asyncio.ensure_future(asyncio.to_thread(call))
    try:
        return await asyncio.shield(future)
    except asyncio.CancelledError:
        undoing = asyncio.ensure_future(asyncio.to_thread(undo))
        await _outlast(future)
        await _outlast(undoing)
        if not future.cancelled() and future.exception() is None:
            await _outlast(asyncio.ensure_future(asyncio.to_thread(undo)))
        raise


def _settle(future: asyncio.Future[None], error: BaseException | None) -> None:
    if future.done():
        return
    if error is None:
        future.set_result(None)
    else:
        future.set_exception(error)


class AsyncCommandChannel:
    """A ``CommandChannel`` for asyncio: the same methods, the blocking ones coroutines.

    Wraps ``channel`` (a new, disconnected one by default). ``go`` and ``move`` run in a thread
    of their own; cancelling the task that awaits one aborts the motion and waits for its end.
    """

    def __init__(self, channel: CommandChannel | None = None) -> None:
        self._channel = channel if channel is not None else CommandChannel()

    @property
    def channel(self) -> CommandChannel:
        """The wrapped ``CommandChannel``."""
        return self._channel

    # -- session ---------------------------------------------------------------------------

    async def connect(
        self, host: str, port: int = CommandChannel.default_port, password: str = ""
    ) -> None:
        """``CommandChannel.connect``; a cancelled connect leaves the channel disconnected."""
        await _undoable(
            functools.partial(self._channel.connect, host, port, password),
            self._channel.disconnect,
        )

    async def disconnect(self) -> None:
        await asyncio.to_thread(self._channel.disconnect)

    def is_connected(self) -> bool:
        return self._channel.is_connected()

    def is_logged_in(self) -> bool:
        return self._channel.is_logged_in()

    async def motor_on_error(self) -> str:
        return await asyncio.to_thread(self._channel.motor_on_error)

    # -- status, power and motors ----------------------------------------------------------

    async def is_emergency_stopped(self) -> bool:
        return await asyncio.to_thread(self._channel.is_emergency_stopped)

    async def get_controller_status(self) -> dict[str, int]:
        return await asyncio.to_thread(self._channel.get_controller_status)

    async def reset_controller(self) -> None:
        await asyncio.to_thread(self._channel.reset_controller)

    async def motor_on(self) -> None:
        await asyncio.to_thread(self._channel.motor_on)

    async def motor_off(self) -> None:
        await asyncio.to_thread(self._channel.motor_off)

    async def pause(self) -> None:
        await asyncio.to_thread(self._channel.pause)

    async def continue_motion(self) -> None:
        await asyncio.to_thread(self._channel.continue_motion)

    async def abort_motion(self) -> None:
        await asyncio.to_thread(self._channel.abort_motion)

    async def get_power_mode(self) -> EpsonPowerMode:
        return await asyncio.to_thread(self._channel.get_power_mode)

    async def set_power_mode(self, mode: EpsonPowerMode) -> None:
        await asyncio.to_thread(self._channel.set_power_mode, mode)

    async def get_ptp_motion_limits(self) -> PtpMotionLimits:
        return await asyncio.to_thread(self._channel.get_ptp_motion_limits)

    async def add_safety_cuboid(
        self, min_corner_mm: Sequence[_Number], max_corner_mm: Sequence[_Number]
    ) -> None:
        await asyncio.to_thread(self._channel.add_safety_cuboid, min_corner_mm, max_corner_mm)

    # -- Tools and TCP ---------------------------------------------------------------------

    async def tl_set(self, tool_num: int, tool_def_point: str) -> None:
        await asyncio.to_thread(self._channel.tl_set, tool_num, tool_def_point)

    async def tl_clear(self, tool_num: int) -> None:
        await asyncio.to_thread(self._channel.tl_clear, tool_num)

    async def set_tool(self, tool_num: int) -> None:
        await asyncio.to_thread(self._channel.set_tool, tool_num)

    async def get_tool(self) -> int:
        return await asyncio.to_thread(self._channel.get_tool)

    async def is_tool_defined(self, tool_num: int) -> bool:
        return await asyncio.to_thread(self._channel.is_tool_defined, tool_num)

    async def get_tool_definition(self, tool_num: int) -> list[float]:
        return await asyncio.to_thread(self._channel.get_tool_definition, tool_num)

    async def get_tcp_offset(self) -> list[float]:
        return await asyncio.to_thread(self._channel.get_tcp_offset)

    async def set_tcp_offset(self, pose: Sequence[_Number]) -> None:
        await asyncio.to_thread(self._channel.set_tcp_offset, pose)

    async def restore_tcp_offset(self) -> None:
        await asyncio.to_thread(self._channel.restore_tcp_offset)

    # -- state, kinematics and motion ------------------------------------------------------

    async def get_state(self) -> RobotState:
        return await asyncio.to_thread(self._channel.get_state)

    async def inverse_kinematics(
        self,
        cartesian_pose: Sequence[_Number],
        least_joint_motion: bool = True,
        reference_joint_positions: Sequence[_Number] | None = None,
    ) -> list[float]:
        return await asyncio.to_thread(
            self._channel.inverse_kinematics,
            cartesian_pose,
            least_joint_motion,
            reference_joint_positions,
        )

    async def go(
        self,
        destination: str,
        cp: bool = False,
        ljm: bool = False,
        orientation_flag: int | None = None,
        search_expression: str | None = None,
        parallel_processing: str | None = None,
        sync: bool = False,
        speed_percent: int | None = None,
        acceleration_percent: int | None = None,
        deceleration_percent: int | None = None,
    ) -> None:
        """``CommandChannel.go``; cancelling the awaiting task aborts the motion and waits for
        its end."""
        await self._motion(
            functools.partial(
                self._channel.go,
                destination,
                cp,
                ljm,
                orientation_flag,
                search_expression,
                parallel_processing,
                sync,
                speed_percent=speed_percent,
                acceleration_percent=acceleration_percent,
                deceleration_percent=deceleration_percent,
            )
        )

    async def move(
        self,
        destination: str,
        rot: bool = False,
        ecp: bool = False,
        cp: bool = False,
        search_expression: str | None = None,
        parallel_processing: str | None = None,
        sync: bool = False,
        speed_mm_s: _Number | None = None,
        acceleration_mm_s2: _Number | None = None,
    ) -> None:
        """``CommandChannel.move``; cancelling the awaiting task aborts the motion and waits for
        its end."""
        await self._motion(
            functools.partial(
                self._channel.move,
                destination,
                rot,
                ecp,
                cp,
                search_expression,
                parallel_processing,
                sync,
                speed_mm_s=speed_mm_s,
                acceleration_mm_s2=acceleration_mm_s2,
            )
        )

    async def _motion(self, call: Callable[[], None]) -> None:
        loop = asyncio.get_running_loop()
        ended: asyncio.Future[None] = loop.create_future()

        def run() -> None:
            error: BaseException | None = None
            try:
                call()
            except BaseException as failure:  # handed to the awaiting task
                error = failure
            with contextlib.suppress(RuntimeError):  # the loop is closed: nobody awaits
                loop.call_soon_threadsafe(_settle, ended, error)

        # A thread of its own: a motion may hold it for minutes, which the default executor's
        # few threads are not for.
        threading.Thread(target=run, name="epson-motion", daemon=True).start()
        try:
            await asyncio.shield(ended)
        except asyncio.CancelledError:
            await self._abort_until_ended(ended)
            raise

    async def _abort_until_ended(self, ended: asyncio.Future[None]) -> None:
        """Aborts the motion that ``ended`` stands for and waits until it has ended."""
        while not ended.done():
            # Failures say the motion ended first or the session dropped; a further
            # cancellation changes nothing: the motion must still end first.
            with contextlib.suppress(Exception, asyncio.CancelledError):
                await asyncio.to_thread(self._channel.abort_motion)
            with contextlib.suppress(asyncio.CancelledError):
                await asyncio.wait({ended}, timeout=_ABORT_RETRY_S)
        if not ended.cancelled():
            ended.exception()  # the aborted motion's failure is the expected outcome


def _set_ready(ready: asyncio.Future[None]) -> None:
    if not ready.done():
        ready.set_result(None)


class AsyncSampleStream:
    """``async for`` over a ``SampleStream``: every sample in order, from the same bounded queue.

    Samples already queued are taken at once; otherwise the loop watches the stream's descriptor
    (``SampleStream.fileno()``), which the reader thread makes readable: no thread waits, and a
    sample is only ever taken on the loop, so cancelling an ``async for`` loses none. Ends as the
    stream does; ``close()`` (or leaving ``async with``) detaches it.
    """

    def __init__(self, stream: SampleStream) -> None:
        self._stream = stream
        self._taken_without_yield = 0

    @property
    def stream(self) -> SampleStream:
        """The wrapped ``SampleStream``."""
        return self._stream

    @property
    def dropped(self) -> int:
        """Samples dropped so far because the queue was full."""
        return self._stream.dropped

    @property
    def max_queue(self) -> int:
        return self._stream.max_queue

    @property
    def closed(self) -> bool:
        return self._stream.closed

    def close(self) -> None:
        """Detach the stream from the interface; iteration ends at once."""
        self._stream.close()

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> SequencedSample:
        while True:
            try:
                sample = self._stream.next_nowait()
            except StopIteration:
                raise StopAsyncIteration from None
            if sample is not None:
                self._taken_without_yield += 1
                if self._taken_without_yield >= _SAMPLES_PER_YIELD:
                    self._taken_without_yield = 0
                    await asyncio.sleep(0)  # a long backlog must not starve other tasks
                return sample
            self._taken_without_yield = 0
            await self._readable()

    async def _readable(self) -> None:
        """Until the reader signals a sample or the end (next_nowait() found the queue empty,
        which cleared the signal)."""
        loop = asyncio.get_running_loop()
        descriptor = self._stream.fileno()
        ready = loop.create_future()
        loop.add_reader(descriptor, _set_ready, ready)
        try:
            await ready
        finally:
            loop.remove_reader(descriptor)

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


class AsyncReceiveInterface:
    """An ``EthernetReceiveInterface`` for asyncio.

    Wraps ``receive_interface`` (a new, disconnected one by default). ``get_sample``,
    ``get_status`` and ``is_connected`` answer at once and stay plain methods.
    """

    def __init__(self, receive_interface: EthernetReceiveInterface | None = None) -> None:
        self._rx = (
            receive_interface if receive_interface is not None else EthernetReceiveInterface()
        )

    @property
    def receive_interface(self) -> EthernetReceiveInterface:
        """The wrapped ``EthernetReceiveInterface``."""
        return self._rx

    async def connect(self, host: str, port: int = 2000) -> None:
        """``EthernetReceiveInterface.connect``; a cancelled connect leaves the interface
        disconnected, and ends the attempt in progress at once."""
        await _undoable(functools.partial(self._rx.connect, host, port), self._rx.disconnect)

    async def disconnect(self) -> None:
        await asyncio.to_thread(self._rx.disconnect)

    def is_connected(self) -> bool:
        return self._rx.is_connected()

    def get_sample(self) -> TelemetrySample:
        return self._rx.get_sample()

    def get_status(self) -> TelemetryStatus:
        return self._rx.get_status()

    async def wait_for_sample(
        self, after: int | None = None, timeout_s: float = 1.0
    ) -> SequencedSample | None:
        """``EthernetReceiveInterface.wait_for_sample``, awaited."""
        return await asyncio.to_thread(self._rx.wait_for_sample, after, timeout_s)

    def samples(self, max_queue: int = 1024) -> AsyncSampleStream:
        """Every sample from now on, for ``async for``; see ``EthernetReceiveInterface.samples``."""
        return AsyncSampleStream(self._rx.samples(max_queue))


class AsyncRobotCell:
    """A ``RobotCell`` for asyncio, opened on entry to ``async with`` and closed on exit.

    ``keywords`` go to ``RobotCell`` with the host and ports. ``connect()`` and ``disconnect()``
    do the same without the block.
    """

    def __init__(
        self,
        host: str,
        control_port: int = CommandChannel.default_port,
        receive_port: int = 2000,
        **keywords: Any,
    ) -> None:
        self._open = functools.partial(RobotCell, host, control_port, receive_port, **keywords)
        self._cell: RobotCell | None = None
        self._control: AsyncCommandChannel | None = None
        self._receive: AsyncReceiveInterface | None = None

    @property
    def robot_cell(self) -> RobotCell:
        """The wrapped ``RobotCell``; RuntimeError before ``connect()``."""
        if self._cell is None:
            raise RuntimeError("AsyncRobotCell is not connected")
        return self._cell

    async def connect(self) -> None:
        """Open both connections (in a thread); a cancelled connect leaves nothing open."""
        if self.is_connected():
            raise RuntimeError("AsyncRobotCell is already connected")
        opened: list[RobotCell] = []

        def open_cell() -> RobotCell:
            opened.append(self._open())
            return opened[0]

        def close_opened() -> None:
            for cell in opened:
                cell.disconnect()

        cell = await _undoable(open_cell, close_opened)
        self._cell = cell
        self._control = AsyncCommandChannel(cell.get_control_interface())
        self._receive = AsyncReceiveInterface(cell.get_receive_interface())

    async def disconnect(self) -> None:
        """Close both connections (telemetry first); harmless when not connected."""
        if self._cell is not None:
            await asyncio.to_thread(self._cell.disconnect)

    def is_connected(self) -> bool:
        return self._cell is not None and self._cell.is_connected()

    def get_control_interface(self) -> AsyncCommandChannel:
        """The cell's command session; RuntimeError before ``connect()``."""
        if self._control is None:
            raise RuntimeError("AsyncRobotCell is not connected")
        return self._control

    def get_receive_interface(self) -> AsyncReceiveInterface:
        """The cell's telemetry interface; RuntimeError before ``connect()``."""
        if self._receive is None:
            raise RuntimeError("AsyncRobotCell is not connected")
        return self._receive

    async def __aenter__(self) -> Self:
        await self.connect()
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        await self.disconnect()
