"""``epson-remote demo [HOST]``: every capability of the library, one short line per step.

Without a host the demo starts the simulator and drives it through status, power, motors, a safety
cuboid, a TCP override, a ``go``, a ``move`` paused and continued from another thread, a ``move``
aborted half-way, a gripper closed and opened (its sensor awaited), state and inverse kinematics,
telemetry, restore and disconnect, recording the trajectory to CSV and PNG.
Given a real host it only reads, unless ``--allow-motion``; even then it never raises the power
mode and never replaces the controller's XYLim box, and it moves by a few centimetres only.

Whatever happens (a failure half-way, Ctrl-C), the demo ends with the motors off, the Tool state
restored, both connections closed and no simulator process left; a motion in flight is aborted.
"""

from __future__ import annotations

import argparse
import contextlib
import re
import sys
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from rich.console import Console
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn
from rich.table import Table
from rich.text import Text

from .._command_channel import CommandChannel, EpsonPowerMode
from .._points import xy
from .._receive_interface import EthernetReceiveInterface
from ..sim import ControllerSimulator
from . import _status_words
from ._connection import (
    add_command,
    add_command_options,
    add_host_argument,
    add_telemetry_option,
    password,
)
from ._library_log import library_log
from ._output import CliError, make_console
from ._telemetry import Sample, TelemetryWatcher, distance_mm, read_csv, write_csv
from .plot import INSTALL_HINT, matplotlib_available, plot_trajectory
from .sim import time_scale
from .view import add_view_options, live_view

if TYPE_CHECKING:
    from .._command_channel import RobotState

TCP_OFFSET = [0.0, 0.0, 0.1, 0.0, 0.0, 0.0]  # 100 mm along the flange axis, in metres
PAUSE_S = 1.0
STILL_MM = 0.05  # a paused arm moves less than this between two samples 0.6 s apart
MOVING_MM = 1.0  # the arm has surely left its start when it is this far from it
MOTION_TIMEOUT_S = 120.0
MOTION_END_S = 10.0  # an aborted motion ends within this
GRIPPER_OUTPUT = 8  # the simulated gripper's output, wired to its sensor input
GRIPPER_SENSOR = 8
GRIPPER_DELAY_S = 0.2


@dataclass(frozen=True)
class MotionPlan:
    """How far and how fast the demo moves: wide and brisk on the simulator, small and slow on a
    real robot (and only upwards and sideways from where it stands)."""

    go_offset: tuple[float, float, float]
    move_offset: tuple[float, float, float]
    speed_percent: int
    accel_percent: int
    move_speed_mm_s: float
    move_accel_mm_s2: float
    abort_offset: tuple[float, float, float]

    @staticmethod
    def simulated() -> MotionPlan:
        return MotionPlan(
            (0.0, 150.0, -100.0), (0.0, -150.0, -100.0), 20, 20, 150.0, 1500.0, (0.0, 150.0, -100.0)
        )

    @staticmethod
    def real() -> MotionPlan:
        return MotionPlan(
            (0.0, 25.0, 25.0), (0.0, -25.0, 25.0), 10, 10, 20.0, 200.0, (0.0, 25.0, 25.0)
        )


STEPS = (
    "Simulator",
    "Connect",
    "Status",
    "Power mode",
    "Motion limits",
    "Motors on",
    "Safety cuboid",
    "TCP override",
    "Go",
    "Move, pause, continue",
    "Abort",
    "Gripper",
    "State",
    "Inverse kinematics",
    "Telemetry",
    "Restore",
    "Disconnect",
    "Output",
)


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = add_command(
        subparsers,
        "demo",
        help="drive a simulated controller through every capability (start here)",
        description="Without HOST: start a simulated controller and drive it through every "
        "capability (status, power, motors, safety cuboid, TCP override, go, a move paused and "
        "continued from another thread, a move aborted half-way, a gripper closed and opened, "
        "state, inverse kinematics, "
        "telemetry, restore, disconnect), one line per step, and write the recorded trajectory "
        "as CSV and PNG. "
        "With HOST: the same against a real controller, reading only, unless --allow-motion.",
        examples=[
            "epson-remote demo",
            "epson-remote demo 192.168.0.1                  # reads only",
            "epson-remote demo 192.168.0.1 --allow-motion   # moves the robot a few cm",
        ],
    )
    add_host_argument(
        parser, required=False, help="a real controller (default: start the simulator)"
    )
    add_command_options(parser)
    add_telemetry_option(parser)
    parser.add_argument(
        "--allow-motion",
        action="store_true",
        help="with HOST: turn the motors on and move the robot (up to 25 mm, slowly)",
    )
    parser.add_argument(
        "--yes", action="store_true", help="with --allow-motion: do not ask for confirmation"
    )
    parser.add_argument(
        "--output",
        type=Path,
        default=Path("demo-output"),
        metavar="DIR",
        help="where the CSV and PNG go (default %(default)s)",
    )
    parser.add_argument(
        "--time-scale",
        type=time_scale,
        default=1.0,
        metavar="FACTOR",
        help="simulator clock speed (default 1; 2 halves every motion)",
    )
    parser.add_argument(
        "--view", action="store_true", help="show the demo live in a browser page (needs [view])"
    )
    add_view_options(parser, prefix="view-")
    parser.set_defaults(run=run)


class StepReporter:
    """One short line per step, and a progress bar on a terminal (plain lines otherwise)."""

    def __init__(self, console: Console, steps: tuple[str, ...]) -> None:
        self._console = console
        self._steps = steps
        self._width = max(len(step) for step in steps)
        utf = (console.encoding or "").lower().startswith("utf")
        self._marks = {
            "ok": ("✓" if utf else "ok", "green"),
            "skip": ("–" if utf else "--", "dim"),
            "fail": ("✗" if utf else "!!", "bold red"),
        }
        self._progress: Progress | None = None
        self._task: Any = None
        self.finished = 0  # steps reported done or skipped

    @contextlib.contextmanager
    def display(self) -> Iterator[None]:
        if not self._console.is_terminal:
            yield
            return
        self._progress = Progress(
            TextColumn("[bold blue]{task.description}"),
            BarColumn(),
            MofNCompleteColumn(),
            TimeElapsedColumn(),
            console=self._console,
            transient=True,
            redirect_stdout=False,
            redirect_stderr=False,
        )
        self._task = self._progress.add_task("Demo", total=len(self._steps))
        with self._progress:
            yield
        self._progress = None

    def begin(self, index: int) -> None:
        if self._progress is not None:
            self._progress.update(self._task, description=self._steps[index])

    def end(self, index: int, outcome: str, detail: str) -> None:
        if outcome != "fail":
            # First of all: a Ctrl-C from here on belongs to the next step, this one is done.
            self.finished = index + 1
        mark, style = self._marks[outcome]
        counter = f"{index + 1:>2}/{len(self._steps)}"
        detail_style = "dim" if outcome == "skip" else ""
        if self._console.is_terminal:
            # Long details wrap under themselves, not under the step's name.
            row = Table.grid(padding=(0, 1))
            row.add_column(no_wrap=True)
            row.add_column(no_wrap=True)
            row.add_column(no_wrap=True, min_width=self._width)
            row.add_column(ratio=1, overflow="fold")
            row.add_row(
                Text(mark, style),
                counter,
                Text(self._steps[index], "bold"),
                Text(detail, detail_style),
            )
            self._console.print(row)
        else:
            line = Text.assemble(
                (mark, style),
                f" {counter} ",
                (self._steps[index].ljust(self._width), "bold"),
                "  ",
                (detail, detail_style),
            )
            self._console.print(line, soft_wrap=True)
        if self._progress is not None:
            self._progress.advance(self._task)


class Skipped(Exception):
    """A step that does not apply; its message says why."""


class MotionFailed(RuntimeError):
    pass


@dataclass
class Demo:
    console: Console
    args: argparse.Namespace
    sim: ControllerSimulator | None = None
    channel: CommandChannel = field(default_factory=CommandChannel)
    telemetry: EthernetReceiveInterface = field(default_factory=EthernetReceiveInterface)
    watcher: TelemetryWatcher | None = None
    motion_thread: threading.Thread | None = None
    motion_error: BaseException | None = None
    paused: bool = False
    host: str = ""
    command_port: int = 0
    telemetry_port: int = 0
    initial_power: EpsonPowerMode | None = None
    start_pose: list[float] = field(default_factory=list)
    state: RobotState | None = None
    csv_path: Path | None = None

    @property
    def real(self) -> bool:
        return self.sim is None

    @property
    def moves(self) -> bool:
        return self.sim is not None or bool(self.args.allow_motion)

    @property
    def plan(self) -> MotionPlan:
        return MotionPlan.real() if self.real else MotionPlan.simulated()

    def _require_motion(self) -> None:
        if not self.moves:
            raise Skipped("reads only on a real controller (pass --allow-motion)")

    def _mark(self, event: str) -> None:
        if self.watcher is not None:
            self.watcher.mark(event)

    # -- the steps, in order ---------------------------------------------------------------------

    def step_simulator(self) -> str:
        if self.sim is None:
            raise Skipped(f"using the controller at {self.args.host}")
        return (
            f"listening on {self.sim.host}:{self.sim.command_port} (Remote Ethernet) and "
            f":{self.sim.telemetry_port} (telemetry)"
        )

    def step_connect(self) -> str:
        self.channel.connect(self.host, self.command_port, password(self.args))
        try:
            self.telemetry.connect(self.host, self.telemetry_port)
        except RuntimeError as error:
            if self.moves:
                raise  # the pause check needs telemetry
            return f"logged in; no telemetry ({error})"
        self.watcher = TelemetryWatcher(self.telemetry, keep=True)
        return f"logged in to {self.host}:{self.command_port}; telemetry streaming"

    def step_status(self) -> str:
        fields = self.channel.get_controller_status()
        blocked = [f.label.lower() for f in _status_words.flags(fields) if f.blocks_motion]
        if blocked and self.moves:
            raise CliError(
                "the controller is not ready for motion: " + ", ".join(blocked),
                hint="Release the emergency stop, close the safeguard, switch to Auto and "
                "reset the controller (`epson-remote status HOST` shows the details).",
            )
        estop = "ON" if self.channel.is_emergency_stopped() else "off"
        return f"E-stop {estop}, " + _status_words.summary(fields, skip=("Emergency stop",))

    def step_power_mode(self) -> str:
        self.initial_power = self.channel.get_power_mode()
        if self.real:
            return f"{self.initial_power.name} (the demo never raises a real robot's power)"
        self.channel.set_power_mode(EpsonPowerMode.HIGH)
        return f"{self.initial_power.name} -> HIGH, read back {self.channel.get_power_mode().name}"

    def step_motion_limits(self) -> str:
        limits = self.channel.get_ptp_motion_limits()
        return (
            f"PTP speed {limits.speed_percent} %, acceleration {limits.acceleration_percent} %, "
            f"deceleration {limits.deceleration_percent} % (AccelMax)"
        )

    def step_motors_on(self) -> str:
        self._require_motion()
        self.channel.motor_on()
        error = self.channel.motor_on_error()
        return "motors on" + (f" ({error})" if error else "; disconnect turns them off again")

    def step_safety_cuboid(self) -> str:
        self._require_motion()
        if self.real:
            raise Skipped("not on a real controller: it would replace the cell's own XYLim box")
        pose = self.channel.get_state()["tcp_pose"]
        low = [pose[0] - 400.0, pose[1] - 450.0, pose[2] - 350.0]
        high = [pose[0] + 250.0, pose[1] + 450.0, pose[2] + 250.0]
        self.channel.add_safety_cuboid(low, high)
        return (
            "XYLim box "
            + " ".join(
                f"{axis} {lo:.0f}..{hi:.0f}" for axis, lo, hi in zip("XYZ", low, high, strict=True)
            )
            + " mm, strict"
        )

    def step_tcp_override(self) -> str:
        self._require_motion()
        self._mark("TCP +100 mm")
        self.channel.set_tcp_offset(TCP_OFFSET)
        tool = self.channel.get_tool()
        back = self.channel.get_tcp_offset()
        self.start_pose = list(self.channel.get_state()["tcp_pose"])
        return (
            f"TCP 100 mm along the flange axis: Tool {tool} selected, reads back "
            f"z = {back[2] * 1000:.1f} mm; TCP at {_xyz(self.start_pose)}"
        )

    def step_go(self) -> str:
        self._require_motion()
        plan = self.plan
        target = _offset(self.start_pose, plan.go_offset)
        self._mark("go")
        began = time.monotonic()
        self._go_to(target)
        took = time.monotonic() - began
        return f"Go to {_xyz(target)} at {plan.speed_percent} %: arrived in {took:.1f} s"

    def step_move_pause_continue(self) -> str:
        self._require_motion()
        watcher = self._watcher()
        plan = self.plan
        here = list(self.channel.get_state()["tcp_pose"])
        target = _offset(self.start_pose, plan.move_offset)
        length = distance_mm(here, target)
        self._mark("move")
        began = time.monotonic()
        thread = threading.Thread(target=self._move, args=(target,), name="demo-move", daemon=True)
        self.motion_thread = thread
        thread.start()
        # Pause a third of the way, so that the recording shows motion on both sides of it.
        threshold = max(MOVING_MM, length / 3.0)
        moving = watcher.wait_for(
            lambda s: distance_mm(s.pose, here) > threshold, 20.0, while_=thread.is_alive
        )
        if moving is None:
            self._join_motion()  # a move that failed at once raises its own error here
            raise MotionFailed("telemetry showed no motion within 20 s of the move's start")
        self.channel.pause()
        self.paused = True
        self._mark("pause")
        refused = _refusal(self.channel)
        time.sleep(0.4)  # let a real arm decelerate before judging it still
        first = watcher.latest()
        time.sleep(PAUSE_S - 0.4)
        last = watcher.latest()
        drift = distance_mm(first.pose, last.pose) if first and last else float("nan")
        if not drift < STILL_MM:
            raise MotionFailed(f"the arm moved {drift:.3f} mm while paused")
        self.channel.continue_motion()
        self.paused = False
        self._mark("continue")
        self._join_motion()
        took = time.monotonic() - began
        return (
            f"Move {length:.0f} mm at {plan.move_speed_mm_s:g} mm/s from another thread; paused "
            f"at {_xyz(last.pose if last else here)} for {PAUSE_S:g} s (drift {drift:.3f} mm, "
            f"get_state {refused}), continued; arrived after {took:.1f} s"
        )

    def step_abort(self) -> str:
        self._require_motion()
        watcher = self._watcher()
        here = list(self.channel.get_state()["tcp_pose"])
        target = _offset(self.start_pose, self.plan.abort_offset)
        length = distance_mm(here, target)
        self._mark("abort move")
        thread = threading.Thread(target=self._move, args=(target,), name="demo-abort", daemon=True)
        self.motion_thread = thread
        thread.start()
        halfway = watcher.wait_for(
            lambda s: distance_mm(s.pose, here) > length / 2.0, 20.0, while_=thread.is_alive
        )
        if halfway is None:
            self._join_motion()
            raise MotionFailed("telemetry showed the move not half-way within 20 s of its start")
        self.channel.abort_motion()
        self._mark("abort")
        try:
            self._join_motion()
        except RuntimeError as error:  # what an aborted move raises: the controller's reply
            reply = _failure_reply(str(error))
        else:
            raise MotionFailed("the move reached its target: the abort did not stop it")
        time.sleep(0.4)  # let a real arm decelerate before judging it still
        first = watcher.latest()
        time.sleep(0.3)
        last = watcher.latest()
        if first is None or last is None:
            raise MotionFailed("no telemetry after the abort")
        drift = distance_mm(first.pose, last.pose)
        if not drift < STILL_MM:
            raise MotionFailed(f"the arm moved {drift:.3f} mm after the abort")
        short = distance_mm(last.pose, target)
        return (
            f"Move {length:.0f} mm from another thread, aborted half-way: stopped at "
            f"{_xyz(last.pose)}, {short:.0f} mm short of its target (move() raised {reply})"
        )

    def step_gripper(self) -> str:
        if self.sim is None:
            raise Skipped("switches outputs: on the simulator only")
        # The simulated gripper closes a moment after its output is switched, as a real one does.
        self.sim.wire_output_to_input(GRIPPER_OUTPUT, GRIPPER_SENSOR, delay_s=GRIPPER_DELAY_S)
        timings = []
        for close in (True, False):
            began = time.monotonic()
            self.channel.set_output_bit(GRIPPER_OUTPUT, close)
            if not self.channel.wait_for_input(GRIPPER_SENSOR, close, 2.0):
                raise MotionFailed(f"the gripper sensor did not turn {'on' if close else 'off'}")
            timings.append(time.monotonic() - began)
        return (
            f"output {GRIPPER_OUTPUT} on: sensor input {GRIPPER_SENSOR} on after "
            f"{timings[0]:.2f} s (closed); off: sensor off after {timings[1]:.2f} s (open)"
        )

    def _go_to(self, pose: list[float]) -> None:
        """A plain Go to ``pose`` at the plan's speed and acceleration."""
        self.channel.go(
            xy(pose),
            False,
            False,
            None,
            None,
            None,
            False,
            self.plan.speed_percent,
            self.plan.accel_percent,
        )

    def _move(self, target: list[float]) -> None:
        plan = self.plan
        try:
            self.channel.move(
                xy(target),
                False,
                False,
                False,
                None,
                None,
                False,
                plan.move_speed_mm_s,
                plan.move_accel_mm_s2,
            )
        except BaseException as error:  # handed to the main thread
            self.motion_error = error

    def _join_motion(self) -> None:
        thread = self.motion_thread
        if thread is None:
            return
        thread.join(MOTION_TIMEOUT_S)
        if thread.is_alive():
            raise MotionFailed(f"the move did not finish within {MOTION_TIMEOUT_S:g} s")
        self.motion_thread = None
        if self.motion_error is not None:
            error, self.motion_error = self.motion_error, None
            raise error

    def step_state(self) -> str:
        self.state = state = self.channel.get_state()
        pose = state["tcp_pose"]
        text = f"joints {_numbers(state['joint_positions'], 1)} deg, TCP {_xyz(pose)}"
        latest = self.watcher.latest() if self.watcher else None
        if latest is not None:
            text += f"; telemetry agrees within {distance_mm(latest.pose, pose):.3f} mm"
        return text

    def step_inverse_kinematics(self) -> str:
        state = self.state or self.channel.get_state()
        joints = self.channel.inverse_kinematics(state["tcp_pose"])
        worst = max(abs(a - b) for a, b in zip(joints, state["joint_positions"], strict=True))
        return (
            f"PAgl of the TCP pose: {_numbers(joints, 1)} deg, {worst:.1e} deg from the "
            "robot's joints (nothing moved)"
        )

    def step_telemetry(self) -> str:
        watcher = self._watcher()
        age = watcher.age_s()
        status = self.telemetry.get_status()
        words = "status words read" if status["valid"] else "no status line yet"
        return (
            f"{watcher.rate_hz():.0f} samples/s measured, last sample "
            f"{(age or 0.0) * 1000:.0f} ms old, {len(watcher.samples())} recorded, {words}"
        )

    def step_restore(self) -> str:
        if not self.moves:
            raise Skipped("nothing was changed")
        self._mark("back")
        self._go_to(self.start_pose)
        self.channel.restore_tcp_offset()
        self._mark("TCP restored")
        restored = time.monotonic()
        if self.watcher is not None:  # record the restored TCP before the recording ends
            self.watcher.wait_for(lambda sample: sample.timestamp > restored, 1.0)
        tool = self.channel.get_tool()
        self.channel.motor_off()
        text = f"back at the start; Tool {tool} selected again; motors off"
        if self.initial_power is not None and not self.real:
            self.channel.set_power_mode(self.initial_power)
            text += f"; power {self.initial_power.name}"
        return text

    def step_disconnect(self) -> str:
        self.close()
        text = "telemetry stopped, session logged out"
        if self.sim is not None:
            motors = self.sim.robot_state()["motors_on"]
            text += "; simulator reports motors " + ("ON" if motors else "off")
            if motors:
                raise MotionFailed("the simulator still has its motors on")
        return text

    def step_output(self) -> str:
        samples = self.watcher.samples() if self.watcher else []
        if not samples:
            raise Skipped("no telemetry was recorded")
        self.csv_path = self.args.output / "trajectory.csv"
        write_csv(self.csv_path, samples)
        if not matplotlib_available():
            return f"{self.csv_path} ({len(samples)} samples); no PNG: {INSTALL_HINT}"
        png = self.csv_path.with_suffix(".png")
        plot_trajectory(read_csv(self.csv_path), png, title="epson-remote demo")
        return f"{self.csv_path} ({len(samples)} samples), {png}"

    def _watcher(self) -> TelemetryWatcher:
        if self.watcher is None:
            raise Skipped("no telemetry")
        return self.watcher

    # -- the end, whatever happened --------------------------------------------------------------

    def close(self) -> None:
        """Abort a motion in flight, stop telemetry, and disconnect (Tool restored, motors off).

        Safe to call more than once. A second Ctrl-C while the motion is being aborted goes on to
        the disconnect, which aborts it again and waits at most 10 s for it.
        """
        if self.motion_thread is not None and self.motion_thread.is_alive():
            self._finish_motion()
        if self.watcher is not None:
            self.watcher.stop()
        self.telemetry.disconnect()
        self.channel.disconnect()

    def _finish_motion(self) -> None:
        thread = self.motion_thread
        assert thread is not None
        self.console.print("Aborting the current motion")
        try:
            self.channel.abort_motion()  # running or paused: it ends where the arm is
            thread.join(MOTION_END_S)
        except (RuntimeError, KeyboardInterrupt) as error:
            # The disconnect that follows aborts it again and waits at most 10 s.
            self.console.print(f"Could not abort the motion here ({error or 'interrupted'})")
        self.paused = False
        self.motion_error = None  # the abort's own outcome, expected
        if not thread.is_alive():
            self.motion_thread = None


def _offset(pose: list[float], delta: tuple[float, float, float]) -> list[float]:
    return [pose[0] + delta[0], pose[1] + delta[1], pose[2] + delta[2], *pose[3:6]]


def _xyz(pose: list[float] | tuple[float, ...]) -> str:
    return "X {:.1f} Y {:.1f} Z {:.1f}".format(*pose[:3])


def _numbers(values: list[float], digits: int) -> str:
    return "[" + ", ".join(f"{value:.{digits}f}" for value in values) + "]"


def _failure_reply(message: str) -> str:
    """The controller's failure reply ("!Execute,99") quoted in an error message."""
    found = re.search(r"![A-Za-z]+,\d+", message)
    return found.group(0) if found else message


def _refusal(channel: CommandChannel) -> str:
    """A state read during a motion fails at once: show how fast."""
    began = time.monotonic()
    try:
        channel.get_state()
    except RuntimeError:
        return f"refused in {(time.monotonic() - began) * 1000:.1f} ms"
    return "answered"  # the motion had already ended


def _confirm(console: Console, where: str) -> None:
    if not sys.stdin.isatty():
        return
    console.print(
        Text(
            f"The robot at {where} will turn its motors on and move up to 25 mm up and sideways "
            "from where it stands, slowly. Keep the emergency stop at hand.",
            style="bold yellow",
        )
    )
    try:
        answer = input("Type 'move' to go on: ")
    except EOFError:
        answer = ""
    if answer.strip() != "move":
        raise CliError("not confirmed: the robot did not move", exit_code=1)


def run(args: argparse.Namespace) -> int:
    console = make_console()
    if args.host is not None and args.allow_motion and not args.yes:
        _confirm(console, args.host)
    with contextlib.ExitStack() as stack:
        sim: ControllerSimulator | None = None
        if args.host is None:
            console.print("Starting the controller simulator...", style="dim")
            sim = stack.enter_context(ControllerSimulator(time_scale=args.time_scale))
        demo = Demo(console, args, sim)
        if args.view:
            stack.enter_context(live_view(demo.telemetry, args, prefix="view-"))
        if sim is not None:
            demo.host, demo.command_port, demo.telemetry_port = (
                sim.host,
                int(sim.command_port or 0),
                int(sim.telemetry_port or 0),
            )
        else:
            demo.host, demo.command_port = args.host, args.command_port
            demo.telemetry_port = args.telemetry_port
        return _run_steps(console, demo)


def _run_steps(console: Console, demo: Demo) -> int:
    steps = STEPS
    reporter = StepReporter(console, steps)
    actions = [getattr(demo, "step_" + _identifier(step)) for step in steps]
    began = time.monotonic()
    with library_log(console, live=console.is_terminal), reporter.display():
        try:
            for index, action in enumerate(actions):
                reporter.begin(index)
                try:
                    detail = action()
                except Skipped as skipped:
                    reporter.end(index, "skip", f"skipped: {skipped}")
                else:
                    reporter.end(index, "ok", detail)
        except BaseException as error:
            message = "interrupted" if isinstance(error, KeyboardInterrupt) else str(error)
            failed = min(reporter.finished, len(steps) - 1)
            reporter.end(failed, "fail", message or type(error).__name__)
            try:
                demo.close()
            finally:
                _save_partial(console, demo)
            raise
    console.print(
        Text.assemble(
            ("Demo complete", "bold green"),
            f" in {time.monotonic() - began:.1f} s",
            (f" - see {demo.csv_path.with_suffix('.png')}" if demo.csv_path else "", ""),
        )
    )
    return 0


def _save_partial(console: Console, demo: Demo) -> None:
    """Keep what was recorded before a failure: it often shows what went wrong."""
    samples: list[Sample] = demo.watcher.samples() if demo.watcher else []
    if samples:
        path = demo.args.output / "trajectory.csv"
        write_csv(path, samples)
        console.print(f"Recorded trajectory up to the failure: {path}", style="dim")


def _identifier(step: str) -> str:
    return "_".join(step.lower().replace(",", "").split())
