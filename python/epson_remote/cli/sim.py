"""``epson-remote sim``: the controller simulator in the foreground, until Ctrl-C; with
``--cells N`` a simulated plant of N controllers and its cells file."""

from __future__ import annotations

import argparse
import os
import select
import signal
import sys
import threading
from collections.abc import Sequence
from types import FrameType
from typing import Any

from rich.console import Console
from rich.text import Text

from ..fleet.cells import CellSpec, write_cells
from ..fleet.plant import MAX_CELLS, SimulatedPlant
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


def _cell_count(text: str) -> int:
    value = number(text, int, "a whole number of cells")
    if not 1 <= value <= MAX_CELLS:
        raise argparse.ArgumentTypeError(f"a plant has 1..{MAX_CELLS} cells")
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
            "epson-remote sim --cells 4 --write-cells cells.toml   # a plant for the bridge",
        ],
    )
    configure(parser)
    return parser


def configure(parser: argparse.ArgumentParser) -> None:
    ports = parser.add_argument_group("ports")
    ports.add_argument(
        "--host", default="127.0.0.1", help="address to listen on (default %(default)s)"
    )
    # None when not given, so that --cells can tell a port asked for from the default.
    ports.add_argument(
        "--command-port",
        type=port_or_zero,
        default=None,
        metavar="PORT",
        help=f"Remote Ethernet command port; 0 picks a free one (default {DEFAULT_COMMAND_PORT})",
    )
    ports.add_argument(
        "--telemetry-port",
        type=port_or_zero,
        default=None,
        metavar="PORT",
        help=f"telemetry port; 0 picks a free one (default {DEFAULT_TELEMETRY_PORT})",
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
    plant = parser.add_argument_group("plant")
    plant.add_argument(
        "--cells",
        type=_cell_count,
        default=None,
        metavar="N",
        help="run N simulated controllers, cell1 .. cellN, each on free ports",
    )
    plant.add_argument(
        "--write-cells",
        metavar="FILE",
        help="write the cells file of what runs (TOML, for `epson-remote bridge --cells FILE`)",
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
    if args.cells is not None:
        return run_plant(args)
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
                command_port=_given(args.command_port, DEFAULT_COMMAND_PORT),
                telemetry_port=_given(args.telemetry_port, DEFAULT_TELEMETRY_PORT),
                password=args.password,
                telemetry_rate=args.telemetry_rate,
            )
        except PortUnavailable as error:
            raise CliError(str(error)) from None
        try:
            if args.write_cells:
                spec = CellSpec("cell1", telemetry.host, telemetry.port, command.port)
                _write_cells(args.write_cells, [spec])
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


def _given(value: int | None, default: int) -> int:
    return default if value is None else value


def _write_cells(path: str, cells: list[CellSpec]) -> None:
    comment = (
        f"Written by `epson-remote sim` for the {len(cells)} simulated controller(s) it runs;\n"
        "valid while it runs: `epson-remote bridge --cells FILE` reads it."
    )
    try:
        write_cells(path, cells, comment)
    except OSError as error:
        raise CliError(f"cannot write the cells file {path}: {error.strerror}") from None


PLANT_COMMANDS = {
    "stop": "close the cell's two ports, as a controller switched off",
    "start": "listen again on the same ports",
    "estop": "press the cell's emergency stop",
    "release": "release it (the error stays until reset)",
    "reset": "clear the cell's error",
}


def run_plant(args: argparse.Namespace) -> int:
    if args.command_port is not None or args.telemetry_port is not None:
        raise CliError("--cells opens free ports for every cell: leave out the port options", 2)
    console = make_console()
    stop = threading.Event()

    def on_signal(signum: int, frame: FrameType | None) -> None:
        stop.set()

    previous = {sig: signal.signal(sig, on_signal) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        try:
            plant = SimulatedPlant(
                args.cells,
                lambda: build_controller(args),
                host=args.host,
                password=args.password,
                telemetry_rate=args.telemetry_rate,
            )
        except PortUnavailable as error:
            raise CliError(str(error)) from None
        commands = threading.Thread(
            target=_plant_commands, args=(plant, stop, console), name="plant-input", daemon=True
        )
        try:
            if args.write_cells:
                _write_cells(args.write_cells, plant.specs())
            for line in _plant_banner(args, plant):
                console.print(line, soft_wrap=True)
            commands.start()
            while not stop.wait(0.5):
                pass
        finally:
            stop.set()
            if commands.is_alive():
                commands.join(2.0)
            plant.close()
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
    console.print("Plant stopped")
    return 0


def _plant_commands(plant: SimulatedPlant, stop: threading.Event, console: Console) -> None:
    """Lines typed at the plant (``stop cell2``); read from the descriptor itself, so that
    this thread never holds the interpreter's stdin buffer when the process ends."""
    pending = b""
    while not stop.is_set():
        try:
            readable, _, _ = select.select([0], [], [], 0.25)
            if not readable:
                continue
            data = os.read(0, 4096)
        except (OSError, ValueError):
            return  # no usable standard input: the plant runs without commands
        if not data:
            return
        pending += data
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            reply = plant_command(plant, line.decode("utf-8", "replace"))
            if reply:
                console.print(reply, soft_wrap=True)


def plant_command(plant: SimulatedPlant, line: str) -> str:
    """Run one typed command (``stop cell2``); returns what to show."""
    words = line.split()
    if not words:
        return ""
    if words[0] in ("help", "?") or words[0] not in PLANT_COMMANDS or len(words) != 2:
        usage = "; ".join(f"{name} CELL: {what}" for name, what in PLANT_COMMANDS.items())
        return f"commands: {usage}"
    action, name = words
    try:
        cell = plant.cell(name)
        if action == "stop":
            cell.stop()
        elif action == "start":
            cell.start()
        elif action == "estop":
            cell.controller.emergency_stop()
        elif action == "release":
            cell.controller.release_emergency_stop()
        else:
            cell.controller.execute("Reset")
    except (KeyError, OSError) as error:
        return f"{action} {name}: {error.args[0] if error.args else error}"
    return f"{name}: {action} done"


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


def _plant_banner(args: argparse.Namespace, plant: SimulatedPlant) -> list[Text]:
    rows = [(cell.name, cell) for cell in plant.cells]
    width = max(len("Cells file"), *(len(name) for name, _ in rows))
    lines = [
        Text.assemble(
            ("Simulated plant".ljust(width), "bold"),
            "  ",
            (f"{len(plant.cells)} controllers running", "green"),
        )
    ]
    for name, cell in rows:
        lines.append(
            Text.assemble(
                (name.ljust(width), "bold"),
                "  Remote Ethernet ",
                (address_text(cell.host, cell.command_port), "bold cyan"),
                "  telemetry ",
                (address_text(cell.host, cell.telemetry_port), "bold cyan"),
            )
        )
    cells_file = args.write_cells or "(not written: --write-cells FILE)"
    bridge = f"epson-remote bridge --cells {args.write_cells or 'FILE'} --broker mqtt://HOST:PORT"
    for label, value in (
        ("Cells file", cells_file),
        ("Try", bridge),
        (
            "Commands",
            "type `stop cell2`, `start cell2`, `estop cell2`, `release cell2`, `reset cell2`",
        ),
        ("Stop", "Ctrl-C"),
    ):
        lines.append(Text.assemble((label.ljust(width), "bold"), "  ", value))
    return lines


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
