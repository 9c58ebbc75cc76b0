"""Opening a simulated controller's two ports, for ``epson-remote sim``."""

from __future__ import annotations

from .controller import SimulatedController
from .server import RemoteEthernetServer
from .telemetry import TelemetryServer


class PortUnavailable(Exception):
    """A port could not be opened; the message names the address and the reason."""


def open_ports(
    controller: SimulatedController,
    *,
    host: str,
    command_port: int,
    telemetry_port: int,
    password: str | None,
    telemetry_rate: float,
) -> tuple[RemoteEthernetServer, TelemetryServer]:
    """The command and telemetry servers of ``controller``, both listening, or neither."""
    try:
        command = RemoteEthernetServer(controller, host=host, port=command_port, password=password)
    except OSError as error:
        raise PortUnavailable(f"cannot listen on {host}:{command_port}: {error}") from None
    try:
        telemetry = TelemetryServer(
            controller.telemetry, host=host, port=telemetry_port, rate_hz=telemetry_rate
        )
    except OSError as error:
        command.close()
        raise PortUnavailable(f"cannot listen on {host}:{telemetry_port}: {error}") from None
    return command, telemetry


def address_text(host: str, port: int) -> str:
    """``host:port``, with an IPv6 address in brackets."""
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
