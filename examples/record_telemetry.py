"""Record every telemetry sample for a few seconds; print the measured rate, the samples lost
(none, when the reader keeps up) and the last sample.

    python examples/record_telemetry.py                       # a simulator of its own
    python examples/record_telemetry.py 192.168.0.1 [PORT]    # a controller's Background Task

``samples()`` queues every sample for its reader, who waits for the next without polling; a gap
in ``sequence`` would show a sample lost on the way, ``dropped`` those the queue let go of
because the reader fell behind.
"""

from __future__ import annotations

import sys
import threading

from epson_remote import EthernetReceiveInterface
from epson_remote.sim import ControllerSimulator


def record(host: str, port: int, seconds: float = 2.0) -> list[tuple[int, float, list[float]]]:
    """(sequence, timestamp, joints) of every sample for ``seconds``."""
    telemetry = EthernetReceiveInterface()
    telemetry.connect(host, port)  # returns once a first complete sample has arrived
    samples: list[tuple[int, float, list[float]]] = []
    try:
        with telemetry.samples() as stream:  # every sample from here on, in order
            # Closing the stream ends the loop, even if the controller stops writing.
            timer = threading.Timer(seconds, stream.close)
            timer.start()
            try:
                for sample in stream:  # waits for each with the interpreter lock released
                    samples.append(
                        (sample["sequence"], sample["timestamp"], list(sample["joint_positions"]))
                    )
            finally:
                timer.cancel()
            print("dropped by the queue:", stream.dropped)
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
    span = samples[-1][1] - samples[0][1]
    lost = samples[-1][0] - samples[0][0] + 1 - len(samples)
    print(f"{len(samples)} samples in {span:.2f} s: {(len(samples) - 1) / span:.0f} per second")
    print(f"sequence {samples[0][0]} to {samples[-1][0]}: {lost} lost")
    print("last joints [deg]:", [round(value, 3) for value in samples[-1][2]])


if __name__ == "__main__":
    main()
