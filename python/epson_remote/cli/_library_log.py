"""The library's own log lines ("Connected to ...", failures it reports) as the tool shows them.

The tool hands them to ``logging`` through ``epson_remote.log_to`` and prints each record: a
notice in the console, a failure on standard error. Nothing reaches the process's file
descriptors behind the console's back, so ``--json`` output stays pure JSON and a live display
is not torn apart by a line written under it.
"""

from __future__ import annotations

import contextlib
import logging
from collections.abc import Iterator

from rich.console import Console
from rich.text import Text

from .._logging import log_to
from ._output import error_console


class LibraryLogHandler(logging.Handler):
    """Prints INFO records in ``notices`` and WARNING and above in ``failures``, one line each,
    never wrapped. ``indent`` sets the lines apart from the tool's own output."""

    def __init__(self, notices: Console, failures: Console, indent: str = "") -> None:
        super().__init__(logging.INFO)
        self._notices = notices
        self._failures = failures
        self._indent = indent

    def emit(self, record: logging.LogRecord) -> None:
        try:
            failure = record.levelno >= logging.WARNING
            console = self._failures if failure else self._notices
            line = Text(self._indent + record.getMessage(), style="yellow" if failure else "dim")
            console.print(line, soft_wrap=True)
        except Exception:
            self.handleError(record)


@contextlib.contextmanager
def library_log(
    console: Console, *, live: bool = False, notices: Console | None = None
) -> Iterator[None]:
    """Shows the library's log lines while the block runs, then restores the default streams
    (after the lines still queued are shown, so they come before what the tool prints next).

    ``live``: the console holds a live display; failures then go through it too, printed above
    the display, and every line is indented. ``notices``: where "Connected to ..." goes instead
    of ``console`` (standard error when standard output carries JSON). Not nested.
    """
    failures = console if live else error_console()
    handler = LibraryLogHandler(notices or console, failures, indent="  " if live else "")
    # A logger of the tool's own, outside the logging tree: records reach only this handler.
    logger = logging.Logger("epson-remote", logging.INFO)
    logger.addHandler(handler)
    log_to(logger)
    try:
        yield
    finally:
        log_to(None)
