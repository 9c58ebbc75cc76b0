"""Command-line options shared by the subcommands that talk to a controller."""

from __future__ import annotations

import argparse
import os

PASSWORD_VARIABLE = "EPSON_REMOTE_PASSWORD"
DEFAULT_COMMAND_PORT = 5000
DEFAULT_TELEMETRY_PORT = 2000


def port(text: str) -> int:
    """argparse type: a TCP port number."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port {value} is outside 1..65535")
    return value


def host(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("the host must not be empty")
    return text.strip()


def add_command_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("Remote Ethernet command session")
    group.add_argument(
        "--command-port",
        type=port,
        default=DEFAULT_COMMAND_PORT,
        metavar="PORT",
        help=f"controller's Remote Ethernet port (default {DEFAULT_COMMAND_PORT})",
    )
    group.add_argument(
        "--password",
        default=None,
        help=f"Remote Ethernet password (default: ${PASSWORD_VARIABLE}, else empty)",
    )


def add_telemetry_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--telemetry-port",
        type=port,
        default=DEFAULT_TELEMETRY_PORT,
        metavar="PORT",
        help="port of the controller's telemetry Background Task "
        f"(default {DEFAULT_TELEMETRY_PORT})",
    )


def password(args: argparse.Namespace) -> str:
    value: str | None = args.password
    if value is None:
        value = os.environ.get(PASSWORD_VARIABLE, "")
    return value
