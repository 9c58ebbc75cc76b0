"""Terminal output of the command-line tool: the console, errors with hints, and a relay that keeps
the library's own log lines from tearing a live display apart."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import textwrap
import threading
from collections.abc import Iterator
from types import TracebackType
from typing import IO

from rich.console import Console
from rich.text import Text

EXIT_FAILURE = 1  # the controller, the network or the simulator failed
EXIT_USAGE = 2  # the command line was wrong (argparse uses 2 as well)
EXIT_INTERRUPTED = 130  # Ctrl-C, as a shell reports SIGINT

# Substrings of library messages and what a user can do about them.
_HINTS = (
    (
        "Connection refused",
        "Nothing listens there: check the host and port, that Remote Ethernet is enabled on the "
        "controller, or start a simulator with `epson-remote sim`.",
    ),
    (
        "login failed",
        "Check the Remote Ethernet password and that no other client holds the session "
        "(the controller accepts one client at a time).",
    ),
    (
        "no complete six-axis sample",
        "Start the telemetry Background Task on the controller (docs/telemetry.md).",
    ),
    (
        "Failed to connect to Epson telemetry",
        "Check the telemetry port and that the controller's Background Task listens on it "
        "(docs/telemetry.md).",
    ),
    (
        "Failed to resolve",
        "The host name does not resolve: use the controller's IP address.",
    ),
    (
        "timed out",
        "The controller did not answer in time: check the network path and the controller's "
        "Remote Ethernet time-out setting.",
    ),
)


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


def hint_for(message: str) -> str | None:
    for needle, hint in _HINTS:
        if needle in message:
            return hint
    return None


def report_error(error: CliError | BaseException, prog: str = "epson-remote") -> int:
    """Print an expected failure on standard error and return the exit code for it."""
    console = error_console()
    if isinstance(error, CliError):
        message, code, hint = str(error), error.exit_code, error.hint
    else:
        message, code, hint = str(error) or type(error).__name__, EXIT_FAILURE, None
    hint = hint or hint_for(message)
    console.print(Text.assemble((f"{prog}: error: ", "bold red"), message))
    if hint:
        console.print(Text.assemble(("hint: ", "yellow"), hint))
    return code


class NativeOutputRelay:
    """Routes what the native code writes to file descriptors 1 and 2 through the console.

    The command session writes "Connected to ..." and its failure lines straight to the process's
    standard output and error; on a terminal those lines would land in the middle of a live
    display. While the relay is active both descriptors are pipes read by a thread that prints
    each line above the display; the console itself writes to a duplicate of the terminal.
    """

    def __init__(self, console: Console) -> None:
        self._console = console
        self._saved: dict[int, int] = {}
        self._threads: list[threading.Thread] = []
        self._terminal: IO[str] | None = None
        self._previous_file: IO[str] | None = None

    def __enter__(self) -> NativeOutputRelay:
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(Exception):
                stream.flush()
        terminal_fd = os.dup(1)
        self._terminal = os.fdopen(terminal_fd, "w", buffering=1, encoding="utf-8")
        self._previous_file = self._console.file
        self._console.file = self._terminal
        for fd, style in ((1, "dim"), (2, "yellow")):
            self._saved[fd] = os.dup(fd)
            read_end, write_end = os.pipe()
            os.dup2(write_end, fd)
            os.close(write_end)
            thread = threading.Thread(
                target=self._pump, args=(read_end, style), name=f"relay-fd{fd}", daemon=True
            )
            thread.start()
            self._threads.append(thread)
        return self

    def _pump(self, read_end: int, style: str) -> None:
        with os.fdopen(read_end, "r", encoding="utf-8", errors="replace") as pipe:
            for line in pipe:
                self._console.print(Text("  " + line.rstrip("\n"), style=style))

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(Exception):
                stream.flush()
        # Putting the saved descriptors back closes the pipes' last write ends: the pumps end.
        for fd, saved in self._saved.items():
            os.dup2(saved, fd)
            os.close(saved)
        for thread in self._threads:
            thread.join(2.0)
        self._console.file = self._previous_file  # type: ignore[assignment]
        if self._terminal is not None:
            self._terminal.close()


@contextlib.contextmanager
def relay_native_output(console: Console) -> Iterator[None]:
    """The relay on a terminal; nothing to do when output goes to a file or a pipe."""
    if not console.is_terminal:
        yield
        return
    with NativeOutputRelay(console):
        yield
