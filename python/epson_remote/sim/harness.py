"""``ControllerSimulator``: the whole simulated controller in a child process.

The command server, the telemetry server and the robot model run in a child process started with
the multiprocessing "spawn" method, so the simulator keeps answering while the test process sits in
a native call that holds the Python interpreter lock. The parent drives it over a pipe with
request/response calls; errors raised in the child are raised again in the parent.

The child ends when ``stop()`` (or the end of the ``with`` block) asks it to, and by itself when the
parent goes away: it then reads the end of the pipe.

Only the process that started a simulator owns it. A process forked from the owner (``os.fork()``)
inherits the ``ControllerSimulator`` object but not the right to end the simulator: right after the
fork it drops its copies of the handles, so neither its ``stop()``, its ``with`` block nor its exit
(multiprocessing's exit handler) sends the shutdown, kills or waits for the owner's simulator.
"""

from __future__ import annotations

import contextlib
import dataclasses
import importlib
import itertools
import multiprocessing
import operator
import os
import pickle
import signal
import socket
import sys
import threading
import traceback
import types
import weakref
from typing import Any

_START_TIMEOUT = 60.0  # a cold spawn on a loaded two-core machine can take a few seconds
_CALL_TIMEOUT = 30.0
_STOP_TIMEOUT = 5.0


class SimulatorError(RuntimeError):
    """The simulator process failed, ended, or did not answer."""


class ControllerSimulator:
    """A simulated Epson controller: Remote Ethernet command port, telemetry port, robot model.

    Arguments (keyword only):

    - ``password``: the Remote Ethernet password; None accepts any login.
    - ``telemetry_rate_hz``: telemetry samples per second.
    - ``time_scale``: speed of the simulated clock (2.0 = motions take half as long).
    - ``host``, ``command_port``, ``telemetry_port``: where to listen (port 0 = a free port).
    - ``controller_factory``: "module:callable" building the robot model from ``time_scale=``
      (default: the simulator's ``SimulatedController``).
    - ``geometry``: the arm's ``ArmGeometry`` for the default robot model (default: its own).

    Use it as a context manager, or call ``start()`` and ``stop()``. A simulator serves many
    tests in turn: ``reset()`` puts it back to its freshly started state. Every method may be
    called from any thread.
    """

    def __init__(
        self,
        *,
        password: str | None = None,
        telemetry_rate_hz: float = 250.0,
        time_scale: float = 1.0,
        host: str = "127.0.0.1",
        command_port: int = 0,
        telemetry_port: int = 0,
        controller_factory: str | None = None,
        geometry: Any = None,
    ) -> None:
        self._options = {
            "password": password,
            "telemetry_rate_hz": telemetry_rate_hz,
            "time_scale": time_scale,
            "host": host,
            "command_port": command_port,
            "telemetry_port": telemetry_port,
            "controller_factory": controller_factory,
            "geometry": geometry,
        }
        self.host = host
        self.command_port: int | None = None
        self.telemetry_port: int | None = None
        self._process: multiprocessing.process.BaseProcess | None = None
        self._conn = None
        self._send_lock = threading.Lock()
        self._calls_lock = threading.Lock()
        self._calls: dict[int, list] = {}  # id -> [event, ok, value]
        self._ids = itertools.count(1)
        self._reader: threading.Thread | None = None
        self._gone: str | None = None
        self._owner_pid: int | None = None  # the process that started the child

    # -- life cycle -------------------------------------------------------------------------

    def start(self) -> ControllerSimulator:
        """Start the child process and wait until both ports listen."""
        if self._process is not None:
            raise SimulatorError("the simulator is already started")
        context = multiprocessing.get_context("spawn")
        parent_conn, child_conn = context.Pipe(duplex=True)
        process = context.Process(
            target=_child_main,
            args=(child_conn, self._options),
            name="epson-remote-sim",
            daemon=True,  # ended by multiprocessing at interpreter exit if still running
        )
        _start_without_main(process)
        child_conn.close()  # so that the child's end of the pipe closes when the child dies
        self._process, self._conn, self._gone = process, parent_conn, None
        self._owner_pid = os.getpid()
        _started.add(self)
        try:
            if not parent_conn.poll(_START_TIMEOUT):
                raise SimulatorError(f"the simulator did not start within {_START_TIMEOUT} s")
            ok, value = parent_conn.recv()
        except (EOFError, OSError) as error:
            self._abandon()
            raise SimulatorError(f"the simulator process ended while starting: {error}") from None
        except BaseException:
            self._abandon()
            raise
        if not ok:
            self._abandon()
            raise _rebuild(value)
        self.host, self.command_port, self.telemetry_port = value
        self._reader = threading.Thread(target=self._read, name="sim-rpc-reader", daemon=True)
        self._reader.start()
        return self

    def stop(self) -> None:
        """Ask the child to end and join it; kill it by its PID if it does not end in time.

        In a process forked from the one that started the simulator, only forget it: the
        simulator stays with its owner."""
        process = self._process
        if process is None:
            return
        if self._owner_pid != os.getpid():
            self._forget_inherited()
            return
        with contextlib.suppress(SimulatorError, TimeoutError):
            self._call("shutdown", timeout=_STOP_TIMEOUT)
        self._abandon()

    def _forget_inherited(self) -> None:
        """In a process forked from the owner: drop the inherited handles without touching the
        owner's simulator (no shutdown message, no signal, no wait)."""
        process, conn = self._process, self._conn
        self._process, self._conn, self._reader = None, None, None
        _started.discard(self)
        if process is not None:
            # multiprocessing lists the Process among this process's children too (a copy of the
            # owner's list): at exit it would terminate and join it. It is not ours to end.
            children = getattr(multiprocessing.process, "_children", None)
            if children is not None:
                children.discard(process)
        if conn is not None:
            # Closes this process's copy of the descriptor only (no shutdown of the socket), so
            # the child still sees the end of the pipe when its owner goes.
            with contextlib.suppress(OSError):
                conn.close()

    def _abandon(self) -> None:
        process, conn = self._process, self._conn
        self._process = None
        _started.discard(self)
        if conn is not None:
            # Shut the pipe's socket down before closing it: that wakes our reader thread (a bare
            # close does not) and makes the child read the end of the stream and exit.
            with contextlib.suppress(OSError):
                sock = socket.socket(fileno=os.dup(conn.fileno()))
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                finally:
                    sock.close()
            conn.close()
        if process is not None:
            process.join(_STOP_TIMEOUT)
            if process.exitcode is None:
                process.kill()  # SIGKILL to the child's PID
                process.join(_STOP_TIMEOUT)
            with contextlib.suppress(ValueError):
                process.close()
        if self._reader is not None and self._reader is not threading.current_thread():
            self._reader.join(_STOP_TIMEOUT)
        self._reader = None

    def __enter__(self) -> ControllerSimulator:
        if self._process is None:
            self.start()
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()

    @property
    def pid(self) -> int | None:
        """PID of the child process, None when not started."""
        return self._process.pid if self._process is not None else None

    def is_alive(self) -> bool:
        return self._process is not None and self._process.is_alive()

    # -- command port -----------------------------------------------------------------------

    def script(
        self,
        match: str,
        *,
        reply: str | None = None,
        raw: bytes | None = None,
        delay: float = 0.0,
        silent: bool = False,
        close: bool = False,
        times: int | None = 1,
        passthrough_delay: float | None = None,
    ) -> None:
        """Handle the next ``times`` requests matching ``match`` instead of the controller.

        ``match``: a whole request line if it starts with ``$`` (``$Login,``, ``$Pause``), else a
        SPEL+ statement compared with the one inside ``$Execute,"..."``. Entries are tried in the
        order added; the first matching one with uses left handles the request.

        ``reply``: a line, CR LF appended. ``raw``: bytes sent verbatim instead. ``delay``: seconds
        before acting (other requests are served meanwhile, so replies may overtake each other).
        ``silent``: never answer. ``close``: close the connection after sending what was given, or
        at once. ``times``: requests handled (None = unlimited). ``passthrough_delay``: wait, then
        let the controller answer normally.

        A scripted reply to a login request that starts with ``#Login`` logs the connection in (as
        the client will believe), so the controller answers the requests that follow; one that
        starts with ``#Logout`` logs it out.
        """
        self._call(
            "server.script",
            match,
            reply=reply,
            raw=raw,
            delay=delay,
            silent=silent,
            close=close,
            times=times,
            passthrough_delay=passthrough_delay,
        )

    def push(self, data: bytes) -> bool:
        """Send bytes to the connected command client unasked; False when none is connected."""
        return self._call("server.push", bytes(data))

    def requests(self) -> list[str]:
        """Every request line received since the last clear, in order, without terminator."""
        return self._call("server.requests")

    def statements(self) -> list[str]:
        """The statements of the ``$Execute`` requests received since the last clear."""
        return self._call("server.statements")

    def clear_requests(self) -> None:
        self._call("server.clear_requests")

    def unused_scripts(self) -> list[str]:
        """Descriptions of the script entries not used up (unlimited ones: never used)."""
        return self._call("server.unused_scripts")

    def wait_for_request(self, match: str, timeout: float = 5.0, count: int = 1) -> str:
        """Block until ``count`` requests matching ``match`` (as in ``script``) have arrived since
        the last clear and return the ``count``-th; TimeoutError after ``timeout`` seconds."""
        return self._call(
            "server.wait_for_request", match, timeout, count, timeout=timeout + _CALL_TIMEOUT
        )

    def drop_client(self) -> bool:
        """Close the command connection; False when no client was connected."""
        return self._call("server.drop_client")

    def has_client(self) -> bool:
        """True while a command client is connected."""
        return self._call("server.has_client")

    def reset(self) -> None:
        """Back to the started state: no scripts, no records, no clients, the robot model in its
        power-on state, the telemetry port open with the constructor's settings."""
        self._call("reset")

    # -- robot model ------------------------------------------------------------------------

    def execute(self, statement: str) -> str:
        """Run one SPEL+ statement on the model directly (not through the command port); returns
        the reply line the port would send."""
        return self._call("controller.execute", statement, timeout=None)

    def emergency_stop(self) -> None:
        self._call("controller.emergency_stop")

    def release_emergency_stop(self) -> None:
        self._call("controller.release_emergency_stop")

    def set_safeguard(self, open_: bool) -> None:
        self._call("controller.set_safeguard", bool(open_))

    def set_point(self, number: int, pose: list[float]) -> None:
        """Define point P<number> as the pose [X, Y, Z, U, V, W]."""
        self._call("controller.set_point", number, [float(value) for value in pose])

    def robot_state(self) -> dict:
        """A snapshot of the model (motors, power, speeds, tools, limits, joints, pose, ...)."""
        return self._call("controller.state")

    def set_teach_mode(self, on: bool) -> None:
        """Teach mode on (not Auto: remote requests that act on the robot answer 20) or off."""
        self._call("controller.set_teach_mode", bool(on))

    # -- I/O, variables, programs -----------------------------------------------------------

    def set_input(self, bit: int, on: bool) -> None:
        """Switch input ``bit`` (0..65535) on or off, as a sensor would."""
        self._call("controller.io.set_bit", "input", bit, bool(on))

    def set_input_byte(self, port: int, value: int) -> None:
        """Set the 8 inputs of byte port ``port`` (bits 8*port..8*port+7) to ``value``."""
        self._call("controller.io.set_byte", "input", port, value)

    def set_input_word(self, port: int, value: int) -> None:
        """Set the 16 inputs of word port ``port`` (bits 16*port..16*port+15) to ``value``."""
        self._call("controller.io.set_word", "input", port, value)

    def input(self, bit: int) -> bool:
        """The state of input ``bit``."""
        return self._call("controller.io.bit", "input", bit)

    def output(self, bit: int) -> bool:
        """The state of output ``bit``, as a client or a program left it."""
        return self._call("controller.io.bit", "output", bit)

    def output_byte(self, port: int) -> int:
        return self._call("controller.io.byte", "output", port)

    def output_word(self, port: int) -> int:
        return self._call("controller.io.word", "output", port)

    def memory(self, bit: int) -> bool:
        """The state of memory bit ``bit``."""
        return self._call("controller.io.bit", "memory", bit)

    def wire_output_to_input(self, output_bit: int, input_bit: int, delay_s: float = 0.0) -> None:
        """Make ``input_bit`` follow ``output_bit`` ``delay_s`` seconds after each change (a
        gripper and its sensor); the input takes the output's state at once. ``reset()`` ends
        every wiring."""
        self._call("controller.io.wire_output_to_input", output_bit, input_bit, delay_s)

    def define_variable(self, name: str, type: str, value: Any = None) -> None:
        """Define the Global Preserve variable ``name`` of SPEL+ type ``type`` (Boolean, Byte,
        UByte, Short, Integer, UShort, Long, Int32, UInt32, Int64, UInt64, Real, Double, String)
        holding ``value``: a value of the type, a list of them for an array (indexes from 0), or
        None for the type's zero."""
        self._call("controller.variables.define", name, type, value)

    def variable(self, name: str) -> Any:
        """The value of variable ``name`` (a list for an array) or of element ``name(index)``."""
        return self._call("controller.variables.value", name)

    def register_program(self, function: int, statements: list[str], *, loop: bool = False) -> None:
        """Register SPEL+ ``statements`` as the program ``$Start,function`` (0..63) runs, one
        after another in a task of its own; ``loop`` repeats them until ``$Stop``."""
        self._call("controller.register_program", function, list(statements), bool(loop))

    def program_status(self) -> dict:
        """The registered functions and the last started program: running, paused, the
        statement it runs, completed rounds of a loop, and its failure (None while it has
        none)."""
        return self._call("controller.program_status")

    # -- telemetry port ---------------------------------------------------------------------

    def configure_telemetry(
        self,
        *,
        rate_hz: float | None = None,
        line_ending: str | None = None,
        split_lines: int | None = None,
        status_every: int | None = None,
        status_only: bool | None = None,
        paused: bool | None = None,
    ) -> None:
        """Change how the telemetry stream is written; arguments left None stay as they are.

        ``rate_hz``: samples per second. ``line_ending``: "\\r" or "\\r\\n". ``split_lines``: lines
        each sample is spread over (1 to 12; the first carries X). ``status_every``: samples
        between status lines (0 = none). ``status_only``: status lines only. ``paused``: write
        nothing but keep the connections.
        """
        settings = {
            "rate_hz": rate_hz,
            "line_ending": line_ending,
            "split_lines": split_lines,
            "status_every": status_every,
            "status_only": status_only,
            "paused": paused,
        }
        self._call("telemetry.configure", **{k: v for k, v in settings.items() if v is not None})

    def telemetry_config(self) -> dict:
        """The telemetry settings in force."""
        return self._call("telemetry_config")

    def drop_telemetry(self) -> int:
        """Close the current telemetry connections (the port stays open); returns how many."""
        return self._call("telemetry.drop_clients")

    def telemetry_clients(self) -> int:
        """The number of connected telemetry clients."""
        return self._call("telemetry.client_count")

    def stop_telemetry(self) -> None:
        """Close the telemetry port and its connections."""
        self._call("telemetry.stop")

    def start_telemetry(self) -> None:
        """Listen again on the same telemetry port."""
        self._call("telemetry.start")

    # -- calls ------------------------------------------------------------------------------

    def _call(self, method: str, *args, timeout: float | None = _CALL_TIMEOUT, **kwargs) -> Any:
        if self._owner_pid not in (None, os.getpid()):
            raise SimulatorError(
                f"the simulator belongs to process {self._owner_pid}, which started it; "
                "a process forked from it cannot use it"
            )
        if self._process is None or self._conn is None:
            raise SimulatorError("the simulator is not started")
        call_id = next(self._ids)
        call = [threading.Event(), False, None]
        with self._calls_lock:
            if self._gone is not None:
                raise SimulatorError(self._gone)
            self._calls[call_id] = call
        try:
            with self._send_lock:
                self._conn.send((call_id, method, args, kwargs))
            if not call[0].wait(timeout):
                raise SimulatorError(f"the simulator did not answer {method} within {timeout} s")
        except (OSError, ValueError) as error:  # ValueError: the pipe was closed by stop()
            raise SimulatorError(f"the simulator process is gone: {error}") from None
        finally:
            with self._calls_lock:
                self._calls.pop(call_id, None)
        _, ok, value = call
        if ok:
            return value
        raise _rebuild(value)

    def _read(self) -> None:
        """Route each answer of the child to the call waiting for it."""
        conn = self._conn
        reason = "the simulator process ended"
        try:
            while True:
                call_id, ok, value = conn.recv()
                with self._calls_lock:
                    call = self._calls.get(call_id)
                if call is not None:
                    call[1], call[2] = ok, value
                    call[0].set()
        except (EOFError, OSError):
            pass
        except Exception as error:  # an answer that does not unpickle
            reason = f"the simulator's answer could not be read: {error!r}"
        with self._calls_lock:
            self._gone = reason
            waiting = list(self._calls.values())
        for call in waiting:
            call[1], call[2] = False, _error_payload(SimulatorError(reason))
            call[0].set()


# Started simulators of this process, for the fork handler below.
_started: weakref.WeakSet[ControllerSimulator] = weakref.WeakSet()


def _forget_inherited_simulators() -> None:
    for simulator in list(_started):
        simulator._forget_inherited()


os.register_at_fork(after_in_child=_forget_inherited_simulators)


def _start_without_main(process) -> None:
    """Start a spawned process without running the parent's main script in it.

    The spawn method normally imports the parent's ``__main__`` module again in the child, which
    runs every statement of a script that lacks an ``if __name__ == "__main__":`` guard (starting
    another simulator there, or driving the robot twice) and costs start-up time. The child needs
    nothing from that module, so it is hidden while the process starts. Consequence: a
    ``controller_factory`` must name an importable module, not ``__main__``.
    """
    main = sys.modules.get("__main__")
    sys.modules["__main__"] = types.ModuleType("__main__")  # no __file__, no __spec__
    try:
        process.start()
    finally:
        if main is not None:
            sys.modules["__main__"] = main


def _error_payload(error: BaseException) -> tuple:
    """An exception made ready for the pipe: itself if it pickles, and its traceback as text."""
    text = "".join(traceback.format_exception(error))
    try:
        pickle.loads(pickle.dumps(error))
        exc = error
    except Exception:
        exc = None
    return exc, type(error).__name__, str(error), text


def _rebuild(payload: tuple) -> BaseException:
    exc, name, message, text = payload
    if exc is None:
        exc = SimulatorError(f"{name}: {message}")
    if text:
        exc.add_note("raised in the simulator process:\n" + text.rstrip())
    return exc


# -- the child process ---------------------------------------------------------------------------

# What the parent may call in the child: "object.method" of the child's command server, robot
# model or telemetry server, or a method of the child itself. ``ControllerSimulator`` documents
# each one.
_CALLS = frozenset(
    {
        "server.script",
        "server.push",
        "server.requests",
        "server.statements",
        "server.clear_requests",
        "server.unused_scripts",
        "server.wait_for_request",
        "server.drop_client",
        "server.has_client",
        "controller.execute",
        "controller.emergency_stop",
        "controller.release_emergency_stop",
        "controller.set_safeguard",
        "controller.set_point",
        "controller.state",
        "controller.set_teach_mode",
        "controller.io.bit",
        "controller.io.byte",
        "controller.io.word",
        "controller.io.set_bit",
        "controller.io.set_byte",
        "controller.io.set_word",
        "controller.io.wire_output_to_input",
        "controller.variables.define",
        "controller.variables.value",
        "controller.register_program",
        "controller.program_status",
        "telemetry.configure",
        "telemetry.drop_clients",
        "telemetry.client_count",
        "telemetry.stop",
        "telemetry.start",
        "reset",
        "telemetry_config",
    }
)


class _Child:
    """What runs in the child: the model, both servers, and the calls the parent may make."""

    def __init__(self, options: dict) -> None:
        from .server import RemoteEthernetServer
        from .telemetry import TelemetryServer

        self._options = options
        self.controller = _make_controller(
            options["controller_factory"], options["time_scale"], options["geometry"]
        )
        self.server = RemoteEthernetServer(
            self.controller,
            host=options["host"],
            port=options["command_port"],
            password=options["password"],
        )
        try:
            self.telemetry = TelemetryServer(
                self.controller.telemetry,
                host=options["host"],
                port=options["telemetry_port"],
                rate_hz=options["telemetry_rate_hz"],
            )
        except BaseException:
            self.server.close()
            raise
        self._telemetry_defaults = self.telemetry.config

    def address(self) -> tuple:
        return self.server.host, self.server.port, self.telemetry.port

    def close(self) -> None:
        self.telemetry.stop()
        self.server.close()

    def call(self, method: str, args: tuple, kwargs: dict) -> Any:
        """Run ``method`` with the parent's arguments: a name in ``_CALLS``, "object.method" or
        one of the child's own methods below."""
        if method not in _CALLS:
            raise AttributeError(f"the simulator has no call {method!r}")
        target, _, name = method.rpartition(".")
        owner = operator.attrgetter(target)(self) if target else self
        return getattr(owner, name)(*args, **kwargs)

    # The two calls that are not a single method of the server, the model or the telemetry:

    def reset(self) -> None:
        self.server.reset()
        self.telemetry.drop_clients()
        self.telemetry.configure(**dataclasses.asdict(self._telemetry_defaults))
        self.telemetry.start()  # if a test stopped it
        self.controller.reset_state()

    def telemetry_config(self) -> dict:
        return dataclasses.asdict(self.telemetry.config)


def _make_controller(factory: str | None, time_scale: float, geometry: Any = None):
    if factory is None:
        from .controller import SimulatedController

        return SimulatedController(time_scale=time_scale, geometry=geometry)
    module_name, _, attribute = factory.partition(":")
    if not attribute:
        raise ValueError(f"controller_factory must read 'module:callable', not {factory!r}")
    return getattr(importlib.import_module(module_name), attribute)(time_scale=time_scale)


def _child_main(conn, options: dict) -> None:
    # Ctrl-C in a terminal reaches the whole process group: the parent decides when we end.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        child = _Child(options)
    except BaseException as error:
        with contextlib.suppress(OSError):
            conn.send((False, _error_payload(error)))
        _exit(1)
    conn.send((True, child.address()))

    send_lock = threading.Lock()

    def answer(call_id: int, method: str, args: tuple, kwargs: dict) -> None:
        try:
            result = (call_id, True, child.call(method, args, kwargs))
        except BaseException as error:
            result = (call_id, False, _error_payload(error))
        try:
            with send_lock:
                conn.send(result)
        except (OSError, ValueError):
            pass  # the parent is gone
        except Exception as error:  # a result that does not pickle
            with send_lock:
                conn.send((call_id, False, _error_payload(error)))

    try:
        while True:
            try:
                call_id, method, args, kwargs = conn.recv()
            except (EOFError, OSError):
                break  # the parent closed the pipe or died
            if method == "shutdown":
                child.close()
                with send_lock:
                    conn.send((call_id, True, None))
                break
            # Each call on its own thread: wait_for_request blocks, and a motion may hold the
            # model, while the other calls must still be answered.
            threading.Thread(
                target=answer, args=(call_id, method, args, kwargs), daemon=True
            ).start()
    finally:
        with contextlib.suppress(Exception):
            child.close()
        _exit(0)


def _exit(code: int) -> None:
    """End the child now: threads of the model that are still running must not keep it alive."""
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(Exception):
            stream.flush()
    os._exit(code)
