"""Concurrency stress: many Python threads share one session while another thread keeps moving.

Sixteen threads mix state reads, status queries, Tool reads and pause/continue while one more thread
loops Go and Move, against the sequence-tagged responder of ``command_peers.py``: it numbers the
requests of the connection and answers each query with values derived from that number, and records
request -> reply. Afterwards every result a thread got is matched to the request that produced it:
the request must be of the right kind, must have arrived while the call ran, must not be claimed by
another call, and its reply must be exactly what the call returned. A reply handed to the wrong
request cannot pass. A call that runs far longer than any documented time-out is taken for a
deadlock and ends the run with the stacks of every thread.
"""

from __future__ import annotations

import bisect
import random
import threading
import time
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from command_peers import (
    STATE_STATEMENT,
    STATUS_STATEMENT,
    statement_of,
    tagged_values,
    tool_definition_statement,
)
from common import PASSWORD, Capture, PhaseResult, Resources, Watchdog
from peers import PeerProcess

from epson_remote import CommandChannel

HOST = "127.0.0.1"
# Longer than any wait a call may meet here (a 5 s reply time-out, a 5 s pause wait, a motion of
# a few tens of milliseconds behind a queue of queries): a call older than this is stuck.
STUCK_SECONDS = 30.0
STATUS_KEYS = (
    "stat",
    "system_error",
    "emergency_stopped",
    "safeguard_open",
    "teach_mode",
    "control_device",
    "robot_info",
    "ctrl_info",
)
SKIPPED = (
    "getState() skipped: a motion command is in progress and holds the connection until the "
    "move completes"
)
BUSY = "getState() timed out waiting for the connection"
PENDING = "Another Epson motion-control command is pending"
# Refusals the operations document for these situations; anything else is a failure.
ACCEPTED_ERRORS = {
    "get_state": {SKIPPED, BUSY},
    "pause": {PENDING, "Timed out waiting for Epson response to $Pause"},
    "continue_motion": {PENDING, "Timed out waiting for Epson response to $Continue"},
}
KINDS = (
    ("get_state", 30),
    ("get_controller_status", 20),
    ("get_tool", 20),
    ("get_tool_definition", 10),
    ("pause", 10),
    ("continue_motion", 10),
)


@dataclass
class Call:
    kind: str
    argument: Any
    start: float
    end: float = 0.0
    result: Any = None
    error: str | None = None


def _invoke(channel: CommandChannel, kind: str, argument: Any) -> Any:
    if kind == "get_tool_definition":
        return channel.get_tool_definition(argument)
    return getattr(channel, kind)()


def _motion(channel: CommandChannel, number: int) -> None:
    if number % 2 == 0:
        speed = 50 if number % 10 == 0 else None
        channel.go("P1", False, False, None, None, None, False, speed_percent=speed)
    else:
        speed_mm_s = 250.0 if number % 10 == 1 else None
        channel.move("P2", False, False, False, None, None, False, speed_mm_s=speed_mm_s)


def run(
    peers: PeerProcess,
    capture: Capture,
    watchdog: Watchdog,
    seconds: float = 20.0,
    threads: int = 16,
    seed: int = 20240611,
) -> PhaseResult:
    result = PhaseResult("stress", ok=True)
    started = time.monotonic()
    before = Resources.now()
    capture.start()
    try:
        calls, motions, records, problems = _session(
            peers, watchdog, seconds, threads, seed, inject_every=0
        )
        out, err = capture.read()
        # The same run against a responder that now and then answers a state read twice, the
        # second time just after the next state read: that one takes the copy for its reply,
        # and the verification must notice.
        control = _session(peers, watchdog, 2.0, 4, seed + 1, inject_every=20)
    finally:
        capture.stop()
    problems += _verify(calls, motions, records)
    control_problems = control[3] + _verify(*control[:3])
    control_mismatches = sum(1 for p in control_problems if p.startswith("mismatch"))
    if control_mismatches == 0:
        problems.append("the control run's stray replies went unnoticed: the check is blind")
    if err:
        problems.append(f"standard error: {err[:500]!r}")
    if PASSWORD.encode() in out + err:
        problems.append("the password shows in the output")
    leftovers = before.leftovers()
    if leftovers:
        problems.append(f"left behind: {leftovers}")

    kinds = Counter(call.kind for call in calls)
    refused = Counter(call.error.split(": ", 1)[1] for call in calls if call.error)
    result.failures = problems[:20]
    result.ok = not problems
    result.figures = {
        "threads": f"{threads} mixing queries and pause/continue, 1 looping Go/Move",
        "seconds": round(seconds, 1),
        "calls": len(calls) + len(motions),
        "motions": len(motions),
        "calls by kind": ", ".join(f"{kind} {count}" for kind, count in sorted(kinds.items())),
        "documented refusals": ", ".join(f"{count}x {text!r}" for text, count in refused.items())
        or "none",
        "requests answered": len(records["log"]),
        "replies matched to their request": _matched(calls),
        "mismatched replies": sum(1 for p in problems if p.startswith("mismatch")),
        "deadlocks": 0,
        "control run with stray replies injected": f"{control_mismatches} mismatches detected",
    }
    result.seconds = time.monotonic() - started
    return result


class _Hammer:
    """The threads of one session: ``threads`` workers mixing queries and pause/continue, and a
    mover looping Go and Move. Every call is kept with its times; ``in_flight`` holds the call
    each thread is in now."""

    def __init__(self, channel: CommandChannel, threads: int, seed: int) -> None:
        self.channel = channel
        self.seed = seed
        self.stop = threading.Event()
        self.calls: list[list[Call]] = [[] for _ in range(threads)]
        self.motions: list[Call] = []
        self.in_flight: dict[str, Call] = {}
        self.crashed: list[str] = []
        self.threads = [
            threading.Thread(target=self._worker, args=(i,), name=f"worker-{i}")
            for i in range(threads)
        ]
        self.threads.append(threading.Thread(target=self._mover, name="mover"))

    def _timed(self, name: str, call: Call, action: Callable[..., Any], *args: Any) -> Call:
        self.in_flight[name] = call
        try:
            call.result = action(self.channel, *args)
        except Exception as error:  # judged after the run
            call.error = f"{type(error).__name__}: {error}"
        call.end = time.monotonic()
        return call

    def _worker(self, index: int) -> None:
        rng = random.Random(self.seed + index)
        names = [kind for kind, _ in KINDS]
        weights = [weight for _, weight in KINDS]
        name = f"worker-{index}"
        try:
            while not self.stop.is_set():
                kind = rng.choices(names, weights)[0]
                argument = rng.randint(1, 15) if kind == "get_tool_definition" else None
                call = Call(kind, argument, time.monotonic())
                self.calls[index].append(self._timed(name, call, _invoke, kind, argument))
        except BaseException as error:  # a failure of the harness itself
            self.crashed.append(f"{name}: {error!r}")
        finally:
            self.in_flight.pop(name, None)

    def _mover(self) -> None:
        number = 0
        try:
            while not self.stop.is_set():
                call = Call("motion", number, time.monotonic())
                self.motions.append(self._timed("mover", call, _motion, number))
                number += 1
        except BaseException as error:
            self.crashed.append(f"mover: {error!r}")
        finally:
            self.in_flight.pop("mover", None)

    def run(self, seconds: float, watchdog: Watchdog) -> None:
        """Runs the threads for ``seconds``; a call older than STUCK_SECONDS, or a thread that
        does not finish, fires the watchdog."""
        for thread in self.threads:
            thread.start()
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            time.sleep(0.1)
            now = time.monotonic()
            for name, call in list(self.in_flight.items()):
                if now - call.start > STUCK_SECONDS:
                    watchdog.fire(
                        f"DEADLOCK: {name} has been in {call.kind} for {now - call.start:.0f} s"
                    )
        self.stop.set()
        for thread in self.threads:
            thread.join(STUCK_SECONDS)
            if thread.is_alive():
                watchdog.fire(f"DEADLOCK: {thread.name} does not finish")


def _session(
    peers: PeerProcess,
    watchdog: Watchdog,
    seconds: float,
    threads: int,
    seed: int,
    inject_every: int,
) -> tuple[list[Call], list[Call], dict, list[str]]:
    """One shared session hammered for ``seconds``; returns the calls, the motions, the
    responder's records and the problems seen while running."""
    server_id, port = peers.command_peer(
        mode="seq", motion_delay=(0.002, 0.03), seed=seed, inject_every=inject_every
    )
    watchdog.arm("concurrency stress", seconds + 3 * STUCK_SECONDS + 30)
    channel = CommandChannel()
    channel.connect(HOST, port, PASSWORD)
    hammer = _Hammer(channel, threads, seed)
    hammer.run(seconds, watchdog)
    problems = hammer.crashed
    if not (channel.is_connected() and channel.is_logged_in()) and not inject_every:
        problems.append("the session was not connected and logged in at the end")
    channel.disconnect()
    watchdog.disarm()
    records = peers.stop(server_id)
    calls = [call for per_thread in hammer.calls for call in per_thread]
    return calls, hammer.motions, records, problems


def _matched(calls: list[Call]) -> int:
    return sum(
        1 for call in calls if call.error is None and call.kind not in ("pause", "continue_motion")
    )


def _verify(calls: list[Call], motions: list[Call], records: dict) -> list[str]:
    problems: list[str] = []
    if records["connections"] != 1:
        problems.append(f"the responder saw {records['connections']} connections, not 1")
    log = {
        seq: (received, line, reply) for connection, seq, received, line, reply in records["log"]
    }
    claims = _Claims(log, problems)
    tool_calls = [call for call in calls if call.error is None and call.kind == "get_tool"]
    for call in calls:
        claims.check(call)
    problems += _match_tool_reads(tool_calls, log, claims.claimed)
    for motion in motions:
        if motion.error is not None:
            problems.append(f"motion {motion.argument} failed: {motion.error}")

    # Every request the responder answered belongs to exactly one call, and every call sent
    # exactly what it had to.
    seen = _answered_by_kind(log)
    expected = claims.expected_requests
    expected["motion"] = len(motions)
    for kind in sorted(set(seen) | set(expected)):
        if seen[kind] != expected[kind]:
            problems.append(
                f"{kind}: the responder answered {seen[kind]} requests, the calls account for "
                f"{expected[kind]}"
            )
    return problems


class _Claims:
    """Matches each call's result to the one request whose reply it is, claiming the request;
    counts the requests the calls must have sent. Problems go to ``problems``."""

    def __init__(self, log: dict, problems: list[str]) -> None:
        self.log = log
        self.problems = problems
        self.claimed: dict[int, Call] = {}
        self.expected_requests: Counter[str] = Counter()

    def mismatch(self, call: Call, text: str) -> None:
        self.problems.append(f"mismatch: {call.kind}({call.argument}) -> {call.result!r}: {text}")

    def claim(self, call: Call, seq: int, statement: str) -> bool:
        entry = self.log.get(seq)
        if entry is None:
            self.mismatch(call, f"no request {seq}")
            return False
        received, line, _ = entry
        if statement_of(line) != statement:
            self.mismatch(call, f"request {seq} was {line!r}")
            return False
        if not call.start <= received <= call.end:
            self.mismatch(call, f"request {seq} arrived outside the call")
            return False
        if seq in self.claimed:
            self.mismatch(call, f"request {seq} already answered {self.claimed[seq].kind}")
            return False
        self.claimed[seq] = call
        return True

    def check(self, call: Call) -> None:
        expected = self.expected_requests
        if call.error is not None:
            text = call.error.split(": ", 1)[1]
            if text not in ACCEPTED_ERRORS.get(call.kind, set()):
                self.problems.append(f"{call.kind} failed: {call.error}")
            if call.kind in ("pause", "continue_motion") and text != PENDING:
                expected[call.kind] += 1  # sent, then timed out
            return
        if call.kind == "get_state":
            values = call.result["joint_positions"] + call.result["tcp_pose"]
            seq = int(values[0])
            expected["state"] += 1
            if values != tagged_values(seq, 12):
                self.mismatch(call, "values of no single reply")
            else:
                self.claim(call, seq, STATE_STATEMENT)
        elif call.kind == "get_controller_status":
            seq = call.result["stat"]
            expected["status"] += 1
            if [call.result[key] for key in STATUS_KEYS] != [seq + i for i in range(8)]:
                self.mismatch(call, "values of no single reply")
            else:
                self.claim(call, seq, STATUS_STATEMENT)
        elif call.kind == "get_tool_definition":
            values = call.result
            seq = int(values[0])
            expected["definition"] += 1
            if values != tagged_values(seq, 6):
                self.mismatch(call, "values of no single reply")
            elif self.claim(call, seq, tool_definition_statement(call.argument)):
                # The TLDef query went just before it under the same hold of the connection
                # (only pause and continue requests may come in between).
                earlier = seq - 1
                while earlier in self.log and statement_of(self.log[earlier][1]) is None:
                    earlier -= 1
                self.claim(call, earlier, f"Print TLDef({call.argument})")
        elif call.kind == "get_tool":
            expected["tool"] += 1  # matched all together, by _match_tool_reads
        else:
            expected[call.kind] += 1


def _answered_by_kind(log: dict) -> Counter[str]:
    seen: Counter[str] = Counter()
    for _, line, _ in log.values():
        statement = statement_of(line)
        if line == "$Pause":
            seen["pause"] += 1
        elif line == "$Continue":
            seen["continue_motion"] += 1
        elif statement == STATE_STATEMENT:
            seen["state"] += 1
        elif statement == STATUS_STATEMENT:
            seen["status"] += 1
        elif statement == "Print Tool":
            seen["tool"] += 1
        elif statement is not None and statement.startswith("Print CX(TLSet("):
            seen["definition"] += 1
        elif statement is not None and statement.split(" ", 1)[0] in ("Go", "Move"):
            seen["motion"] += 1
    return seen


def _match_tool_reads(calls: list[Call], log: dict, claimed: dict[int, Call]) -> list[str]:
    """Print Tool answers carry only the request number modulo 16, so each read is matched to a
    request of its own (same value, arrived while the read ran) by a bipartite matching."""
    requests = [
        (seq, received, int(reply.split('"')[1]))
        for seq, (received, line, reply) in log.items()
        if statement_of(line) == "Print Tool" and seq not in claimed
    ]
    requests.sort(key=lambda item: item[1])
    times = [received for _, received, _ in requests]
    options: list[list[int]] = []
    for call in calls:
        low = bisect.bisect_left(times, call.start)
        high = bisect.bisect_right(times, call.end)
        options.append([i for i in range(low, high) if requests[i][2] == call.result])
    owner: dict[int, int] = {}

    def augment(call_index: int, visited: set[int]) -> bool:
        for option in options[call_index]:
            if option in visited:
                continue
            visited.add(option)
            if option not in owner or augment(owner[option], visited):
                owner[option] = call_index
                return True
        return False

    problems = []
    for index, call in enumerate(calls):
        if not augment(index, set()):
            problems.append(
                f"mismatch: get_tool() -> {call.result}: no Print Tool request answered that "
                "value while the call ran"
            )
    return problems
