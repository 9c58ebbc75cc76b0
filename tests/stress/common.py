"""What the matrix, the stress run and the soak share: resource counts, output capture at the file
descriptor level (the native code writes to fds 1 and 2 itself), a watchdog that ends the run on a
hang, and the figures they report."""

from __future__ import annotations

import contextlib
import faulthandler
import gc
import os
import signal
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field

# Every session of the run logs in with this; it must never show in a message or a log line.
PASSWORD = "Pw-s3cret-7Qx"


class CheckFailed(AssertionError):
    pass


def check(condition: bool, message: str) -> None:
    if not condition:
        raise CheckFailed(message)


def open_fds() -> set[int]:
    found = set()
    for name in os.listdir("/proc/self/fd"):
        with contextlib.suppress(ValueError):
            found.add(int(name))
    return found


def fd_target(fd: int) -> str:
    try:
        return os.readlink(f"/proc/self/fd/{fd}")
    except OSError:
        return "?"


def task_count() -> int:
    """Threads of this process as the kernel counts them (native threads included)."""
    return len(os.listdir("/proc/self/task"))


def rss_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def wait_until(condition: Callable[[], bool], timeout: float, interval: float = 0.01) -> bool:
    """Bounded poll; True as soon as ``condition`` holds."""
    deadline = time.monotonic() + timeout
    while True:
        if condition():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


@dataclass
class Resources:
    fds: set[int]
    tasks: int

    @classmethod
    def now(cls) -> Resources:
        gc.collect()
        return cls(open_fds(), task_count())

    def leftovers(self, settle: float = 3.0) -> str:
        """What is still open beyond this snapshot after a bounded settling time ("" if none).
        Threads end a moment after join() returns, and sockets a moment after the last
        reference goes, hence the poll."""

        def clean() -> bool:
            gc.collect()
            return open_fds() <= self.fds and task_count() <= self.tasks

        if wait_until(clean, settle, 0.02):
            return ""
        extra = sorted(open_fds() - self.fds)
        parts = []
        if extra:
            parts.append("descriptors " + ", ".join(f"{fd}->{fd_target(fd)}" for fd in extra))
        if task_count() > self.tasks:
            parts.append(f"threads {task_count()} > {self.tasks}")
        return "; ".join(parts)


class Capture:
    """Sends fds 1 and 2 to files while active; the run's own messages go to the saved fds."""

    def __init__(self) -> None:
        self._files = (tempfile.TemporaryFile(), tempfile.TemporaryFile())
        self.saved_out = os.dup(1)
        self.saved_err = os.dup(2)
        self.active = False

    def start(self) -> None:
        self._flush()
        for capture in self._files:
            capture.seek(0)
            capture.truncate()
        os.dup2(self._files[0].fileno(), 1)
        os.dup2(self._files[1].fileno(), 2)
        self.active = True

    def read(self) -> tuple[bytes, bytes]:
        """Everything written to fds 1 and 2 since ``start`` (capture goes on)."""
        self._flush()
        return tuple(os.pread(f.fileno(), 1 << 26, 0) for f in self._files)  # type: ignore[return-value]

    def stop(self) -> tuple[bytes, bytes]:
        captured = self.read()
        os.dup2(self.saved_out, 1)
        os.dup2(self.saved_err, 2)
        self.active = False
        return captured

    def say(self, text: str) -> None:
        """A line on the real standard output, captured or not."""
        os.write(self.saved_out, (text + "\n").encode())

    def shout(self, text: str) -> None:
        os.write(self.saved_err, (text + "\n").encode())

    @staticmethod
    def _flush() -> None:
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(Exception):
                stream.flush()


class Watchdog:
    """One thread for the whole run: a phase arms it with a deadline; if the deadline passes, the
    stacks of every Python thread are written out, the child processes are killed and the run
    ends with exit code 3. A deadlock therefore fails the run instead of stalling it."""

    def __init__(self, capture: Capture, children: Callable[[], list[int]]) -> None:
        self._capture = capture
        self._children = children
        self._cond = threading.Condition()
        self._deadline: float | None = None
        self._label = ""
        self._thread = threading.Thread(target=self._watch, name="stress-watchdog", daemon=True)
        self._thread.start()

    def arm(self, label: str, seconds: float) -> None:
        with self._cond:
            self._label = label
            self._deadline = time.monotonic() + seconds
            self._cond.notify()

    def disarm(self) -> None:
        with self._cond:
            self._deadline = None
            self._cond.notify()

    def _watch(self) -> None:
        with self._cond:
            while True:
                if self._deadline is None:
                    self._cond.wait()
                    continue
                remaining = self._deadline - time.monotonic()
                if remaining > 0:
                    self._cond.wait(remaining)
                    continue
                self.fire(f"HANG: {self._label} did not finish in time")

    def fire(self, message: str) -> None:
        self._capture.shout(message)
        self._capture.shout("Python stacks of every thread:")
        faulthandler.dump_traceback(file=self._capture.saved_err, all_threads=True)
        for pid in self._children():
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)
        os._exit(3)


@dataclass
class PhaseResult:
    """Figures of one phase, as printed and written to the reliability document."""

    name: str
    ok: bool
    figures: dict[str, object] = field(default_factory=dict)
    failures: list[str] = field(default_factory=list)
    rows: list[tuple] = field(default_factory=list)  # matrix: (step, fault, result, seconds)
    seconds: float = 0.0
