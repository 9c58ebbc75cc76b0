"""GIL friendliness: a CPU-bound Python thread's throughput while another thread waits in a 2 s
``go`` against the simulator and telemetry streams at 1 kHz, against the same thread alone.

Rounds alternate the two conditions (alone/with, with/alone, ...) so that a drift of the
machine's load hits both alike; the ratio is the median of the rounds' own ratios, so that a
burst of other work on a shared machine in one window does not decide it. With two CPUs or
more, the measured thread runs on the idlest one and everything else (the simulator, the
waiting thread, the telemetry reader) on another: what is measured is whether our threads keep
the measured one from running Python, not whose CPU time a busy two-core machine happens to take
it from. Prints one JSON object.
"""

from __future__ import annotations

import json
import os
import statistics
import sys
import threading
import time

from tools import HOST, cpus_by_idleness

from epson_remote import CommandChannel, EthernetReceiveInterface
from epson_remote.sim import ControllerSimulator

WINDOW_S = 1.5  # CPU-bound work per measurement
GO_S = 2.0  # the scripted motion; the window fits inside it
TELEMETRY_HZ = 1000.0


MEASURED_CPUS: set[int] = set()  # where the measured thread runs; empty: anywhere


def cpu_bound(seconds: float, result: list) -> None:
    """Pure-Python work in chunks; appends (chunks done, seconds taken)."""
    if MEASURED_CPUS:
        os.sched_setaffinity(0, MEASURED_CPUS)  # this thread only
    clock = time.perf_counter
    chunks = 0
    start = clock()
    end = start + seconds
    while clock() < end:
        total = 0
        for value in range(2000):
            total += value * value
        chunks += 1
    result.append((chunks, clock() - start))


def measure(seconds: float) -> tuple[int, float]:
    result: list = []
    worker = threading.Thread(target=cpu_bound, args=(seconds, result))
    worker.start()
    worker.join()
    return result[0]


def with_motion(sim: ControllerSimulator, channel: CommandChannel) -> tuple[int, float]:
    """The CPU-bound thread while a ``go`` waits on the controller and telemetry streams."""
    telemetry = EthernetReceiveInterface()
    telemetry.connect(HOST, sim.telemetry_port)
    sim.clear_requests()
    sim.script("Go P1", reply="#Execute,0", delay=GO_S)
    errors: list = []

    def go() -> None:
        try:
            channel.go("P1", False, False, None, None, None, False)
        except Exception as error:  # reported below: a failed go would void the figure
            errors.append(error)

    mover = threading.Thread(target=go)
    mover.start()
    sim.wait_for_request("Go P1", timeout=10.0)
    try:
        sample_before = telemetry.get_sample()["timestamp"]
        result = measure(WINDOW_S)
        streaming = telemetry.get_sample()["timestamp"] > sample_before
    finally:
        mover.join()
        telemetry.disconnect()
    if errors:
        raise RuntimeError(f"go failed: {errors[0]}")
    if not streaming:
        raise RuntimeError("telemetry did not stream during the measurement")
    return result


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 6
    cpus = cpus_by_idleness()
    if len(cpus) > 1:
        MEASURED_CPUS.add(cpus[0])
        # Inherited by the simulator and by every thread started from here on.
        os.sched_setaffinity(0, set(cpus[1:]))
    with ControllerSimulator(telemetry_rate_hz=TELEMETRY_HZ) as sim:
        channel = CommandChannel()
        channel.connect(HOST, sim.command_port)
        try:
            measure(0.3)  # warm-up
            windows: dict[str, list[tuple[int, float]]] = {"alone": [], "with": []}
            for index in range(rounds):
                # alone, with, with, alone, ...: each condition as often first as second
                order = ("alone", "with") if index % 2 == 0 else ("with", "alone")
                for condition in order:
                    windows[condition].append(
                        measure(WINDOW_S) if condition == "alone" else with_motion(sim, channel)
                    )
        finally:
            channel.disconnect()

    def rate(condition: str) -> float:
        return sum(c for c, _ in windows[condition]) / sum(s for _, s in windows[condition])

    pairs = zip(windows["alone"], windows["with"], strict=True)
    round_ratios = [(wc / ws) / (ac / as_) for (ac, as_), (wc, ws) in pairs]

    result = {
        "alone_chunks_per_s": round(rate("alone"), 1),
        "with_go_and_telemetry_chunks_per_s": round(rate("with"), 1),
        "ratio": round(statistics.median(round_ratios), 4),
        "round_ratios": [round(r, 4) for r in round_ratios],
        "window_rates": {k: [round(c / s, 1) for c, s in v] for k, v in windows.items()},
        "rounds": rounds,
        "window_s": WINDOW_S,
        "measured_thread_cpus": sorted(MEASURED_CPUS),
    }
    print("BENCH-RESULT " + json.dumps(result))


if __name__ == "__main__":
    main()
