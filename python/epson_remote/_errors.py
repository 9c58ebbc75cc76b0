"""The library's exception classes, raised by all three native modules alike.

Each is a subclass of the type the library raised before they existed (``RuntimeError``), so
every ``except RuntimeError`` keeps working; the message texts are unchanged. ``EpsonTimeout`` is
also a ``TimeoutError`` and ``ConnectionLost`` also a ``ConnectionError``: both are therefore
``OSError`` too, and an ``except OSError`` now catches them.
"""

from __future__ import annotations

__all__ = [
    "ConnectionLost",
    "ControllerError",
    "EpsonError",
    "EpsonTimeout",
    "NotConnected",
    "ProtocolError",
    "describe_code",
]

# The controller's Remote Ethernet error codes (the maker's Remote control tables).
_CODE_DESCRIPTIONS = {
    10: "request does not begin with $",
    11: "unknown command, or not logged in",
    12: "wrong format",
    13: "wrong login password",
    14: "number out of range, omitted, or a string where a number belongs",
    15: "parameter missing, wrong dimension, or element out of range",
    19: "request timed out",
    20: "controller not ready",
    21: "cannot execute while another Execute is running",
    98: "login needs a password on a global address",
    99: "system or communication error",
}


def describe_code(code: int | None) -> str:
    """What a Remote Ethernet error code means; "" for None, a note for an unknown code."""
    if code is None:
        return ""
    return _CODE_DESCRIPTIONS.get(code, f"controller error {code}")


class EpsonError(RuntimeError):
    """A failure the controller, the network or a time-out caused."""


class ControllerError(EpsonError):
    """A failure reply of the controller, such as ``!Login,13``.

    ``code``: the controller's error code (None when the reply carries none); ``request``: the
    request as the message shows it (a login's password redacted); ``reply``: the reply line;
    ``description``: what the code means.
    """

    def __init__(
        self, message: str, code: int | None = None, request: str = "", reply: str = ""
    ) -> None:
        super().__init__(message)
        self.code = code
        self.request = request
        self.reply = reply

    @property
    def description(self) -> str:
        return describe_code(self.code)

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (str(self), self.code, self.request, self.reply))


class EpsonTimeout(EpsonError, TimeoutError):
    """A reply, a write or a connect attempt that did not complete in time."""


class ConnectionLost(EpsonError, ConnectionError):
    """A connect that failed, or a connection that failed or was dropped during a call."""


class NotConnected(EpsonError):
    """A call on a session that is not connected."""


class ProtocolError(EpsonError):
    """An unexpected, empty, over-long or unparsable reply."""
