"""Terminal output of the command-line tool: the console, and errors with hints."""

from __future__ import annotations

import argparse
import textwrap
from typing import IO

from rich.console import Console
from rich.text import Text

from ._hints import hint_for

EXIT_FAILURE = 1  # the controller, the network or the simulator failed
EXIT_USAGE = 2  # the command line was wrong (argparse uses 2 as well)
EXIT_INTERRUPTED = 130  # Ctrl-C, as a shell reports SIGINT


class HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Wraps prose paragraphs to the terminal; keeps indented lines (examples) as written."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        paragraphs = []
        for paragraph in text.strip("\n").split("\n\n"):
            lines = paragraph.splitlines()
            if any(line.startswith(" ") for line in lines) or paragraph.rstrip().endswith(":"):
                paragraphs.append("\n".join(indent + line for line in lines))
            else:
                paragraphs.append(
                    textwrap.fill(
                        " ".join(lines), width, initial_indent=indent, subsequent_indent=indent
                    )
                )
        return "\n\n".join(paragraphs) + "\n"


class CliError(Exception):
    """An expected failure: shown as one message (and a hint), never as a traceback."""

    def __init__(self, message: str, exit_code: int = EXIT_FAILURE, hint: str | None = None):
        super().__init__(message)
        self.exit_code = exit_code
        self.hint = hint


def make_console(file: IO[str] | None = None) -> Console:
    """Colour and live updates only on a terminal; NO_COLOR is honoured by rich itself.

    Markup is off: texts such as "[deg]" or a controller's reply are printed as they are.
    """
    return Console(file=file, highlight=False, markup=False, emoji=False)


def error_console() -> Console:
    return Console(stderr=True, highlight=False, markup=False, emoji=False)


def report_error(error: CliError | BaseException, prog: str = "epson-remote") -> int:
    """Print an expected failure on standard error and return the exit code for it."""
    console = error_console()
    if isinstance(error, CliError):
        # A library failure that a command rephrased keeps its hint.
        message, code = str(error), error.exit_code
        hint = error.hint or hint_for(error.__context__)
    else:
        message, code = str(error) or type(error).__name__, EXIT_FAILURE
        hint = hint_for(error)
    console.print(Text.assemble((f"{prog}: error: ", "bold red"), message))
    if hint:
        console.print(Text.assemble(("hint: ", "yellow"), hint))
    return code
