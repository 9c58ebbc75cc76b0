"""The simulated robot controller: state, SPEL+ statements and real-time motion of one 6-axis
arm, behind the Remote Ethernet server and the telemetry server.

Every public method is thread-safe. ``execute`` answers one statement of ``$Execute`` with the
whole reply line (without its terminator); a motion statement blocks until the motion has
finished or was aborted while ``telemetry`` (from another thread) watches the arm move.

Readiness
---------
``Print`` and ``Motor Off`` are answered in every state, ``Reset`` whenever no motion runs.
Every other statement that changes the robot or its settings (``Motor On``, ``Power``,
``Speed``, ``Accel``, ``SpeedS``, ``AccelS``, ``XYLimMode``, ``XYLim``, ``TLSet``, ``TLClr``,
``Tool``, the I/O statements ``On``, ``Off``, ``Out``..., assignments of Global Preserve
variables, motions) is refused with error 20 while the emergency stop is active, the safeguard
is open, the controller is in teach mode or an error is pending (until ``Reset``); motions also
with the motors off. Assigning a point variable (``P1 = ...``) is allowed in every state. While
a motion (or a ``Wait``) of ``$Execute`` runs, every statement but ``Print`` answers 21.

I/O, variables, programs
------------------------
``io`` (``io_memory.IOMemory``) and ``variables`` (``variables.GlobalVariables``) are the
controller's I/O and Global Preserve variables; ``register_program`` registers what ``$Start``
runs (``programs.py``). ``remote_request`` answers the Remote Ethernet requests of
``remote_requests.py``. A program ends at ``$Stop``, ``$Abort``, an emergency stop or teach
mode, pauses with ``$Pause`` or an opened safeguard; a statement of it that fails leaves the
error ``ERROR_PROGRAM_BASE`` + its failure code pending.

Error state
-----------
An emergency stop aborts the running motion (its ``execute`` answers 99), turns the motors off
and sets the error ``ERROR_EMERGENCY_STOP`` in ``SysErr``. ``Reset`` clears the error once the
emergency stop has been released. A motion refused before it starts (unreachable target, path
through an unreachable region, a singularity or outside the XYLim box) answers 99 and leaves no
pending error, so the next statement runs as usual. ``abort`` (``$Abort``) stops a running or
paused motion where the arm is (its ``execute`` answers ``ERR_ABORTED``), ends the program, and
leaves the motors on and no error pending.

Status words
------------
``Stat(0)``: 0x1 a statement is executing, 0x10000 paused, 0x20000 error pending, 0x80000 teach
mode, 0x100000 emergency stop, 0x200000 low power, 0x400000 safeguard open, 0x800000 motors on.
``RobotInfo(0)``: 0x1 error pending, 0x4 motors on, 0x8 power high, 0x100 moving, 0x200 paused.
``CtrlInfo(1)``: 0x100 emergency stop, 0x200 safeguard open. ``CtrlDev`` is 21 (Remote
Ethernet is the control device). Other indexes of these functions read 0.
"""

from __future__ import annotations

import math
import threading
import time
from dataclasses import dataclass
from typing import Any

from . import spel
from .io_memory import IOMemory
from .kinematics import IDENTITY, Arm, ArmGeometry, Frame, frame_to_pose, pose_to_frame
from .motion import Box, Motion, MotionError, plan_go, plan_move
from .programs import Programs, Task
from .remote_requests import RemoteRequests
from .spel import (
    ERR_ELEMENT,
    ERR_RANGE,
    ERR_UNKNOWN,
    FALSE,
    TRUE,
    Assign,
    Command,
    MotionStmt,
    Point,
    PrintStmt,
    SpelError,
    VariableAssign,
    WaitStmt,
)
from .variables import BadElement, GlobalVariables, UnknownVariable

CTRLDEV_REMOTE_ETHERNET = 21
ERR_NOT_READY = 20
ERR_BUSY = 21
ERR_MOTION = 99
# What the $Execute of a motion stopped by $Abort answers. A real controller's code is not
# published; this one is also what an emergency stop's abort answers.
ERR_ABORTED = 99
ERROR_EMERGENCY_STOP = 1  # SysErr after an emergency stop, until Reset
# SysErr after a statement of a program failed: this plus the statement's failure code.
ERROR_PROGRAM_BASE = 2000

HOME_JOINTS = (0.0, 0.0, 0.0, 0.0, 90.0, 0.0)
MAX_TOOL = 15
SPEEDS_MAX = 2000.0  # mm/s
ACCELS_MAX = 25000.0  # mm/s²
LOW_POWER_SPEED = 10  # % cap of Speed and Accel in Power Low
LOW_POWER_SPEEDS = 250.0  # mm/s cap of SpeedS in Power Low
LOW_POWER_ACCELS = 1000.0  # mm/s² cap of AccelS in Power Low

STAT_EXECUTING = 0x1
STAT_PAUSED = 0x10000
STAT_ERROR = 0x20000
STAT_TEACH = 0x80000
STAT_ESTOP = 0x100000
STAT_LOW_POWER = 0x200000
STAT_SAFEGUARD = 0x400000
STAT_MOTORS = 0x800000
ROBOT_ERROR = 0x1
ROBOT_MOTORS = 0x4
ROBOT_HIGH_POWER = 0x8
ROBOT_MOVING = 0x100
ROBOT_PAUSED = 0x200
CTRL_ESTOP = 0x100
CTRL_SAFEGUARD = 0x200

_WAIT_SLICE = 0.25  # s, longest single wait of a motion's execute
_CONDITION_POLL = 0.01  # s, how often a Wait re-reads its condition (inputs change from outside)
_IO_FUNCTIONS = {
    # SPEL+ function: (I/O kind, width)
    "sw": ("input", "bit"),
    "in": ("input", "byte"),
    "inw": ("input", "word"),
    "oport": ("output", "bit"),
    "out": ("output", "byte"),
    "outw": ("output", "word"),
    "memsw": ("memory", "bit"),
    "memin": ("memory", "byte"),
    "meminw": ("memory", "word"),
}
_IO_STATEMENTS = {
    # SPEL+ statement: (I/O kind, width, bit state for the bit forms)
    "on": ("output", "bit", True),
    "off": ("output", "bit", False),
    "memon": ("memory", "bit", True),
    "memoff": ("memory", "bit", False),
    "out": ("output", "byte", None),
    "outw": ("output", "word", None),
    "memout": ("memory", "byte", None),
    "memoutw": ("memory", "word", None),
}


@dataclass(frozen=True)
class Telemetry:
    joints: tuple[float, ...]  # J1..J6, degrees
    pose: tuple[float, ...]  # X, Y, Z (mm), U, V, W (deg) of the selected Tool's TCP
    stat: int  # Stat(0); bit 19 (0x80000) set while in teach mode
    syserr: int  # SysErr
    ctrldev: int  # CtrlDev (21 = remote Ethernet as control device)
    robotinfo: int  # RobotInfo(0)
    ctrlinfo: int  # CtrlInfo(1); bit 8 (0x100) E-stop, bit 9 (0x200) safeguard open


class _Run:
    """One motion in progress: its plan and its clock."""

    def __init__(self, motion: Motion, started: float) -> None:
        self.motion = motion
        self.started = started
        self.paused_at: float | None = None
        self.paused_total = 0.0
        self.aborted = False


class SimulatedController:
    """A controller with one simulated 6-axis arm.

    ``time_scale`` runs the simulated clock faster than real time (2.0: motions take half as
    long). ``accel_max`` is the robot's ``AccelMax(1)`` and ``AccelMax(2)``.
    """

    def __init__(
        self,
        *,
        time_scale: float = 1.0,
        accel_max: tuple[int, int] = (120, 120),
        geometry: ArmGeometry | None = None,
    ) -> None:
        if not (time_scale > 0.0 and math.isfinite(time_scale)):
            raise ValueError("time_scale must be finite and positive")
        self.time_scale = float(time_scale)
        self.accel_max = (int(accel_max[0]), int(accel_max[1]))
        self.arm = Arm(geometry)
        self._cond = threading.Condition(threading.Lock())
        self._run: _Run | None = None
        self._busy = False
        # $Abort arrived while a motion was being planned: it must not start.
        self._abort_pending = False
        self._motion_owner: Task | None = None  # the program whose motion runs, if any
        self._pose_cache: tuple[Any, tuple[float, ...]] = (None, ())
        self._evaluator = spel.Evaluator(_Machine(self))
        self.io = IOMemory()
        self.variables = GlobalVariables()
        self._programs = Programs(self._cond, self._program_statement, self._program_failed)
        self._remote = RemoteRequests(self)
        with self._cond:
            self._power_on()

    # --- the interface of the servers -----------------------------------------------------------

    def execute(self, statement: str) -> str:
        """One SPEL+ statement; returns '#Execute,0', '#Execute,"<output>"' or '!Execute,<code>'.
        A motion blocks until it has finished or was aborted."""
        try:
            node = spel.parse(statement)
        except SpelError as e:
            return f"!Execute,{e.code}"
        if isinstance(node, PrintStmt):
            with self._cond:
                try:
                    values = [self._evaluator.eval(item) for item in node.items]
                except SpelError as e:
                    return f"!Execute,{e.code}"
            return f'#Execute,"{spel.format_print(values)}"'
        if isinstance(node, MotionStmt):
            return self._motion(node)
        if isinstance(node, WaitStmt):
            return self._execute_wait(node)
        with self._cond:
            if self._busy:
                return f"!Execute,{ERR_BUSY}"
            try:
                self._apply(node)
            except SpelError as e:
                return f"!Execute,{e.code}"
        return "#Execute,0"

    def pause(self) -> str:
        """``$Pause``: the motion and the program stop where they are until ``resume``."""
        with self._cond:
            paused = self._pause_run()
            paused = self._programs.pause() or paused
            return "#Pause,0" if paused else "!Pause,20"

    def resume(self) -> str:
        """``$Continue``: what ``pause`` (or an opened safeguard) held goes on."""
        with self._cond:
            if self._estop or self._safeguard_open:
                return "!Continue,20"
            resumed = False
            run = self._run
            if run is not None and run.paused_at is not None:
                run.paused_total += time.monotonic() - run.paused_at
                run.paused_at = None
                self._cond.notify_all()
                resumed = True
            resumed = self._programs.resume() or resumed
            return "#Continue,0" if resumed else "!Continue,20"

    # --- Remote Ethernet requests, programs -----------------------------------------------------

    def remote_request(self, name: str, params: list[str], execute_running: bool) -> str:
        """The reply to one of the requests of ``remote_requests.REQUESTS``."""
        return self._remote.answer(name, params, execute_running)

    def remote_conditions(self) -> tuple[bool, bool]:
        """(Auto mode, ready): ready is no emergency stop, safeguard closed, no error pending."""
        with self._cond:
            return not self._teach, not self._not_ready()

    def remote_status(self) -> str:
        """The payload of ``#GetStatus``: 11 flags (Test, Teach, Auto, Warning, SError,
        Safeguard, EStop, Error, Paused, Running, Ready) and the 4-digit error code."""
        with self._cond:
            run = self._run
            motion_paused = run is not None and run.paused_at is not None
            paused = motion_paused or self._programs.paused()
            running = (self._busy and not motion_paused) or self._programs.running()
            ready = not (
                self._not_ready() or self._busy or self._programs.active() or motion_paused
            )
            flags = (
                False,  # Test: no test mode here
                self._teach,
                not self._teach,
                False,  # Warning: none simulated
                False,  # SError: no severe errors simulated
                self._safeguard_open,
                self._estop,
                self._error != 0,
                paused,
                running,
                ready,
            )
            code = min(self._error, 9999)
        return "".join("1" if flag else "0" for flag in flags) + f",{code:04d}"

    def register_program(self, function: int, statements: list[str], loop: bool = False) -> None:
        """Register the SPEL+ ``statements`` as the program of ``function`` (0..63) for
        ``$Start``; ``loop`` runs them again and again until ``$Stop``. Replaces an earlier
        registration (a running program goes on with the statements it started with)."""
        with self._cond:
            self._programs.register(function, statements, loop)

    def program_status(self) -> dict:
        """The registered functions and the last started program's state (running, paused, the
        statement it runs, rounds of a loop, its failure)."""
        with self._cond:
            return self._programs.status()

    def start_program(self, function: int) -> int:
        """``$Start``: 0 when the program started, else the failure code."""
        with self._cond:
            if not self._programs.is_registered(function):
                return ERR_ELEMENT
            if self._teach or self._not_ready() or self._programs.active():
                return ERR_NOT_READY
            self._programs.start(function)
            return 0

    def stop_programs(self) -> None:
        """``$Stop``: the running or paused program ends (its motion stops where the arm is)."""
        with self._cond:
            self._stop_programs()

    def abort(self) -> str:
        """``$Abort``: the motion, running or paused, stops where the arm is; its ``execute``
        answers ``ERR_ABORTED``. The motors stay on and no error is left pending. Refused (20)
        only in teach mode; without a motion it changes nothing."""
        with self._cond:
            if self._teach:
                return "!Abort,20"
            if self._busy and self._run is None:
                self._abort_pending = True
                self._cond.notify_all()
            self._abort_run()
            self._stop_programs()
            return "#Abort,0"

    def telemetry(self) -> Telemetry:
        with self._cond:
            joints = self._current_joints()
            return Telemetry(
                _report(joints),
                self._tcp_pose(joints),
                self._stat(),
                self._error,
                CTRLDEV_REMOTE_ETHERNET,
                self._robot_info(),
                self._ctrl_info(),
            )

    def emergency_stop(self) -> None:
        """The emergency stop switch pressed: abort the motion, motors off, error pending."""
        with self._cond:
            self._abort_run()
            self._estop = True
            self._motors = False
            self._error = ERROR_EMERGENCY_STOP
            self._stop_programs()

    def release_emergency_stop(self) -> None:
        """The switch released; the error stays until ``Reset``."""
        with self._cond:
            self._estop = False

    def set_safeguard(self, open_: bool) -> None:
        """Open or close the safeguard; opening it pauses a running motion and program."""
        with self._cond:
            self._safeguard_open = bool(open_)
            if open_:
                self._pause_run()
                self._programs.pause()

    def set_teach_mode(self, on: bool) -> None:
        """Switch the controller to teach mode (remote statements then answer 20)."""
        with self._cond:
            self._teach = bool(on)
            if on:
                self._abort_run()
                self._stop_programs()

    def set_point(self, number: int, pose: list[float]) -> None:
        """P<number> = XY(pose)."""
        if not 0 <= number <= spel.MAX_POINT:
            raise ValueError(f"point number must be between 0 and {spel.MAX_POINT}")
        values = tuple(float(v) for v in pose)
        if len(values) != 6 or not all(math.isfinite(v) for v in values):
            raise ValueError("a point needs six finite values")
        with self._cond:
            self._points[number] = Point(values)  # type: ignore[arg-type]

    def state(self) -> dict:
        """JSON-able snapshot for tests and the harness."""
        with self._cond:
            joints = self._current_joints()
            run = self._run
            return {
                "motors_on": self._motors,
                "power": "High" if self._power_high else "Low",
                "speed": self._speed,
                "accel": [self._accel, self._decel],
                "speeds": self._speeds,
                "accels": self._accels,
                "decels": self._decels,
                "tool": self._tool,
                "tools": {n: list(t) for n, t in sorted(self._tools.items())},
                "xylim": list(self._xylim),
                "xylim_mode": self._xylim_mode,
                "joints": list(_report(joints)),
                "pose": list(self._tcp_pose(joints)),
                "estop": self._estop,
                "safeguard": self._safeguard_open,
                "teach": self._teach,
                "error": self._error,
                "moving": run is not None and run.paused_at is None,
                "paused": run is not None and run.paused_at is not None,
                "points": {n: list(p.coords) for n, p in sorted(self._points.items())},
            }

    def reset_state(self) -> None:
        """Back to the power-on state; a running motion and program are stopped, programs,
        I/O, wirings and variables forgotten."""
        with self._cond:
            self._abort_run()
            self._stop_programs()
            self._programs.forget()
            self._power_on()
        self.io.clear()
        self.variables.clear()

    # --- state ----------------------------------------------------------------------------------

    def _power_on(self) -> None:
        self._motors = False
        self._power_high = False
        self._speed: int | float = 5
        self._accel: int | float = 5
        self._decel: int | float = 5
        self._speeds: float = 50.0
        self._accels: float = 200.0
        self._decels: float = 200.0
        self._tool = 0
        self._tools: dict[int, tuple[float, ...]] = {}
        self._xylim_mode = 0
        self._xylim: tuple[float, ...] = (0.0,) * 6
        self._xylim_z = False
        self._joints: tuple[float, ...] = HOME_JOINTS
        self._points: dict[int, Point] = {}
        self._estop = False
        self._safeguard_open = False
        self._teach = False
        self._error = 0

    def _pause_run(self) -> bool:
        """Hold the motion where it is; False when none runs."""
        run = self._run
        if run is None:
            return False
        if run.paused_at is None:
            run.paused_at = time.monotonic()
            self._cond.notify_all()
        return True

    def _stop_programs(self) -> None:
        """End the program (and its motion) and wait until its thread is out of its statement."""
        task = self._programs.request_stop()
        if task is None:
            return
        if self._busy and self._motion_owner is task:
            if self._run is not None:
                self._abort_run()
            else:
                self._abort_pending = True
        self._programs.wait_ended(task)

    def _abort_run(self) -> None:
        run = self._run
        if run is not None:
            self._joints = run.motion.joints_at(self._elapsed(run))
            run.aborted = True
            self._run = None
            self._cond.notify_all()

    def _elapsed(self, run: _Run) -> float:
        now = run.paused_at if run.paused_at is not None else time.monotonic()
        t = (now - run.started - run.paused_total) * self.time_scale
        return min(max(t, 0.0), run.motion.duration)

    def _current_joints(self) -> tuple[float, ...]:
        run = self._run
        if run is None:
            return self._joints
        return run.motion.joints_at(self._elapsed(run))

    def _reported_joints(self) -> tuple[float, ...]:
        return _report(self._current_joints())

    def _tool_frame(self) -> Frame:
        if self._tool == 0:
            return IDENTITY
        return pose_to_frame(self._tools.get(self._tool, (0.0,) * 6))

    def _tcp_pose(self, joints: tuple[float, ...]) -> tuple[float, ...]:
        key = (joints, self._tool, self._tools.get(self._tool))
        if self._pose_cache[0] != key:
            pose = _report(frame_to_pose(self.arm.flange(joints) @ self._tool_frame()))
            self._pose_cache = (key, pose)
        return self._pose_cache[1]

    def _not_ready(self) -> bool:
        return self._estop or self._safeguard_open or self._teach or self._error != 0

    def _stat(self) -> int:
        run = self._run
        return _bits(
            (self._busy, STAT_EXECUTING),
            (run is not None and run.paused_at is not None, STAT_PAUSED),
            (bool(self._error), STAT_ERROR),
            (self._teach, STAT_TEACH),
            (self._estop, STAT_ESTOP),
            (not self._power_high, STAT_LOW_POWER),
            (self._safeguard_open, STAT_SAFEGUARD),
            (self._motors, STAT_MOTORS),
        )

    def _robot_info(self) -> int:
        run = self._run
        return _bits(
            (bool(self._error), ROBOT_ERROR),
            (self._motors, ROBOT_MOTORS),
            (self._power_high, ROBOT_HIGH_POWER),
            (run is not None and run.paused_at is None, ROBOT_MOVING),
            (run is not None and run.paused_at is not None, ROBOT_PAUSED),
        )

    def _ctrl_info(self) -> int:
        return (CTRL_ESTOP if self._estop else 0) | (CTRL_SAFEGUARD if self._safeguard_open else 0)

    def _xylim_box(self) -> Box | None:
        if self._xylim_mode != 1 or not any(self._xylim):
            return None
        return Box(*self._xylim, check_z=self._xylim_z)

    # --- settings statements --------------------------------------------------------------------

    def _apply(self, node: Any) -> None:
        """A statement that is neither Print, a motion nor Wait."""
        if isinstance(node, Assign):
            self._points[node.number] = spel.without_posture(self._evaluator.point(node.value))
        elif isinstance(node, VariableAssign):
            self._assign_variable(node)
        else:
            self._command(node)

    def _assign_variable(self, node: VariableAssign) -> None:
        ev = self._evaluator
        index = None if node.index is None else ev.integer(node.index)
        value = ev.eval(node.value)
        self._require_ready()
        try:
            self.variables.write(node.name, index, lambda vtype: vtype.from_spel(value))
        except UnknownVariable:
            raise SpelError(ERR_UNKNOWN, f"unknown variable {node.name!r}") from None
        except BadElement as e:
            raise SpelError(ERR_ELEMENT, str(e)) from None
        except ValueError as e:
            raise SpelError(ERR_RANGE, str(e)) from None

    def _io_statement(self, kw: str, args: tuple[Any, ...]) -> None:
        ev = self._evaluator
        kind, width, state = _IO_STATEMENTS[kw]
        port = ev.integer(args[0])
        try:
            if width == "bit":
                self.io.set_bit(kind, port, bool(state))
            elif width == "byte":
                self.io.set_byte(kind, port, ev.integer(args[1]))
            else:
                self.io.set_word(kind, port, ev.integer(args[1]))
        except ValueError as e:
            raise SpelError(ERR_RANGE, str(e)) from None

    def _command(self, node: Command) -> None:
        ev = self._evaluator
        kw, args = node.keyword, node.args
        if kw == "reset":
            if not self._estop:
                self._error = 0
            return
        if kw == "motor":
            on = ev.number(args[0]) != 0
            if not on:
                self._motors = False
                return
            self._require_ready()
            self._motors = True
            return
        self._require_ready()
        if kw == "power":
            arg = args[0]
            if isinstance(arg, spel.Str):
                self._power_high = arg.value == "high"
            else:
                value = ev.integer(arg)
                if value not in (0, 1):
                    raise SpelError(ERR_RANGE, "Power is Low (0) or High (1)")
                self._power_high = value == 1
        elif kw == "speed":
            values = [_in_range(ev.number(a), 1, 100, "Speed") for a in args]
            self._speed = values[0]
        elif kw == "accel":
            values = [ev.number(a) for a in args]
            for i, v in enumerate(values):
                _in_range(v, 1, self.accel_max[i % 2], "Accel")
            self._accel, self._decel = values[0], values[1]
        elif kw == "speeds":
            values = [_positive(ev.number(a), SPEEDS_MAX, "SpeedS") for a in args]
            self._speeds = float(values[0])
        elif kw == "accels":
            values = [_positive(ev.number(a), ACCELS_MAX, "AccelS") for a in args]
            self._accels = float(values[0])
            self._decels = float(values[1] if len(values) > 1 else values[0])
        elif kw == "xylimmode":
            mode = ev.integer(args[0])
            if mode not in (0, 1):
                raise SpelError(ERR_RANGE, "XYLimMode is 0 or 1")
            self._xylim_mode = mode
        elif kw == "xylim":
            values = [float(ev.number(a)) for a in args]
            if len(values) == 5:
                raise SpelError(ERR_ELEMENT, "XYLim needs the Z pair complete")
            values += [0.0] * (6 - len(values))
            for lo, hi in zip(values[0::2], values[1::2], strict=True):
                if lo > hi:
                    raise SpelError(ERR_RANGE, "XYLim minimum above maximum")
            self._xylim = tuple(values)
            self._xylim_z = values[4] != 0.0 or values[5] != 0.0
        elif kw == "tlset":
            n = _tool_slot(ev.integer(args[0]), 1)
            point = ev.point(args[1])
            self._tools[n] = tuple(point.coords)
        elif kw == "tlclr":
            n = _tool_slot(ev.integer(args[0]), 1)
            self._tools.pop(n, None)
        elif kw == "tool":
            n = _tool_slot(ev.integer(args[0]), 0)
            if n != 0 and n not in self._tools:
                raise SpelError(ERR_ELEMENT, f"Tool {n} is not defined")
            self._tool = n
        elif kw in _IO_STATEMENTS:
            self._io_statement(kw, args)
        else:  # pragma: no cover - the parser knows no other keyword
            raise SpelError(ERR_UNKNOWN, f"unknown statement {kw}")

    def _require_ready(self) -> None:
        if self._not_ready():
            raise SpelError(ERR_NOT_READY, "controller not ready")

    # --- motion ---------------------------------------------------------------------------------

    def _motion(self, node: MotionStmt, owner: Task | None = None) -> str:
        """A motion of ``$Execute`` or (``owner``) of a program's task."""
        ev = self._evaluator
        with self._cond:
            if owner is not None and owner.stop_requested:
                return f"!Execute,{ERR_ABORTED}"  # stopped on its way here
            if self._busy:
                return f"!Execute,{ERR_BUSY}"
            try:
                if self._not_ready() or not self._motors:
                    raise SpelError(ERR_NOT_READY, "not ready for motion")
                target = ev.point(node.target)
                if node.ljm_flag is not None:
                    ev.integer(node.ljm_flag)
                stop_at_once = node.till is not None and ev.number(node.till) != 0
                if node.find is not None:
                    ev.number(node.find)
                start = self._joints
                tool = self._tool_frame()
                box = self._xylim_box()
                low = not self._power_high
                speed = min(self._speed, LOW_POWER_SPEED) if low else self._speed
                accel = min(self._accel, LOW_POWER_SPEED) if low else self._accel
                decel = min(self._decel, LOW_POWER_SPEED) if low else self._decel
                speeds = min(self._speeds, LOW_POWER_SPEEDS) if low else self._speeds
                accels = min(self._accels, LOW_POWER_ACCELS) if low else self._accels
                decels = min(self._decels, LOW_POWER_ACCELS) if low else self._decels
            except SpelError as e:
                return f"!Execute,{e.code}"
            if stop_at_once:
                return "#Execute,0"
            self._busy = True
            self._abort_pending = False
            self._motion_owner = owner
        try:
            # Planning runs without the lock so that telemetry and Print keep answering.
            if node.kind == "go":
                goal = self._go_target(target, start, tool, node.ljm)
                motion: Motion = plan_go(
                    self.arm,
                    start,
                    goal,
                    speed_pct=speed,
                    accel_pct=accel,
                    decel_pct=decel,
                    tool=tool,
                    box=box,
                )
            else:
                motion = plan_move(
                    self.arm,
                    start,
                    pose_to_frame(target.coords),
                    speed=speeds,
                    accel=accels,
                    decel=decels,
                    rot=node.rot,
                    tool=tool,
                    box=box,
                )
        except MotionError:
            with self._cond:
                self._busy = False
            return f"!Execute,{ERR_MOTION}"
        except BaseException:
            with self._cond:
                self._busy = False
            raise
        return self._run_motion(motion)

    def _go_target(
        self, target: Point, start: tuple[float, ...], tool: Frame, ljm: bool
    ) -> tuple[float, ...]:
        if target.joints is not None:
            return target.joints
        flange = pose_to_frame(target.coords) @ tool.inverse()
        if ljm:
            sol = self.arm.ljm_solution(flange, start)
        else:
            sol = self.arm.default_solution(flange, start)
        if sol is None:
            raise MotionError("target unreachable")
        return sol.joints

    def _run_motion(self, motion: Motion) -> str:
        with self._cond:
            try:
                if self._abort_pending:
                    self._abort_pending = False
                    return f"!Execute,{ERR_ABORTED}"
                if self._not_ready() or not self._motors:
                    # An emergency stop or the like arrived while the motion was planned.
                    return f"!Execute,{ERR_ABORTED}"
                run = _Run(motion, time.monotonic())
                if self._motion_owner is not None and self._motion_owner.paused:
                    run.paused_at = run.started  # its program was paused while it was planned
                self._run = run
                while not run.aborted:
                    if run.paused_at is None:
                        left = (motion.duration - self._elapsed(run)) / self.time_scale
                        if left <= 0.0:
                            self._joints = motion.target
                            self._run = None
                            return "#Execute,0"
                        self._cond.wait(min(left, _WAIT_SLICE))
                    else:
                        self._cond.wait(_WAIT_SLICE)
                return f"!Execute,{ERR_ABORTED}"
            finally:
                self._busy = False
                self._motion_owner = None

    # --- Wait and the statements of programs ------------------------------------------------------

    def _execute_wait(self, node: WaitStmt) -> str:
        """``Wait`` through ``$Execute``: the controller is busy meanwhile; ``$Abort`` ends it."""
        with self._cond:
            if self._busy:
                return f"!Execute,{ERR_BUSY}"
            self._busy = True
            self._abort_pending = False
            try:
                self._wait(node, lambda: self._abort_pending, lambda: False)
                if self._abort_pending:
                    return f"!Execute,{ERR_ABORTED}"
            except SpelError as e:
                return f"!Execute,{e.code}"
            finally:
                self._busy = False
                self._abort_pending = False
        return "#Execute,0"

    def _wait(self, node: WaitStmt, stopped, paused) -> None:
        """Wait (lock held) for the time, or until the condition holds or its time-out passed;
        the time does not run while ``paused()``; ends early once ``stopped()``."""
        ev = self._evaluator
        limit = None
        if node.timeout is not None or not node.is_condition:
            limit = ev.number(node.value if not node.is_condition else node.timeout)
            if limit < 0:
                raise SpelError(ERR_RANGE, "a Wait time is not negative")
        waited = 0.0
        last = time.monotonic()
        while not stopped():
            now = time.monotonic()
            if not paused():
                waited += now - last
            last = now
            if node.is_condition and not paused() and ev.number(node.value) != 0:
                return
            if limit is not None and waited >= limit:
                return
            step = _CONDITION_POLL if node.is_condition or paused() else _WAIT_SLICE
            if limit is not None and not paused():
                step = min(step, limit - waited)
            self._cond.wait(step)

    def _program_statement(self, node: Any, task: Task) -> None:
        """One statement of a program, on its task's thread (lock not held)."""
        if isinstance(node, MotionStmt):
            reply = self._motion(node, owner=task)
            if reply.startswith("!"):
                raise SpelError(int(reply.rsplit(",", 1)[1]), "the motion failed")
            return
        with self._cond:
            if task.stop_requested:
                return  # stopped between its check and here
            if isinstance(node, WaitStmt):
                self._wait(node, lambda: task.stop_requested, lambda: task.paused)
            elif isinstance(node, PrintStmt):
                for item in node.items:  # evaluated for its errors; the output goes nowhere
                    self._evaluator.eval(item)
            else:
                self._apply(node)

    def _program_failed(self, code: int) -> None:
        """A program's statement failed (lock held): an error is pending until Reset."""
        self._error = ERROR_PROGRAM_BASE + code


class _Machine:
    """The controller as the SPEL+ evaluator sees it (called with the controller's lock held)."""

    def __init__(self, c: SimulatedController) -> None:
        self.c = c

    def word(self, name: str) -> Any:
        c = self.c
        if name == "syserr":
            return c._error
        if name == "estopon":
            return TRUE if c._estop else FALSE
        if name == "safetyon":
            return TRUE if c._safeguard_open else FALSE
        if name == "teachon":
            return TRUE if c._teach else FALSE
        if name == "ctrldev":
            return CTRLDEV_REMOTE_ETHERNET
        if name == "power":
            return 1 if c._power_high else 0
        if name == "motor":
            return 1 if c._motors else 0
        if name == "xylimmode":
            return c._xylim_mode
        if name == "tool":
            return c._tool
        if name == "speed":
            return c._speed
        if name == "speeds":
            return c._speeds
        if name == "accels":
            return c._accels
        if name == "here":
            joints = c._current_joints()
            return Point(c._tcp_pose(joints), joints)  # type: ignore[arg-type]
        raise KeyError(name)

    def indexed(self, name: str, index: int) -> Any:
        c = self.c
        if name in ("stat", "robotinfo", "ctrlinfo"):
            if not 0 <= index <= 9:
                raise SpelError(ERR_RANGE, f"{name} index out of range")
            if name == "stat":
                return c._stat() if index == 0 else 0
            if name == "robotinfo":
                return c._robot_info() if index == 0 else 0
            return c._ctrl_info() if index == 1 else 0
        if name in ("accelmax", "accel"):
            if index not in (1, 2):
                raise SpelError(ERR_RANGE, f"{name} index is 1 or 2")
            if name == "accelmax":
                return c.accel_max[index - 1]
            return c._accel if index == 1 else c._decel
        if name == "xylim":
            if index not in (1, 2):
                raise SpelError(ERR_RANGE, "XYLim index is 1 or 2")
            x, y, z = c._xylim[index - 1 :: 2]
            return Point((x, y, z, 0.0, 0.0, 0.0))
        if name == "tldef":
            n = _tool_slot(index, 0)
            return TRUE if n == 0 or n in c._tools else FALSE
        if name == "tlset":
            n = _tool_slot(index, 0)
            if n == 0:
                return Point((0.0,) * 6)  # type: ignore[arg-type]
            if n not in c._tools:
                raise SpelError(ERR_ELEMENT, f"Tool {n} is not defined")
            return Point(c._tools[n])  # type: ignore[arg-type]
        if name == "agl":
            if not 1 <= index <= 6:
                raise SpelError(ERR_RANGE, "joint number out of range 1..6")
            return c._reported_joints()[index - 1]
        if name in _IO_FUNCTIONS:
            kind, width = _IO_FUNCTIONS[name]
            try:
                if width == "bit":
                    return 1 if c.io.bit(kind, index) else 0
                if width == "byte":
                    return c.io.byte(kind, index)
                return c.io.word(kind, index)
            except ValueError as e:
                raise SpelError(ERR_RANGE, str(e)) from None
        raise KeyError(name)

    def variable(self, name: str, index: int | None) -> Any:
        try:
            return self.c.variables.spel_value(name, index)
        except BadElement as e:
            raise SpelError(ERR_ELEMENT, str(e)) from None

    def point(self, number: int) -> Point:
        p = self.c._points.get(number)
        if p is None:
            raise SpelError(ERR_ELEMENT, f"P{number} is not defined")
        return p

    def _solution_for(self, point: Point, reference: tuple[float, ...], ljm: bool) -> Any:
        c = self.c
        if point.joints is not None and not ljm:
            return point.joints
        flange = pose_to_frame(point.coords) @ c._tool_frame().inverse()
        if ljm:
            sol = c.arm.ljm_solution(flange, reference)
        else:
            sol = c.arm.default_solution(flange, reference)
        if sol is None:
            raise SpelError(ERR_MOTION, "point out of reach")
        return sol.joints

    def joint_angle(self, point: Point, joint: int) -> float:
        return self._solution_for(point, self.c._current_joints(), False)[joint - 1]

    def least_motion(self, point: Point, reference: Point) -> Point:
        ref = reference.joints
        if ref is None:
            ref = self._solution_for(reference, self.c._current_joints(), False)
        return Point(point.coords, self._solution_for(point, ref, True))

    def from_joints(self, joints: tuple[float, ...]) -> Point:
        return Point(self.c._tcp_pose(joints), joints)  # type: ignore[arg-type]


def _report(values: tuple[float, ...]) -> tuple[float, ...]:
    """Values as the controller reports them: rounded to 1e-10 (mm or deg), which drops the
    last bits of floating-point noise (400.00000000000006 reads 400), and without -0."""
    return tuple(round(v, 10) + 0.0 for v in values)


def _in_range(v: int | float, lo: float, hi: float, what: str) -> int | float:
    if not lo <= v <= hi:
        raise SpelError(ERR_RANGE, f"{what} {v} out of range {lo}..{hi}")
    return v


def _positive(v: int | float, hi: float, what: str) -> int | float:
    if not 0 < v <= hi:
        raise SpelError(ERR_RANGE, f"{what} {v} out of range (0, {hi}]")
    return v


def _tool_slot(n: int, lowest: int) -> int:
    if not lowest <= n <= MAX_TOOL:
        raise SpelError(ERR_RANGE, f"Tool number {n} out of range {lowest}..{MAX_TOOL}")
    return n


__all__ = ["HOME_JOINTS", "SimulatedController", "Telemetry"]


def _bits(*flags: tuple[bool, int]) -> int:
    """The status word with the bit of every flag that is set."""
    word = 0
    for on, bit in flags:
        if on:
            word |= bit
    return word
