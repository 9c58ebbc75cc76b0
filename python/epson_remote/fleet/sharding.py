"""Which bridge of N serves a cell: ``crc32(name) mod N``.

CRC-32 of the name's UTF-8 bytes (``zlib.crc32``) is fixed by its standard, so every bridge on
every machine and in every version of this package agrees on the split without talking to the
others: N bridges given the same cell list and shards 0/N .. N-1/N serve each cell exactly once.
"""

from __future__ import annotations

import zlib
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from operator import attrgetter
from typing import TypeVar

T = TypeVar("T")


def shard_of(name: str, count: int) -> int:
    """The shard (0 .. count-1) that serves the cell ``name``."""
    if count < 1:
        raise ValueError(f"the shard count must be at least 1, not {count}")
    return zlib.crc32(name.encode("utf-8")) % count


@dataclass(frozen=True)
class Shard:
    """Shard ``index`` of ``count`` (``0/1``: every cell)."""

    index: int = 0
    count: int = 1

    def __post_init__(self) -> None:
        if self.count < 1 or not 0 <= self.index < self.count:
            raise ValueError(
                f"a shard is I/N with N >= 1 and 0 <= I < N, not {self.index}/{self.count}"
            )

    @classmethod
    def parse(cls, text: str) -> Shard:
        """``"I/N"``, as ``--shard`` takes it."""
        index, slash, count = text.strip().partition("/")
        try:
            if not slash:
                raise ValueError
            return cls(int(index), int(count))
        except ValueError as error:
            detail = f": {error}" if str(error) else ""
            raise ValueError(f"expected a shard I/N such as 0/2, got {text!r}{detail}") from None

    def owns(self, name: str) -> bool:
        return shard_of(name, self.count) == self.index

    def select(
        self, cells: Iterable[T], name_of: Callable[[T], str] = attrgetter("name")
    ) -> list[T]:
        """The cells of ``cells`` this shard serves, in their order."""
        return [cell for cell in cells if self.owns(name_of(cell))]

    def __str__(self) -> str:
        return f"{self.index}/{self.count}"
