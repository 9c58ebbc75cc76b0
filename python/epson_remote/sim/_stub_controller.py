"""The controller model used by the simulator's servers.

``SimulatedController`` and ``Telemetry`` come from ``controller.py`` (the robot model). While that
module is absent, a tiny stand-in answers the few statements a session needs to log in and look
around, so the transport and its tests work on their own.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass

try:
    from .controller import SimulatedController, Telemetry
except ModuleNotFoundError as error:  # only a missing controller.py falls back; its bugs do not
    if error.name != f"{__package__}.controller":
        raise

    @dataclass(frozen=True)
    class Telemetry:  # type: ignore[no-redef]
        joints: tuple[float, ...]
        pose: tuple[float, ...]
        stat: int
        syserr: int
        ctrldev: int
        robotinfo: int
        ctrlinfo: int

    class SimulatedController:  # type: ignore[no-redef]
        """Answers `Print Tool`, `Print EStopOn`, `Print Power`, `Reset`, `Motor On|Off`."""

        _PRINTS = {"Print Tool": " 0", "Print EStopOn": " 0", "Print Power": " 0"}

        def __init__(self, *, time_scale: float = 1.0) -> None:
            self._lock = threading.Lock()
            self._time_scale = time_scale
            self._motors_on = False

        def execute(self, statement: str) -> str:
            if statement in self._PRINTS:
                return f'#Execute,"{self._PRINTS[statement]}"'
            with self._lock:
                if statement == "Reset":
                    return "#Execute,0"
                if statement in ("Motor On", "Motor Off"):
                    self._motors_on = statement == "Motor On"
                    return "#Execute,0"
            return "!Execute,11"

        def pause(self) -> str:
            return "!Pause,20"

        def resume(self) -> str:
            return "!Continue,20"

        def telemetry(self) -> Telemetry:
            return Telemetry(
                joints=(0.0,) * 6,
                pose=(0.0,) * 6,
                stat=0,
                syserr=0,
                ctrldev=21,
                robotinfo=0,
                ctrlinfo=0,
            )

        def emergency_stop(self) -> None:
            with self._lock:
                self._motors_on = False

        def release_emergency_stop(self) -> None:
            pass

        def set_safeguard(self, open_: bool) -> None:
            pass

        def set_point(self, number: int, pose: list[float]) -> None:
            pass

        def state(self) -> dict:
            with self._lock:
                return {"motors_on": self._motors_on}

        def reset_state(self) -> None:
            with self._lock:
                self._motors_on = False


__all__ = ["SimulatedController", "Telemetry"]
