"""The reliability run: fault-injection matrix, concurrency stress and soak, in this order.

Started by ``tests/stress/run``. Prints the figures of each phase and, after a full run, writes
them into the generated section of docs/reliability.md. Exit code 0 when every phase passed,
1 when a phase failed, 3 when the watchdog found a hang or a deadlock.
"""

from __future__ import annotations

import argparse
import faulthandler
import os
import sys
import time

import matrix
import report
import soak
import stress
from common import PASSWORD, Capture, PhaseResult, Watchdog
from peers import PeerProcess

from epson_remote.sim import ControllerSimulator

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="tests/stress/run", description=__doc__.split("\n")[0])
    parser.add_argument(
        "--only",
        choices=("matrix", "stress", "soak"),
        action="append",
        help="run only this phase (repeatable); the document is then left as it is",
    )
    parser.add_argument("--cases", help="matrix: run only cases whose 'step: fault' matches")
    parser.add_argument("--stress-seconds", type=float, default=20.0)
    parser.add_argument("--soak-commands", type=int, default=100_000)
    parser.add_argument("--soak-lines", type=int, default=1_000_000)
    parser.add_argument("--no-doc", action="store_true", help="do not update docs/reliability.md")
    args = parser.parse_args(argv)
    phases = args.only or ["matrix", "stress", "soak"]
    full = (
        args.only is None
        and args.cases is None
        and args.soak_commands == 100_000
        and args.soak_lines == 1_000_000
    )

    capture = Capture()
    faulthandler.enable(file=capture.saved_err)  # a crash names its thread even while captured
    children: list[int] = []
    watchdog = Watchdog(capture, lambda: list(children))
    results: list[PhaseResult] = []
    started = time.monotonic()

    peers = PeerProcess()
    children.append(peers.pid)
    sim = None
    try:
        if "matrix" in phases:
            capture.say("== fault-injection matrix")
            watchdog.arm("starting the simulator", 120)
            sim = ControllerSimulator(password=PASSWORD).start()
            watchdog.disarm()
            children.append(sim.pid)
            results.append(matrix.run(sim, peers, capture, watchdog, args.cases))
            sim.stop()
            sim = None
        if "stress" in phases:
            capture.say("== concurrency stress")
            results.append(stress.run(peers, capture, watchdog, seconds=args.stress_seconds))
        if "soak" in phases:
            capture.say("== soak")
            results.append(
                soak.run(capture, watchdog, args.soak_commands, args.soak_lines, children)
            )
    finally:
        if sim is not None:
            sim.stop()
        peers.close()

    ok = all(result.ok for result in results)
    capture.say("")
    for result in results:
        capture.say(
            f"== {result.name}: {'passed' if result.ok else 'FAILED'} in {result.seconds:.0f} s"
        )
        for name, value in result.figures.items():
            capture.say(f"   {name}: {value}")
        for failure in result.failures:
            capture.say(f"   FAILURE {failure}")
    total = time.monotonic() - started
    capture.say(f"reliability run {'passed' if ok else 'FAILED'} in {total:.0f} s")
    if full and not args.no_doc:
        path = os.path.join(REPO, "docs", "reliability.md")
        report.write(path, results, total, REPO)
        capture.say("figures written to docs/reliability.md")
    sys.stdout.flush()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
