"""The topics and JSON payloads a publisher sends (their schema is in docs/fleet.md).

Telemetry goes out at up to 25 messages a second per cell, so its payload is written directly
from a prefix made once per cell rather than through ``json.dumps`` of a new dict each time; a
test checks that both give the same document.
"""

from __future__ import annotations

import dataclasses
import json
import math
from collections.abc import Sequence
from dataclasses import dataclass

from .._status import ControllerState

DEFAULT_PREFIX = "epson/"
ONLINE = b"true"
OFFLINE = b"false"


def normalise_prefix(prefix: str) -> str:
    """The topic prefix ending in ``/`` (or empty); it may not hold MQTT wildcards."""
    if any(char in prefix for char in "+#\0"):
        raise ValueError(f"the topic prefix may not contain '+', '#' or NUL: {prefix!r}")
    if prefix.startswith("/") or "//" in prefix:
        raise ValueError(f"the topic prefix may not hold empty levels: {prefix!r}")
    return prefix if not prefix or prefix.endswith("/") else prefix + "/"


def bridge_online_topic(prefix: str, bridge_id: str) -> str:
    return f"{prefix}_bridge/{bridge_id}/online"


@dataclass(frozen=True)
class CellTopics:
    online: str
    state: str
    telemetry: str

    @classmethod
    def of(cls, prefix: str, name: str) -> CellTopics:
        return cls(f"{prefix}{name}/online", f"{prefix}{name}/state", f"{prefix}{name}/telemetry")


def state_document(
    cell: str, bridge: str, state: ControllerState, received_utc: float
) -> dict[str, object]:
    return {
        "cell": cell,
        "bridge": bridge,
        "timestamp": round(received_utc, 6),
        **dataclasses.asdict(state),
    }


def state_payload(cell: str, bridge: str, state: ControllerState, received_utc: float) -> bytes:
    return json.dumps(state_document(cell, bridge, state, received_utc)).encode()


class TelemetryEncoder:
    """Writes one cell's telemetry payloads:
    ``{"cell", "bridge", "timestamp", "sequence", "joints", "pose"}``.

    A robot at rest sends the same numbers again and again: the text of the last joints and
    pose is kept and used again while they are equal."""

    def __init__(self, cell: str, bridge: str) -> None:
        self._head = f'{{"cell":{json.dumps(cell)},"bridge":{json.dumps(bridge)},"timestamp":'
        self._joints: tuple[list[float] | None, str] = (None, "")
        self._pose: tuple[list[float] | None, str] = (None, "")

    def encode(
        self,
        timestamp_utc: float,
        sequence: int | None,
        joints: Sequence[float],
        pose: Sequence[float],
    ) -> bytes:
        sequence_text = "null" if sequence is None else str(int(sequence))
        if joints != self._joints[0]:
            self._joints = (list(joints), _numbers(joints))
        if pose != self._pose[0]:
            self._pose = (list(pose), _numbers(pose))
        return (
            f'{self._head}{timestamp_utc:.6f},"sequence":{sequence_text},'
            f'"joints":[{self._joints[1]}],"pose":[{self._pose[1]}]}}'
        ).encode()


def _numbers(values: Sequence[float]) -> str:
    # repr() of a finite float is a JSON number that reads back exactly; JSON has no NaN.
    if all(map(math.isfinite, values)):
        return ",".join(map(repr, values))
    return ",".join(repr(v) if math.isfinite(v) else "null" for v in values)
