"""The controller's Global Preserve variables: typed values and arrays shared between SPEL+
programs and the Remote Ethernet requests ``$GetVariable`` and ``$SetVariable``.

A variable has one of the SPEL+ types below and holds one value or, as an array, a list of values
with indexes from 0. Names are SPEL+ identifiers (a letter, then letters, digits or ``_``; a
string variable's name may end with ``$``) and, as in SPEL+, case-insensitive.

Values kept here are Python values: ``bool`` for Boolean, ``int`` for the integer types,
``float`` for Real (rounded to single precision) and Double, ``str`` for String. Every way in
checks the type's range and raises ``ValueError`` outside it.

Thread safety: every public method of ``GlobalVariables`` may be called from any thread.
"""

from __future__ import annotations

import math
import re
import struct
import threading
from dataclasses import dataclass
from typing import Any

from .spel import FALSE, TRUE

MAX_STRING = 255
# Characters a string value cannot hold: they would end or split a request or reply.
FORBIDDEN_IN_STRING = frozenset('",\r\n\0')
FLOAT32_MAX = 3.4028234663852886e38

_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]*\$?")
_REFERENCE = re.compile(r"([A-Za-z][A-Za-z0-9_]*\$?)(?:\((\d{1,9})\))?")
_INTEGER_TEXT = re.compile(r"[+-]?\d{1,20}")
_REAL_TEXT = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d{1,3})?")


@dataclass(frozen=True)
class VariableType:
    """One SPEL+ variable type: ``kind`` is "bool", "int", "real" or "string"; ``low`` and
    ``high`` bound the integer types."""

    name: str
    kind: str
    low: int = 0
    high: int = 0
    single: bool = False  # Real: single precision

    def convert(self, value: Any) -> Any:
        """A Python value (from the harness) as this type keeps it."""
        if self.kind == "bool":
            if not isinstance(value, bool):
                raise ValueError(f"a {self.name} value is True or False, not {value!r}")
            return value
        if self.kind == "int":
            if isinstance(value, bool) or not isinstance(value, int):
                raise ValueError(f"a {self.name} value is an integer, not {value!r}")
            return self._in_range(value)
        if self.kind == "real":
            if isinstance(value, bool) or not isinstance(value, int | float):
                raise ValueError(f"a {self.name} value is a number, not {value!r}")
            return self._real(float(value))
        if not isinstance(value, str):
            raise ValueError(f"a {self.name} value is a str, not {value!r}")
        return _string(value)

    def parse(self, text: str) -> Any:
        """The value text of a ``$SetVariable`` request."""
        if self.kind == "bool":
            word = text.strip().lower()
            if word in ("true", "-1", "1"):
                return True
            if word in ("false", "0"):
                return False
            raise ValueError(f"a Boolean value is True, False, -1, 0 or 1, not {text!r}")
        if self.kind == "int":
            if not _INTEGER_TEXT.fullmatch(text):
                raise ValueError(f"a {self.name} value is an integer, not {text!r}")
            return self._in_range(int(text))
        if self.kind == "real":
            if not _REAL_TEXT.fullmatch(text):
                raise ValueError(f"a {self.name} value is a number, not {text!r}")
            return self._real(float(text))
        if len(text) >= 2 and text[0] == text[-1] == '"':
            text = text[1:-1]
        return _string(text)

    def format(self, value: Any) -> str:
        """A kept value as ``$GetVariable`` answers it."""
        if self.kind == "bool":
            return "True" if value else "False"
        if self.kind == "real":
            return _real_text(value, self.single)
        return str(value)

    def from_spel(self, value: Any) -> Any:
        """A value of a SPEL+ expression (or of a variable of another type) as this type."""
        if isinstance(value, bool):
            value = TRUE if value else FALSE
        if self.kind == "string":
            if isinstance(value, str):
                return _string(value)
            return _string(_real_text(value, False) if isinstance(value, float) else str(value))
        if not isinstance(value, int | float):
            raise ValueError(f"a {self.name} value is a number, not a string")
        if self.kind == "bool":
            return value != 0
        if self.kind == "real":
            return self._real(float(value))
        if isinstance(value, float):
            if not value.is_integer():
                raise ValueError(f"a {self.name} value is an integer, not {value!r}")
            value = int(value)
        return self._in_range(value)

    def _in_range(self, value: int) -> int:
        if not self.low <= value <= self.high:
            raise ValueError(f"{value} is out of the {self.name} range {self.low}..{self.high}")
        return value

    def _real(self, value: float) -> float:
        if not math.isfinite(value) or (self.single and abs(value) > FLOAT32_MAX):
            raise ValueError(f"{value!r} is out of the {self.name} range")
        if self.single:
            value = struct.unpack("<f", struct.pack("<f", value))[0]
        return value + 0.0  # no -0


def _int_type(name: str, bits: int, signed: bool) -> VariableType:
    if signed:
        return VariableType(name, "int", -(1 << (bits - 1)), (1 << (bits - 1)) - 1)
    return VariableType(name, "int", 0, (1 << bits) - 1)


TYPES = {
    t.name.lower(): t
    for t in (
        VariableType("Boolean", "bool"),
        _int_type("Byte", 8, True),
        _int_type("UByte", 8, False),
        _int_type("Short", 16, True),
        _int_type("Integer", 16, True),
        _int_type("UShort", 16, False),
        _int_type("Long", 32, True),
        _int_type("Int32", 32, True),
        _int_type("UInt32", 32, False),
        _int_type("Int64", 64, True),
        _int_type("UInt64", 64, False),
        VariableType("Real", "real", single=True),
        VariableType("Double", "real"),
        VariableType("String", "string"),
    )
}


def variable_type(name: str) -> VariableType:
    """The type called ``name`` (any letter case); ValueError for an unknown one."""
    try:
        return TYPES[name.lower()]
    except (KeyError, AttributeError):
        raise ValueError(f"unknown variable type {name!r}; known: {_type_names()}") from None


def _type_names() -> str:
    return ", ".join(t.name for t in TYPES.values())


def _string(text: str) -> str:
    if len(text) > MAX_STRING:
        raise ValueError(f"a String holds at most {MAX_STRING} characters, not {len(text)}")
    bad = FORBIDDEN_IN_STRING.intersection(text)
    if bad:
        raise ValueError(f"a String value cannot hold {''.join(sorted(bad))!r}")
    return text


def _real_text(value: float, single: bool) -> str:
    """The shortest text that reads back as ``value`` (in single precision for Real)."""
    if value.is_integer() and abs(value) < 1e16:
        return str(int(value))
    if not single:
        return repr(value)
    for digits in range(1, 10):
        text = f"{value:.{digits}g}"
        if struct.unpack("<f", struct.pack("<f", float(text)))[0] == value:
            return text
    return repr(value)  # pragma: no cover - nine digits always round-trip a float32


def type_of_text(text: str) -> VariableType:
    """The type a ``$SetVariable`` value text gives a variable that does not exist yet."""
    if text.strip().lower() in ("true", "false"):
        return TYPES["boolean"]
    if _INTEGER_TEXT.fullmatch(text):
        return TYPES["int64"]
    if _REAL_TEXT.fullmatch(text):
        return TYPES["double"]
    return TYPES["string"]


def parse_reference(text: str) -> tuple[str, int | None]:
    """``name`` or ``name(index)`` as the name and the index (None for none); ValueError for text
    that is neither."""
    match = _REFERENCE.fullmatch(text)
    if match is None:
        raise ValueError(f"{text!r} is not a variable name, optionally with an (index)")
    index = match.group(2)
    return match.group(1), None if index is None else int(index)


def check_name(name: str) -> str:
    if not isinstance(name, str) or not _NAME.fullmatch(name):
        raise ValueError(f"{name!r} is not a SPEL+ identifier")
    return name


class UnknownVariable(KeyError):
    """No Global Preserve variable of that name."""


class BadElement(IndexError):
    """An index that the variable does not have (or a scalar given an index, or an array none)."""


@dataclass
class Variable:
    name: str  # as defined
    type: VariableType
    values: list[Any]
    is_array: bool


class GlobalVariables:
    """The Global Preserve variables, by name (case-insensitive)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._variables: dict[str, Variable] = {}

    def define(self, name: str, type_name: str, value: Any = None) -> None:
        """Define (or redefine) ``name`` of type ``type_name``; ``value`` a value of the type, a
        list of them for an array, or None for the type's zero (False, 0, 0.0 or "")."""
        check_name(name)
        vtype = variable_type(type_name)
        if isinstance(value, list | tuple):
            if not value:
                raise ValueError("an array needs at least one element")
            values = [vtype.convert(v) for v in value]
            is_array = True
        else:
            values = [_zero(vtype) if value is None else vtype.convert(value)]
            is_array = False
        with self._lock:
            self._variables[name.lower()] = Variable(name, vtype, values, is_array)

    def value(self, reference: str) -> Any:
        """The value of ``name`` (a list for an array) or of the element ``name(index)``."""
        name, index = parse_reference(reference)
        with self._lock:
            variable = self._find(name)
            if index is None:
                return list(variable.values) if variable.is_array else variable.values[0]
            return variable.values[self._element(variable, index)]

    def read(self, name: str, index: int | None, count: int | None) -> tuple[VariableType, list]:
        """The type and the values of a scalar, of ``count`` elements from ``index`` (one without
        ``count``), or of a whole array (no index)."""
        with self._lock:
            variable = self._find(name)
            if index is None:
                if count is not None and variable.is_array:
                    return variable.type, variable.values[:count]
                return variable.type, list(variable.values)
            first = self._element(variable, index)
            last = first + (count or 1)
            if last > len(variable.values):
                raise BadElement(f"{variable.name} has no element {last - 1}")
            return variable.type, variable.values[first:last]

    def type_of(self, name: str) -> VariableType:
        with self._lock:
            return self._find(name).type

    def write(self, name: str, index: int | None, convert) -> None:
        """Store ``convert(type of the variable)`` in the scalar or the element; UnknownVariable
        or BadElement when there is no such variable or element."""
        with self._lock:
            variable = self._variables.get(name.lower())
            if variable is None:
                raise UnknownVariable(name)
            if index is None and variable.is_array:
                raise BadElement(f"{variable.name} is an array: give an index")
            position = 0 if index is None else self._element(variable, index)
            variable.values[position] = convert(variable.type)

    def create(self, name: str, vtype: VariableType, value: Any) -> None:
        """A new scalar, unless ``name`` exists meanwhile (then it is only written)."""
        check_name(name)
        with self._lock:
            variable = self._variables.get(name.lower())
            if variable is None:
                self._variables[name.lower()] = Variable(name, vtype, [value], False)
            else:
                variable.values[0] = variable.type.from_spel(value)

    def spel_value(self, name: str, index: int | None) -> Any:
        """The value as a SPEL+ expression sees it (Boolean as -1 or 0); UnknownVariable."""
        with self._lock:
            variable = self._variables.get(name.lower())
            if variable is None:
                raise UnknownVariable(name)
            if index is None:
                if variable.is_array:
                    raise BadElement(f"{variable.name} is an array: give an index")
                value = variable.values[0]
            else:
                value = variable.values[self._element(variable, index)]
        if isinstance(value, bool):
            return TRUE if value else FALSE
        return value

    def clear(self) -> None:
        with self._lock:
            self._variables.clear()

    def _find(self, name: str) -> Variable:
        variable = self._variables.get(name.lower())
        if variable is None:
            raise UnknownVariable(name)
        return variable

    @staticmethod
    def _element(variable: Variable, index: int) -> int:
        if not variable.is_array:
            raise BadElement(f"{variable.name} is not an array")
        if not 0 <= index < len(variable.values):
            raise BadElement(f"{variable.name} has elements 0 to {len(variable.values) - 1}")
        return index


def _zero(vtype: VariableType) -> Any:
    return {"bool": False, "int": 0, "real": 0.0, "string": ""}[vtype.kind]
