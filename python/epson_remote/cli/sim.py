"""``epson-remote sim``: the controller simulator in the foreground, until Ctrl-C."""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from collections.abc import Sequence
from types import FrameType
from typing import Any

from rich.text import Text

from ..sim.controller import SimulatedController
from ..sim.kinematics import ArmGeometry
from ..sim.ports import PortUnavailable, address_text, open_ports
from ..sim.telemetry import MAX_RATE_HZ
from ._connection import (
    DEFAULT_COMMAND_PORT,
    DEFAULT_TELEMETRY_PORT,
    add_command,
    number,
    port_or_zero,
)
from ._output import CliError, HelpFormatter, make_console

LINKS = ("d1", "a1", "a2", "a3", "d4", "d6")


def _rate(text: str) -> float:
    value = number(text, float, "a rate")
    if not 0 < value <= MAX_RATE_HZ:
        raise argparse.ArgumentTypeError(f"the rate must be in (0, {MAX_RATE_HZ:g}] samples/s")
    return value


def time_scale(text: str) -> float:
    value = number(text, float, "a number")
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError("the time scale must be positive and finite")
    return value


def _percent(text: str) -> int:
    value = number(text, int, "a whole percentage")
    if not 1 <= value <= 1000:
        raise argparse.ArgumentTypeError("AccelMax values are percentages in 1..1000")
    return value


def _link(text: str) -> tuple[str, float]:
    name, _, value = text.partition("=")
    if name not in LINKS or not value:
        raise argparse.ArgumentTypeError(f"expected NAME=MM with NAME one of {', '.join(LINKS)}")
    length = number(value, float, "a length in mm")
    if not 0 <= length < 10_000:
        raise argparse.ArgumentTypeError(f"{name} must be in 0..10000 mm")
    return name, length


def add_parser(
    subparsers: argparse._SubParsersAction[argparse.ArgumentParser], name: str = "sim"
) -> argparse.ArgumentParser:
    parser = add_command(
        subparsers,
        name,
        help="run the controller simulator (Remote Ethernet and telemetry ports)",
        description="Run a simulated Epson controller with a 6-axis arm in the foreground: the "
        "Remote Ethernet command port and the telemetry port of a Background Task. It moves "
        "in real time (or faster, --time-scale) and stops cleanly on Ctrl-C.",
        examples=[
            "epson-remote sim",
            "epson-remote sim --command-port 0 --telemetry-port 0 --password secret",
            "epson-remote sim --telemetry-rate 500 --time-scale 2 --link a2=400",
        ],
    )
    configure(parser)
    return parser


def configure(parser: argparse.ArgumentParser) -> None:
    ports = parser.add_argument_group("ports")
    ports.add_argument(
        "--host", default="127.0.0.1", help="address to listen on (default %(default)s)"
    )
    ports.add_argument(
        "--command-port",
        type=port_or_zero,
        default=DEFAULT_COMMAND_PORT,
        metavar="PORT",
        help="Remote Ethernet command port; 0 picks a free one (default %(default)s)",
    )
    ports.add_argument(
        "--telemetry-port",
        type=port_or_zero,
        default=DEFAULT_TELEMETRY_PORT,
        metavar="PORT",
        help="telemetry port; 0 picks a free one (default %(default)s)",
    )
    ports.add_argument(
        "--password", default=None, help="Remote Ethernet password (default: any login works)"
    )
    ports.add_argument(
        "--telemetry-rate",
        type=_rate,
        default=250.0,
        metavar="HZ",
        help="telemetry samples per second (default %(default)g)",
    )
    arm = parser.add_argument_group("arm")
    arm.add_argument(
        "--time-scale",
        type=time_scale,
        default=1.0,
        metavar="FACTOR",
        help="simulated clock speed: 2 makes every motion take half as long (default 1)",
    )
    arm.add_argument(
        "--accel-max",
        type=_percent,
        nargs=2,
        metavar=("ACCEL", "DECEL"),
        help="the robot's AccelMax(1) and AccelMax(2) in percent (default 120 120)",
    )
    arm.add_argument(
        "--link",
        type=_link,
        action="append",
        default=[],
        metavar="NAME=MM",
        help=f"arm geometry, repeatable: {', '.join(LINKS)} (shoulder height, shoulder "
        "offset, upper arm, elbow offset, forearm, wrist flange)",
    )
    parser.set_defaults(run=run)


def build_controller(args: argparse.Namespace) -> SimulatedController:
    options: dict[str, Any] = {}
    if args.accel_max:
        options["accel_max"] = tuple(args.accel_max)
    return SimulatedController(
        time_scale=args.time_scale, geometry=ArmGeometry(**dict(args.link)), **options
    )


def run(args: argparse.Namespace) -> int:
    console = make_console()
    controller = build_controller(args)
    stop = threading.Event()

    def on_signal(signum: int, frame: FrameType | None) -> None:
        stop.set()

    previous = {sig: signal.signal(sig, on_signal) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
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
            raise CliError(str(error)) from None
        try:
            for line in _banner(args, command.host, command.port, telemetry.port):
                console.print(line, soft_wrap=True)
            while not stop.wait(0.5):
                pass
        finally:
            telemetry.stop()
            command.close()
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
    console.print("Simulator stopped")
    return 0


def _banner(
    args: argparse.Namespace, host: str, command_port: int, telemetry_port: int
) -> list[Text]:
    password = "" if args.password is None else " --password ..."
    rows = [
        ("Simulated Epson controller", Text("running", style="green")),
        ("Remote Ethernet", Text(address_text(host, command_port), style="bold cyan")),
        ("Telemetry", Text(address_text(host, telemetry_port), style="bold cyan")),
        ("Password", Text("any login works" if args.password is None else "required")),
        ("Telemetry rate", Text(f"{args.telemetry_rate:g} samples/s")),
        ("Time scale", Text(f"{args.time_scale:g}")),
        ("Try", Text(f"epson-remote status {host} --command-port {command_port}{password}")),
        ("", Text(f"epson-remote monitor {host} --telemetry-port {telemetry_port}")),
        ("Stop", Text("Ctrl-C")),
    ]
    width = max(len(label) for label, _ in rows)
    return [Text.assemble((label.ljust(width), "bold"), "  ", value) for label, value in rows]


def main(argv: Sequence[str] | None = None) -> None:
    """``epson-remote-sim`` and ``python -m epson_remote.sim``: the same as ``epson-remote sim``,
    with ``argv`` (default: the process's arguments)."""
    from . import run_guarded

    parser = argparse.ArgumentParser(
        prog="epson-remote-sim",
        description="Run a simulated Epson controller in the foreground (the same as "
        "`epson-remote sim`).",
        formatter_class=HelpFormatter,
    )
    configure(parser)
    sys.exit(run_guarded(parser, argv))
