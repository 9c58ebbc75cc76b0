"""``epson-remote io HOST``: the controller's inputs and outputs, and switching an output."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from rich.table import Table
from rich.text import Text

from .._command_channel import CommandChannel
from ._connection import add_command, add_command_options, add_host_argument, password
from ._library_log import library_log
from ._output import CliError, error_console, make_console


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = add_command(
        subparsers,
        "io",
        help="show a controller's input and output bits, or switch an output",
        description="Log in to a controller, read its input bits (also under an emergency stop) "
        "and its output bits (read back through SPEL+, so not while the controller refuses "
        "statements), then log out. --set switches outputs first; it asks for confirmation "
        "unless --yes.",
        examples=[
            "epson-remote io 192.168.0.1",
            "epson-remote io 192.168.0.1 --bits 0-31 --json",
            "epson-remote io 192.168.0.1 --set 8=on --yes",
        ],
    )
    add_host_argument(parser)
    add_command_options(parser)
    parser.add_argument(
        "--bits",
        type=bit_range,
        default=(0, 15),
        metavar="FIRST-LAST",
        help="the bits shown (default 0-15, at most 256 bits)",
    )
    parser.add_argument(
        "--set",
        type=output_setting,
        action="append",
        default=[],
        metavar="BIT=on|off",
        help="switch an output before reading (may be given more than once)",
    )
    parser.add_argument("--yes", action="store_true", help="with --set: do not ask first")
    parser.add_argument("--json", action="store_true", help="print one JSON object instead")
    parser.set_defaults(run=run)


def bit_range(text: str) -> tuple[int, int]:
    first, _, last = text.partition("-")
    try:
        low, high = int(first), int(last or first)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a bit range: {text!r}") from None
    if not 0 <= low <= high <= 65535 or high - low >= 256:
        raise argparse.ArgumentTypeError(
            f"bits {text} must lie in 0..65535, first before last, at most 256 of them"
        )
    return low, high


def output_setting(text: str) -> tuple[int, bool]:
    bit, _, state = text.partition("=")
    states = {"on": True, "off": False, "1": True, "0": False}
    try:
        number = int(bit)
    except ValueError:
        number = -1
    if not 0 <= number <= 65535 or state.lower() not in states:
        raise argparse.ArgumentTypeError(f"not BIT=on|off with BIT 0..65535: {text!r}")
    return number, states[state.lower()]


def _confirm(console: Any, host: str, settings: list[tuple[int, bool]]) -> None:
    """Outputs move grippers and conveyors: a person says yes first, or --yes does."""
    wanted = ", ".join(f"output {bit} {'on' if on else 'off'}" for bit, on in settings)
    if not sys.stdin.isatty():
        raise CliError(
            f"not switching {wanted} on {host} without confirmation",
            hint="Pass --yes to switch outputs from a script.",
            exit_code=2,
        )
    console.print(Text(f"Switch {wanted} on {host}?", style="bold yellow"))
    try:
        answer = input("Type 'yes' to go on: ")
    except EOFError:
        answer = ""
    if answer.strip().lower() != "yes":
        raise CliError("not confirmed: no output was switched", exit_code=1)


def read_bits(channel: CommandChannel, first: int, last: int) -> dict[str, Any]:
    """Input bits always; output bits when the controller accepts statements now."""
    inputs = {bit: channel.get_input_bit(bit) for bit in range(first, last + 1)}
    outputs: dict[int, bool] | None
    try:
        outputs = {bit: channel.get_output_bit(bit) for bit in range(first, last + 1)}
        refused = None
    except RuntimeError as error:  # refused where $Execute is: E-stop, safeguard, error
        outputs, refused = None, str(error)
    return {"inputs": inputs, "outputs": outputs, "outputs_refused": refused}


def run(args: argparse.Namespace) -> int:
    console = make_console()
    if args.set and not args.yes:
        _confirm(console, args.host, args.set)
    # With --json, standard output carries the JSON object and nothing else.
    with library_log(console, notices=error_console() if args.json else None):
        try:
            with CommandChannel() as channel:
                channel.connect(args.host, args.command_port, password(args))
                for bit, on in args.set:
                    channel.set_output_bit(bit, on)
                report = read_bits(channel, *args.bits)
        except ValueError as error:  # a password with a line ending
            raise CliError(str(error), exit_code=2) from None
    if args.json:
        console.print_json(json.dumps({"host": args.host, "port": args.command_port, **report}))
        return 0
    console.print(render(report))
    return 0


def render(report: dict[str, Any]) -> Table:
    table = Table(title="I/O bits", title_justify="left")
    table.add_column("bit", justify="right")
    table.add_column("input")
    table.add_column("output")
    outputs = report["outputs"]
    for bit, on in report["inputs"].items():
        output = "?" if outputs is None else ("on" if outputs[bit] else "off")
        table.add_row(str(bit), "on" if on else "off", output)
    if report["outputs_refused"]:
        table.caption = f"outputs not readable now: {report['outputs_refused']}"
    return table
