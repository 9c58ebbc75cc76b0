"""Read the telemetry stream for a few seconds and print the measured rate and the last sample.

    python examples/record_telemetry.py                       # a simulator of its own
    python examples/record_telemetry.py 192.168.0.1 [PORT]    # a controller's Background Task

The receive interface keeps only the latest sample; a reader that wants every sample polls
faster than they arrive and keeps those with a new timestamp.
"""

from __future__ import annotations

import sys
import time

from epson_remote import EthernetReceiveInterface
from epson_remote.sim import ControllerSimulator


def record(host: str, port: int, seconds: float = 2.0) -> list[tuple[float, list[float]]]:
    telemetry = EthernetReceiveInterface()
    telemetry.connect(host, port)  # returns once a first complete sample has arrived
    samples: list[tuple[float, list[float]]] = []
    try:
        deadline = time.monotonic() + seconds
        last = -1.0
        while time.monotonic() < deadline:
            sample = telemetry.get_sample()
            stamp = float(sample["timestamp"])
            if sample["valid"] and stamp != last:
                last = stamp
                samples.append((stamp, list(sample["joint_positions"])))
            time.sleep(0.001)
        status = telemetry.get_status()
        if status["valid"]:
            print("status words:", dict(status["fields"]))
    finally:
        telemetry.disconnect()
    return samples


def main() -> None:
    if len(sys.argv) > 1:
        samples = record(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 2000)
    else:
        with ControllerSimulator(telemetry_rate_hz=200.0) as sim:
            assert sim.telemetry_port is not None
            samples = record(sim.host, sim.telemetry_port)
    span = samples[-1][0] - samples[0][0]
    print(f"{len(samples)} samples in {span:.2f} s: {(len(samples) - 1) / span:.0f} per second")
    print("last joints [deg]:", [round(value, 3) for value in samples[-1][1]])


if __name__ == "__main__":
    main()
