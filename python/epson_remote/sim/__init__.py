"""A simulated Epson robot controller for development without hardware, demos and tests.

``ControllerSimulator`` runs the whole controller in a child process: the Remote Ethernet command
port, the telemetry port of a Background Task, and the robot model. ``epson-remote sim`` (also
``epson-remote-sim`` and ``python -m epson_remote.sim``) runs it in the foreground. The servers are
usable on their own too: ``RemoteEthernetServer`` and ``TelemetryServer`` take any object with the
robot model's methods.
"""

from .harness import ControllerSimulator, SimulatorError
from .server import RemoteEthernetServer
from .telemetry import TelemetryConfig, TelemetryServer

__all__ = [
    "ControllerSimulator",
    "RemoteEthernetServer",
    "SimulatorError",
    "TelemetryConfig",
    "TelemetryServer",
]
