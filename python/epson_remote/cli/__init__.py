"""The ``epson-remote`` command-line tool: simulator, status, live telemetry, plots and the demo.

Exit codes: 0 success, 1 the controller, network or simulator failed (its message is shown),
2 the command line was wrong, 130 interrupted by Ctrl-C.
"""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from collections.abc import Sequence
from types import FrameType

from ._connection import CommandParser
from ._output import EXIT_INTERRUPTED, CliError, HelpFormatter, report_error

__all__ = ["build_parser", "main"]

_DESCRIPTION = """\
Drive and inspect an Epson robot controller over Remote Ethernet, or a simulated one.

start here:
  epson-remote demo      # a simulated controller through every capability, about 10 s
"""

_EPILOG = """\
typical session:
  epson-remote sim                              # terminal 1: a simulated controller
  epson-remote status 127.0.0.1                 # terminal 2: what the controller reports
  epson-remote io 127.0.0.1                     # its input and output bits
  epson-remote monitor 127.0.0.1 --record run.csv
  epson-remote plot run.csv -o run.png
  epson-remote view 127.0.0.1 --open            # the robot live in a browser

on a real controller, first:
  epson-remote telemetry-task -o Telemetry.prg  # its telemetry Background Task

Motors are never turned on by `status` or `monitor`; `demo HOST` moves a real robot only
with --allow-motion. Run `epson-remote COMMAND --help` for the options of a command.
"""


def build_parser(prog: str = "epson-remote") -> argparse.ArgumentParser:
    from .. import __version__
    from . import bridge, demo, io, monitor, plot, sim, status, telemetry_task, view

    parser = argparse.ArgumentParser(
        prog=prog,
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=HelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    # Typed as plain parsers: the commands' add_parser functions take those.
    command_parser: type[argparse.ArgumentParser] = CommandParser
    subparsers = parser.add_subparsers(
        title="commands", metavar="COMMAND", required=True, parser_class=command_parser
    )
    demo.add_parser(subparsers)
    sim.add_parser(subparsers)
    status.add_parser(subparsers)
    io.add_parser(subparsers)
    monitor.add_parser(subparsers)
    plot.add_parser(subparsers)
    view.add_parser(subparsers)
    telemetry_task.add_parser(subparsers)
    bridge.add_parser(subparsers)
    return parser


def _terminate(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt  # SIGTERM cleans up the way Ctrl-C does


def run_guarded(parser: argparse.ArgumentParser, argv: Sequence[str] | None) -> int:
    """Parse and run; expected failures become a message and an exit code, not a traceback."""
    args = parser.parse_args(argv)
    on_main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _terminate) if on_main_thread else None
    try:
        code: int = args.run(args)
        return code
    except CliError as error:
        return report_error(error, parser.prog)
    except KeyboardInterrupt:
        return report_error(CliError("interrupted", EXIT_INTERRUPTED), parser.prog)
    except (RuntimeError, OSError) as error:  # the library's controller and network failures
        return report_error(error, parser.prog)
    finally:
        if on_main_thread:
            signal.signal(signal.SIGTERM, previous)


def main(argv: Sequence[str] | None = None, prog: str = "epson-remote") -> int:
    """Run the tool with ``argv`` (default: the process's arguments); returns the exit code."""
    return run_guarded(build_parser(prog), argv)


def console_main() -> None:
    """Entry point of the ``epson-remote`` console script."""
    sys.exit(main())
