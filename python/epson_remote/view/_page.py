"""The page: the 3D scene and the panel beside it, built once and then updated frame by frame.

Everything here is viser's: the scene nodes and panel elements are kept as handles, and a frame
sets their properties (viser keeps only the newest value of each property for a page that reads
slowly, so a slow page costs no memory). Lengths in the scene are metres, Z up.
"""

from __future__ import annotations

import html
import itertools
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import viser

from .._status import ControllerState
from ..sim.kinematics import pose_to_frame
from ._arm import ArmModel, Verdict, orientation_position, to_metres
from ._feed import Sample, Snapshot

TRAIL_S = 5.0  # the TCP trail covers the last seconds
TRAIL_POINTS = 150  # the trail is resampled to this many points (the node keeps its shape)
CHART_S = 10.0
CHART_POINTS = 250
STALE_AFTER_S = 0.5  # a sample older than this is shown in red

ARM_COLOR = (255, 112, 24)
ARM_OFFLINE_COLOR = (150, 150, 150)
JOINT_COLOR = (40, 40, 40)
TRAIL_COLOR = (30, 110, 230)
BOX_COLOR = (220, 30, 30)
JOINT_COLORS = ("#e03131", "#2f9e44", "#1971c2", "#f08c00", "#9c36b5", "#0c8599")

# Badge looks: what a state means to the person looking.
_LOOKS = {
    "ok": ("#2b8a3e", "#ffffff"),
    "alert": ("#c92a2a", "#ffffff"),
    "warn": ("#f59f00", "#1a1a1a"),
    "unknown": ("#adb5bd", "#1a1a1a"),
}


@dataclass(frozen=True)
class Badge:
    key: str  # stable name, in the badge's data-badge attribute
    text: str
    look: str  # a key of _LOOKS


def badges(
    state: ControllerState, connected: bool, power_high: bool | None, status_valid: bool
) -> list[Badge]:
    """The badges of one frame. ``power_high``: the queried power mode, None when not asked
    (the telemetry stream does not carry the mode that is set)."""

    def flag(key: str, label: str, value: bool | None, on: str, off: str, on_look: str) -> Badge:
        if value is None:
            return Badge(key, f"{label} ?", "unknown")
        return Badge(key, f"{label} {on if value else off}", on_look if value else "ok")

    link = (
        Badge("telemetry", "telemetry live", "ok")
        if connected
        else Badge("telemetry", "telemetry reconnecting…", "alert")
    )
    if not status_valid:
        state = ControllerState()
    error = state.error_code
    return [
        link,
        flag("estop", "E-stop", state.emergency_stopped, "ACTIVE", "off", "alert"),
        flag("safeguard", "safeguard", state.safeguard_open, "OPEN", "closed", "alert"),
        flag("teach", "teach", state.teach_mode, "ON", "off", "warn"),
        Badge("error", "error ?", "unknown")
        if error is None
        else Badge("error", f"error {error}" if error else "no error", "alert" if error else "ok"),
        flag("motors", "motors", state.motors_on, "ON", "off", "warn"),
        Badge("power", "power: --query", "unknown")
        if power_high is None
        else Badge(
            "power", f"power {'HIGH' if power_high else 'LOW'}", "warn" if power_high else "ok"
        ),
    ]


def badges_html(items: Sequence[Badge]) -> str:
    spans = []
    for badge in items:
        background, color = _LOOKS[badge.look]
        spans.append(
            f'<span data-badge="{badge.key}" data-look="{badge.look}" style="display:inline-block;'
            f"margin:2px 3px;padding:3px 9px;border-radius:11px;font-weight:600;font-size:13px;"
            f'background:{background};color:{color}">{html.escape(badge.text)}</span>'
        )
    return '<div style="line-height:1.9">' + "".join(spans) + "</div>"


def numbers_html(latest: Sample | None) -> str:
    if latest is None:
        return "<p>waiting for the first sample…</p>"
    head = "".join(f"<th>{name}</th>" for name in ("J1", "J2", "J3", "J4", "J5", "J6"))
    joints = "".join(f"<td>{value:.2f}</td>" for value in latest.joints)
    axes = "".join(f"<th>{name}</th>" for name in ("X", "Y", "Z", "U", "V", "W"))
    pose = "".join(f"<td>{value:.2f}</td>" for value in latest.pose)
    style = "width:100%;text-align:right;font-family:monospace;font-size:12px"
    return (
        f'<table data-numbers="telemetry" style="{style}">'
        f"<tr>{head}</tr><tr>{joints}</tr><tr>{axes}</tr><tr>{pose}</tr></table>"
        '<div style="font-size:11px;color:#666">joints in deg; pose in mm and deg</div>'
    )


def stream_html(snapshot: Snapshot) -> str:
    if snapshot.latest is None:
        text, color = "no sample yet", "#c92a2a"
    else:
        age_ms = (snapshot.age_s or 0.0) * 1e3
        bound = "≥ " if snapshot.rate_is_lower_bound else ""
        text = f"{bound}{snapshot.rate_hz:.0f} samples/s, last sample {age_ms:.0f} ms ago"
        color = "#c92a2a" if (snapshot.age_s or 0.0) > STALE_AFTER_S else "#2b8a3e"
    return f'<div data-stream="rate" style="color:{color};font-size:13px">{text}</div>'


def note_html(verdict: Verdict) -> str:
    if not verdict.note:
        return ""
    color = "#c92a2a" if verdict.kind == "mismatch" else "#e67700"
    text = html.escape(verdict.note)
    return f'<div data-note="{verdict.kind}" style="color:{color};font-size:12px">{text}</div>'


def box_edges(low: Sequence[float], high: Sequence[float]) -> np.ndarray:
    """The twelve edges of an axis-aligned box (mm corners), in metres."""
    lo, hi = to_metres(low), to_metres(high)
    corners = [(x, y, z) for x in (lo[0], hi[0]) for y in (lo[1], hi[1]) for z in (lo[2], hi[2])]
    edges = [
        (a, b)
        for i, a in enumerate(corners)
        for b in corners[i + 1 :]
        if sum(1 for p, q in zip(a, b, strict=True) if p != q) == 1
    ]
    return np.array(edges, dtype=np.float32)


def resample(points: np.ndarray, count: int) -> np.ndarray:
    """``count`` rows of ``points`` evenly spaced (the first row repeated when too few)."""
    if len(points) == 0:
        return np.zeros((count, *points.shape[1:]), dtype=points.dtype)
    index = np.linspace(0, len(points) - 1, count).round().astype(int)
    picked: np.ndarray = points[index]
    return picked


def segments(points: np.ndarray) -> np.ndarray:
    """A polyline as viser's (N - 1, 2, 3) line segments."""
    return np.stack([points[:-1], points[1:]], axis=1).astype(np.float32)


class Page:
    """The scene and the panel of one server; ``show()`` draws a frame, ``chart()`` the joints."""

    def __init__(
        self,
        server: viser.ViserServer,
        model: ArmModel,
        xylim: tuple[Sequence[float], Sequence[float]] | None,
        power_high: bool | None,
        title: str,
    ) -> None:
        self._server = server
        self._model = model
        self._power_high = power_high
        self._shown: dict[str, str] = {}
        scene, gui = server.scene, server.gui
        gui.configure_theme(control_width="large", show_logo=False, show_share_button=False)
        gui.main_panel.dock_right()
        gui.set_panel_label(title)
        scene.set_up_direction("+z")
        scene.configure_default_lights(cast_shadow=False)  # shadows cost software renderers most
        reach = model.geometry.reach / 1000.0
        server.initial_camera.position = (1.1 * reach, -1.25 * reach, 1.0 * reach)
        server.initial_camera.look_at = (0.3 * reach, 0.0, 0.4 * reach)
        scene.add_grid("/floor", width=2.5 * reach, height=2.5 * reach, cell_size=0.1)
        home = model.chain_points([0.0, 0.0, 0.0, 0.0, 90.0, 0.0])
        self._links = scene.add_line_segments(
            "/arm/links",
            segments(np.array(home, dtype=np.float32)),
            ARM_COLOR,
            thickness=0.045,
        )
        self._joints = scene.add_point_cloud(
            "/arm/joints",
            np.array(home, dtype=np.float32),
            JOINT_COLOR,
            point_size=0.06,
            point_shape="circle",
            point_shading="flat",
            precision="float32",
        )
        self._flange = scene.add_frame(
            "/arm/flange", axes_length=0.06, axes_radius=0.006, origin_radius=0.012
        )
        self._tcp = scene.add_frame("/tcp", axes_length=0.12, axes_radius=0.008)
        self._trail = scene.add_line_segments(
            "/tcp_trail",
            np.zeros((TRAIL_POINTS - 1, 2, 3), dtype=np.float32),
            TRAIL_COLOR,
            thickness=0.008,
        )
        if xylim is not None:
            scene.add_line_segments("/xylim", box_edges(*xylim), BOX_COLOR, thickness=0.006)
        self._badges = gui.add_html(
            badges_html(badges(ControllerState(), False, power_high, False))
        )
        self._stream = gui.add_html("")
        self._note = gui.add_html("")
        self._numbers = gui.add_html(numbers_html(None))
        empty = np.zeros(2)
        series: list[dict[str, object]] = [{"label": "t [s]"}]
        series += [
            {"label": f"J{n + 1}", "stroke": color, "width": 1.5}
            for n, color in enumerate(JOINT_COLORS)
        ]
        self._chart = gui.add_uplot(
            (empty,) * 7,
            tuple(series),  # type: ignore[arg-type]  # viser types each entry as a TypedDict
            title="joints over the last 10 s [deg]",
            scales={"x": {"time": False}},
            aspect=1.6,
        )
        self._offline = False

    def _set_html(self, name: str, handle: viser.GuiHtmlHandle, content: str) -> None:
        if self._shown.get(name) != content:  # unchanged text is not sent again
            self._shown[name] = content
            handle.content = content

    def show(self, snapshot: Snapshot, verdict: Verdict, text: bool = True) -> None:
        """One frame; the numbers, the stream's line and the trail only when ``text``."""
        with self._server.atomic():
            latest = snapshot.latest
            if latest is not None:
                points = np.array(self._model.chain_points(latest.joints), dtype=np.float32)
                self._links.points = segments(points)
                self._joints.points = points
                wxyz, position = orientation_position(self._model.flange(latest.joints))
                self._flange.wxyz, self._flange.position = np.array(wxyz), np.array(position)
                wxyz, position = orientation_position(pose_to_frame(list(latest.pose)))
                self._tcp.wxyz, self._tcp.position = np.array(wxyz), np.array(position)
                if text:  # the trail is 5 s of samples: redrawn with the numbers, not every frame
                    self._trail.points = segments(resample(_trail(snapshot), TRAIL_POINTS))
            offline = not snapshot.connected
            if offline != self._offline:
                self._offline = offline
                self._links.colors = np.array(
                    ARM_OFFLINE_COLOR if offline else ARM_COLOR, dtype=np.uint8
                ) * np.ones((6, 2, 3), dtype=np.uint8)
            items = badges(
                snapshot.state, snapshot.connected, self._power_high, snapshot.status_valid
            )
            self._set_html("badges", self._badges, badges_html(items))
            self._set_html("note", self._note, note_html(verdict))
            if text:
                self._set_html("stream", self._stream, stream_html(snapshot))
                self._set_html("numbers", self._numbers, numbers_html(latest))

    def chart(self, snapshot: Snapshot) -> None:
        history = list(snapshot.history)
        if len(history) < 2:
            return
        now = history[-1].timestamp
        picked = resample(np.arange(len(history)), CHART_POINTS)
        picked = picked[np.concatenate(([True], np.diff(picked) > 0))]
        times = np.array([history[i].timestamp - now for i in picked])
        joints = np.array([history[i].joints for i in picked])
        self._chart.data = (times, *(joints[:, n] for n in range(6)))


def _trail(snapshot: Snapshot) -> np.ndarray:
    history = snapshot.history
    if not history:
        return np.zeros((0, 3), dtype=np.float32)
    since = history[-1].timestamp - TRAIL_S
    start = len(history)
    while start > 0 and history[start - 1].timestamp >= since:
        start -= 1
    recent = itertools.islice(history, start, None)
    return np.array([to_metres(s.pose) for s in recent], dtype=np.float32)
