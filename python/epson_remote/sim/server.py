"""Remote Ethernet command server of the controller simulator.

Speaks the controller's line protocol on one TCP port: requests ``$name{,params}`` ended by CR LF
(a bare LF is accepted too), replies ``#name,...`` or ``!name,code`` ended by CR LF. It serves one
client at a time, as a controller does; the next connection waits in the listen backlog until the
current one has ended.

Besides the controller's own answers, requests can be handled by a script (see ``script``) that
replies with chosen text or bytes, late, never, or by closing the connection. Every request line is
recorded for the tests that drive a client against the server.

Thread safety: every public method may be called from any thread.
"""

from __future__ import annotations

import contextlib
import socket
import threading
import time
import traceback
from collections.abc import Callable
from dataclasses import dataclass

from .remote_requests import REQUESTS as REMOTE_REQUESTS

# Longest statement (and so result) a controller accepts in one $Execute request.
MAX_STATEMENT_BYTES = 4060
# A client that sends this much without a line end is cut off instead of being buffered forever.
MAX_LINE_BYTES = 1 << 20

_ENCODING = "utf-8"
_ERRORS = "surrogateescape"  # keeps any byte of a request recoverable from its text


def _encode(text: str) -> bytes:
    return text.encode(_ENCODING, _ERRORS)


def listen(host: str, port: int, backlog: int) -> socket.socket:
    """A listening TCP socket on ``host`` (an IPv4 or IPv6 address or a name) and ``port``."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    return socket.create_server((host, port), family=family, backlog=backlog)


def request_name(line: str) -> str:
    """The name of a request line: the text after ``$`` up to the first comma."""
    return line[1:].split(",", 1)[0]


def execute_statement(line: str) -> str | None:
    """The statement of an ``$Execute,"<statement>"`` request, or None if the line is not one.

    The statement is everything between the first and the last double quote after the comma, so a
    statement may itself contain double quotes.
    """
    prefix = "$Execute,"
    if not line.startswith(prefix):
        return None
    rest = line[len(prefix) :]
    if len(rest) < 2 or rest[0] != '"' or rest[-1] != '"':
        return None
    return rest[1:-1]


def request_matches(match: str, line: str, statement: str | None) -> bool:
    """True when ``match`` selects the request: a text starting with ``$`` is compared with the
    whole request line, any other text with the statement of an ``$Execute`` request."""
    if match.startswith("$"):
        return match == line
    return statement is not None and statement == match


@dataclass
class ScriptEntry:
    """One scripted answer: what it matches, what it does, and how many requests it may handle.

    ``times`` None means unlimited; ``used`` counts the requests handled so far.
    """

    match: str
    reply: str | None = None
    raw: bytes | None = None
    delay: float = 0.0
    silent: bool = False
    close: bool = False
    times: int | None = 1
    passthrough_delay: float | None = None
    used: int = 0

    def __post_init__(self) -> None:
        if not isinstance(self.match, str) or not self.match:
            raise ValueError("match must be a non-empty string")
        if self.reply is not None and self.raw is not None:
            raise ValueError("give either reply or raw, not both")
        if self.silent and (self.reply is not None or self.raw is not None):
            raise ValueError("a silent entry sends nothing: drop reply/raw")
        if self.passthrough_delay is not None:
            if self.passthrough_delay < 0:
                raise ValueError("passthrough_delay must not be negative")
            if self.reply is not None or self.raw is not None or self.silent or self.close:
                raise ValueError("passthrough_delay lets the controller answer: no other action")
        elif self.reply is None and self.raw is None and not self.silent and not self.close:
            raise ValueError("a script entry needs reply, raw, silent, close or passthrough_delay")
        if self.raw is not None:
            self.raw = bytes(self.raw)
        if self.delay < 0:
            raise ValueError("delay must not be negative")
        if self.times is not None and self.times < 1:
            raise ValueError("times must be at least 1 (or None for unlimited)")

    def has_uses_left(self) -> bool:
        return self.times is None or self.used < self.times

    def is_unused(self) -> bool:
        """Not used up: uses left, or for an unlimited entry, never used at all."""
        return self.used == 0 if self.times is None else self.used < self.times

    def describe(self) -> str:
        actions = []
        if self.passthrough_delay is not None:
            actions.append(f"passthrough_delay={self.passthrough_delay}")
        if self.reply is not None:
            actions.append(f"reply={self.reply!r}")
        if self.raw is not None:
            actions.append(f"raw={self.raw!r}")
        if self.delay:
            actions.append(f"delay={self.delay}")
        if self.silent:
            actions.append("silent")
        if self.close:
            actions.append("close")
        uses = "unlimited" if self.times is None else f"of {self.times}"
        return f"{self.match!r}: {', '.join(actions)} (used {self.used} {uses})"


class _Client:
    """One accepted connection. Sends after the connection ended are dropped silently, which is
    how the replies of motions that outlive their client are discarded."""

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.logged_in = False
        self._send_lock = threading.Lock()
        self._closed = False

    @property
    def closed(self) -> bool:
        return self._closed

    def send(self, data: bytes) -> bool:
        with self._send_lock:
            if self._closed or not data:
                return not self._closed
            try:
                self.sock.sendall(data)
                return True
            except OSError:
                return False

    def shutdown(self) -> None:
        """End the connection; the reader sees end of stream and closes the socket. Takes no lock,
        so that it also ends a send blocked on a client that does not read."""
        self._closed = True
        with contextlib.suppress(OSError):
            self.sock.shutdown(socket.SHUT_RDWR)

    def close(self) -> None:
        """Release the socket (by the reader, once it has stopped reading)."""
        self.shutdown()
        with self._send_lock:  # no send may still use the descriptor
            # Unread input would make the close reset the connection: discard it first.
            with contextlib.suppress(OSError):
                self.sock.setblocking(False)
                while self.sock.recv(65536):
                    pass
            self.sock.close()


class RemoteEthernetServer:
    """The controller's Remote Ethernet command port.

    ``controller`` needs ``execute(statement)``, ``pause()`` and ``resume()`` returning whole
    reply lines without terminator; ``$Abort`` is answered when it also has ``abort()``, and the
    requests of ``remote_requests.REQUESTS`` (I/O, variables, status, programs) when it has
    ``remote_request(name, params, execute_running)``. ``password`` None accepts any login;
    otherwise ``$Login,<pw>`` must carry exactly that password (``!Login,13`` if not).
    """

    def __init__(
        self,
        controller,
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        password: str | None = None,
        backlog: int = 8,
    ) -> None:
        self._controller = controller
        self._password = password
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._scripts: list[ScriptEntry] = []
        self._requests: list[str] = []
        self._statements: list[str] = []
        self._client: _Client | None = None
        self._executes_running = 0  # $Execute requests taken and not yet answered
        self._stopping = False
        self._listener = listen(host, port, backlog)
        self.host, self.port = self._listener.getsockname()[:2]
        self._thread = threading.Thread(
            target=self._serve, name=f"remote-ethernet-{self.port}", daemon=True
        )
        self._thread.start()

    # -- life cycle -------------------------------------------------------------------------

    def close(self) -> None:
        """Stop listening and end the current connection."""
        with self._lock:
            if self._stopping:
                return
            self._stopping = True
            client = self._client
        with contextlib.suppress(OSError):
            self._listener.shutdown(socket.SHUT_RDWR)  # wakes the blocked accept()
        if client is not None:
            client.shutdown()
        self._thread.join(timeout=5.0)
        self._listener.close()

    def __enter__(self) -> RemoteEthernetServer:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    # -- scripting and records --------------------------------------------------------------

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
    ) -> ScriptEntry:
        """Handle the next ``times`` requests matching ``match`` instead of the controller, and
        return the new entry. ``match`` and the actions are those of ``ControllerSimulator.script``
        (in ``harness.py``), which calls this method of the server in its child process."""
        entry = ScriptEntry(
            match=match,
            reply=reply,
            raw=raw,
            delay=delay,
            silent=silent,
            close=close,
            times=times,
            passthrough_delay=passthrough_delay,
        )
        with self._lock:
            self._scripts.append(entry)
        return entry

    def clear_scripts(self) -> None:
        with self._lock:
            self._scripts.clear()

    def unused_scripts(self) -> list[str]:
        """Descriptions of the entries not used up (unlimited entries count when never used)."""
        with self._lock:
            return [entry.describe() for entry in self._scripts if entry.is_unused()]

    def requests(self) -> list[str]:
        """Every request line received, in order, without its terminator."""
        with self._lock:
            return list(self._requests)

    def statements(self) -> list[str]:
        """The statements of the ``$Execute`` requests received, in order."""
        with self._lock:
            return list(self._statements)

    def clear_requests(self) -> None:
        with self._lock:
            self._requests.clear()
            self._statements.clear()

    def wait_for_request(self, match: str, timeout: float = 5.0, count: int = 1) -> str:
        """Block until ``count`` requests matching ``match`` (as in ``script``) were received since
        the records were last cleared; return the ``count``-th. Raises TimeoutError."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                found = [
                    line
                    for line in self._requests
                    if request_matches(match, line, execute_statement(line))
                ]
                if len(found) >= count:
                    return found[count - 1]
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    recent = self._requests[-10:]
                    raise TimeoutError(
                        f"no request matching {match!r} within {timeout} s "
                        f"(found {len(found)} of {count}; last requests: {recent!r})"
                    )
                self._changed.wait(remaining)

    # -- the connection ---------------------------------------------------------------------

    def push(self, data: bytes) -> bool:
        """Send bytes to the connected client unasked. False when no client is connected."""
        with self._lock:
            client = self._client
        return client is not None and client.send(bytes(data))

    def drop_client(self) -> bool:
        """Close the current connection. False when no client was connected."""
        with self._lock:
            client = self._client
        if client is None or client.closed:
            return False
        client.shutdown()
        return True

    def has_client(self) -> bool:
        with self._lock:
            return self._client is not None and not self._client.closed

    def reset(self) -> None:
        """Forget scripts and records and drop the client."""
        with self._lock:
            self._scripts.clear()
            self._requests.clear()
            self._statements.clear()
        self.drop_client()

    # -- serving ----------------------------------------------------------------------------

    def _serve(self) -> None:
        while True:
            try:
                sock, _ = self._listener.accept()
            except OSError:
                return  # closed
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            client = _Client(sock)
            with self._lock:
                if self._stopping:
                    sock.close()
                    return
                self._client = client
            try:
                self._read_requests(client)
            finally:
                client.close()
                with self._lock:
                    if self._client is client:
                        self._client = None

    def _read_requests(self, client: _Client) -> None:
        buffer = b""
        while not client.closed:
            try:
                data = client.sock.recv(65536)
            except OSError:
                return
            if not data:
                return
            buffer += data
            while not client.closed:
                end = buffer.find(b"\n")
                if end < 0:
                    break
                raw_line, buffer = buffer[:end], buffer[end + 1 :]
                if raw_line.endswith(b"\r"):
                    raw_line = raw_line[:-1]
                self._on_request(client, raw_line.decode(_ENCODING, _ERRORS))
            if len(buffer) > MAX_LINE_BYTES:
                return

    def _on_request(self, client: _Client, line: str) -> None:
        statement = execute_statement(line)
        with self._lock:
            self._requests.append(line)
            if statement is not None:
                self._statements.append(statement)
            entry = next(
                (
                    entry
                    for entry in self._scripts
                    if entry.has_uses_left() and request_matches(entry.match, line, statement)
                ),
                None,
            )
            if entry is not None:
                entry.used += 1
            self._changed.notify_all()

        if entry is None:
            self._answer(client, line, statement)
        elif entry.passthrough_delay is not None:
            self._later(entry.passthrough_delay, self._answer, client, line, statement)
        elif entry.delay > 0:
            self._later(entry.delay, self._act, client, line, entry)
        else:
            self._act(client, line, entry)

    @staticmethod
    def _later(delay: float, action: Callable, *args) -> None:
        timer = threading.Timer(delay, action, args)
        timer.daemon = True
        timer.start()

    def _act(self, client: _Client, line: str, entry: ScriptEntry) -> None:
        if client.closed:
            return
        if not entry.silent:
            if entry.raw is not None:
                data = entry.raw
            elif entry.reply is not None:
                data = _encode(entry.reply) + b"\r\n"
            else:
                data = b""
            if line.startswith("$Login"):
                if data.startswith(b"#Logout"):
                    client.logged_in = False
                elif data.startswith(b"#Login"):
                    client.logged_in = True
            client.send(data)
        if entry.close:
            client.shutdown()

    def _answer(self, client: _Client, line: str, statement: str | None) -> None:
        """The controller's own answer to one request."""
        if client.closed:
            return
        if not line.startswith("$"):
            client.send(b"!,10\r\n")
            return
        name = request_name(line)
        if name == "Login":
            password = line.split(",", 1)[1] if "," in line else ""
            if self._password is not None and password != self._password:
                client.send(b"!Login,13\r\n")
                return
            client.logged_in = True
            client.send(b"#Login,0\r\n")
            return
        if not client.logged_in:
            self._reply(client, f"!{name},11")
            return
        if name == "Logout":
            client.logged_in = False
            client.send(b"#Logout,0\r\n")
        elif name == "Execute":
            if statement is None:
                client.send(b"!Execute,12\r\n")
            elif len(_encode(statement)) > MAX_STATEMENT_BYTES:
                client.send(b"!Execute,15\r\n")
            else:
                # A motion blocks until it has ended: run it aside so that $Pause gets through.
                with self._lock:
                    self._executes_running += 1
                threading.Thread(
                    target=self._execute, args=(client, statement), name="execute", daemon=True
                ).start()
        elif name == "Pause":
            self._reply(client, self._ask(self._controller.pause, failure="!Pause,99"))
        elif name == "Continue":
            self._reply(client, self._ask(self._controller.resume, failure="!Continue,99"))
        elif name == "Abort" and hasattr(self._controller, "abort"):
            # Answered at once like $Pause: it is meant for the motion still running.
            self._reply(client, self._ask(self._controller.abort, failure="!Abort,99"))
        elif name in REMOTE_REQUESTS and hasattr(self._controller, "remote_request"):
            # Answered here, not behind a running $Execute; the controller refuses (21) what
            # must wait for the Execute to end.
            with self._lock:
                execute_running = self._executes_running > 0
            params = line.split(",")[1:]
            self._reply(
                client,
                self._ask(
                    self._controller.remote_request,
                    name,
                    params,
                    execute_running,
                    failure=f"!{name},99",
                ),
            )
        else:
            self._reply(client, f"!{name},11")

    def _execute(self, client: _Client, statement: str) -> None:
        try:
            reply = self._ask(self._controller.execute, statement, failure="!Execute,99")
        finally:
            # Counted out before the reply goes, so the client's next request finds it ended.
            with self._lock:
                self._executes_running -= 1
        self._reply(client, reply)

    @staticmethod
    def _ask(method: Callable[..., str], *args, failure: str) -> str:
        """A controller answer; a fault of the model becomes error 99 (and a traceback on
        standard error) instead of a session that silently stops answering."""
        try:
            return method(*args)
        except Exception:
            traceback.print_exc()
            return failure

    @staticmethod
    def _reply(client: _Client, reply: str) -> None:
        client.send(_encode(reply) + b"\r\n")
