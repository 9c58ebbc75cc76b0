"""The controller's Remote Ethernet requests besides ``$Execute``, ``$Pause``, ``$Continue`` and
``$Abort``: I/O, memory I/O, Global Preserve variables, the remote status, ``$Start`` and
``$Stop``, each with the conditions under which a controller accepts it.

Conditions, checked in this order:

1. While an ``$Execute`` runs, only the Get requests and ``$GetStatus`` are answered; the others
   answer 21.
2. Parameters: one missing 15; one too many, a malformed name or an unknown type 12; a number
   that is not one (or is empty) or out of range 14; a variable or element that does not exist
   15; ``$Start`` of a function without a program 15.
3. State: the Set requests and ``$Start`` need Auto mode (no teach mode), no emergency stop, the
   safeguard closed and no error pending, like ``$Execute`` (20 otherwise); ``$Start`` also that
   no program runs or is paused (20); ``$Stop`` needs Auto mode (20). The Get requests and
   ``$GetStatus`` are answered in every state.

Hexadecimal values are answered in upper case and read in either case.
"""

from __future__ import annotations

import re
from collections.abc import Callable

from .io_memory import check_bit, check_byte_port, check_word_port
from .spel import ERR_ELEMENT, ERR_RANGE, ERR_SYNTAX
from .variables import (
    BadElement,
    UnknownVariable,
    parse_reference,
    type_of_text,
    variable_type,
)

ERR_NOT_READY = 20
ERR_BUSY = 21
MAX_VARIABLE_VALUES = 100  # elements one $GetVariable answers at most

_IO_FORMS = {
    # request: (I/O kind, width: "bit", "byte" or "word")
    "IO": ("input", "bit"),
    "IOByte": ("input", "byte"),
    "IOWord": ("input", "word"),
    "MemIO": ("memory", "bit"),
    "MemIOByte": ("memory", "byte"),
    "MemIOWord": ("memory", "word"),
}
_PORT_CHECKS = {"bit": check_bit, "byte": check_byte_port, "word": check_word_port}
_HEX_DIGITS = {"byte": 2, "word": 4}

GET_IO = frozenset("Get" + form for form in _IO_FORMS)
SET_IO = frozenset("Set" + form for form in _IO_FORMS)
# Answered in every state, also while an $Execute runs.
ANY_TIME = GET_IO | {"GetVariable", "GetStatus"}
NEEDS_READY = SET_IO | {"SetVariable", "Start"}
REQUESTS = ANY_TIME | NEEDS_READY | {"Stop"}

_DECIMAL = re.compile(r"\d{1,9}")


class Refused(Exception):
    """A request answered with a failure code."""

    def __init__(self, code: int) -> None:
        super().__init__(code)
        self.code = code


class RemoteRequests:
    """Answers the requests of ``REQUESTS`` for one controller.

    The controller provides ``io`` (an ``IOMemory``), ``variables`` (a ``GlobalVariables``),
    ``remote_conditions()`` -> (auto, ready), ``remote_status()`` -> the reply's payload,
    ``start_program(function)`` -> 0 or a failure code and ``stop_programs()``.
    """

    def __init__(self, controller) -> None:
        self._c = controller

    def answer(self, name: str, params: list[str], execute_running: bool) -> str:
        """The reply line (without terminator) to ``$name,params...``."""
        try:
            if execute_running and name not in ANY_TIME:
                raise Refused(ERR_BUSY)
            handler: Callable[[str, list[str]], str]
            if name in GET_IO:
                handler = self._get_io
            elif name in SET_IO:
                handler = self._set_io
            else:
                handler = {
                    "GetVariable": self._get_variable,
                    "SetVariable": self._set_variable,
                    "GetStatus": self._get_status,
                    "Start": self._start,
                    "Stop": self._stop,
                }[name]
            return f"#{name},{handler(name, params)}"
        except Refused as refusal:
            return f"!{name},{refusal.code}"

    # -- I/O ----------------------------------------------------------------------------------

    def _get_io(self, name: str, params: list[str]) -> str:
        kind, width = _IO_FORMS[name[3:]]
        (text,) = _params(params, 1)
        port = _number(text, _PORT_CHECKS[width])
        if width == "bit":
            return "1" if self._c.io.bit(kind, port) else "0"
        if width == "byte":
            return f"{self._c.io.byte(kind, port):02X}"
        return f"{self._c.io.word(kind, port):04X}"

    def _set_io(self, name: str, params: list[str]) -> str:
        kind, width = _IO_FORMS[name[3:]]
        if kind == "input":
            kind = "output"  # $SetIO and its forms write outputs; inputs come from outside
        port_text, value_text = _params(params, 2)
        port = _number(port_text, _PORT_CHECKS[width])
        if width == "bit":
            if value_text not in ("0", "1"):
                raise Refused(ERR_RANGE)
            value = int(value_text)
        else:
            if not re.fullmatch(f"[0-9A-Fa-f]{{1,{_HEX_DIGITS[width]}}}", value_text):
                raise Refused(ERR_RANGE)
            value = int(value_text, 16)
        self._require_ready()
        if width == "bit":
            self._c.io.set_bit(kind, port, value == 1)
        elif width == "byte":
            self._c.io.set_byte(kind, port, value)
        else:
            self._c.io.set_word(kind, port, value)
        return "0"

    # -- variables ----------------------------------------------------------------------------

    def _get_variable(self, name: str, params: list[str]) -> str:
        if not params:
            raise Refused(ERR_ELEMENT)
        if len(params) > 3:
            raise Refused(ERR_SYNTAX)
        variable, index = _reference(params[0])
        wanted = _type(params[1]) if len(params) > 1 else None
        count = None
        if len(params) > 2:
            count = _number(params[2], _between(1, MAX_VARIABLE_VALUES))
        try:
            stored, values = self._c.variables.read(variable, index, count)
        except (UnknownVariable, BadElement):
            raise Refused(ERR_ELEMENT) from None
        values = values[:MAX_VARIABLE_VALUES]
        if wanted is None or wanted == stored:
            return ",".join(stored.format(v) for v in values)
        try:
            return ",".join(wanted.format(wanted.from_spel(v)) for v in values)
        except ValueError:
            raise Refused(ERR_RANGE) from None

    def _set_variable(self, name: str, params: list[str]) -> str:
        reference, text = _params(params, 2)
        variable, index = _reference(reference)
        variables = self._c.variables
        try:
            variables.type_of(variable)
            known = True
        except UnknownVariable:
            known = False
        if not known and index is not None:
            raise Refused(ERR_ELEMENT)  # an element of an array that does not exist
        vtype = None if known else type_of_text(text)
        if vtype is not None:
            try:
                value = vtype.parse(text)
            except ValueError:
                raise Refused(ERR_RANGE) from None
        self._require_ready()
        try:
            if vtype is not None:
                variables.create(variable, vtype, value)
            else:
                variables.write(variable, index, lambda t: t.parse(text))
        except (UnknownVariable, BadElement):
            raise Refused(ERR_ELEMENT) from None
        except ValueError:
            raise Refused(ERR_RANGE) from None
        return "0"

    # -- status and programs ------------------------------------------------------------------

    def _get_status(self, name: str, params: list[str]) -> str:
        _params(params, 0)
        return self._c.remote_status()

    def _start(self, name: str, params: list[str]) -> str:
        (text,) = _params(params, 1)
        function = _number(text, _between(0, 63))
        code = self._c.start_program(function)
        if code:
            raise Refused(code)
        return "0"

    def _stop(self, name: str, params: list[str]) -> str:
        _params(params, 0)
        auto, _ = self._c.remote_conditions()
        if not auto:
            raise Refused(ERR_NOT_READY)
        self._c.stop_programs()
        return "0"

    def _require_ready(self) -> None:
        auto, ready = self._c.remote_conditions()
        if not (auto and ready):
            raise Refused(ERR_NOT_READY)


def _params(params: list[str], count: int) -> list[str]:
    if len(params) < count:
        raise Refused(ERR_ELEMENT)
    if len(params) > count:
        raise Refused(ERR_SYNTAX)
    return params


def _number(text: str, check: Callable[[int], int]) -> int:
    if not _DECIMAL.fullmatch(text):
        raise Refused(ERR_RANGE)
    try:
        return check(int(text))
    except ValueError:
        raise Refused(ERR_RANGE) from None


def _between(low: int, high: int) -> Callable[[int], int]:
    def check(value: int) -> int:
        if not low <= value <= high:
            raise ValueError(value)
        return value

    return check


def _reference(text: str) -> tuple[str, int | None]:
    try:
        return parse_reference(text)
    except ValueError:
        raise Refused(ERR_SYNTAX) from None


def _type(text: str):
    try:
        return variable_type(text)
    except ValueError:
        raise Refused(ERR_SYNTAX) from None
