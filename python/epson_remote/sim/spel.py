"""The SPEL+ subset of the simulated controller: tokenizer, recursive-descent parser and
expression evaluator.

Statements
----------
``Print expr[, expr...]``, ``Reset``, ``Motor On|Off``, ``Power Low|High``, ``Speed s[, a, b]``,
``Accel a, d[, ...]``, ``SpeedS v[, ...]``, ``AccelS a[, d[, ...]]``, ``XYLimMode n``,
``XYLim x1, x2, y1, y2[, z1, z2]``, ``TLSet n, point``, ``TLClr n``, ``Tool n``,
``P<n> = point``, ``On bit``, ``Off bit``, ``Out port, byte``, ``OutW port, word``,
``MemOn bit``, ``MemOff bit``, ``MemOut port, byte``, ``MemOutW port, word``, assignments of
Global Preserve variables (``name = expr``, ``name(index) = expr``), ``Wait seconds`` and
``Wait condition[, timeout]`` (in programs), ``Go point [CP] [LJM [flag]] [Till expr | Find
expr] [!...!] [SYNC]`` and ``Move point [ROT] [ECP] [CP] [Till expr | Find expr] [!...!]
[SYNC]``.

Accepted and parsed but without effect in the simulator (it has no conveyor and a single
robot): ``CP`` (there is never a following motion to blend into), ``ECP`` (no external
control point is defined), ``Find`` (nothing is recorded), the parallel statements between
``!`` marks, ``SYNC`` (the motion starts at once), the posture flag after ``LJM``, the
depart/approach values of ``Speed``/``SpeedS`` and the extra values of ``Accel``/``AccelS``
beyond acceleration and deceleration. ``Till`` evaluates its condition once, when the motion
starts: a condition that is true then stops the motion before it begins and a false one never
stops it.

Expressions
-----------
Numbers (``12``, ``-0.5``, ``0.10000000000000001``, ``1e-20``, ``&H1F``), strings, ``+ - * /
Mod``, comparisons (``= <> < > <= >=``), ``Not And Or Xor``, the constants ``True`` (-1),
``False``, ``On`` (1), ``Off`` (0), status and setting words, point functions (``XY``, ``Here``,
``P<n>``, ``P(n)``, ``TLSet(n)``, ``XYLim(n)``, ``LJM``, ``AglToPls``), coordinate functions
``CX``..``CW``, and point arithmetic: ``P1 + P2``, ``P1 +X(10)`` / ``Here -Z(5)`` (offset one
coordinate) and ``P1 :Z(100)`` (replace one coordinate), the I/O functions ``Sw(bit)``,
``In(port)``, ``InW(port)``, ``Oport(bit)``, ``Out(port)``, ``OutW(port)``, ``MemSw(bit)``,
``MemIn(port)``, ``MemInW(port)``, and Global Preserve variables (``name``, ``name(index)``).
Names are case-insensitive; a name may end with ``$`` (SPEL+ string variables).

Integers are 64-bit (``INT_MIN``..``INT_MAX``) and reals are doubles: a literal, a result
or a conversion to an integer that does not fit is error 14, like a result that overflows to
infinity. Long chains of operators (``1+1+1+...``, ``a And b And c ...``, ``P1 +X(1) +X(1) ...``)
are parsed and evaluated without recursing per operand; what is nested (parentheses, function
arguments, prefix ``Not``, ``-`` and ``+``) may be ``MAX_NESTING`` levels deep, and a statement
nested deeper is a syntax error (12).

Errors carry the controller's Remote Ethernet error codes: 11 unknown statement or name,
12 syntax error (also a statement nested too deeply), 14 number out of range or of the wrong
type, 15 missing parameter, wrong dimension or element out of range.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field, replace
from typing import Any, Protocol

ERR_UNKNOWN = 11
ERR_SYNTAX = 12
ERR_RANGE = 14
ERR_ELEMENT = 15

INT_MIN = -(2**63)
INT_MAX = 2**63 - 1
# Deepest nesting of parentheses, function arguments and prefix operators in one statement. The
# parser and evaluator recurse once per level (a parenthesis costs the parser eight Python
# frames), so this keeps a statement far from the interpreter's recursion limit.
MAX_NESTING = 64


class SpelError(Exception):
    """A statement that fails; ``code`` is the Remote Ethernet error code of the reply."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code


# --- values ------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Point:
    """A SPEL+ point: X, Y, Z (mm), U, V, W (deg). ``joints`` fixes the posture when the point
    came from the arm itself (``Here``), from joint angles (``AglToPls``) or from ``LJM``."""

    coords: tuple[float, float, float, float, float, float]
    joints: tuple[float, ...] | None = None


@dataclass(frozen=True)
class _CoordEdit:
    axis: int
    value: float
    mode: str  # "+", "-" or ":"


TRUE = -1
FALSE = 0
_AXES = {"x": 0, "y": 1, "z": 2, "u": 3, "v": 4, "w": 5}


# --- tokenizer ---------------------------------------------------------------------------------


@dataclass(frozen=True)
class Token:
    kind: str  # "num", "str", "id", "op", "end"
    text: str
    value: Any = None
    pos: int = 0

    @property
    def low(self) -> str:
        return self.text.lower()


_TOKEN_RE = re.compile(
    r"""
    (?P<ws>[ \t]+)
  | (?P<hex>&[Hh][0-9A-Fa-f]+)
  | (?P<bin>&[Bb][01]+)
  | (?P<num>(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)
  | (?P<str>"[^"]*")
  | (?P<id>[A-Za-z_][A-Za-z0-9_]*\$?)
  | (?P<op><>|<=|>=|[-+*/=<>(),;:!])
    """,
    re.VERBOSE,
)


def tokenize(text: str) -> list[Token]:
    tokens: list[Token] = []
    pos = 0
    while pos < len(text):
        m = _TOKEN_RE.match(text, pos)
        if m is None:
            raise SpelError(ERR_SYNTAX, f"unexpected character {text[pos]!r} at {pos}")
        kind = m.lastgroup
        s = m.group()
        if kind == "hex":
            tokens.append(Token("num", s, _integer_literal(s, s[2:], 16), pos))
        elif kind == "bin":
            tokens.append(Token("num", s, _integer_literal(s, s[2:], 2), pos))
        elif kind == "num":
            if "." in s or "e" in s or "E" in s:
                value: float | int = float(s)
                if not math.isfinite(value):
                    raise SpelError(ERR_RANGE, f"number {s} out of range")
            else:
                value = _integer_literal(s, s, 10)
            tokens.append(Token("num", s, value, pos))
        elif kind == "str":
            tokens.append(Token("str", s, s[1:-1], pos))
        elif kind in ("id", "op"):
            tokens.append(Token(kind, s, None, pos))
        pos = m.end()
    tokens.append(Token("end", "", None, len(text)))
    return tokens


def _integer_literal(text: str, digits: str, base: int) -> int:
    # Digits beyond what 64 bits can hold are refused before conversion: a decimal string of
    # thousands of digits would otherwise hit Python's own conversion limit.
    significant = digits.lstrip("0")
    if len(significant) > {2: 64, 10: 19, 16: 16}[base]:
        raise SpelError(ERR_RANGE, f"number {text} out of range")
    return _check_integer(int(significant or "0", base), f"number {text}")


def _check_integer(value: int, what: str = "integer") -> int:
    """``value`` if it fits 64 bits, else error 14."""
    if not INT_MIN <= value <= INT_MAX:
        raise SpelError(ERR_RANGE, f"{what} out of range")
    return value


# --- syntax tree -------------------------------------------------------------------------------


@dataclass(frozen=True)
class Num:
    value: int | float


@dataclass(frozen=True)
class Str:
    value: str


@dataclass(frozen=True)
class Name:
    """A bare word: a constant, a status word, ``Here`` or a point name ``P<n>``."""

    name: str


@dataclass(frozen=True)
class Call:
    name: str
    args: tuple[Any, ...]


@dataclass(frozen=True)
class Unary:
    op: str
    operand: Any


@dataclass(frozen=True)
class Binary:
    op: str
    left: Any
    right: Any


@dataclass(frozen=True)
class CoordEdit:
    """``+X(10)``, ``-Z(5)`` or ``:Z(100)`` applied to the point on its left."""

    point: Any
    mode: str
    axis: int
    value: Any


@dataclass(frozen=True)
class PrintStmt:
    items: tuple[Any, ...]


@dataclass(frozen=True)
class Command:
    """A settings statement: ``keyword`` and its argument expressions (``Reset``, ``Speed``,
    ``Accel``, ``SpeedS``, ``AccelS``, ``XYLimMode``, ``XYLim``, ``TLSet``, ``TLClr``,
    ``Tool``, ``Motor``, ``Power``)."""

    keyword: str
    args: tuple[Any, ...]


@dataclass(frozen=True)
class Assign:
    number: int
    value: Any


@dataclass(frozen=True)
class VariableAssign:
    """``name = value`` or ``name(index) = value`` of a Global Preserve variable."""

    name: str
    index: Any
    value: Any


@dataclass(frozen=True)
class WaitStmt:
    """``Wait seconds`` or ``Wait condition[, timeout]`` (a comparison, a logical expression or
    an I/O bit function is a condition)."""

    value: Any
    timeout: Any = None
    is_condition: bool = False


@dataclass(frozen=True)
class MotionStmt:
    kind: str  # "go" or "move"
    target: Any
    cp: bool = False
    ljm: bool = False
    ljm_flag: Any = None
    rot: bool = False
    ecp: bool = False
    till: Any = None
    find: Any = None
    parallel: tuple[str, ...] = field(default_factory=tuple)
    sync: bool = False


_COMMANDS = {
    # keyword: (least, most) number of arguments
    "reset": (0, 0),
    "speed": (1, 3),
    "accel": (2, 6),
    "speeds": (1, 3),
    "accels": (1, 3),
    "xylimmode": (1, 1),
    "xylim": (4, 6),
    "tlset": (2, 2),
    "tlclr": (1, 1),
    "tool": (1, 1),
    "motor": (1, 1),
    "power": (1, 1),
    "on": (1, 1),
    "off": (1, 1),
    "out": (2, 2),
    "outw": (2, 2),
    "memon": (1, 1),
    "memoff": (1, 1),
    "memout": (2, 2),
    "memoutw": (2, 2),
}
_CONDITION_OPS = {"=", "<>", "<", ">", "<=", ">=", "and", "or", "xor"}
_BIT_FUNCTIONS = {"sw", "oport", "memsw"}
_MOTION_WORDS = {
    "go": {"cp", "ljm", "till", "find", "sync"},
    "move": {"rot", "ecp", "cp", "till", "find", "sync"},
}
_ALL_MODIFIERS = {"cp", "ljm", "rot", "ecp", "till", "find", "sync"}
_POINT_NAME = re.compile(r"p(\d+)$")
MAX_POINT = 999


class Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.tokens = tokenize(text)
        self.i = 0
        self.depth = 0  # nesting level of the expression being parsed

    # token helpers

    @property
    def tok(self) -> Token:
        return self.tokens[self.i]

    def peek(self, k: int = 1) -> Token:
        return self.tokens[min(self.i + k, len(self.tokens) - 1)]

    def advance(self) -> Token:
        t = self.tokens[self.i]
        if t.kind != "end":
            self.i += 1
        return t

    def at_op(self, *ops: str) -> bool:
        return self.tok.kind == "op" and self.tok.text in ops

    def at_word(self, *words: str) -> bool:
        return self.tok.kind == "id" and self.tok.low in words

    def expect_op(self, op: str) -> None:
        if not self.at_op(op):
            raise self.error(f"expected {op!r}")
        self.advance()

    def error(self, what: str) -> SpelError:
        t = self.tok
        found = "end of statement" if t.kind == "end" else repr(t.text)
        return SpelError(ERR_SYNTAX, f"{what}, found {found} at {t.pos}")

    def expect_end(self) -> None:
        if self.tok.kind != "end":
            raise self.error("expected end of statement")

    def enter(self) -> None:
        """One level deeper (a parenthesis, an argument list, a prefix operator); leave with
        ``self.depth -= 1``. A failure abandons the whole statement, so no unwinding is needed."""
        self.depth += 1
        if self.depth > MAX_NESTING:
            raise self.error(f"statement nested more than {MAX_NESTING} levels deep")

    # statements

    def statement(self) -> Any:
        t = self.tok
        if t.kind == "end":
            raise SpelError(ERR_SYNTAX, "empty statement")
        if t.kind != "id":
            raise self.error("expected a statement")
        word = t.low
        if _POINT_NAME.match(word) and self.peek().kind == "op" and self.peek().text == "=":
            number = _point_number(word)
            self.advance()
            self.advance()
            value = self.expression()
            self.expect_end()
            return Assign(number, value)
        self.advance()
        if word == "print":
            return self.print_statement()
        if word in ("go", "move"):
            return self.motion(word)
        if word == "wait":
            return self.wait_statement()
        if word in _COMMANDS:
            args = self.arguments(word)
            least, most = _COMMANDS[word]
            if len(args) < least:
                raise SpelError(ERR_ELEMENT, f"{t.text} needs {least} parameter(s)")
            if len(args) > most:
                raise SpelError(ERR_SYNTAX, f"{t.text} takes at most {most} parameter(s)")
            return Command(word, tuple(args))
        if self.at_op("=") or self.at_op("("):
            return self.variable_assignment(word)
        raise SpelError(ERR_UNKNOWN, f"unknown statement {t.text!r}")

    def variable_assignment(self, name: str) -> VariableAssign:
        index = None
        if self.at_op("("):
            self.enter()
            self.advance()
            index = self.expression()
            self.expect_op(")")
            self.depth -= 1
        if not self.at_op("="):
            raise SpelError(ERR_UNKNOWN, f"unknown statement {name!r}")
        self.advance()
        value = self.expression()
        self.expect_end()
        return VariableAssign(name, index, value)

    def wait_statement(self) -> WaitStmt:
        if self.tok.kind == "end":
            raise SpelError(ERR_ELEMENT, "Wait needs a time or a condition")
        value = self.expression()
        timeout = None
        if self.at_op(","):
            self.advance()
            timeout = self.expression()
        self.expect_end()
        is_condition = (
            (isinstance(value, Binary) and value.op in _CONDITION_OPS)
            or (isinstance(value, Unary) and value.op == "not")
            or (isinstance(value, Call) and value.name in _BIT_FUNCTIONS)
        )
        if timeout is not None and not is_condition:
            raise SpelError(ERR_SYNTAX, "a time-out belongs to a Wait for a condition")
        return WaitStmt(value, timeout, is_condition)

    def arguments(self, keyword: str) -> list[Any]:
        if self.tok.kind == "end":
            return []
        if keyword == "power" and self.at_word("low", "high"):
            word = self.advance().low
            self.expect_end()
            return [Str(word)]
        args = [self.expression()]
        while self.at_op(","):
            self.advance()
            args.append(self.expression())
        self.expect_end()
        return args

    def print_statement(self) -> PrintStmt:
        items = []
        while self.tok.kind != "end":
            items.append(self.expression())
            if self.at_op(",", ";"):
                self.advance()
            elif self.tok.kind != "end":
                raise self.error("expected ',' or ';' between Print items")
        return PrintStmt(tuple(items))

    def motion(self, kind: str) -> MotionStmt:
        if self.tok.kind == "end":
            raise SpelError(ERR_ELEMENT, f"{kind.capitalize()} needs a destination point")
        target = self.additive()
        mods: dict[str, Any] = {}
        allowed = _MOTION_WORDS[kind]
        while self.tok.kind != "end":
            if self.at_op("!"):
                if "parallel" in mods:
                    raise self.error("parallel statements given twice")
                mods["parallel"] = self.parallel()
                continue
            if not self.at_word(*_ALL_MODIFIERS):
                raise self.error(f"unexpected text after the {kind.capitalize()} destination")
            word = self.advance().low
            if word not in allowed:
                raise SpelError(ERR_SYNTAX, f"{word.upper()} is not a {kind.capitalize()} modifier")
            if word in mods or (word in ("till", "find") and ("till" in mods or "find" in mods)):
                raise SpelError(ERR_SYNTAX, f"{word.upper()} given twice")
            if word == "ljm":
                mods["ljm"] = True
                if not (self.tok.kind == "end" or self.at_op("!") or self.at_word(*_ALL_MODIFIERS)):
                    mods["ljm_flag"] = self.additive()
            elif word in ("till", "find"):
                if self.tok.kind == "end" or self.at_op("!") or self.at_word(*_ALL_MODIFIERS):
                    mods[word] = Num(FALSE)  # the condition of an earlier Till statement: none
                else:
                    mods[word] = self.expression()
            else:
                mods[word] = True
        return MotionStmt(kind, target, **mods)

    def parallel(self) -> tuple[str, ...]:
        start = self.advance().pos + 1
        while not self.at_op("!"):
            if self.tok.kind == "end":
                raise self.error("parallel statements lack the closing '!'")
            self.advance()
        end = self.advance().pos
        parts = tuple(p.strip() for p in self.text[start:end].split(";"))
        if not any(parts):
            raise SpelError(ERR_SYNTAX, "empty parallel statement block")
        return parts

    # expressions, lowest precedence first

    def expression(self) -> Any:
        left = self.conjunction()
        while self.at_word("or", "xor"):
            op = self.advance().low
            left = Binary(op, left, self.conjunction())
        return left

    def conjunction(self) -> Any:
        left = self.negation()
        while self.at_word("and"):
            self.advance()
            left = Binary("and", left, self.negation())
        return left

    def negation(self) -> Any:
        if self.at_word("not"):
            self.enter()
            self.advance()
            node = Unary("not", self.negation())
            self.depth -= 1
            return node
        return self.comparison()

    def comparison(self) -> Any:
        left = self.additive()
        if self.at_op("=", "<>", "<", ">", "<=", ">="):
            op = self.advance().text
            left = Binary(op, left, self.additive())
        return left

    def additive(self) -> Any:
        left = self.term()
        while True:
            if self.at_op("+", "-", ":") and self._at_coord_edit():
                mode = self.advance().text
                axis = _AXES[self.advance().low]
                self.expect_op("(")
                self.enter()
                value = self.expression()
                self.depth -= 1
                self.expect_op(")")
                left = CoordEdit(left, mode, axis, value)
            elif self.at_op("+", "-"):
                op = self.advance().text
                left = Binary(op, left, self.term())
            else:
                return left

    def _at_coord_edit(self) -> bool:
        nxt, after = self.peek(), self.peek(2)
        return nxt.kind == "id" and nxt.low in _AXES and after.kind == "op" and after.text == "("

    def term(self) -> Any:
        left = self.unary()
        while self.at_op("*", "/") or self.at_word("mod"):
            op = self.advance().low
            left = Binary(op, left, self.unary())
        return left

    def unary(self) -> Any:
        if self.at_op("-", "+"):
            self.enter()
            op = self.advance().text
            node = Unary(op, self.unary())
            self.depth -= 1
            return node
        return self.primary()

    def primary(self) -> Any:
        t = self.tok
        if t.kind == "num":
            self.advance()
            return Num(t.value)
        if t.kind == "str":
            self.advance()
            return Str(t.value)
        if self.at_op("("):
            self.enter()
            self.advance()
            inner = self.expression()
            self.expect_op(")")
            self.depth -= 1
            return inner
        if t.kind == "id":
            reserved = _ALL_MODIFIERS | {"and", "or", "xor", "not", "mod"}
            if t.low in reserved and not (t.low == "ljm" and self.peek().text == "("):
                raise self.error("expected a value")
            self.advance()
            if self.at_op("("):
                self.enter()
                self.advance()
                args = []
                if not self.at_op(")"):
                    args.append(self.expression())
                    while self.at_op(","):
                        self.advance()
                        args.append(self.expression())
                self.expect_op(")")
                self.depth -= 1
                return Call(t.low, tuple(args))
            if _POINT_NAME.match(t.low):
                _point_number(t.low)
            return Name(t.low)
        raise self.error("expected a value")


def _point_number(word: str) -> int:
    digits = word[1:].lstrip("0") or "0"
    if len(digits) > len(str(MAX_POINT)) or int(digits) > MAX_POINT:
        raise SpelError(ERR_ELEMENT, f"point P{digits} out of range P0..P{MAX_POINT}")
    return int(digits)


def parse(text: str) -> Any:
    """Parse one statement into its syntax tree; raises :class:`SpelError`."""
    try:
        return Parser(text).statement()
    except RecursionError:
        # MAX_NESTING keeps the parser far from the limit; this only guards a caller that is
        # itself deep in the stack. A statement the parser cannot take is a syntax error.
        raise SpelError(ERR_SYNTAX, "statement nested too deeply") from None


# --- evaluation --------------------------------------------------------------------------------


class Machine(Protocol):
    """What the evaluator asks the controller."""

    def word(self, name: str) -> Any:
        """Value of a status or setting word (``SysErr``, ``Power``, ``Here``...); KeyError when
        unknown."""

    def indexed(self, name: str, index: int) -> Any:
        """Value of an indexed function (``Stat(0)``, ``Agl(j)``, ``TLSet(n)``...); KeyError
        when unknown."""

    def point(self, number: int) -> Point:
        """Point P<number>; SpelError when undefined."""

    def joint_angle(self, point: Point, joint: int) -> float:
        """Joint ``joint`` of the default posture reaching ``point`` (PAgl)."""

    def least_motion(self, point: Point, reference: Point) -> Point:
        """``point`` with the posture nearest ``reference``'s joints fixed (LJM)."""

    def from_joints(self, joints: tuple[float, ...]) -> Point:
        """The point the TCP reaches at ``joints`` (AglToPls)."""

    def variable(self, name: str, index: int | None) -> Any:
        """A Global Preserve variable or one of its elements; KeyError when there is none of that
        name."""


_CONSTANTS = {"true": TRUE, "false": FALSE, "on": 1, "off": 0}
_COORD_FUNCS = {"cx": 0, "cy": 1, "cz": 2, "cu": 3, "cv": 4, "cw": 5}
_INDEXED = {
    "stat",
    "robotinfo",
    "ctrlinfo",
    "accelmax",
    "xylim",
    "tldef",
    "tlset",
    "agl",
    "sw",
    "in",
    "inw",
    "oport",
    "out",
    "outw",
    "memsw",
    "memin",
    "meminw",
    "accel",
}


class Evaluator:
    def __init__(self, machine: Machine) -> None:
        self.m = machine

    def eval(self, node: Any) -> Any:
        try:
            return self._eval(node)
        except RecursionError:
            # The parser's MAX_NESTING keeps evaluation far from the limit: only a caller deep
            # in the stack gets here, and a statement too deep to evaluate is one too deep to
            # parse.
            raise SpelError(ERR_SYNTAX, "statement nested too deeply") from None

    def _eval(self, node: Any) -> Any:
        if isinstance(node, Num):
            return node.value
        if isinstance(node, Str):
            return node.value
        if isinstance(node, Name):
            return self._name(node.name)
        if isinstance(node, Call):
            return self._call(node.name, node.args)
        if isinstance(node, Unary):
            return self._unary(node)
        if isinstance(node, Binary | CoordEdit):
            return self._chain(node)
        raise SpelError(ERR_SYNTAX, f"cannot evaluate {node!r}")

    def _chain(self, node: Binary | CoordEdit) -> Any:
        """A left-associated chain (``1+2+3``, ``a And b And c``, ``P1 +X(1) -Z(2)``): its
        leftmost operand, then each operator with its right operand in turn, without recursing
        per link (the parser builds the chain left-deep, one node per operator)."""
        links: list[Binary | CoordEdit] = []
        while isinstance(node, Binary | CoordEdit):
            links.append(node)
            node = node.left if isinstance(node, Binary) else node.point
        value = self._eval(node)
        for link in reversed(links):
            if isinstance(link, Binary):
                value = self._binary(link.op, value, self._eval(link.right))
            else:
                value = self._coord_edit(link, value)
        return value

    def _coord_edit(self, node: CoordEdit, point: Any) -> Point:
        if not isinstance(point, Point):
            raise SpelError(ERR_ELEMENT, "a point is required")
        value = self.number(node.value)
        c = list(point.coords)
        if node.mode == "+":
            c[node.axis] += value
        elif node.mode == "-":
            c[node.axis] -= value
        else:
            c[node.axis] = float(value)
        return _finite_point(c)

    def number(self, node: Any) -> int | float:
        v = self.eval(node)
        if isinstance(v, bool) or not isinstance(v, int | float):
            raise SpelError(ERR_RANGE, "a number is required")
        if isinstance(v, float) and not math.isfinite(v):
            raise SpelError(ERR_RANGE, "the number is not finite")
        return v

    def integer(self, node: Any) -> int:
        v = self.number(node)
        if isinstance(v, float):
            if v != math.floor(v):
                raise SpelError(ERR_RANGE, f"an integer is required, got {v!r}")
            v = _to_integer(v)
        return v

    def point(self, node: Any) -> Point:
        v = self.eval(node)
        if not isinstance(v, Point):
            raise SpelError(ERR_ELEMENT, "a point is required")
        return v

    def _name(self, name: str) -> Any:
        if name in _CONSTANTS:
            return _CONSTANTS[name]
        m = _POINT_NAME.match(name)
        if m:
            return self.m.point(_point_number(name))
        try:
            return self.m.word(name)
        except KeyError:
            pass
        try:
            return self.m.variable(name, None)
        except KeyError:
            pass
        if name in _INDEXED or name in _COORD_FUNCS or name in ("pagl", "ljm", "xy", "agltopls"):
            raise SpelError(ERR_ELEMENT, f"{name} needs parameters")
        raise SpelError(ERR_UNKNOWN, f"unknown name {name!r}")

    def _call(self, name: str, args: tuple[Any, ...]) -> Any:
        n = len(args)
        if name in _COORD_FUNCS:
            _arity(name, n, 1, 1)
            return self.point(args[0]).coords[_COORD_FUNCS[name]]
        if name == "xy":
            _arity(name, n, 4, 6)
            values = [float(self.number(a)) for a in args]
            values += [0.0] * (6 - len(values))
            return Point(tuple(values))  # type: ignore[arg-type]
        if name == "p":
            _arity(name, n, 1, 1)
            k = self.integer(args[0])
            if not 0 <= k <= MAX_POINT:
                raise SpelError(ERR_ELEMENT, f"point P{k} out of range P0..P{MAX_POINT}")
            return self.m.point(k)
        if name == "pagl":
            _arity(name, n, 2, 2)
            point = self.point(args[0])
            joint = self.integer(args[1])
            if not 1 <= joint <= 6:
                raise SpelError(ERR_RANGE, f"joint {joint} out of range 1..6")
            return self.m.joint_angle(point, joint)
        if name == "ljm":
            _arity(name, n, 1, 3)
            point = self.point(args[0])
            ref = self.point(args[1]) if n >= 2 else self.m.word("here")
            if n == 3:
                self.integer(args[2])  # posture flag of LJM: accepted, no effect
            return self.m.least_motion(point, ref)
        if name == "agltopls":
            _arity(name, n, 6, 6)
            return self.m.from_joints(tuple(float(self.number(a)) for a in args))
        if name in _INDEXED:
            _arity(name, n, 1, 1)
            index = self.integer(args[0])
            return self.m.indexed(name, index)
        if n == 0:
            return self._name(name)
        if n == 1:
            index = self.integer(args[0])
            try:
                return self.m.variable(name, index)
            except KeyError:
                pass
        raise SpelError(ERR_UNKNOWN, f"unknown function {name!r}")

    def _unary(self, node: Unary) -> Any:
        if node.op == "not":
            v = self.number(node.operand)
            return ~_to_integer(v) if isinstance(v, float) else ~v
        v = self._eval(node.operand)
        if isinstance(v, Point):
            if node.op == "+":
                return v
            return Point(tuple(-c for c in v.coords))  # type: ignore[arg-type]
        v = _as_number(v)
        if node.op == "+":
            return v
        return -v if isinstance(v, float) else _check_integer(-v, "result")

    def _binary(self, op: str, left: Any, right: Any) -> Any:
        """``left op right`` for operand values."""
        if op in ("+", "-") and isinstance(left, Point) and isinstance(right, Point):
            sign = 1.0 if op == "+" else -1.0
            return _finite_point(
                [a + sign * b for a, b in zip(left.coords, right.coords, strict=True)]
            )
        if isinstance(left, str) and isinstance(right, str):
            if op == "+":
                return left + right
            if op in ("=", "<>"):
                return TRUE if (left == right) == (op == "=") else FALSE
            raise SpelError(ERR_RANGE, f"operator {op} does not apply to strings")
        a, b = _as_number(left), _as_number(right)
        if op in ("+", "-", "*", "/"):
            if op == "/" and b == 0:
                raise SpelError(ERR_RANGE, "division by zero")
            try:
                value = {"+": a + b, "-": a - b, "*": a * b}[op] if op != "/" else a / b
            except OverflowError:
                value = math.inf
            if isinstance(value, float) and not math.isfinite(value):
                raise SpelError(ERR_RANGE, "result out of range")
            return _check_integer(value, "result") if isinstance(value, int) else value
        if op == "mod":
            ia, ib = _to_integer(a), _to_integer(b)
            if ib == 0:
                raise SpelError(ERR_RANGE, "division by zero")
            return ia % ib
        if op in ("and", "or", "xor"):
            ia, ib = _to_integer(a), _to_integer(b)
            return {"and": ia & ib, "or": ia | ib, "xor": ia ^ ib}[op]
        result = {
            "=": a == b,
            "<>": a != b,
            "<": a < b,
            ">": a > b,
            "<=": a <= b,
            ">=": a >= b,
        }[op]
        return TRUE if result else FALSE


def _finite_point(coords: list[float]) -> Point:
    if not all(math.isfinite(c) for c in coords):
        raise SpelError(ERR_RANGE, "point coordinate out of range")
    return Point(tuple(coords))  # type: ignore[arg-type]


def _to_integer(v: int | float) -> int:
    """A number as an integer (reals truncated toward zero); error 14 beyond 64 bits."""
    return _check_integer(int(v), f"{v!r} as an integer")


def _as_number(v: Any) -> int | float:
    if isinstance(v, bool) or not isinstance(v, int | float):
        raise SpelError(ERR_RANGE, "a number is required")
    return v


def _arity(name: str, n: int, least: int, most: int) -> None:
    if n < least:
        raise SpelError(ERR_ELEMENT, f"{name} needs {least} parameter(s), got {n}")
    if n > most:
        raise SpelError(ERR_ELEMENT, f"{name} takes at most {most} parameter(s), got {n}")


# --- Print output ------------------------------------------------------------------------------


def format_number(v: int | float) -> str:
    """A number as Print writes it: integers (and whole reals) without a decimal point, other
    reals with full precision."""
    if isinstance(v, float):
        if v == 0.0:
            return "0"
        if v.is_integer() and abs(v) < 1e16:
            return str(int(v))
        return repr(v)
    return str(v)


def format_value(v: Any) -> str:
    if isinstance(v, str):
        return v
    if isinstance(v, Point):
        return "".join(
            f" {axis}: {format_number(c)}" for axis, c in zip("XYZUVW", v.coords, strict=True)
        )
    return " " + format_number(v)


def format_print(values: list[Any]) -> str:
    """The output of ``Print`` for its values: every number preceded by one blank."""
    return "".join(format_value(v) for v in values)


def without_posture(p: Point) -> Point:
    return replace(p, joints=None)
