"""Drive an Epson robot controller over Remote Ethernet.

``CommandChannel`` is one command session (login, SPEL+ statements, queries, motion, logout);
``EthernetReceiveInterface`` reads the telemetry stream of a controller Background Task;
``RobotCell`` opens and closes both as one unit; ``xy`` writes a pose as SPEL+ point text;
``decode_status`` reads the status words as a ``ControllerState``. Failures are ``EpsonError``
subclasses of ``RuntimeError`` (``ControllerError``, ``EpsonTimeout``, ``ConnectionLost``,
``NotConnected``, ``ProtocolError``); ``log_to`` sends the library's log lines to ``logging``.
``epson_remote.sim`` holds a controller simulator.
"""

from ._command_channel import CommandChannel, EpsonPowerMode, PtpMotionLimits
from ._errors import (
    ConnectionLost,
    ControllerError,
    EpsonError,
    EpsonTimeout,
    NotConnected,
    ProtocolError,
)
from ._logging import log_to
from ._points import xy
from ._receive_interface import EthernetReceiveInterface
from ._robot_cell import RobotCell
from ._status import ControllerState, decode_status
from ._version import __version__

__all__ = [
    "CommandChannel",
    "ConnectionLost",
    "ControllerError",
    "ControllerState",
    "EpsonError",
    "EpsonPowerMode",
    "EpsonTimeout",
    "EthernetReceiveInterface",
    "NotConnected",
    "ProtocolError",
    "PtpMotionLimits",
    "RobotCell",
    "__version__",
    "decode_status",
    "log_to",
    "xy",
]
