"""What the page shows of the telemetry, polled once a frame from a receive interface.

Where the interface offers ``samples()``, a frame takes every sample queued since the last one
(the reader drops the oldest of a full queue rather than wait), so the rate and the charts see
every sample. Otherwise the frame polls ``get_sample()``, which copies the latest sample under the
reader's mutex: only the samples a poll sees are counted then, and a rate close to the poll rate
is reported as a lower bound. Either way a slow page cannot slow the reader.
"""

from __future__ import annotations

import time
from collections import deque
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

from .._status import ControllerState, decode_status

Vector = tuple[float, ...]


@dataclass(frozen=True)
class Sample:
    timestamp: float  # time.monotonic() when the reader stored it
    joints: Vector
    pose: Vector


@dataclass(frozen=True)
class Snapshot:
    """One frame's worth of telemetry."""

    connected: bool
    latest: Sample | None  # None until the first sample since connecting
    age_s: float | None
    rate_hz: float
    rate_is_lower_bound: bool
    state: ControllerState
    status_valid: bool
    # Oldest first; the feed's own window, valid until its next poll (one thread draws).
    history: Sequence[Sample] = field(default=(), repr=False)


class TelemetryFeed:
    """Keeps the last ``window_s`` seconds of samples seen by ``poll()``; one thread polls."""

    RATE_WINDOW_S = 2.0

    def __init__(
        self,
        receive_interface: Any,
        window_s: float = 10.0,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self._rx = receive_interface
        self._window_s = window_s
        self._clock = clock
        self._history: deque[Sample] = deque()
        self._last_sequence: int | None = None
        self._arrivals = 0  # samples counted since the start
        self._counts: deque[tuple[float, int, int]] = deque()  # (poll time, arrivals, polls)
        self._polls = 0
        self._sequenced = False
        self._stream: Any = None
        self._streams = hasattr(receive_interface, "samples")

    def close(self) -> None:
        if self._stream is not None:
            self._stream.close()
            self._stream = None

    def _queued(self, connected: bool) -> list[dict[str, Any]] | None:
        """The samples queued since the last poll; None when there is no stream to take from."""
        if self._stream is None and self._streams and connected:
            self._stream = self._rx.samples()
        if self._stream is None:
            return None
        taken: list[dict[str, Any]] = []
        try:
            while (sample := self._stream.next_nowait()) is not None:
                taken.append(sample)
        except StopIteration:  # the interface was disconnected; a new stream next time
            self._stream = None
        return taken

    def poll(self) -> Snapshot:
        connected = bool(self._rx.is_connected())
        queued = self._queued(connected)
        sample = self._rx.get_sample()
        status = self._rx.get_status()
        now = self._clock()
        self._polls += 1
        if sample["valid"]:
            # A stream's first poll has nothing queued yet: the latest sample shows meanwhile.
            for each in queued if queued else (sample,):
                self._take(each)
        else:  # a new connection: what was kept belongs to the old one
            self._history.clear()
            self._last_sequence = None
        while self._history and self._history[0].timestamp < now - self._window_s:
            self._history.popleft()
        self._counts.append((now, self._arrivals, self._polls))
        while self._counts and self._counts[0][0] < now - self.RATE_WINDOW_S:
            self._counts.popleft()
        rate, lower_bound = self._rate()
        latest = self._history[-1] if self._history else None
        valid_status = bool(status["valid"])
        return Snapshot(
            connected=connected,
            latest=latest,
            age_s=None if latest is None else max(now - latest.timestamp, 0.0),
            rate_hz=rate,
            rate_is_lower_bound=lower_bound,
            state=decode_status(status),
            status_valid=valid_status,
            history=self._history,
        )

    def _take(self, sample: dict[str, Any]) -> None:
        timestamp = float(sample["timestamp"])
        if self._history and timestamp <= self._history[-1].timestamp:
            return  # seen already (each stored sample has a later time stamp)
        sequence = sample.get("sequence")
        if isinstance(sequence, int):
            self._sequenced = True
            last, self._last_sequence = self._last_sequence, sequence
            self._arrivals += sequence - last if last is not None and sequence > last else 1
        else:
            self._arrivals += 1
        self._history.append(
            Sample(
                timestamp,
                tuple(float(v) for v in sample["joint_positions"]),
                tuple(float(v) for v in sample["tcp_pose"]),
            )
        )

    def _rate(self) -> tuple[float, bool]:
        if len(self._counts) < 2:
            return 0.0, False
        (t0, a0, p0), (t1, a1, p1) = self._counts[0], self._counts[-1]
        if t1 <= t0:
            return 0.0, False
        arrivals, polls = a1 - a0, p1 - p0
        # Unnumbered samples: a new one on nearly every poll means some fell between polls.
        lower_bound = not self._sequenced and polls > 0 and arrivals >= 0.8 * polls
        return arrivals / (t1 - t0), lower_bound
