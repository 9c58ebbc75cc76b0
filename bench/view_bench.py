"""The live view's costs: page start, server CPU at 250 Hz, page updates per second, and the
telemetry reader with the page's browser stopped.

    .venv/bin/python bench/view_bench.py [--seconds 20] [--screenshot docs/images/view.png]

Needs the view extra and Debian's chromium. The simulator runs in a child process of its own
and streams 250 samples/s; `epson-remote view` runs as a process of its own, so that its CPU
time is the server's alone. A headless Chromium (SwiftShader) holds the page. Prints the figures
and writes them into bench/RESULTS.md, between the live view's markers.
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
REPO_ROOT = BENCH_DIR.parent
sys.path.insert(0, str(REPO_ROOT / "tests" / "view"))

from chromium import Browser  # noqa: E402

from epson_remote import CommandChannel, EthernetReceiveInterface  # noqa: E402
from epson_remote.sim import ControllerSimulator  # noqa: E402

RATE_HZ = 250.0
TICKS = os.sysconf("SC_CLK_TCK")
BEGIN, END = "<!-- live view: bench/view_bench.py -->", "<!-- end of live view -->"
COUNT_FRAMES = """
(() => {
  window.__frames = 0;
  const frame = () => { window.__frames += 1; requestAnimationFrame(frame); };
  requestAnimationFrame(frame);
  return true;
})()
"""


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def rss_bytes(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    return 0


def start_view(sim: ControllerSimulator) -> tuple[subprocess.Popen[str], str]:
    process = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "epson_remote",
            "view",
            sim.host,
            "--telemetry-port",
            str(sim.telemetry_port),
            "--port",
            "0",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    for line in process.stdout:
        found = re.search(r"Live view: (\S+)", line)
        if found:
            threading.Thread(target=process.stdout.read, daemon=True).start()  # drain
            return process, found.group(1)
    raise RuntimeError("the view printed no address")


class Mover:
    """Keeps the arm moving between two poses while the figures are taken."""

    def __init__(self, sim: ControllerSimulator) -> None:
        self.channel = CommandChannel()
        self.channel.connect(sim.host, sim.command_port)
        self.channel.motor_on()
        pose = self.channel.get_state()["tcp_pose"]
        self.targets = [
            "XY({:.3f}, {:.3f}, {:.3f}, {:.3f}, {:.3f}, {:.3f})".format(
                pose[0], pose[1] + dy, pose[2] + dz, *pose[3:6]
            )
            for dy, dz in ((250.0, -120.0), (-250.0, -120.0))
        ]
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        while not self.stop.is_set():
            for target in self.targets:
                self.channel.go(target, False, False, None, None, None, False, 30)

    def close(self) -> None:
        self.stop.set()
        self.thread.join(30)
        self.channel.disconnect()


def page_start(url: str, rounds: int = 3) -> list[float]:
    """Seconds from a fresh browser's navigation to the first telemetry on the page."""
    times = []
    for _ in range(rounds):
        with Browser() as browser:
            began = time.monotonic()
            browser.open(url)
            if not browser.wait_for(lambda: "samples/s" in browser.text(), 60):
                raise RuntimeError("the page did not show telemetry within 60 s")
            times.append(time.monotonic() - began)
    return times


def watched(pid: int, url: str, seconds: float, screenshot: Path | None) -> dict[str, float]:
    """Server CPU and page updates per second with a browser showing the page."""
    with Browser() as browser:
        browser.open(url)
        browser.wait_for(lambda: "samples/s" in browser.text(), 60)
        time.sleep(2.0)  # past the page's start
        browser.evaluate(COUNT_FRAMES)
        received0 = browser.websocket_frames
        cpu0, t0 = cpu_seconds(pid), time.monotonic()
        time.sleep(seconds)
        cpu1, t1 = cpu_seconds(pid), time.monotonic()
        received = browser.websocket_frames - received0
        frames = browser.evaluate("window.__frames")
        rate = re.search(r"(\d+) samples/s", browser.text())
        if screenshot is not None:
            screenshot.parent.mkdir(parents=True, exist_ok=True)
            screenshot.write_bytes(browser.screenshot())
        requests = list(browser.requests)
    return {
        "cpu_watched": (cpu1 - cpu0) / (t1 - t0),
        "received_per_s": received / (t1 - t0),
        "browser_fps": frames / (t1 - t0),
        "load_average": os.getloadavg()[0],
        "page_rate_hz": float(rate.group(1)) if rate else 0.0,
        "requests": len(requests),
    }


def unwatched(pid: int, seconds: float) -> float:
    cpu0, t0 = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(pid) - cpu0) / (time.monotonic() - t0)


def reader_with_stopped_browser(sim: ControllerSimulator, seconds: float) -> dict[str, float]:
    """The view embedded in this process; its browser frozen by SIGSTOP: the interface's
    samples per second, the oldest the latest sample got, and the process's memory growth."""
    from epson_remote.view import serve

    rx = EthernetReceiveInterface()
    rx.connect(sim.host, sim.telemetry_port)
    try:
        with serve(rx, port=0) as view, Browser() as browser:
            browser.open(view.url)
            browser.wait_for(lambda: "samples/s" in browser.text(), 60)
            os.kill(browser.process.pid, signal.SIGSTOP)
            try:
                rss0 = rss_bytes(os.getpid())
                with rx.samples() as stream:
                    began, count, worst_age = time.monotonic(), 0, 0.0
                    while time.monotonic() - began < seconds:
                        sample = stream.next_nowait()
                        if sample is None:
                            stream.wait(0.05)
                            continue
                        count += 1
                        worst_age = max(worst_age, time.monotonic() - sample["timestamp"])
                    elapsed = time.monotonic() - began
                    dropped = stream.dropped
                rss1 = rss_bytes(os.getpid())
            finally:
                os.kill(browser.process.pid, signal.SIGCONT)
    finally:
        rx.disconnect()
    return {
        "stopped_rate_hz": (count + dropped) / elapsed,
        "stopped_dropped": float(dropped),
        "stopped_worst_age_ms": worst_age * 1e3,
        "stopped_rss_growth_mb": (rss1 - rss0) / 1e6,
    }


def write_section(figures: dict[str, float], starts: list[float], seconds: float) -> str:
    cpu_ok = figures["cpu_watched"] < 0.10
    fps_ok = figures["received_per_s"] >= 20.0
    rows = [
        (
            "page start (navigation to first telemetry), s",
            f"{statistics.median(starts):.2f}",
            "",
            f"median of {len(starts)} fresh browsers: {', '.join(f'{s:.2f}' for s in starts)}",
        ),
        (
            "server CPU at 250 Hz, page open, fraction of a core",
            f"{figures['cpu_watched']:.3f}",
            "< 0.10",
            "yes" if cpu_ok else "NO",
        ),
        ("server CPU at 250 Hz, no page open", f"{figures['cpu_idle']:.3f}", "", ""),
        (
            "page updates received per second (websocket messages)",
            f"{figures['received_per_s']:.1f}",
            ">= 20",
            "yes" if fps_ok else "NO",
        ),
        (
            "frames the browser rendered per second (SwiftShader)",
            f"{figures['browser_fps']:.1f}",
            "",
            f"load average {figures['load_average']:.1f} on {os.cpu_count()} CPUs",
        ),
        ("sample rate the page shows, Hz", f"{figures['page_rate_hz']:.0f}", "250", ""),
        (
            "reader with the browser stopped, samples/s",
            f"{figures['stopped_rate_hz']:.1f}",
            "250",
            f"{figures['stopped_dropped']:.0f} dropped by the bench's own queue",
        ),
        ("oldest latest sample meanwhile, ms", f"{figures['stopped_worst_age_ms']:.1f}", "", ""),
        ("memory growth meanwhile, MB", f"{figures['stopped_rss_growth_mb']:.1f}", "", ""),
    ]
    lines = [
        BEGIN,
        "## Live view (`bench/view_bench.py`)",
        "",
        f"`epson-remote view` in a process of its own, reading the simulator's telemetry at 250 Hz "
        f"while the arm moves; a headless Chromium (SwiftShader) shows the page; {seconds:g} s "
        "windows. Page updates are the websocket messages the page receives (DevTools' network "
        "log of the page's worker); each carries one frame. The browser's own frame rate is "
        "counted with requestAnimationFrame: software WebGL on a shared two-core machine draws "
        "what it can and applies the newest state each time.",
        "",
        "| Figure | Measured | Goal | Met / note |",
        "|---|---|---|---|",
        *(f"| {a} | {b} | {c} | {d} |" for a, b, c, d in rows),
        "",
        "What limits them: the server draws 24 frames a second for an open page (5 polls a second "
        "with none), each a few property messages that viser serialises and sends; the "
        "telemetry reader is the library's native thread, which the page's frames only copy "
        "from. viser keeps the newest value of each property for a page that does not read, so "
        "a stopped browser costs neither the reader nor memory.",
        END,
    ]
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--screenshot", type=Path)
    parser.add_argument("--no-write", action="store_true", help="print only")
    args = parser.parse_args()
    with ControllerSimulator(telemetry_rate_hz=RATE_HZ) as sim:
        mover = Mover(sim)
        try:
            process, url = start_view(sim)
            try:
                starts = page_start(url)
                figures = watched(process.pid, url, args.seconds, args.screenshot)
                figures["cpu_idle"] = unwatched(process.pid, min(args.seconds, 10.0))
            finally:
                process.terminate()
                process.wait(30)
            figures.update(reader_with_stopped_browser(sim, min(args.seconds, 10.0)))
        finally:
            mover.close()
    section = write_section(figures, starts, args.seconds)
    print(section)
    if not args.no_write:
        results = BENCH_DIR / "RESULTS.md"
        text = results.read_text()
        if BEGIN in text and END in text:
            text = text[: text.index(BEGIN)] + section + text[text.index(END) + len(END) + 1 :]
        else:
            text = text.rstrip("\n") + "\n\n" + section
        results.write_text(text)


if __name__ == "__main__":
    main()
