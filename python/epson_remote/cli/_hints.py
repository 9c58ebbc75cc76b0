"""What a user can do about a failure of the library: a hint chosen by the failure's class and,
for a controller's refusal, by its error code.

Within a class the text only tells apart what the class does not: which of the two connections
failed (the command session or telemetry) and the operating system's reason for a failed
connect.
"""

from __future__ import annotations

from .._errors import ConnectionLost, ControllerError, EpsonTimeout

WRONG_PASSWORD = (
    "The controller refused the password: pass the Remote Ethernet password set on the "
    "controller with --password (or $EPSON_REMOTE_PASSWORD)."
)
ROUTED_NETWORK_PASSWORD = (
    "The controller asks a client on a routed (global) network for a password: set a Remote "
    "Ethernet password on the controller and pass it with --password, or connect from the "
    "controller's own subnet."
)
NOT_READY = (
    "The controller is not ready for remote commands: switch it to Auto mode, release the "
    "emergency stop, close the safeguard and reset it (`epson-remote status HOST` shows what "
    "blocks it)."
)
TIME_OUT = (
    "The controller did not answer in time: check the network path, that no other client holds "
    "the session (the controller serves one at a time), and the controller's Remote Ethernet "
    "time-out setting."
)
NO_TELEMETRY_SAMPLE = (
    "Start the telemetry Background Task on the controller; `epson-remote telemetry-task` "
    "writes the program."
)
TELEMETRY_UNREACHABLE = (
    "Check the telemetry port and that the controller's Background Task listens on it "
    "(`epson-remote telemetry-task` writes the program), or start a simulator with "
    "`epson-remote sim`."
)
NOTHING_LISTENS = (
    "Nothing listens there: check the host and port, that Remote Ethernet is enabled on the "
    "controller, or start a simulator with `epson-remote sim`."
)
UNRESOLVED_HOST = "The host name does not resolve: use the controller's IP address."

_CONTROLLER_CODE_HINTS = {13: WRONG_PASSWORD, 20: NOT_READY, 98: ROUTED_NETWORK_PASSWORD}

_TELEMETRY = "Epson telemetry"  # in every message of the telemetry connection


def hint_for(error: BaseException | None) -> str | None:
    """The hint for ``error``, or None when there is nothing useful to say."""
    if isinstance(error, ControllerError):
        return _CONTROLLER_CODE_HINTS.get(error.code) if error.code is not None else None
    message = str(error)
    if isinstance(error, EpsonTimeout):
        return NO_TELEMETRY_SAMPLE if _TELEMETRY in message else TIME_OUT
    if isinstance(error, ConnectionLost):
        if "Failed to resolve" in message:
            return UNRESOLVED_HOST
        if _TELEMETRY in message:
            return TELEMETRY_UNREACHABLE
        if "Connection refused" in message:
            return NOTHING_LISTENS
    return None
