"""Scale: 32 robot cells in this process, each with its own command session against the native
responder and a 250 Hz telemetry stream from a native writer.

Measures the CPU this process uses while the streams run (the main thread only sleeps), the
resident memory each cell adds, and the wake-ups per second of the process's other threads while
the writer is paused (connections open, no data). For the CPU figure, 32 bare native reader
threads on their own writer show the floor: windows of ours and of the floor alternate, each with
the other's writer paused. Prints one JSON object.
"""

from __future__ import annotations

import gc
import json
import os
import time

from tools import HOST, Native, server, wait_until

from epson_remote import RobotCell

CELLS = 32
RATE_HZ = 250
CPU_WINDOW_S = 2.5  # per window; two windows each for ours and the floor
IDLE_WINDOW_S = 3.0


def resident_bytes() -> int:
    """The resident set: the second field of /proc/self/statm, in pages."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cpu_seconds() -> float:
    times = os.times()
    return times.user + times.system


def thread_switches() -> dict[int, int]:
    """Context switches so far of every thread but this (the measuring) one."""
    switches = {}
    me = os.getpid()
    for tid in os.listdir("/proc/self/task"):
        if int(tid) == me:
            continue
        try:
            with open(f"/proc/self/task/{tid}/status") as status:
                count = 0
                for line in status:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        count += int(line.split()[1])
                switches[int(tid)] = count
        except FileNotFoundError:
            pass  # ended meanwhile
    return switches


def switches_over(seconds: float) -> tuple[float, int]:
    """Wake-ups per second of the other threads over ``seconds``, and how many threads."""
    before = thread_switches()
    time.sleep(seconds)
    after = thread_switches()
    woken = sum(after[tid] - before[tid] for tid in before if tid in after)
    return woken / seconds, len(before)


def set_paused(writer: Native, paused: bool) -> None:
    writer.send("pause" if paused else "resume")
    writer.readline()  # acknowledged: the change is in force


def main() -> None:
    with (
        server("bench_responder") as responder,
        server("bench_telemetry_writer", RATE_HZ) as writer,
        server("bench_telemetry_writer", RATE_HZ) as floor_writer,
    ):
        # One cell made and dropped first: libraries loaded and first-use allocations done, so
        # the figure per cell holds what each further cell costs.
        RobotCell(HOST, responder.port, writer.port).disconnect()
        gc.collect()
        time.sleep(0.2)
        rss_before = resident_bytes()
        cells = [RobotCell(HOST, responder.port, writer.port) for _ in range(CELLS)]
        floor = Native("bench_telemetry_readers", floor_writer.port, CELLS)
        try:
            if not wait_until(lambda: all(c.is_connected() for c in cells), timeout=5.0):
                raise RuntimeError("not every cell connected")
            if floor.readline().strip() != "ready":
                raise RuntimeError("the floor readers got no data")
            time.sleep(0.5)  # every stream running in steady state
            rss_after = resident_bytes()

            ours_cpu = floor_cpu = ours_wall = floor_wall = 0.0
            busy_wakeups = []
            for index in range(4):
                measuring_ours = index % 2 == 1
                set_paused(writer, not measuring_ours)
                set_paused(floor_writer, measuring_ours)
                time.sleep(0.2)  # lines in flight are read
                wall = time.monotonic()
                if measuring_ours:
                    cpu = cpu_seconds()
                    rate, threads = switches_over(CPU_WINDOW_S)
                    ours_cpu += cpu_seconds() - cpu
                    ours_wall += time.monotonic() - wall
                    busy_wakeups.append(rate)
                    samples = [cell.get_receive_interface().get_sample() for cell in cells]
                    fresh = [time.monotonic() - s["timestamp"] < 0.5 for s in samples]
                    if not all(s["valid"] for s in samples) or not all(fresh):
                        raise RuntimeError("a cell's telemetry is not streaming")
                else:
                    floor.send("cpu")
                    cpu = float(floor.readline())
                    time.sleep(CPU_WINDOW_S)
                    floor.send("cpu")
                    floor_cpu += float(floor.readline()) - cpu
                    floor_wall += time.monotonic() - wall

            set_paused(writer, True)
            set_paused(floor_writer, True)
            time.sleep(0.3)  # lines in flight are read
            idle_wakeups, _ = switches_over(IDLE_WINDOW_S)
        finally:
            floor.close()
            for cell in cells:
                cell.disconnect()
    result = {
        "cells": CELLS,
        "rate_hz": RATE_HZ,
        "cpu_fraction_of_core": round(ours_cpu / ours_wall, 5),
        "floor_cpu_fraction_of_core": round(floor_cpu / floor_wall, 5),
        "bytes_per_cell": round((rss_after - rss_before) / CELLS),
        "idle_wakeups_per_s": round(idle_wakeups, 2),
        "streaming_wakeups_per_s": round(sum(busy_wakeups) / len(busy_wakeups), 1),
        "threads_watched": threads,
        "cpu_window_s": CPU_WINDOW_S,
        "idle_window_s": IDLE_WINDOW_S,
    }
    print("BENCH-RESULT " + json.dumps(result))


if __name__ == "__main__":
    main()
