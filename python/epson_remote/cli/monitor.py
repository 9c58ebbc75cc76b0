"""``epson-remote monitor HOST``: the live telemetry stream, optionally recorded to CSV."""

from __future__ import annotations

import argparse
import time
from dataclasses import dataclass
from pathlib import Path

from rich.console import Console, Group
from rich.live import Live
from rich.table import Table
from rich.text import Text

from .._receive_interface import EthernetReceiveInterface
from . import _status_words
from ._connection import add_command, add_host_argument, add_telemetry_option, number
from ._library_log import library_log
from ._output import make_console
from ._telemetry import CsvWriter, TelemetryWatcher

_REFRESH_HZ = 8.0
_STALE_AFTER_S = 0.5  # a sample older than this is shown as stale


def positive_seconds(text: str) -> float:
    value = number(text, float, "a number of seconds")
    if not value > 0:
        raise argparse.ArgumentTypeError("the duration must be positive")
    return value


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = add_command(
        subparsers,
        "monitor",
        help="show live telemetry: joints, pose, status, sample rate",
        description="Connect to the telemetry port of a controller's Background Task and show "
        "the latest joints, TCP pose and status words, the measured sample rate and the age "
        "of the last sample, refreshed in place. Stops on Ctrl-C (or after --duration). "
        "Reads only.",
        examples=[
            "epson-remote monitor 192.168.0.1",
            "epson-remote monitor 127.0.0.1 --telemetry-port 2000 --record run.csv --duration 10",
        ],
    )
    add_host_argument(parser)
    add_telemetry_option(parser)
    parser.add_argument(
        "--record",
        type=Path,
        metavar="FILE.csv",
        help="write every sample seen to a CSV file (see `epson-remote plot`)",
    )
    parser.add_argument(
        "--duration",
        type=positive_seconds,
        metavar="SECONDS",
        help="stop after this long (default: run until Ctrl-C)",
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    console = make_console()
    with library_log(console, live=console.is_terminal):
        return _watch(console, args)


def _watch(console: Console, args: argparse.Namespace) -> int:
    telemetry = EthernetReceiveInterface()
    telemetry.connect(args.host, args.telemetry_port)
    recorder = CsvWriter(args.record) if args.record else None
    watcher = TelemetryWatcher(telemetry, keep=recorder is not None)
    where = f"{args.host}:{args.telemetry_port}"
    started = time.monotonic()
    deadline = started + args.duration if args.duration else None
    try:
        if console.is_terminal:
            _live(console, _Watch(telemetry, watcher, recorder, where, deadline))
        else:
            _plain(console, _Watch(telemetry, watcher, recorder, where, deadline))
    except KeyboardInterrupt:
        pass
    finally:
        watcher.stop()
        telemetry.disconnect()
        if recorder is not None:
            recorder.write(watcher.samples()[recorder.rows :])
            recorder.close()
    if recorder is not None:
        console.print(f"Recorded {recorder.rows} samples to {args.record}", soft_wrap=True)
    return 0


def _flush(watcher: TelemetryWatcher, recorder: CsvWriter | None) -> None:
    if recorder is not None:
        recorder.write(watcher.samples()[recorder.rows :])


@dataclass(frozen=True)
class _Watch:
    """What a display of the stream reads and for how long."""

    telemetry: EthernetReceiveInterface
    watcher: TelemetryWatcher
    recorder: CsvWriter | None
    where: str
    deadline: float | None


def _live(console: Console, watch: _Watch) -> None:
    with Live(
        render(watch.telemetry, watch.watcher, watch.recorder, watch.where),
        console=console,
        refresh_per_second=_REFRESH_HZ,
    ) as live:
        while watch.deadline is None or time.monotonic() < watch.deadline:
            time.sleep(1.0 / _REFRESH_HZ)
            _flush(watch.watcher, watch.recorder)
            live.update(render(watch.telemetry, watch.watcher, watch.recorder, watch.where))


def _plain(console: Console, watch: _Watch) -> None:
    """One line a second when the output is not a terminal."""
    while watch.deadline is None or time.monotonic() < watch.deadline:
        wait = (
            1.0 if watch.deadline is None else min(1.0, max(watch.deadline - time.monotonic(), 0.0))
        )
        time.sleep(wait)
        _flush(watch.watcher, watch.recorder)
        latest = watch.watcher.latest()
        if latest is None:
            console.print(f"{watch.where}: no sample yet", soft_wrap=True)
            continue
        status = watch.telemetry.get_status()
        words = _status_words.summary(status["fields"]) if status["valid"] else "no status yet"
        console.print(
            f"{watch.where}: {watch.watcher.rate_hz():.0f} samples/s, "
            f"age {(watch.watcher.age_s() or 0) * 1e3:.0f} ms"
            f" | J {_numbers(latest.joints)} | pose {_numbers(latest.pose)} | {words}",
            soft_wrap=True,  # one line per second, however wide: a pipe reads lines
        )


def _numbers(values: tuple[float, ...] | list[float]) -> str:
    return " ".join(f"{value:9.3f}" for value in values)


def render(
    telemetry: EthernetReceiveInterface,
    watcher: TelemetryWatcher,
    recorder: CsvWriter | None,
    where: str,
) -> Group:
    latest = watcher.latest()
    age = watcher.age_s()
    connected = telemetry.is_connected()
    head = Text.assemble(
        ("Telemetry ", "bold"),
        (where, "bold cyan"),
        ("   connected" if connected else "   reconnecting...", "green" if connected else "red"),
    )
    rate = Text(f"{watcher.rate_hz():7.1f} samples/s")
    if age is None:
        age_text = Text("no sample yet", style="yellow")
    else:
        style = "red" if age > _STALE_AFTER_S else "green"
        age_text = Text(f"last sample {age * 1e3:7.1f} ms ago", style=style)
    info = Text.assemble(rate, "   ", age_text)
    if recorder is not None:
        info.append(f"   recording: {len(watcher.samples())} samples")

    motion = Table(box=None, padding=(0, 1), show_edge=False)
    motion.add_column("")
    for joint, axis in zip(("J1", "J2", "J3", "J4", "J5", "J6"), "XYZUVW", strict=True):
        motion.add_column(f"{joint} / {axis}", justify="right", min_width=10)
    if latest is not None:
        motion.add_row("J [deg]", *(f"{v:.3f}" for v in latest.joints))
        motion.add_row("pose [mm, deg]", *(f"{v:.3f}" for v in latest.pose))

    status = telemetry.get_status()
    flags = Table.grid(padding=(0, 2))
    flags.add_column(style="bold")
    flags.add_column()
    if status["valid"]:
        for flag in _status_words.flags(status["fields"]):
            flags.add_row(flag.label, Text(flag.text, style=flag.style))
        words = ", ".join(f"{n} {v}" for n, v in _status_words.raw_words(status["fields"]))
        flags.add_row("Words", Text(words, style="dim"))
    else:
        flags.add_row("Status", Text("no status line received yet", style="yellow"))
    hint = Text("Ctrl-C to stop", style="dim")
    return Group(head, info, Text(""), motion, Text(""), flags, Text(""), hint)
