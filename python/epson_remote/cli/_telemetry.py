"""Watching the telemetry stream: a poller that sees each new sample, its measured rate, and the
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

from .._receive_interface import EthernetReceiveInterface

JOINT_COLUMNS = tuple(f"J{n}_deg" for n in range(1, 7))
POSE_COLUMNS = ("X_mm", "Y_mm", "Z_mm", "U_deg", "V_deg", "W_deg")
CSV_COLUMNS = ("t_s", *JOINT_COLUMNS, *POSE_COLUMNS, "event")

_FASTEST_POLL = 0.0005  # s
_SLOWEST_POLL = 0.01  # s
_RATE_WINDOW = 1.0  # s of samples the measured rate covers


@dataclass(frozen=True)
class Sample:
    timestamp: float  # time.monotonic() clock, when the receive interface stored it
    joints: tuple[float, ...]
    pose: tuple[float, ...]
    event: str = ""


class TelemetryWatcher:
    """Polls ``get_sample()`` on a thread of its own and notices every new sample.

    The receive interface keeps only the latest sample, so the watcher polls at about four times
    the measured stream rate (between 0.5 ms and 10 ms apart); a sample replaced between two polls
    is not seen. ``keep=True`` keeps every sample seen, for a CSV file.
    """

    def __init__(self, telemetry: EthernetReceiveInterface, *, keep: bool = False) -> None:
        self._telemetry = telemetry
        self._keep = keep
        self._lock = threading.Lock()
        self._samples: list[Sample] = []
        self._recent: deque[float] = deque()
        self._latest: Sample | None = None
        self._event = ""
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="telemetry-watcher", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        last_stamp: float | None = None
        interval = _FASTEST_POLL
        while not self._stop.wait(interval):
            sample = self._telemetry.get_sample()
            stamp = float(sample["timestamp"])
            if not sample["valid"] or stamp == last_stamp:
                continue
            last_stamp = stamp
            with self._lock:
                event, self._event = self._event, ""
                record = Sample(
                    stamp, tuple(sample["joint_positions"]), tuple(sample["tcp_pose"]), event
                )
                self._latest = record
                if self._keep:
                    self._samples.append(record)
                self._recent.append(stamp)
                while self._recent and self._recent[0] < stamp - _RATE_WINDOW:
                    self._recent.popleft()
                count = len(self._recent)
                span = self._recent[-1] - self._recent[0] if count > 1 else 0.0
            period = span / (count - 1) if count > 1 else _FASTEST_POLL
            interval = min(max(period / 4.0, _FASTEST_POLL), _SLOWEST_POLL)

    def stop(self) -> None:
        self._stop.set()
        self._thread.join(5.0)

    def mark(self, event: str) -> None:
        """Label the next sample (shown in the plot)."""
        with self._lock:
            self._event = f"{self._event}; {event}" if self._event else event

    def latest(self) -> Sample | None:
        with self._lock:
            return self._latest

    def samples(self) -> list[Sample]:
        with self._lock:
            return list(self._samples)

    def rate_hz(self) -> float:
        """Samples per second over the last second seen (0 when the stream stalls)."""
        now = time.monotonic()
        with self._lock:
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
        seen: float | None = None
        while time.monotonic() < deadline and while_():
            latest = self.latest()
            if latest is not None and latest.timestamp != seen:
                seen = latest.timestamp
                if predicate(latest):
                    return latest
            time.sleep(0.005)
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
                    repr(round(sample.timestamp - self._start, 6)),
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
