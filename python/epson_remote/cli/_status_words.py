"""Controller status words in words: what blocks the robot, and what to do about it."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

ROBOT_INFO_MOTORS_ON = 0x4  # RobotInfo(0) bit 2


@dataclass(frozen=True)
class Flag:
    label: str
    text: str
    style: str  # a rich style: "green" fine, "red" blocks motion, "yellow" worth a look
    blocks_motion: bool = False


def decode(fields: Mapping[str, int]) -> list[Flag]:
    """The status dictionary of ``get_controller_status()`` or of telemetry, for people."""
    flags = []
    if fields.get("emergency_stopped"):
        flags.append(
            Flag(
                "Emergency stop",
                "ACTIVE: release it, then reset the controller",
                "bold red",
                True,
            )
        )
    else:
        flags.append(Flag("Emergency stop", "released", "green"))
    if fields.get("safeguard_open"):
        flags.append(Flag("Safeguard", "OPEN: close the safety door", "bold red", True))
    else:
        flags.append(Flag("Safeguard", "closed", "green"))
    if fields.get("teach_mode"):
        flags.append(
            Flag("Teach mode", "ON: remote commands are refused (switch to Auto)", "yellow", True)
        )
    else:
        flags.append(Flag("Teach mode", "off", "green"))
    error = int(fields.get("system_error", 0))
    if error:
        flags.append(
            Flag("Error", f"{error}: remove the cause, then reset the controller", "bold red", True)
        )
    else:
        flags.append(Flag("Error", "none", "green"))
    motors = bool(int(fields.get("robot_info", 0)) & ROBOT_INFO_MOTORS_ON)
    flags.append(Flag("Motors", "ON" if motors else "off", "yellow" if motors else "green"))
    return flags


def summary(fields: Mapping[str, int], skip: tuple[str, ...] = ()) -> str:
    """One short line, for the demo and for plain output."""
    return ", ".join(
        f"{flag.label.lower()} {flag.text.split(':')[0].lower()}"
        for flag in decode(fields)
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
