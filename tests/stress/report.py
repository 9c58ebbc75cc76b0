"""Writes the figures of a run into the generated section of docs/reliability.md, next to the
figures that the sanitizer and fuzz commands left in build/ when they ran on this machine."""

from __future__ import annotations

import datetime
import os
import re

from common import PhaseResult

BEGIN = "<!-- figures of tests/stress/run: generated, do not edit by hand -->"
END = "<!-- end of generated figures -->"


def write(path: str, results: list[PhaseResult], seconds: float, repo: str) -> None:
    with open(path, encoding="utf-8") as document:
        text = document.read()
    if BEGIN not in text or END not in text:
        raise RuntimeError(f"{os.path.relpath(path, repo)} lacks the markers of its figures")
    section = BEGIN + "\n" + render(results, seconds, repo) + END
    text = re.sub(re.escape(BEGIN) + ".*?" + re.escape(END), lambda _: section, text, flags=re.S)
    with open(path, "w", encoding="utf-8") as document:
        document.write(text)


def render(results: list[PhaseResult], seconds: float, repo: str) -> str:
    day = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d")
    verdict = "passed" if all(r.ok for r in results) else "FAILED"
    lines = [
        "",
        f"Last full run: {day}, {verdict}, {seconds:.0f} s on {os.cpu_count()} cores.",
        "",
    ]
    for result in results:
        lines.append(f"### {result.name.capitalize()}: {'passed' if result.ok else 'FAILED'}")
        lines.append("")
        for name, value in result.figures.items():
            lines.append(f"- {name}: {value}")
        for failure in result.failures:
            lines.append(f"- FAILURE: {failure.splitlines()[0]}")
        if result.rows:
            lines += ["", "| Step | Fault | Result | Seconds |", "|---|---|---|---|"]
            for step, fault, status, elapsed in result.rows:
                lines.append(f"| {step} | {fault} | {status} | {elapsed:.1f} |")
        lines.append("")
    lines += ["### Sanitizers and fuzzers (last local runs found in build/)", ""]
    lines += _tool_figures(repo)
    lines.append("")
    return "\n".join(lines)


def _tool_figures(repo: str) -> list[str]:
    found = []
    summary = os.path.join(repo, "build", "fuzz", "summary.txt")
    if os.path.isfile(summary):
        with open(summary, encoding="utf-8") as figures:
            for line in figures:
                if line.strip():
                    found.append(f"- fuzz {line.strip()} ({_day(summary)})")
    for command, folder in (
        ("scripts/sanitize asan", "asan/reports"),
        ("scripts/sanitize tsan", "tsan/reports"),
        ("tests/stress/run --tsan", "tsan/stress-reports"),
    ):
        reports = os.path.join(repo, "build", folder)
        if not os.path.isdir(reports):
            continue
        count = len(os.listdir(reports))
        verdict = "no sanitizer reports" if count == 0 else f"{count} sanitizer report files"
        found.append(f"- {command}: {verdict} ({_day(reports)})")
    return found or ["- none on this machine: run scripts/sanitize and scripts/fuzz"]


def _day(path: str) -> str:
    stamp = os.path.getmtime(path)
    return datetime.datetime.fromtimestamp(stamp, datetime.UTC).strftime("%Y-%m-%d")
