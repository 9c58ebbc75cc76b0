"""``epson-remote view [HOST]``: the robot live in a browser page, served on this machine.

Without a host it starts the simulator and moves its arm through a short loop. With a host it
reads the telemetry port only, and the command port only for ``--query`` (one short session for
the Tool and the power mode, closed before the page opens): the controller serves one client on
each port, and a program that holds them shows the same page with ``epson_remote.view.serve``.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import threading
import time
import webbrowser
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from .._command_channel import CommandChannel, EpsonPowerMode
from .._points import xy
from .._receive_interface import EthernetReceiveInterface
from ..sim import ControllerSimulator
from ..sim.kinematics import ArmGeometry
from ..view._extra import INSTALL_HINT, viser_available
from ._connection import (
    add_command,
    add_command_options,
    add_host_argument,
    add_telemetry_option,
    host,
    password,
    port_or_zero,
)
from ._output import CliError, make_console
from .monitor import positive_seconds
from .sim import LINKS, _link, time_scale

DEFAULT_VIEW_PORT = 8080
LOOP_OFFSETS = ((0.0, 220.0, -120.0), (0.0, -220.0, -120.0), (-120.0, -220.0, 60.0))
LOOP_SPEED_PERCENT = 25
BOX_MARGIN_MM = 150.0  # the simulated cell's XYLim box around the loop
RECOVER_WAIT_S = 1.0


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = add_command(
        subparsers,
        "view",
        help="the robot live in a browser page (needs epson-remote[view])",
        description="Serve a live page on 127.0.0.1: the arm in 3D from the joint angles, the "
        "TCP frame and its trail, status badges, numbers, joint charts, sample rate and age. "
        "Without HOST: start the simulator and move it through a short loop. With HOST: read "
        "its telemetry port (and the command port once, only with --query). Stops on Ctrl-C.",
        examples=[
            "epson-remote view --open",
            "epson-remote view 192.168.0.1 --query --port 8080",
            "epson-remote view 192.168.0.1 --link a2=400 --bind 0.0.0.0",
        ],
    )
    add_host_argument(parser, required=False, help="a real controller (default: the simulator)")
    add_view_options(parser)
    add_telemetry_option(parser)
    add_command_options(parser)
    parser.add_argument(
        "--query",
        action="store_true",
        help="with HOST: read the Tool and the power mode over the command port once",
    )
    parser.add_argument(
        "--link",
        type=_link,
        action="append",
        default=[],
        metavar="NAME=MM",
        help=f"arm geometry as for `sim`, repeatable: {', '.join(LINKS)}",
    )
    parser.add_argument(
        "--time-scale",
        type=time_scale,
        default=1.0,
        metavar="FACTOR",
        help="without HOST: simulator clock speed (default 1)",
    )
    parser.add_argument(
        "--duration",
        type=positive_seconds,
        metavar="SECONDS",
        help="stop after this long (default: run until Ctrl-C)",
    )
    parser.set_defaults(run=run)


def add_view_options(parser: argparse.ArgumentParser, prefix: str = "") -> None:
    """``--port``, ``--bind`` and ``--open`` (as ``--view-port`` and so on with a prefix)."""
    group = parser.add_argument_group("page")
    group.add_argument(
        f"--{prefix}port",
        dest=f"{prefix.replace('-', '_')}port",
        type=port_or_zero,
        default=DEFAULT_VIEW_PORT,
        metavar="PORT",
        help=f"port of the page; 0 picks a free one (default {DEFAULT_VIEW_PORT})",
    )
    group.add_argument(
        f"--{prefix}bind",
        dest=f"{prefix.replace('-', '_')}bind",
        type=host,
        default="127.0.0.1",
        metavar="ADDRESS",
        help="address the page listens on (default 127.0.0.1: this machine only)",
    )
    group.add_argument(
        f"--{prefix}open",
        dest=f"{prefix.replace('-', '_')}open",
        action="store_true",
        help="open the page in the default browser",
    )


def require_extra() -> None:
    if not viser_available():
        raise CliError(INSTALL_HINT, hint="Then run `epson-remote view` again.")


@contextlib.contextmanager
def live_view(
    telemetry: EthernetReceiveInterface, args: argparse.Namespace, prefix: str = "", **options: Any
) -> Iterator[Any]:
    """The page of ``telemetry`` while the block runs; its address printed (and opened)."""
    require_extra()
    from ..view import serve

    key = prefix.replace("-", "_")
    try:
        with _quiet():
            view = serve(
                telemetry,
                port=getattr(args, f"{key}port"),
                host=getattr(args, f"{key}bind"),
                **options,
            )
    except OSError as error:
        raise CliError(
            str(error), hint="Choose another port (--port, or 0 for a free one)."
        ) from None
    console = make_console()
    try:
        console.print(f"Live view: {view.url}", soft_wrap=True)
        if view.host not in ("127.0.0.1", "localhost", "::1"):
            console.print(
                f"The page is reachable on {view.host} by anyone on that network.", style="yellow"
            )
        if getattr(args, f"{key}open"):
            webbrowser.open(view.url)
        yield view
    finally:
        with _quiet():
            view.close()


@contextlib.contextmanager
def _quiet() -> Iterator[None]:
    """Without viser's own banner and goodbye: the tool prints the address itself."""
    with contextlib.redirect_stdout(io.StringIO()):
        yield


@dataclass(frozen=True)
class CellSettings:
    tool: list[float]  # the selected Tool's offset, [0] * 6 for Tool 0
    power_mode: EpsonPowerMode
    xylim: tuple[list[float], list[float]] | None  # the XYLim box, None when none is set


def query_settings(args: argparse.Namespace) -> CellSettings:
    """One short command session: the selected Tool's offset, the XYLim box and the power
    mode."""
    channel = CommandChannel()
    try:
        channel.connect(args.host, args.command_port, password(args))
        number = channel.get_tool()
        tool = [0.0] * 6 if number == 0 else list(channel.get_tool_definition(number))
        cuboid = channel.get_safety_cuboid()
        box = None if cuboid is None else (cuboid["min_corner_mm"], cuboid["max_corner_mm"])
        return CellSettings(tool, channel.get_power_mode(), box)
    except RuntimeError as error:
        raise CliError(f"--query: {error}") from None
    finally:
        channel.disconnect()


class MotionLoop:
    """Moves the simulated arm through ``LOOP_OFFSETS`` and back until stopped; after an
    emergency stop it waits for the release, resets and goes on."""

    def __init__(self, channel: CommandChannel) -> None:
        self._channel = channel
        self._stop = threading.Event()
        start = channel.get_state()["tcp_pose"]
        self.targets = [
            [start[0] + dx, start[1] + dy, start[2] + dz, *start[3:6]]
            for dx, dy, dz in (*LOOP_OFFSETS, (0.0, 0.0, 0.0))
        ]
        corners = [[t[i] for t in self.targets] for i in range(3)]
        self.box = (
            [min(values) - BOX_MARGIN_MM for values in corners],
            [max(values) + BOX_MARGIN_MM for values in corners],
        )
        self._thread = threading.Thread(target=self._run, name="view-motion", daemon=True)

    def start(self) -> None:
        self._channel.add_safety_cuboid(*self.box)
        self._channel.motor_on()
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        self._thread.join(60.0)  # the motion under way ends first

    def _run(self) -> None:
        while not self._stop.is_set():
            for target in self.targets:
                if self._stop.is_set():
                    return
                try:
                    self._channel.go(
                        xy(target), False, False, None, None, None, False, LOOP_SPEED_PERCENT
                    )
                except RuntimeError:
                    self._recover()

    def _recover(self) -> None:
        while not self._stop.wait(RECOVER_WAIT_S):
            try:
                if self._channel.is_emergency_stopped():
                    continue
                self._channel.reset_controller()
                self._channel.motor_on()
                return
            except RuntimeError:
                continue


def run(args: argparse.Namespace) -> int:
    require_extra()
    geometry = ArmGeometry(**dict(args.link))
    console = make_console()
    with contextlib.ExitStack() as stack:
        telemetry = EthernetReceiveInterface()
        stack.callback(telemetry.disconnect)
        options: dict[str, Any] = {"geometry": geometry}
        if args.host is None:
            console.print("Starting the controller simulator...", style="dim")
            sim = stack.enter_context(
                ControllerSimulator(time_scale=args.time_scale, geometry=geometry)
            )
            channel = CommandChannel()
            channel.connect(sim.host, int(sim.command_port or 0))
            stack.callback(channel.disconnect)
            telemetry.connect(sim.host, int(sim.telemetry_port or 0))
            loop = MotionLoop(channel)
            loop.start()
            stack.callback(loop.stop)
            options.update(
                xylim=loop.box, tool=[0.0] * 6, title="epson-remote live view (simulator)"
            )
        else:
            if args.query:
                settings = query_settings(args)
                options.update(tool=settings.tool, power_mode=settings.power_mode)
                if settings.xylim is not None:
                    options.update(xylim=settings.xylim)
            try:
                telemetry.connect(args.host, args.telemetry_port)
            except RuntimeError as error:
                raise CliError(str(error)) from None
            options.update(title=f"epson-remote live view: {args.host}")
        stack.enter_context(live_view(telemetry, args, **options))
        console.print("Ctrl-C to stop", style="dim")
        deadline = time.monotonic() + args.duration if args.duration else None
        try:
            while deadline is None or time.monotonic() < deadline:
                time.sleep(
                    0.2 if deadline is None else min(0.2, max(deadline - time.monotonic(), 0))
                )
        except KeyboardInterrupt:
            pass
    return 0
