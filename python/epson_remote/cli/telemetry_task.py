"""``epson-remote telemetry-task``: the SPEL+ Background Task that streams the telemetry this
package reads, written out for the controller project.

The program ships inside the package (``epson_remote/controller/TelemetryTask.prg``). The options
rewrite the few lines that a cell sets up differently: the PC's address and the port in the
``SetNet`` line, and the sample period. Every rewritten line must be found exactly once, so an
edit of the program that moves one of them fails loudly instead of writing a half-set-up task.
"""

from __future__ import annotations

import argparse
import ipaddress
import sys
from dataclasses import dataclass
from importlib.resources import files
from pathlib import Path

from ._connection import DEFAULT_TELEMETRY_PORT, add_command, number, port
from ._output import make_console

DEFAULT_PC_ADDRESS = "192.168.0.100"
DEFAULT_RATE_HZ = 100.0
MIN_RATE_HZ = 0.1
MAX_RATE_HZ = 1000.0
# The status words change rarely: about four status lines a second, whatever the sample rate.
STATUS_LINES_PER_SECOND = 4


@dataclass(frozen=True)
class TaskSettings:
    pc_address: str = DEFAULT_PC_ADDRESS
    port: int = DEFAULT_TELEMETRY_PORT
    rate_hz: float = DEFAULT_RATE_HZ


def shipped_program() -> str:
    """The program exactly as the package ships it."""
    resource = files("epson_remote").joinpath("controller", "TelemetryTask.prg")
    return resource.read_text(encoding="ascii")


def _decimal(value: float) -> str:
    """A SPEL+ real literal: plain decimal notation, never an exponent."""
    return f"{value:.6f}".rstrip("0").rstrip(".")


def program_text(settings: TaskSettings = TaskSettings()) -> str:
    """The Background Task set up for ``settings``; the defaults give the shipped text."""
    cycle_s = _decimal(1.0 / settings.rate_hz)
    status_every = max(1, round(settings.rate_hz / STATUS_LINES_PER_SECOND))
    rate = f"{settings.rate_hz:g}"
    status_rate = f"{settings.rate_hz / status_every:.3g}"
    default_port = DEFAULT_TELEMETRY_PORT
    replacements = [
        (
            f"(set to port {default_port}, terminator CR)",
            f"(set to port {settings.port}, terminator CR)",
        ),
        ("a status line every\n' 25 cycles", f"a status line every\n' {status_every} cycles"),
        (
            "' Seconds between samples: 0.01 gives about 100 samples per second.",
            f"' Seconds between samples: {cycle_s} gives about {rate} samples per second.",
        ),
        ("#define CYCLE_S 0.01\n", f"#define CYCLE_S {cycle_s}\n"),
        (
            "' Samples between status lines: 25 gives 4 status lines per second at 100 samples "
            "per second.",
            f"' Samples between status lines: {status_every} gives {status_rate} status lines per "
            f"second at {rate} samples per second.",
        ),
        ("#define STATUS_EVERY 25\n", f"#define STATUS_EVERY {status_every}\n"),
        (
            f"server on port {default_port} with CR",
            f"server on port {settings.port} with CR",
        ),
        (
            f'SetNet #TELEMETRY_PORT, "{DEFAULT_PC_ADDRESS}", {default_port}, CR, NONE, 0',
            f'SetNet #TELEMETRY_PORT, "{settings.pc_address}", {settings.port}, CR, NONE, 0',
        ),
    ]
    text = shipped_program()
    for shipped, wanted in replacements:
        found = text.count(shipped)
        if found != 1:
            raise RuntimeError(
                f"the packaged TelemetryTask.prg has {found} copies of {shipped!r} (expected one): "
                "the program and the telemetry-task command disagree"
            )
        text = text.replace(shipped, wanted)
    return text


def _pc_address(text: str) -> str:
    """argparse type: the IPv4 address that SetNet lets connect (a name is not accepted there)."""
    try:
        return str(ipaddress.IPv4Address(text.strip()))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an IPv4 address: {text!r}") from None


def _rate(text: str) -> float:
    value = number(text, float, "a rate")
    if not MIN_RATE_HZ <= value <= MAX_RATE_HZ:
        raise argparse.ArgumentTypeError(
            f"the rate must be in {MIN_RATE_HZ:g}..{MAX_RATE_HZ:g} samples/s"
        )
    return value


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = add_command(
        subparsers,
        "telemetry-task",
        help="write the controller's telemetry Background Task (SPEL+)",
        description="Write the SPEL+ program TelemetryTask.prg that streams joint angles, pose "
        "and status words to the PC, the stream that `monitor`, EthernetReceiveInterface and "
        "RobotCell read. Add it to the controller project and register TelemetryTask as a "
        "Background Task. Without options it is the program as shipped: it lets "
        f"{DEFAULT_PC_ADDRESS} connect to port {DEFAULT_TELEMETRY_PORT} and writes "
        f"{DEFAULT_RATE_HZ:g} samples/s.",
        examples=[
            "epson-remote telemetry-task -o TelemetryTask.prg",
            "epson-remote telemetry-task --pc-address 192.168.0.20 --port 2001 --rate 250",
        ],
    )
    parser.add_argument(
        "-o",
        "--output",
        type=Path,
        metavar="FILE",
        help="file to write (default: standard output)",
    )
    parser.add_argument(
        "--pc-address",
        type=_pc_address,
        default=DEFAULT_PC_ADDRESS,
        metavar="A",
        help=f"IPv4 address of the PC allowed to connect (default {DEFAULT_PC_ADDRESS})",
    )
    parser.add_argument(
        "--port",
        type=port,
        default=DEFAULT_TELEMETRY_PORT,
        metavar="P",
        help=f"TCP port the task listens on (default {DEFAULT_TELEMETRY_PORT})",
    )
    parser.add_argument(
        "--rate",
        type=_rate,
        default=DEFAULT_RATE_HZ,
        metavar="HZ",
        help=f"samples per second, {MIN_RATE_HZ:g} to {MAX_RATE_HZ:g} (default "
        f"{DEFAULT_RATE_HZ:g}); status lines stay at about {STATUS_LINES_PER_SECOND} a second",
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    settings = TaskSettings(pc_address=args.pc_address, port=args.port, rate_hz=args.rate)
    text = program_text(settings)
    output: Path | None = args.output
    if output is None:
        sys.stdout.write(text)
        sys.stdout.flush()
        return 0
    output.write_text(text, encoding="ascii", newline="")
    make_console().print(
        f"Wrote {output}: PC {settings.pc_address} connects to port {settings.port}, "
        f"{settings.rate_hz:g} samples/s. Add it to the controller project and register "
        "TelemetryTask as a Background Task.",
        soft_wrap=True,
    )
    return 0
