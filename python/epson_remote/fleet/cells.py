"""The cells a bridge reads: a name, a host and a telemetry port each, from a TOML file or the
command line.

A cells file holds one ``[[cells]]`` table per cell::

    [[cells]]
    name = "cell1"
    host = "10.0.4.21"
    telemetry_port = 2000   # optional, 2000 when left out
    command_port = 5000     # optional, not used by the bridge (a record for people and tools)

or, the same, one ``[cells.NAME]`` table per cell (``[cells.cell1]``, ``host = ...``).

A cell name is one level of an MQTT topic, so it may not hold ``/``, ``+``, ``#``, white space or
control characters, may not begin with ``_`` (the bridges' own topics live under ``_bridge``) or
``$`` (brokers reserve those topics), and is at most 128 characters long.
"""

from __future__ import annotations

import json
import os
import tempfile
import tomllib
import unicodedata
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

DEFAULT_TELEMETRY_PORT = 2000
MAX_NAME_LENGTH = 128
_TOPIC_SPECIAL = frozenset("/+#")
_KNOWN_KEYS = frozenset({"name", "host", "telemetry_port", "command_port"})


class CellsError(ValueError):
    """A cell definition that cannot be used; the message says which and why."""


@dataclass(frozen=True)
class CellSpec:
    """One cell: where its telemetry stream is read from."""

    name: str
    host: str
    telemetry_port: int = DEFAULT_TELEMETRY_PORT
    command_port: int | None = None  # recorded for people and tools; the bridge never uses it

    def __post_init__(self) -> None:
        check_cell_name(self.name)
        _check_host(self.host, self.name)
        _check_port(self.telemetry_port, f"cell {self.name!r}: telemetry_port")
        if self.command_port is not None:
            _check_port(self.command_port, f"cell {self.name!r}: command_port")


def check_cell_name(name: object) -> str:
    """``name`` when it can be a cell's topic level; else CellsError saying what is wrong."""
    return check_topic_level(name, "cell name")


def check_topic_level(text: object, what: str) -> str:
    """``text`` when it can be one level of the fleet's topics (a cell name, a bridge id)."""
    if not isinstance(text, str) or not text:
        raise CellsError(f"a {what} must be a non-empty string, not {text!r}")
    if len(text) > MAX_NAME_LENGTH:
        raise CellsError(f"{what} {text[:20]!r}... is longer than {MAX_NAME_LENGTH} characters")
    if text[0] in "_$":
        raise CellsError(f"{what} {text!r} may not begin with {text[0]!r}")
    for char in text:
        if char in _TOPIC_SPECIAL or char.isspace() or unicodedata.category(char).startswith("C"):
            raise CellsError(f"{what} {text!r} may not contain {char!r}")
    return text


def _check_host(host: object, name: str) -> None:
    if not isinstance(host, str) or not host.strip() or host != host.strip():
        raise CellsError(f"cell {name!r}: host must be a non-empty name or address, not {host!r}")
    if any(char.isspace() or unicodedata.category(char).startswith("C") for char in host):
        raise CellsError(f"cell {name!r}: host {host!r} may not contain spaces or control codes")


def _check_port(port: object, what: str) -> None:
    if isinstance(port, bool) or not isinstance(port, int) or not 1 <= port <= 65535:
        raise CellsError(f"{what} must be a port number in 1..65535, not {port!r}")


def parse_cell_option(text: str) -> CellSpec:
    """``NAME=HOST[:TELEMETRY_PORT]`` (an IPv6 address in brackets: ``NAME=[::1]:2000``)."""
    name, equals, address = text.partition("=")
    if not equals:
        raise CellsError(f"expected NAME=HOST[:TELEMETRY_PORT], got {text!r}")
    host, port = address, DEFAULT_TELEMETRY_PORT
    if address.startswith("["):
        host, bracket, rest = address[1:].partition("]")
        if not bracket or (rest and not rest.startswith(":")):
            raise CellsError(f"expected NAME=[IPV6]:PORT, got {text!r}")
        if rest:
            port = _port_text(rest[1:], text)
    elif address.count(":") == 1:
        host, _, port_text = address.partition(":")
        port = _port_text(port_text, text)
    return CellSpec(name, host, port)


def _port_text(text: str, whole: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise CellsError(f"not a port number: {text!r} in {whole!r}") from None


def load_cells(path: str | os.PathLike[str]) -> list[CellSpec]:
    """The cells of a cells file, in its order; CellsError names the file and the fault."""
    try:
        with open(path, "rb") as file:
            document = tomllib.load(file)
    except OSError as error:
        raise CellsError(
            f"cannot read the cells file {os.fspath(path)}: {error.strerror}"
        ) from None
    except tomllib.TOMLDecodeError as error:
        raise CellsError(f"{os.fspath(path)} is not valid TOML: {error}") from None
    try:
        return cells_from_document(document)
    except CellsError as error:
        raise CellsError(f"{os.fspath(path)}: {error}") from None


def cells_from_document(document: dict[str, Any]) -> list[CellSpec]:
    unknown = set(document) - {"cells"}
    if unknown:
        raise CellsError(f"unknown top-level keys {sorted(unknown)} (expected [[cells]] tables)")
    tables = document.get("cells", [])
    if isinstance(tables, dict):  # [cells.press] tables: the key is the name
        if not all(isinstance(t, dict) and "name" not in t for t in tables.values()):
            raise CellsError("a [cells.NAME] table holds host and telemetry_port, not a name")
        tables = [{"name": name, **table} for name, table in tables.items()]
    if not isinstance(tables, list) or not all(isinstance(t, dict) for t in tables):
        raise CellsError("cells must be an array of tables ([[cells]]) or [cells.NAME] tables")
    cells = []
    for number, table in enumerate(tables, start=1):
        extra = set(table) - _KNOWN_KEYS
        if extra:
            raise CellsError(f"cell {number}: unknown keys {sorted(extra)}")
        if "name" not in table or "host" not in table:
            raise CellsError(f"cell {number}: needs a name and a host")
        cells.append(
            CellSpec(
                table["name"],
                table["host"],
                table.get("telemetry_port", DEFAULT_TELEMETRY_PORT),
                table.get("command_port"),
            )
        )
    return unique_cells(cells)


def unique_cells(cells: Iterable[CellSpec]) -> list[CellSpec]:
    """``cells`` as a list; CellsError when a name comes twice (topics would mix two cells)."""
    seen: set[str] = set()
    result = []
    for cell in cells:
        if cell.name in seen:
            raise CellsError(f"cell {cell.name!r} is defined twice")
        seen.add(cell.name)
        result.append(cell)
    return result


def cells_text(cells: Sequence[CellSpec], comment: str = "") -> str:
    """The cells file for ``cells``, with ``comment`` lines at its head."""
    lines = [f"# {line}".rstrip() for line in comment.splitlines()]
    for cell in cells:
        lines += ["", "[[cells]]", f"name = {_toml_string(cell.name)}"]
        lines.append(f"host = {_toml_string(cell.host)}")
        lines.append(f"telemetry_port = {cell.telemetry_port}")
        if cell.command_port is not None:
            lines.append(f"command_port = {cell.command_port}")
    return "\n".join(lines).lstrip("\n") + "\n"


def _toml_string(text: str) -> str:
    # A JSON string without escapes beyond quote, backslash and control codes (which names and
    # hosts cannot hold) is a TOML basic string.
    return json.dumps(text, ensure_ascii=False)


def write_cells(path: str | os.PathLike[str], cells: Sequence[CellSpec], comment: str = "") -> None:
    """Write the cells file at once: a reader never sees half of it (written beside, renamed)."""
    target = Path(path)
    handle, temporary = tempfile.mkstemp(prefix=f".{target.name}.", dir=target.parent or ".")
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as file:
            file.write(cells_text(cells, comment))
        os.chmod(temporary, 0o644)
        os.replace(temporary, target)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise
