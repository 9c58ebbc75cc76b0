"""Helpers shared by the benchmark drivers: the native helper programs, latency summaries."""

from __future__ import annotations

import math
import os
import subprocess
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
REPO_ROOT = BENCH_DIR.parent
NATIVE_DIR = Path(os.environ.get("EPSON_BENCH_NATIVE", REPO_ROOT / "build" / "bench"))
HOST = "127.0.0.1"


class Native:
    """One of the native helper programs, driven through its standard input and output.

    It ends when its standard input closes (``close``); one that does not end in time is killed
    by its PID. Every program also ends by itself after its own watchdog limit.
    """

    def __init__(self, name: str, *args: str | int) -> None:
        self.name = name
        self.process = subprocess.Popen(
            [str(NATIVE_DIR / name), *map(str, args)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            bufsize=1,
        )
        self.port: int | None = None

    def read_port(self) -> int:
        """The "port N" line a server prints once it listens."""
        words = self.readline().split()
        if len(words) != 2 or words[0] != "port":
            raise RuntimeError(f"{self.name} did not report its port: {words}")
        self.port = int(words[1])
        return self.port

    def send(self, line: str) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def readline(self) -> str:
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"{self.name} ended unexpectedly (exit {self.process.poll()})")
        return line

    def close(self, timeout: float = 5.0) -> None:
        if self.process.stdin is not None and not self.process.stdin.closed:
            self.process.stdin.close()
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()  # by its PID: it is our own child
            self.process.wait(timeout)
        if self.process.stdout is not None:
            self.process.stdout.close()

    def __enter__(self) -> Native:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


def server(name: str, *args: str | int) -> Native:
    program = Native(name, *args)
    program.read_port()
    return program


def _cpu_idle_ticks() -> dict[int, int]:
    ticks = {}
    with open("/proc/stat") as stat:
        for line in stat:
            name, *fields = line.split()
            if name.startswith("cpu") and name != "cpu":
                ticks[int(name[3:])] = int(fields[3]) + int(fields[4])  # idle + iowait
    return ticks


def cpus_by_idleness(sample_s: float = 0.5) -> list[int]:
    """The CPUs this thread may run on, the idlest over ``sample_s`` seconds first."""
    allowed = os.sched_getaffinity(0)
    before = _cpu_idle_ticks()
    time.sleep(sample_s)
    after = _cpu_idle_ticks()
    return sorted(allowed, key=lambda c: before.get(c, 0) - after.get(c, 0))


def pin_to_idlest_cpu(sample_s: float = 0.5) -> int:
    """Pins this process (and the children it starts from now on) to the CPU that was idlest
    over ``sample_s`` seconds, and returns that CPU.

    A round trip between two processes on one CPU is two context switches; between two CPUs it
    is two cross-CPU wake-ups, which on a virtual machine cost several times more and depend on
    where the scheduler happens to put each process. Putting every contestant and its peer on
    the same CPU measures all of them under the same, repeatable condition.
    """
    cpu = cpus_by_idleness(sample_s)[0]
    os.sched_setaffinity(0, {cpu})
    return cpu


def percentile(values: list[float], fraction: float) -> float:
    """Nearest-rank percentile, the definition the native programs use."""
    if not values:
        return math.nan
    ordered = sorted(values)
    rank = math.ceil(fraction * len(ordered))
    return ordered[min(len(ordered) - 1, max(rank, 1) - 1)]


def summary(latencies_us: list[float], seconds: float) -> dict:
    return {
        "count": len(latencies_us),
        "p50_us": round(percentile(latencies_us, 0.5), 3),
        "p99_us": round(percentile(latencies_us, 0.99), 3),
        "per_s": round(len(latencies_us) / seconds, 1) if seconds > 0 else math.nan,
    }


def wait_until(check, timeout: float, step: float = 0.01) -> bool:
    """Polls ``check`` until it is true or ``timeout`` seconds have passed."""
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True
