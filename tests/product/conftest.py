"""Helpers for the product tests: run the command-line tool and the examples as a user would."""

from __future__ import annotations

import os
import subprocess
import sys
import time
import uuid
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]


@dataclass
class Result:
    code: int
    out: str
    err: str


class Runner:
    """Runs Python command lines as a user would (test modules reach it through the ``runner``
    fixture: they cannot import this file)."""

    repo = REPO

    @staticmethod
    def run(args: list[str], *, timeout: float = 90.0, cwd: Path | None = None) -> Result:
        return run(args, timeout=timeout, cwd=cwd)

    @staticmethod
    def cli(*args: str | Path, timeout: float = 90.0, cwd: Path | None = None) -> Result:
        return cli(*args, timeout=timeout, cwd=cwd)

    @staticmethod
    def start(args: list[str]) -> subprocess.Popen[str]:
        return start(args)

    @staticmethod
    def read_until(process: subprocess.Popen[str], text: str, timeout: float = 60.0) -> list[str]:
        return read_until(process, text, timeout)


@pytest.fixture
def runner() -> type[Runner]:
    return Runner


def run(args: list[str], *, timeout: float = 90.0, cwd: Path | None = None) -> Result:
    """Run a Python command line to its end; output is not a terminal, so it is plain."""
    env = dict(os.environ, COLUMNS="200", PYTHONUNBUFFERED="1")
    env.pop("NO_COLOR", None)
    done = subprocess.run(
        [sys.executable, *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        cwd=cwd or REPO,
    )
    return Result(done.returncode, done.stdout, done.stderr)


def cli(*args: str | Path, timeout: float = 90.0, cwd: Path | None = None) -> Result:
    return run(["-m", "epson_remote", *map(str, args)], timeout=timeout, cwd=cwd)


def start(args: list[str]) -> subprocess.Popen[str]:
    env = dict(os.environ, COLUMNS="200", PYTHONUNBUFFERED="1")
    return subprocess.Popen(
        [sys.executable, *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        cwd=REPO,
    )


def read_until(process: subprocess.Popen[str], text: str, timeout: float = 60.0) -> list[str]:
    """Lines of standard output up to and including the first that contains ``text``."""
    assert process.stdout is not None
    lines: list[str] = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        lines.append(line.rstrip("\n"))
        if text in line:
            return lines
    raise AssertionError(f"{text!r} did not appear; got {lines}")


TAG_VARIABLE = "EPSON_REMOTE_TEST_TAG"


def tagged_processes(tag: str) -> set[int]:
    """PIDs of the processes that inherited ``tag`` in their environment: the command lines a
    test started, and the simulator processes those started in turn."""
    needle = f"{TAG_VARIABLE}={tag}".encode()
    found = set()
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            environment = (entry / "environ").read_bytes()
        except OSError:
            continue
        if needle in environment.split(b"\0"):
            found.add(int(entry.name))
    return found


@pytest.fixture
def no_new_simulator(monkeypatch: pytest.MonkeyPatch) -> Iterator[None]:
    """Fails when a command line the test started leaves a process (a simulator) behind."""
    tag = uuid.uuid4().hex
    monkeypatch.setenv(TAG_VARIABLE, tag)
    yield
    deadline = time.monotonic() + 10.0
    while tagged_processes(tag) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not tagged_processes(tag), "a process started by the test is still running"
