"""Programs of the simulated controller: lists of SPEL+ statements a harness registers under a
function number, started by ``$Start`` and run one statement after another as a task in a thread
of their own, once or in a loop, until they end, fail or are stopped.

One program runs at a time (``$Start`` is refused while one runs or is paused). ``Programs``
keeps the registrations and the task; the controller runs each statement (``run_statement``)
and owns the lock that guards both: every method here is called with that lock held, and the
task's thread takes it around its own bookkeeping.
"""

from __future__ import annotations

import threading
import time
import traceback
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from . import spel
from .spel import SpelError

MAX_FUNCTION = 63
# Rest between two rounds of a looping program, so that a loop without a Wait does not take the
# simulator's processor from its servers.
LOOP_REST_S = 0.005
# How long a stop waits for the task to finish the statement it is in (a motion or a Wait ends
# at once when told; other statements take microseconds).
STOP_WAIT_S = 2.0


@dataclass(frozen=True)
class Program:
    function: int
    statements: tuple[str, ...]
    nodes: tuple[Any, ...]
    loop: bool


class Task:
    """One run of a program."""

    def __init__(self, program: Program) -> None:
        self.program = program
        self.stop_requested = False
        self.paused = False
        self.done = False
        self.failure: str | None = None
        self.statement: str | None = None  # the one running or last run
        self.rounds = 0  # rounds of a loop completed
        self.thread: threading.Thread | None = None

    @property
    def active(self) -> bool:
        """Running or paused, and not told to stop."""
        return not self.done and not self.stop_requested


class Programs:
    """The registered programs and the task of the one started."""

    def __init__(
        self,
        cond: threading.Condition,
        run_statement: Callable[[Any, Task], None],
        on_failure: Callable[[int], None],
    ) -> None:
        self._cond = cond
        self._run_statement = run_statement
        self._on_failure = on_failure
        self._registered: dict[int, Program] = {}
        self._task: Task | None = None

    def register(self, function: int, statements: Sequence[str], loop: bool = False) -> None:
        """Register (or replace) the program of ``function``; its statements are parsed now, so a
        statement the simulator cannot parse is a ValueError here."""
        if isinstance(function, bool) or not isinstance(function, int):
            raise ValueError(f"function must be an integer, not {function!r}")
        if not 0 <= function <= MAX_FUNCTION:
            raise ValueError(f"function must be from 0 to {MAX_FUNCTION}, not {function}")
        if isinstance(statements, str) or not statements:
            raise ValueError("statements must be a non-empty list of SPEL+ statements")
        nodes = []
        for statement in statements:
            try:
                nodes.append(spel.parse(statement))
            except SpelError as error:
                raise ValueError(f"statement {statement!r}: {error} (code {error.code})") from None
        self._registered[function] = Program(function, tuple(statements), tuple(nodes), bool(loop))

    def is_registered(self, function: int) -> bool:
        return function in self._registered

    def active(self) -> bool:
        return self._task is not None and self._task.active

    def running(self) -> bool:
        return self.active() and not self._task.paused  # type: ignore[union-attr]

    def paused(self) -> bool:
        return self.active() and self._task.paused  # type: ignore[union-attr]

    def owns(self, task: Task | None) -> bool:
        return task is not None and task is self._task

    def start(self, function: int) -> None:
        task = Task(self._registered[function])
        task.thread = threading.Thread(
            target=self._run, args=(task,), name=f"program-{function}", daemon=True
        )
        self._task = task
        task.thread.start()

    def pause(self) -> bool:
        if not self.active():
            return False
        self._task.paused = True  # type: ignore[union-attr]
        self._cond.notify_all()
        return True

    def resume(self) -> bool:
        if not self.paused():
            return False
        self._task.paused = False  # type: ignore[union-attr]
        self._cond.notify_all()
        return True

    def request_stop(self) -> Task | None:
        """Tell the task to end; returns it when it was active (the caller stops its motion and
        then waits with ``wait_ended``)."""
        task = self._task
        if task is None or not task.active:
            return None
        task.stop_requested = True
        self._cond.notify_all()
        return task

    def wait_ended(self, task: Task, timeout: float = STOP_WAIT_S) -> None:
        if task.thread is threading.current_thread():
            return
        deadline = time.monotonic() + timeout
        while not task.done:
            left = deadline - time.monotonic()
            if left <= 0:
                return
            self._cond.wait(left)

    def forget(self) -> None:
        """No registrations and no record of a task (once it was stopped)."""
        self._registered.clear()
        self._task = None

    def status(self) -> dict:
        task = self._task
        return {
            "registered": sorted(self._registered),
            "function": None if task is None else task.program.function,
            "running": self.running(),
            "paused": self.paused(),
            "statement": None if task is None else task.statement,
            "rounds": 0 if task is None else task.rounds,
            "failure": None if task is None else task.failure,
        }

    # -- the task's thread --------------------------------------------------------------------

    def _run(self, task: Task) -> None:
        program = task.program
        try:
            while True:
                for statement, node in zip(program.statements, program.nodes, strict=True):
                    with self._cond:
                        while task.paused and not task.stop_requested:
                            self._cond.wait()
                        if task.stop_requested:
                            return
                        task.statement = statement
                    self._run_statement(node, task)
                with self._cond:
                    task.rounds += 1
                    if not program.loop or task.stop_requested:
                        return
                    self._cond.wait(LOOP_REST_S)
        except SpelError as error:
            self._failed(task, f"{task.statement!r}: {error}", error.code)
        except Exception as error:  # a fault of the model: reported, the task ends
            traceback.print_exc()
            self._failed(task, f"{task.statement!r}: {error!r}", 99)
        finally:
            with self._cond:
                task.done = True
                self._cond.notify_all()

    def _failed(self, task: Task, message: str, code: int) -> None:
        with self._cond:
            if task.stop_requested:
                return  # a statement cut short by the stop is no failure
            task.failure = f"{message} (code {code})"
            task.done = True  # no longer running once the error shows
            self._on_failure(code)
