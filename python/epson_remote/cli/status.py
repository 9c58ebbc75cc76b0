"""``epson-remote status HOST``: one look at a controller, without changing anything on it."""

from __future__ import annotations

import argparse
import json
from typing import Any

from rich.console import Group
from rich.panel import Panel
from rich.table import Table
from rich.text import Text

from .._command_channel import CommandChannel
from . import _status_words
from ._connection import add_command, add_command_options, add_host_argument, password
from ._library_log import library_log
from ._output import CliError, error_console, make_console


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = add_command(
        subparsers,
        "status",
        help="show a controller's safety state, power, limits, Tool and position",
        description="Log in to a controller, read its status words (emergency stop, safeguard, "
        "teach mode, errors), its remote status flags (auto, running, paused, ready, ...), "
        "servo power mode, point-to-point motion limits, the selected "
        "Tool and TCP, and the robot's joints and pose, then log out. Reads only: it never "
        "turns the motors on or changes a setting.",
        examples=[
            "epson-remote status 192.168.0.1",
            "epson-remote status 127.0.0.1 --command-port 5000 --json",
        ],
    )
    add_host_argument(parser)
    add_command_options(parser)
    parser.add_argument("--json", action="store_true", help="print one JSON object instead")
    parser.set_defaults(run=run)


def read_status(channel: CommandChannel) -> dict[str, Any]:
    """Everything ``status`` shows, read through one logged-in session."""
    limits = channel.get_ptp_motion_limits()
    return {
        "status": channel.get_controller_status(),
        "remote_status": channel.get_remote_status(),
        "emergency_stopped": channel.is_emergency_stopped(),
        "power_mode": channel.get_power_mode().name,
        "ptp_motion_limits": {
            "speed_percent": limits.speed_percent,
            "acceleration_percent": limits.acceleration_percent,
            "deceleration_percent": limits.deceleration_percent,
        },
        "tool": channel.get_tool(),
        "tcp_offset_m_deg": channel.get_tcp_offset(),
        "state": channel.get_state(),
    }


def run(args: argparse.Namespace) -> int:
    console = make_console()
    # With --json, standard output carries the JSON object and nothing else.
    with library_log(console, notices=error_console() if args.json else None):
        try:
            with CommandChannel() as channel:
                channel.connect(args.host, args.command_port, password(args))
                report = read_status(channel)
        except ValueError as error:  # a password with a line ending
            raise CliError(str(error), exit_code=2) from None
    if args.json:
        console.print_json(json.dumps({"host": args.host, "port": args.command_port, **report}))
        return 0
    console.print(render(f"{args.host}:{args.command_port}", report))
    return 0


def _numbers(values: list[float], digits: int = 3) -> str:
    return "  ".join(f"{value:.{digits}f}" for value in values)


def render(where: str, report: dict[str, Any]) -> Panel:
    safety = Table.grid(padding=(0, 2))
    safety.add_column(style="bold")
    safety.add_column()
    for flag in _status_words.flags(report["status"]):
        safety.add_row(flag.label, Text(flag.text, style=flag.style))
    remote = report["remote_status"]
    flags_on = [name for name, value in remote.items() if name != "error_code" and value]
    safety.add_row(
        "Remote status",
        (", ".join(flags_on) or "no flag set") + f"; code {remote['error_code']:04d}",
    )
    limits = report["ptp_motion_limits"]
    settings = Table.grid(padding=(0, 2))
    settings.add_column(style="bold")
    settings.add_column()
    settings.add_row("Power mode", report["power_mode"])
    settings.add_row(
        "PTP limits",
        f"speed {limits['speed_percent']} %, acceleration {limits['acceleration_percent']} %, "
        f"deceleration {limits['deceleration_percent']} %",
    )
    tool = report["tool"]
    settings.add_row("Tool", "0 (flange)" if tool == 0 else str(tool))
    settings.add_row("TCP offset", f"{_numbers(report['tcp_offset_m_deg'], 4)}  [m, deg]")
    state = report["state"]
    settings.add_row("Joints", f"{_numbers(state['joint_positions'])}  [deg]")
    settings.add_row("TCP pose", f"{_numbers(state['tcp_pose'])}  [mm, deg]")
    fields = report["status"]
    words = "  ".join(f"{name} {value}" for name, value in _status_words.raw_words(fields))
    blocked = [flag.label.lower() for flag in _status_words.flags(fields) if flag.blocks_motion]
    verdict = (
        Text("Ready for remote commands", style="green")
        if not blocked
        else Text("Not ready: " + ", ".join(blocked), style="bold red")
    )
    body = Group(verdict, Text(""), safety, Text(""), settings, Text(""), Text(words, style="dim"))
    return Panel(body, title=f"Controller {where}", title_align="left", expand=False)
