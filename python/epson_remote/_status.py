"""The controller's status words as named facts: what the controller says about its safety,
errors, motors and power, read from either source of the words.

``get_controller_status()`` reports ``EStopOn``, ``SafetyOn`` and ``TeachOn`` as words of their
own; a telemetry status line carries only the five raw words, and the receive interface derives
the same three keys from their bits. Both carry ``Stat(0)``, ``SysErr``, ``RobotInfo(0)`` and
``CtrlInfo(1)``, so each fact is taken from its own word when present and from its bit otherwise.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

STAT_TEACH_MODE = 0x80000  # Stat(0) bit 19
CTRL_INFO_EMERGENCY_STOP = 0x100  # CtrlInfo(1) bit 8
CTRL_INFO_SAFEGUARD_OPEN = 0x200  # CtrlInfo(1) bit 9
ROBOT_INFO_MOTORS_ON = 0x4  # RobotInfo(0) bit 2
ROBOT_INFO_POWER_HIGH = 0x8  # RobotInfo(0) bit 3


@dataclass(frozen=True)
class ControllerState:
    """What the status words say; ``None`` where the words given cannot tell."""

    emergency_stopped: bool | None = None
    safeguard_open: bool | None = None
    teach_mode: bool | None = None
    error_code: int | None = None  # SysErr; 0 is no error
    motors_on: bool | None = None
    power_high: bool | None = None  # the servo power the robot runs with


def decode_status(status: Mapping[str, Any]) -> ControllerState:
    """Decode the dict of ``CommandChannel.get_controller_status()`` or of
    ``EthernetReceiveInterface.get_status()`` (its ``fields``, or the whole record: a record
    whose ``valid`` is false tells nothing). A missing word, or one that is not an integer,
    leaves its facts ``None``."""
    fields = status.get("fields")
    if isinstance(fields, Mapping):
        if not status.get("valid", True):
            return ControllerState()
        status = fields
    stat = _word(status, "stat")
    robot_info = _word(status, "robot_info")
    ctrl_info = _word(status, "ctrl_info")
    return ControllerState(
        emergency_stopped=_flag(status, "emergency_stopped", ctrl_info, CTRL_INFO_EMERGENCY_STOP),
        safeguard_open=_flag(status, "safeguard_open", ctrl_info, CTRL_INFO_SAFEGUARD_OPEN),
        teach_mode=_flag(status, "teach_mode", stat, STAT_TEACH_MODE),
        error_code=_word(status, "system_error"),
        motors_on=_bit(robot_info, ROBOT_INFO_MOTORS_ON),
        power_high=_bit(robot_info, ROBOT_INFO_POWER_HIGH),
    )


def _word(fields: Mapping[str, Any], name: str) -> int | None:
    value = fields.get(name)
    if isinstance(value, bool):
        return int(value)
    return value if isinstance(value, int) else None


def _bit(word: int | None, mask: int) -> bool | None:
    return None if word is None else bool(word & mask)


def _flag(fields: Mapping[str, Any], name: str, word: int | None, mask: int) -> bool | None:
    """A Boolean word (SPEL+ true is -1, some firmware prints 1), else its bit in ``word``."""
    value = _word(fields, name)
    return value != 0 if value is not None else _bit(word, mask)
