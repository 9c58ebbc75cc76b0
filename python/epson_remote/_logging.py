"""The library's log lines ("Connected to ...", failures it reports) and where they go.

By default the native code writes them to the standard streams as whole lines ("Connected to"
and "Disconnected from" to standard output, the rest to standard error). ``log_to(logger)`` sends
each line to a ``logging.Logger`` instead: "Connected to"/"Disconnected from" at INFO, failures
reported and swallowed at WARNING, failures reported and then raised at ERROR. The lines of all
three native modules keep their order; a native thread never waits for the interpreter lock to
log (the lines are queued and a thread of this module hands them to ``logging``). At interpreter
exit the default comes back, after the queued lines have been logged.
"""

from __future__ import annotations

import atexit
import logging
import threading

__all__ = ["log_to"]

# Set by the first native module imported: the capsule of the process's one log queue.
_native_sink: object = None

_lock = threading.Lock()
_logger: logging.Logger | None = None
_pump: threading.Thread | None = None
_stopping = threading.Event()
_TAKE_SLICE_S = 0.1


def log_to(logger: logging.Logger | None) -> None:
    """Send the library's log lines to ``logger``; ``None`` writes them as by default again."""
    if logger is not None and not isinstance(logger, logging.Logger):
        raise TypeError("log_to() takes a logging.Logger or None")
    from . import _command_channel as native

    global _logger, _pump
    with _lock:
        if logger is None:
            if _pump is None:
                return
            native._set_log_queueing(False)  # later lines go to the streams at once
            _stopping.set()
            _pump.join()
            _pump = None
            _flush(native)  # whatever was queued before, to the logger it was meant for
            _logger = None
            return
        _logger = logger
        if _pump is None:
            _stopping.clear()
            _pump = threading.Thread(
                target=_hand_over, args=(native,), name="epson-remote-log", daemon=True
            )
            _pump.start()
        native._set_log_queueing(True)


def _flush(native: object) -> None:
    for level, text in native._take_log_lines(0.0):  # type: ignore[attr-defined]
        if _logger is not None:
            _logger.log(level, text)


def _hand_over(native: object) -> None:
    while not _stopping.is_set():
        for level, text in native._take_log_lines(_TAKE_SLICE_S):  # type: ignore[attr-defined]
            logger = _logger
            if logger is not None:
                logger.log(level, text)


atexit.register(log_to, None)
