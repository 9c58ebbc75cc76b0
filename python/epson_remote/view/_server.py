"""``serve()``: the live page of one receive interface, from a background thread of the caller.

One thread ("epson-view") polls the interface at the frame rate and sets the page's properties;
viser's own thread serves the page and its websocket. Neither takes anything from the telemetry
reader but the latest sample's copy, and the page reads no controller port of its own.
"""

from __future__ import annotations

import contextlib
import socket
import threading
import time
import traceback
from collections.abc import Sequence
from typing import Any

import viser

from ..sim.kinematics import ArmGeometry
from ._arm import ArmModel, Verdict, check_geometry
from ._feed import TelemetryFeed
from ._page import Page

FRAME_RATE_HZ = 24.0
CHART_EVERY = 6  # frames between chart updates
CHECK_EVERY_S = 1.0  # seconds between geometry checks
CHECK_WINDOW_S = 4.0
TEXT_EVERY = 3  # frames between updates of the numbers: 8 a second are plenty to read
IDLE_RATE_HZ = 5.0  # polls a second while no page is open


class LiveView:
    """A running page; ``close()`` (or the end of a ``with`` block) stops it. The receive
    interface stays the caller's: closing the view leaves it connected."""

    def __init__(
        self,
        receive_interface: Any,
        *,
        host: str,
        port: int,
        geometry: ArmGeometry | None,
        xylim: tuple[Sequence[float], Sequence[float]] | None,
        tool: Sequence[float] | None,
        power_high: bool | None,
        title: str,
        frame_rate_hz: float,
    ) -> None:
        if port != 0:
            _check_free(host, port)  # viser would quietly take the next free port instead
        self._server = viser.ViserServer(host=host, port=port, label=title, verbose=False)
        try:
            self._model = ArmModel(geometry)
            self._page = Page(self._server, self._model, xylim, power_high, title)
            self._feed = TelemetryFeed(receive_interface)
        except BaseException:
            self._server.stop()
            raise
        self._tool = list(tool) if tool is not None else None
        self._period = 1.0 / frame_rate_hz
        self._stop = threading.Event()
        self.host = host
        self.port = int(self._server.get_port())
        self.frames = 0  # frames drawn for an open page
        self._verdict = Verdict("agree", 0.0, "")
        self._checked = 0.0
        self._thread = threading.Thread(target=self._run, name="epson-view", daemon=True)
        self._thread.start()

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        if self.host in ("0.0.0.0", "::"):
            host = "127.0.0.1"
        return f"http://{host}:{self.port}/"

    def close(self) -> None:
        """Stop drawing and serving; safe to call more than once."""
        self._stop.set()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join(5.0)
        with contextlib.suppress(RuntimeError):
            self._server.stop()

    def __enter__(self) -> LiveView:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _run(self) -> None:
        try:
            self._draw_frames()
        finally:
            self._feed.close()

    def _draw_frames(self) -> None:
        frame = 0
        failed = False
        deadline = time.monotonic()
        while not self._stop.is_set():
            try:
                watched = self._frame(frame)
            except Exception:  # a bad frame must not end the page: say so once, go on
                if not failed:
                    failed = True
                    traceback.print_exc()
                watched = True
            frame += 1
            period = self._period if watched else 1.0 / IDLE_RATE_HZ
            deadline = max(deadline + period, time.monotonic())
            self._stop.wait(deadline - time.monotonic())

    def _frame(self, frame: int) -> bool:
        """Poll, and draw when a page is open; whether one was."""
        snapshot = self._feed.poll()
        watched = bool(self._server.get_clients())
        if watched:
            now = time.monotonic()
            if now - self._checked >= CHECK_EVERY_S:
                self._checked = now
                self._verdict = self._check(snapshot.history)
            self._page.show(snapshot, self._verdict, text=frame % TEXT_EVERY == 0)
            if frame % CHART_EVERY == 0:
                self._page.chart(snapshot)
            self.frames += 1
        return watched

    def _check(self, history: Sequence[Any]) -> Verdict:
        if not history:
            return Verdict("agree", 0.0, "")
        since = history[-1].timestamp - CHECK_WINDOW_S
        postures = [(s.joints, s.pose) for s in history if s.timestamp >= since]
        return check_geometry(self._model, postures, self._tool)


def _check_free(host: str, port: int) -> None:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind((host, port))
        except OSError as error:
            raise OSError(
                error.errno, f"cannot serve the live view on {host}:{port}: {error.strerror}"
            ) from None


def serve(
    receive_interface: Any,
    port: int = 8080,
    *,
    host: str = "127.0.0.1",
    geometry: ArmGeometry | None = None,
    xylim: tuple[Sequence[float], Sequence[float]] | None = None,
    tool: Sequence[float] | None = None,
    power_mode: Any = None,
    title: str = "epson-remote live view",
    frame_rate_hz: float = FRAME_RATE_HZ,
) -> LiveView:
    """Serve the live page of ``receive_interface`` (an ``EthernetReceiveInterface``, for
    example a ``RobotCell``'s) on ``host:port`` from a background thread; ``port=0`` picks a
    free one (``handle.port``, ``handle.url``). The view opens no connection to the controller.

    ``geometry``: the arm's links (default: the simulator's); ``xylim``: the XYLim box as
    ``(min_corner_mm, max_corner_mm)``, drawn when given; ``tool``: the selected Tool's offset
    ``[x, y, z, u, v, w]`` (mm, deg) when known, for the check of the geometry against the
    telemetry TCP; ``power_mode``: an ``EpsonPowerMode`` for the power badge. Stop the page
    with the returned handle's ``close()``.
    """
    if not frame_rate_hz > 0:
        raise ValueError("frame_rate_hz must be positive")
    return LiveView(
        receive_interface,
        host=host,
        port=port,
        geometry=geometry,
        xylim=xylim,
        tool=tool,
        power_high=None if power_mode is None else int(power_mode) == 1,
        title=title,
        frame_rate_hz=frame_rate_hz,
    )
