"""The controller's input, output and memory I/O: 65536 bits of each, read and written as bits,
byte ports and word ports, and outputs wired to inputs (a gripper and its sensor).

Each of the three is one bit array. Byte port ``p`` holds bits ``8p`` to ``8p + 7`` and word port
``p`` bits ``16p`` to ``16p + 15``, the lowest bit in the lowest place, so the three views always
agree. A wiring makes an input follow an output: every change of the output reaches the input
after the wiring's delay (real seconds), in the order the output changed.

Thread safety: every public method may be called from any thread.
"""

from __future__ import annotations

import heapq
import itertools
import math
import threading
import time

BITS = 65536
BYTE_PORTS = BITS // 8
WORD_PORTS = BITS // 16
KINDS = ("input", "output", "memory")


def check_bit(bit: int) -> int:
    return _check(bit, BITS, "bit")


def check_byte_port(port: int) -> int:
    return _check(port, BYTE_PORTS, "byte port")


def check_word_port(port: int) -> int:
    return _check(port, WORD_PORTS, "word port")


def _check(value: int, count: int, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < count:
        raise ValueError(f"{what} must be an integer from 0 to {count - 1}, not {value!r}")
    return value


def _check_value(value: int, bits: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < 1 << bits:
        raise ValueError(f"a {bits}-bit port value must be 0 to {(1 << bits) - 1}, not {value!r}")
    return value


class IOMemory:
    """Inputs, outputs and memory bits, with wirings of outputs to inputs."""

    def __init__(self) -> None:
        self._cond = threading.Condition(threading.Lock())
        self._bytes = {kind: bytearray(BYTE_PORTS) for kind in KINDS}
        self._wirings: dict[int, dict[int, float]] = {}  # output bit -> {input bit: delay}
        self._due: list[tuple[float, int, int, bool]] = []  # (when, order, input bit, state)
        self._order = itertools.count()
        self._deliverer: threading.Thread | None = None

    # -- reading ------------------------------------------------------------------------------

    def bit(self, kind: str, bit: int) -> bool:
        check_bit(bit)
        with self._cond:
            return bool(self._table(kind)[bit >> 3] >> (bit & 7) & 1)

    def byte(self, kind: str, port: int) -> int:
        check_byte_port(port)
        with self._cond:
            return self._table(kind)[port]

    def word(self, kind: str, port: int) -> int:
        check_word_port(port)
        with self._cond:
            table = self._table(kind)
            return table[2 * port] | table[2 * port + 1] << 8

    # -- writing ------------------------------------------------------------------------------

    def set_bit(self, kind: str, bit: int, on: bool) -> None:
        check_bit(bit)
        with self._cond:
            old = self._table(kind)[bit >> 3]
            new = old | 1 << (bit & 7) if on else old & ~(1 << (bit & 7))
            self._write(kind, bit >> 3, bytes([new]))

    def set_byte(self, kind: str, port: int, value: int) -> None:
        check_byte_port(port)
        _check_value(value, 8)
        with self._cond:
            self._write(kind, port, bytes([value]))

    def set_word(self, kind: str, port: int, value: int) -> None:
        check_word_port(port)
        _check_value(value, 16)
        with self._cond:
            self._write(kind, 2 * port, bytes([value & 0xFF, value >> 8]))

    # -- wiring -------------------------------------------------------------------------------

    def wire_output_to_input(self, output_bit: int, input_bit: int, delay_s: float = 0.0) -> None:
        """From now on ``input_bit`` follows ``output_bit``, ``delay_s`` seconds after each change;
        it takes the output's present state at once. Wiring the same pair again changes the
        delay."""
        check_bit(output_bit)
        check_bit(input_bit)
        delay = float(delay_s)
        if not (math.isfinite(delay) and delay >= 0.0):
            raise ValueError(f"delay_s must be finite and not negative, not {delay_s!r}")
        with self._cond:
            self._wirings.setdefault(output_bit, {})[input_bit] = delay
            self._set_input_bit(input_bit, self._get("output", output_bit))

    def clear(self) -> None:
        """Every bit off, no wiring, no change on its way."""
        with self._cond:
            for table in self._bytes.values():
                table[:] = bytes(len(table))
            self._wirings.clear()
            self._due.clear()

    # -- inside the lock ----------------------------------------------------------------------

    def _table(self, kind: str) -> bytearray:
        try:
            return self._bytes[kind]
        except KeyError:
            raise ValueError(f"I/O kind must be one of {KINDS}, not {kind!r}") from None

    def _get(self, kind: str, bit: int) -> bool:
        return bool(self._bytes[kind][bit >> 3] >> (bit & 7) & 1)

    def _write(self, kind: str, first: int, data: bytes) -> None:
        table = self._table(kind)
        old = table[first : first + len(data)]
        table[first : first + len(data)] = data
        if kind != "output" or not self._wirings:
            return
        for offset, (before, after) in enumerate(zip(old, data, strict=True)):
            changed = before ^ after
            for place in range(8):
                if changed >> place & 1:
                    self._output_changed((first + offset) * 8 + place, bool(after >> place & 1))

    def _output_changed(self, output_bit: int, on: bool) -> None:
        for input_bit, delay in self._wirings.get(output_bit, {}).items():
            if delay == 0.0:
                self._set_input_bit(input_bit, on)
                continue
            heapq.heappush(self._due, (time.monotonic() + delay, next(self._order), input_bit, on))
            if self._deliverer is None:
                self._deliverer = threading.Thread(
                    target=self._deliver, name="io-wiring", daemon=True
                )
                self._deliverer.start()
            self._cond.notify_all()

    def _set_input_bit(self, bit: int, on: bool) -> None:
        table = self._bytes["input"]
        if on:
            table[bit >> 3] |= 1 << (bit & 7)
        else:
            table[bit >> 3] &= ~(1 << (bit & 7))

    def _deliver(self) -> None:
        """Apply the delayed changes of wired inputs when they fall due."""
        with self._cond:
            while True:
                if not self._due:
                    self._cond.wait()
                    continue
                left = self._due[0][0] - time.monotonic()
                if left > 0:
                    self._cond.wait(left)
                    continue
                _, _, input_bit, on = heapq.heappop(self._due)
                self._set_input_bit(input_bit, on)
