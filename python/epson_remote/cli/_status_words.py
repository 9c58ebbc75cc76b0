"""Controller status words in words: what blocks the robot, and what to do about it."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from .._status import decode_status

UNKNOWN = "unknown"


@dataclass(frozen=True)
class Flag:
    label: str
    text: str
    style: str  # a rich style: "green" fine, "red" blocks motion, "yellow" worth a look
    blocks_motion: bool = False


def _unknown(label: str) -> Flag:
    return Flag(label, UNKNOWN, "yellow")


def flags(status: Mapping[str, Any]) -> list[Flag]:
    """The status dictionary of ``get_controller_status()`` or of telemetry, for people."""
    state = decode_status(status)
    result = []
    if state.emergency_stopped is None:
        result.append(_unknown("Emergency stop"))
    elif state.emergency_stopped:
        result.append(
            Flag(
                "Emergency stop",
                "ACTIVE: release it, then reset the controller",
                "bold red",
                True,
            )
        )
    else:
        result.append(Flag("Emergency stop", "released", "green"))
    if state.safeguard_open is None:
        result.append(_unknown("Safeguard"))
    elif state.safeguard_open:
        result.append(Flag("Safeguard", "OPEN: close the safety door", "bold red", True))
    else:
        result.append(Flag("Safeguard", "closed", "green"))
    if state.teach_mode is None:
        result.append(_unknown("Teach mode"))
    elif state.teach_mode:
        result.append(
            Flag("Teach mode", "ON: remote commands are refused (switch to Auto)", "yellow", True)
        )
    else:
        result.append(Flag("Teach mode", "off", "green"))
    if state.error_code is None:
        result.append(_unknown("Error"))
    elif state.error_code:
        result.append(
            Flag(
                "Error",
                f"{state.error_code}: remove the cause, then reset the controller",
                "bold red",
                True,
            )
        )
    else:
        result.append(Flag("Error", "none", "green"))
    if state.motors_on is None:
        result.append(_unknown("Motors"))
    else:
        motors = state.motors_on
        result.append(Flag("Motors", "ON" if motors else "off", "yellow" if motors else "green"))
    return result


def summary(status: Mapping[str, Any], skip: tuple[str, ...] = ()) -> str:
    """One short line, for the demo and for plain output."""
    return ", ".join(
        f"{flag.label.lower()} {flag.text.split(':')[0].lower()}"
        for flag in flags(status)
        if flag.label not in skip
    )


def raw_words(fields: Mapping[str, int]) -> list[tuple[str, str]]:
    """The undecoded words, hexadecimal where they are bit sets."""
    rows = []
    for name in ("stat", "robot_info", "ctrl_info"):
        if name in fields:
            rows.append((name, f"0x{int(fields[name]):08X}"))
    for name in ("system_error", "control_device"):
        if name in fields:
            rows.append((name, str(int(fields[name]))))
    return rows
