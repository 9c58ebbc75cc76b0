"""A simulated plant: N simulated controllers in this process, named ``cell1`` .. ``cellN``,
each with its command and telemetry ports on free ports of one address.

Each cell is a simulator's robot model with its two servers (threads of this process); a cell
can be stopped (both ports closed, as a controller switched off) and started again on the same
ports. ``epson-remote sim --cells N`` runs one in the foreground.

Thread safety: every method may be called from any thread.
"""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, cast

from ..sim.ports import open_ports
from ..sim.server import RemoteEthernetServer
from ..sim.telemetry import TelemetryServer
from .cells import CellSpec

MAX_CELLS = 256


@dataclass(eq=False)
class PlantCell:
    """One simulated controller of the plant."""

    name: str
    controller: Any
    command: RemoteEthernetServer
    telemetry: TelemetryServer
    password: str | None
    running: bool = True
    _lock: threading.Lock = field(default_factory=threading.Lock, repr=False)

    @property
    def host(self) -> str:
        return self.telemetry.host

    @property
    def command_port(self) -> int:
        # The server takes its port from getsockname(), which is typed Any.
        return cast(int, self.command.port)

    @property
    def telemetry_port(self) -> int:
        return self.telemetry.port

    def spec(self) -> CellSpec:
        return CellSpec(self.name, self.host, self.telemetry_port, self.command_port)

    def stop(self) -> None:
        """Close both ports and their connections, as a controller switched off."""
        with self._lock:
            if not self.running:
                return
            self.running = False
            self.telemetry.stop()
            self.command.close()

    def start(self) -> None:
        """Listen again on the same ports (OSError when another program took one meanwhile)."""
        with self._lock:
            if self.running:
                return
            command = RemoteEthernetServer(
                self.controller, host=self.host, port=self.command_port, password=self.password
            )
            try:
                self.telemetry.start()
            except OSError:
                command.close()
                raise
            self.command, self.running = command, True


class SimulatedPlant:
    """``count`` simulated controllers named ``cell1`` .. ``cellN`` on free ports of ``host``.

    ``make_controller`` builds each robot model (called once per cell, with no arguments).
    Opening stops at the first port that cannot be opened (``PortUnavailable``), closing what
    it opened.
    """

    def __init__(
        self,
        count: int,
        make_controller: Callable[[], Any],
        *,
        host: str = "127.0.0.1",
        password: str | None = None,
        telemetry_rate: float = 250.0,
    ) -> None:
        if not 1 <= count <= MAX_CELLS:
            raise ValueError(f"a plant has 1..{MAX_CELLS} cells, not {count}")
        self.cells: list[PlantCell] = []
        try:
            for number in range(1, count + 1):
                controller = make_controller()
                command, telemetry = open_ports(
                    controller,
                    host=host,
                    command_port=0,
                    telemetry_port=0,
                    password=password,
                    telemetry_rate=telemetry_rate,
                )
                self.cells.append(
                    PlantCell(f"cell{number}", controller, command, telemetry, password)
                )
        except BaseException:
            self.close()
            raise

    def cell(self, name: str) -> PlantCell:
        for cell in self.cells:
            if cell.name == name:
                return cell
        raise KeyError(f"no cell {name!r} in this plant (cell1 .. cell{len(self.cells)})")

    def specs(self) -> list[CellSpec]:
        return [cell.spec() for cell in self.cells]

    def close(self) -> None:
        for cell in self.cells:
            with contextlib.suppress(OSError):
                cell.stop()

    def __enter__(self) -> SimulatedPlant:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
