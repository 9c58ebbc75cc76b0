"""Run the controller simulator in the foreground until Ctrl-C or SIGTERM.

python -m epson_remote.sim [--host H] [--command-port 5000] [--telemetry-port 2000]
                           [--password PW] [--telemetry-rate 250] [--time-scale 1]
"""

from __future__ import annotations

import argparse
import signal
import sys
import threading

from ._stub_controller import SimulatedController
from .ports import PortUnavailable, address_text, open_ports
from .telemetry import MAX_RATE_HZ


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="epson-remote-sim",
        description="Simulated Epson robot controller: Remote Ethernet command port and "
        "telemetry port of a Background Task.",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--command-port", type=int, default=5000, help="0 picks a free port")
    parser.add_argument("--telemetry-port", type=int, default=2000, help="0 picks a free port")
    parser.add_argument(
        "--password", default=None, help="Remote Ethernet password (default: accept any login)"
    )
    parser.add_argument(
        "--telemetry-rate", type=float, default=250.0, help="telemetry samples per second"
    )
    parser.add_argument(
        "--time-scale", type=float, default=1.0, help="simulated clock speed (2 = twice as fast)"
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    for name in ("command_port", "telemetry_port"):
        if not 0 <= getattr(args, name) <= 65535:
            _parser().error(f"--{name.replace('_', '-')} must be in 0..65535")
    if not 0 < args.telemetry_rate <= MAX_RATE_HZ:
        _parser().error(f"--telemetry-rate must be in (0, {MAX_RATE_HZ:g}]")
    if not args.time_scale > 0:
        _parser().error("--time-scale must be positive")

    stop = threading.Event()

    def on_signal(signum, frame) -> None:
        stop.set()

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)

    controller = SimulatedController(time_scale=args.time_scale)
    try:
        command, telemetry = open_ports(
            controller,
            host=args.host,
            command_port=args.command_port,
            telemetry_port=args.telemetry_port,
            password=args.password,
            telemetry_rate=args.telemetry_rate,
        )
    except PortUnavailable as error:
        print(error, file=sys.stderr)
        return 1

    print(f"Remote Ethernet command port: {address_text(command.host, command.port)}")
    print(f"Telemetry port: {address_text(telemetry.host, telemetry.port)}", flush=True)
    try:
        while not stop.wait(1.0):
            pass
    finally:
        telemetry.stop()
        command.close()
    print("Simulator stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
