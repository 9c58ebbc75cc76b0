"""Command-line parts shared by the subcommands: their parsers, the host and port arguments of
those that talk to a controller, and the number types of the options."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable, Sequence

from ._output import HelpFormatter

PASSWORD_VARIABLE = "EPSON_REMOTE_PASSWORD"
DEFAULT_COMMAND_PORT = 5000
DEFAULT_TELEMETRY_PORT = 2000


class CommandParser(argparse.ArgumentParser):
    """A subcommand's parser. An option it does not know, but that one of its own options ends
    with (``--port`` for ``--command-port``), is a usage error that names the option meant: the
    first such option, the connection options coming first."""

    def parse_known_args(  # type: ignore[override]
        self, args: Sequence[str] | None = None, namespace: argparse.Namespace | None = None
    ) -> tuple[argparse.Namespace, list[str]]:
        parsed, extras = super().parse_known_args(args, namespace)
        for extra in extras:
            meant = self._option_ending_with(extra)
            if meant is not None:
                self.error(f"unrecognized arguments: {' '.join(extras)} (did you mean {meant}?)")
        return parsed, extras

    def _option_ending_with(self, given: str) -> str | None:
        name = given.split("=", 1)[0]
        if not name.startswith("--") or len(name) < 3:
            return None
        ending = "-" + name[2:]
        for action in self._actions:
            for option in action.option_strings:
                if option.startswith("--") and option.endswith(ending):
                    return option
        return None


def add_command(
    subparsers: argparse._SubParsersAction[argparse.ArgumentParser],
    name: str,
    *,
    help: str,
    description: str,
    examples: Sequence[str],
) -> argparse.ArgumentParser:
    """The parser of subcommand ``name``: its description wrapped to the terminal, then its
    example command lines as written."""
    heading = "example:" if len(examples) == 1 else "examples:"
    return subparsers.add_parser(
        name,
        help=help,
        description=description,
        formatter_class=HelpFormatter,
        epilog="\n".join([heading, *(f"  {line}" for line in examples)]),
    )


def number[N: (int, float)](text: str, read: Callable[[str], N], noun: str) -> N:
    """``text`` read by ``read`` (int or float); else the argparse error "not <noun>: 'text'"."""
    try:
        return read(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not {noun}: {text!r}") from None


def port(text: str) -> int:
    """argparse type: a TCP port number."""
    return _port(text, lowest=1)


def port_or_zero(text: str) -> int:
    """argparse type: a TCP port number, or 0 for a free one."""
    return _port(text, lowest=0)


def _port(text: str, lowest: int) -> int:
    value = number(text, int, "a port number")
    if not lowest <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port {value} is outside {lowest}..65535")
    return value


def host(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("the host must not be empty")
    return text.strip()


def add_host_argument(
    parser: argparse.ArgumentParser,
    *,
    required: bool = True,
    help: str = "controller address or name",
) -> None:
    """The HOST positional argument; one that is not ``required`` is None when left out."""
    nargs = None if required else "?"
    parser.add_argument("host", type=host, nargs=nargs, metavar="HOST", help=help)


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
