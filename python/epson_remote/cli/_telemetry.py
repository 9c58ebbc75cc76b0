"""Watching the telemetry stream: a recorder that takes every sample, its measured rate, and the
trajectory CSV file that ``monitor --record``, the demo and ``plot`` share."""

from __future__ import annotations

import csv
import math
import threading
import time
from collections import deque
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from .._receive_interface import EthernetReceiveInterface

if TYPE_CHECKING:
    from .._receive_interface import SequencedSample

JOINT_COLUMNS = tuple(f"J{n}_deg" for n in range(1, 7))
POSE_COLUMNS = ("X_mm", "Y_mm", "Z_mm", "U_deg", "V_deg", "W_deg")
CSV_COLUMNS = ("t_s", *JOINT_COLUMNS, *POSE_COLUMNS, "event")

_RATE_WINDOW = 1.0  # s of samples the measured rate covers
_WHILE_CHECK = 0.05  # s between two looks at wait_for's while_


@dataclass(frozen=True)
class Sample:
    timestamp: float  # time.monotonic() clock, when the receive interface stored it
    joints: tuple[float, ...]
    pose: tuple[float, ...]
    event: str = ""
    sequence: int = 0  # complete samples since the interface connected


class TelemetryWatcher:
    """Takes every sample of a connected interface's stream on a thread of its own.

    The stream queues the samples for the watcher's thread, which sleeps until one comes (no
    polling); ``missed()`` counts the samples lost all the same (sequence gaps, and samples the
    queue dropped had the thread fallen behind). ``keep=True`` keeps every sample, for a CSV
    file. The watcher ends when the interface is disconnected, or at ``stop()``.
    """

    def __init__(self, telemetry: EthernetReceiveInterface, *, keep: bool = False) -> None:
        self._keep = keep
        self._changed = threading.Condition()
        self._samples: list[Sample] = []
        self._recent: deque[float] = deque()
        self._latest: Sample | None = None
        self._event = ""
        self._gaps = 0
        # The stream first, then the latest sample: together they miss nothing from that one on.
        self._stream = telemetry.samples()
        latest = telemetry.wait_for_sample(None, 0.0)
        self._last_sequence = 0
        if latest is not None:
            self._add(latest)
        self._thread = threading.Thread(target=self._run, name="telemetry-watcher", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        for sample in self._stream:  # waits with the interpreter lock released
            if sample["sequence"] > self._last_sequence:
                self._add(sample)

    def _add(self, sample: SequencedSample) -> None:
        stamp = float(sample["timestamp"])
        sequence = int(sample["sequence"])
        with self._changed:
            if self._last_sequence:
                self._gaps += sequence - self._last_sequence - 1
            self._last_sequence = sequence
            event, self._event = self._event, ""
            record = Sample(
                stamp, tuple(sample["joint_positions"]), tuple(sample["tcp_pose"]), event, sequence
            )
            self._latest = record
            if self._keep:
                self._samples.append(record)
            self._recent.append(stamp)
            while self._recent and self._recent[0] < stamp - _RATE_WINDOW:
                self._recent.popleft()
            self._changed.notify_all()

    def stop(self) -> None:
        self._stream.close()
        self._thread.join(5.0)

    def mark(self, event: str) -> None:
        """Label the next sample (shown in the plot)."""
        with self._changed:
            self._event = f"{self._event}; {event}" if self._event else event

    def latest(self) -> Sample | None:
        with self._changed:
            return self._latest

    def samples(self) -> list[Sample]:
        with self._changed:
            return list(self._samples)

    def missed(self) -> int:
        """Samples of the stream that the watcher did not get, since it started."""
        with self._changed:
            return self._gaps + self._stream.dropped

    def rate_hz(self) -> float:
        """Samples per second over the last second seen (0 when the stream stalls)."""
        now = time.monotonic()
        with self._changed:
            recent = [stamp for stamp in self._recent if stamp >= now - _RATE_WINDOW]
        if len(recent) < 2:
            return 0.0
        return (len(recent) - 1) / max(recent[-1] - recent[0], 1e-9)

    def age_s(self) -> float | None:
        latest = self.latest()
        return None if latest is None else max(time.monotonic() - latest.timestamp, 0.0)

    def wait_for(
        self,
        predicate: Callable[[Sample], bool],
        timeout: float,
        while_: Callable[[], bool] = lambda: True,
    ) -> Sample | None:
        """The first new sample (from now on) that satisfies ``predicate``; None after ``timeout``
        seconds or as soon as ``while_()`` turns false."""
        deadline = time.monotonic() + timeout
        with self._changed:
            seen = self._last_sequence
            while while_():
                if self._latest is not None and self._latest.sequence != seen:
                    seen = self._latest.sequence
                    if predicate(self._latest):
                        return self._latest
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._changed.wait(min(left, _WHILE_CHECK))
        return None


def distance_mm(a: Sequence[float], b: Sequence[float]) -> float:
    """Distance between the positions (X, Y, Z) of two poses."""
    return math.dist(a[:3], b[:3])


class CsvWriter:
    """Appends samples to a CSV file as they come (``monitor --record``)."""

    def __init__(self, path: Path) -> None:
        path.parent.mkdir(parents=True, exist_ok=True)
        self._file = path.open("w", newline="", encoding="utf-8")
        self._writer = csv.writer(self._file)
        self._writer.writerow(CSV_COLUMNS)
        self._start: float | None = None
        self.rows = 0

    def write(self, samples: Iterable[Sample]) -> None:
        for sample in samples:
            self._start = sample.timestamp if self._start is None else self._start
            self._writer.writerow(
                [
                    # To the nanosecond: samples that came in one burst lie microseconds apart.
                    repr(round(sample.timestamp - self._start, 9)),
                    *map(repr, sample.joints),
                    *map(repr, sample.pose),
                    sample.event,
                ]
            )
            self.rows += 1
        self._file.flush()

    def close(self) -> None:
        self._file.close()


def write_csv(path: Path, samples: Iterable[Sample]) -> int:
    """Write samples with time relative to the first one; returns the number of rows."""
    writer = CsvWriter(path)
    try:
        writer.write(samples)
    finally:
        writer.close()
    return writer.rows


@dataclass(frozen=True)
class Trajectory:
    """A trajectory CSV file read back: one list per column."""

    time_s: list[float]
    joints: list[list[float]]  # six columns
    pose: list[list[float]]  # six columns
    events: list[tuple[float, str]]


def read_csv(path: Path) -> Trajectory:
    """Read a trajectory CSV file; ValueError says what is wrong with it."""
    with path.open(newline="", encoding="utf-8") as file:
        reader = csv.DictReader(file)
        missing = [c for c in CSV_COLUMNS[:-1] if c not in (reader.fieldnames or [])]
        if missing:
            raise ValueError(f"{path} is not a trajectory file: no column {', '.join(missing)}")
        time_s: list[float] = []
        joints: list[list[float]] = [[] for _ in JOINT_COLUMNS]
        pose: list[list[float]] = [[] for _ in POSE_COLUMNS]
        events: list[tuple[float, str]] = []
        for line, row in enumerate(reader, start=2):
            try:
                t = float(row["t_s"])
                values = [float(row[c]) for c in (*JOINT_COLUMNS, *POSE_COLUMNS)]
            except (TypeError, ValueError):
                raise ValueError(f"{path}, line {line}: not a number where one belongs") from None
            time_s.append(t)
            for column, value in zip(joints + pose, values, strict=True):
                column.append(value)
            if row.get("event"):
                events.append((t, row["event"]))
    if not time_s:
        raise ValueError(f"{path} holds no samples")
    return Trajectory(time_s, joints, pose, events)
