"""Every sample at 1 kHz: the largest gap in ``sequence`` over a minute with a consumer that keeps
up, next to a plain-Python reader of the same stream over the same minute.

Both sides read one native writer (``bench_telemetry_writer``, 1 kHz, its own sample number in
J2agl), each in a process of its own so that neither takes the other's interpreter lock:

- ours: ``EthernetReceiveInterface.samples()``, the consumer noting for each sample the gap in
  ``sequence``, the gap in the writer's number and the time since the previous sample;
- plain: a socket and a line loop in Python with nothing of ours imported, noting the gap in the
  writer's number and the time between lines.

A gap is the number of samples missing between two consecutive ones (0: none). The writer skips
a client whose socket is full, so a gap in its number on both sides would be the machine's, one
in ``sequence`` ours. Prints one JSON object.

    sequence_bench.py SECONDS              the driver (starts the writer and both sides)
    sequence_bench.py SIDE PORT SECONDS    one side, SIDE "ours" or "plain"
"""

from __future__ import annotations

import json
import socket
import subprocess
import sys
import threading
import time

from tools import BENCH_DIR, HOST, percentile, server

RATE_HZ = 1000
START_TIMEOUT_S = 30.0


class Gaps:
    """The largest gap of a numbered series and the intervals between its members."""

    def __init__(self) -> None:
        self.count = 0
        self.largest = 0
        self.missing = 0
        self._last: int | None = None

    def add(self, number: int) -> None:
        if self._last is not None:
            gap = number - self._last - 1
            self.largest = max(self.largest, gap)
            self.missing += max(gap, 0)
        self._last = number
        self.count += 1

    def summary(self) -> dict:
        return {"count": self.count, "largest_gap": self.largest, "missing": self.missing}


def intervals_summary(intervals_s: list[float]) -> dict:
    return {
        "max_interval_ms": round(max(intervals_s, default=0.0) * 1e3, 3),
        "p99_interval_ms": round(percentile(intervals_s, 0.99) * 1e3, 3) if intervals_s else 0.0,
    }


def ours(port: int, seconds: float) -> dict:
    from epson_remote import EthernetReceiveInterface

    telemetry = EthernetReceiveInterface()
    telemetry.connect(HOST, port)
    sequence, writer = Gaps(), Gaps()
    intervals: list[float] = []
    try:
        with telemetry.samples() as stream:
            timer = threading.Timer(seconds, stream.close)  # ends the loop
            timer.start()
            last_stamp = None
            for sample in stream:
                sequence.add(sample["sequence"])
                writer.add(int(sample["joint_positions"][1]))
                stamp = sample["timestamp"]
                if last_stamp is not None:
                    intervals.append(stamp - last_stamp)
                last_stamp = stamp
            timer.cancel()
            dropped = stream.dropped
    finally:
        telemetry.disconnect()
    return {
        "sequence": sequence.summary(),
        "writer": writer.summary(),
        "dropped": dropped,
        **intervals_summary(intervals),
    }


def plain(port: int, seconds: float) -> dict:
    writer = Gaps()
    intervals: list[float] = []
    key = b"J2agl="
    with socket.create_connection((HOST, port)) as connection:
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        connection.settimeout(1.0)
        pending = b""
        last_stamp = None
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                data = connection.recv(65536)
            except TimeoutError:
                continue
            if not data:
                break
            *lines, pending = (pending + data).split(b"\r")
            for line in lines:
                at = line.find(key)
                if at < 0:
                    continue  # a status line
                stamp = time.monotonic()
                writer.add(int(line[at + len(key) :].split(b";", 1)[0]))
                if last_stamp is not None:
                    intervals.append(stamp - last_stamp)
                last_stamp = stamp
    return {"writer": writer.summary(), **intervals_summary(intervals)}


def drive(seconds: float) -> dict:
    with server("bench_telemetry_writer", RATE_HZ) as writer:
        sides = {
            side: subprocess.Popen(
                [sys.executable, str(BENCH_DIR / "sequence_bench.py"), side, str(writer.port)]
                + [str(seconds)],
                stdout=subprocess.PIPE,
                text=True,
                cwd=BENCH_DIR,
            )
            for side in ("ours", "plain")
        }
        results = {}
        for side, process in sides.items():
            out, _ = process.communicate(timeout=seconds + START_TIMEOUT_S)
            lines = [line for line in out.splitlines() if line.startswith("SIDE-RESULT ")]
            if process.returncode != 0 or not lines:
                raise RuntimeError(f"the {side} side failed (exit {process.returncode})")
            results[side] = json.loads(lines[-1].removeprefix("SIDE-RESULT "))
    return {"seconds": seconds, "rate_hz": RATE_HZ, **results}


def main() -> None:
    if len(sys.argv) == 4:
        side, port, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
        result = {"ours": ours, "plain": plain}[side](port, seconds)
        print("SIDE-RESULT " + json.dumps(result), flush=True)
        return
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    print("BENCH-RESULT " + json.dumps(drive(seconds)))


if __name__ == "__main__":
    main()
