"""Drive an Epson robot controller over Remote Ethernet.

``CommandChannel`` is one command session (login, SPEL+ statements, queries, motion, logout);
``EthernetReceiveInterface`` reads the telemetry stream of a controller Background Task;
``RobotCell`` opens and closes both as one unit; ``xy`` writes a pose as SPEL+ point text.
``epson_remote.sim`` holds a controller simulator.
"""

from ._command_channel import CommandChannel, EpsonPowerMode, PtpMotionLimits
from ._points import xy
from ._receive_interface import EthernetReceiveInterface
from ._robot_cell import RobotCell

__all__ = [
    "CommandChannel",
    "EpsonPowerMode",
    "EthernetReceiveInterface",
    "PtpMotionLimits",
    "RobotCell",
    "xy",
]
