"""``Publisher``: cells' online flags, state and telemetry on an MQTT broker.

One thread of the publisher ticks on a fixed grid (50 a second, or the telemetry rate when that
is higher) and looks at each cell every 40 ms at the least, and on the ticks its telemetry is
due: whether samples flow, whether the status changed (a controller's status comes 4 to 10
times a second), and when due the latest sample. The cells take turns over the ticks, so that
a subscriber gets a few cells' messages at a time. It only reads what the receive interfaces
already hold (a copy under their mutex), so 64 cells at 250 samples a second cost it 64 x 25
looks a second, not 16,000 samples. With ``rate_hz=0`` it takes every sample from each
interface's ``samples()`` stream instead, watching the streams' descriptors.

paho-mqtt's own thread holds the broker connection and reconnects with back-off. While the
broker is away nothing is queued: on every (re)connection the publisher sends the bridge's
online flag and every cell's current online flag and state again, retained, so a broker that
lost its retained messages (a restart without persistence) has them back at once.

Thread safety: ``add``, ``remove``, ``close`` and the properties may be called from any thread.
"""

from __future__ import annotations

import contextlib
import logging
import math
import os
import selectors
import socket
import sys
import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from .._status import ControllerState, decode_status
from ._mqtt import paho
from .broker import BrokerConfig
from .cells import check_cell_name, check_topic_level
from .payloads import (
    DEFAULT_PREFIX,
    OFFLINE,
    ONLINE,
    CellTopics,
    TelemetryEncoder,
    bridge_online_topic,
    normalise_prefix,
    state_payload,
)

if TYPE_CHECKING:
    from paho.mqtt.client import Client, ConnectFlags, DisconnectFlags, SocketLike
    from paho.mqtt.properties import Properties
    from paho.mqtt.reasoncodes import ReasonCode

__all__ = ["Publisher", "PublisherStats", "default_bridge_id"]

log = logging.getLogger("epson_remote.fleet")

CHECK_PERIOD_S = 0.02  # the longest tick
LOOK_PERIOD_S = 0.04  # the longest time between two looks at a cell
MAX_RATE_HZ = 1000.0
DEFAULT_RATE_HZ = 25.0
DEFAULT_OFFLINE_AFTER_S = 1.0
STREAM_QUEUE = 4096  # samples a cell's stream holds for the publisher in every-sample mode
_CLOSE_PUBLISH_S = 2.0  # how long close() waits for the offline flags to reach the broker


def default_bridge_id(suffix: str | None = None) -> str:
    """This machine's host name (up to its first dot), with ``-suffix`` when given; characters
    that cannot stand in a topic level become ``-``."""
    host = socket.gethostname().split(".")[0] or "host"
    text = f"{host}-{suffix}" if suffix else host
    return "".join("-" if char in "/+#$" or char.isspace() else char for char in text)


@dataclass
class PublisherStats:
    """Counters since the publisher started (read with ``Publisher.stats()``)."""

    telemetry: int = 0  # telemetry messages handed to the client
    state: int = 0  # state messages, republished ones included
    online: int = 0  # online flags, the bridge's and the cells'
    skipped_disconnected: int = 0  # messages not sent because the broker was away
    failed: int = 0  # messages the client refused (its queue full, an invalid topic)
    connections: int = 0  # successful connections to the broker
    ticks: int = 0
    late_ticks: int = 0  # ticks that started more than one tick late


@dataclass(eq=False)
class _Cell:
    name: str
    rx: Any
    topics: CellTopics
    encoder: TelemetryEncoder
    online: bool | None = None  # None until first looked at
    state: ControllerState | None = None
    state_payload: bytes | None = None
    status_stamp: float | None = None
    status_fields: dict[str, int] | None = None
    last_sample_stamp: float | None = None
    last_sequence: int | None = None
    stream: Any = None
    failing: bool = False  # the last look raised; logged once until it works again
    has_wait: bool = False
    turn: int = 0  # where the cell's looks and telemetry fall among the ticks


class Publisher:
    """Publishes the topics of the cells ``add()`` is given to an MQTT broker, until ``close()``.

    Per cell, under ``prefix`` (default ``epson/``): ``<cell>/online`` (retained, QoS 1,
    ``true``/``false``), ``<cell>/state`` (retained, QoS 1, on change) and
    ``<cell>/telemetry`` (QoS 0, at most ``rate_hz`` a second; 0: every sample). The
    publisher's own ``_bridge/<bridge_id>/online`` is its last will.

    Arguments: ``broker`` is a ``BrokerConfig`` or an address ``mqtt://host:port``
    (``mqtts://`` for TLS); ``username``, ``password``, ``ca_file``, ``cert_file``,
    ``key_file``, ``tls`` and ``tls_insecure`` complete or override it. ``offline_after_s``:
    a cell whose latest sample is older is offline. ``keepalive_s``: the MQTT keep-alive, so a
    broker publishes the last will that long (and a half) after the publisher's machine
    vanished. ``reconnect_min_s``/``reconnect_max_s``: the back-off between attempts to reach
    the broker, doubling from the first to the second.

    A receive interface given to ``add()`` stays the caller's: the publisher never connects or
    disconnects it, and reads it without disturbing the caller's own use (``get_sample()``,
    ``wait_for_sample()``, a ``samples()`` stream of its own with ``rate_hz=0``).

    Example:
        >>> with Publisher("mqtt://127.0.0.1:1883", bridge_id="line3") as publisher:
        ...     publisher.add("cell1", cell.get_receive_interface())
        ...     run_the_line()
    """

    def __init__(
        self,
        broker: BrokerConfig | str,
        *,
        prefix: str = DEFAULT_PREFIX,
        bridge_id: str | None = None,
        rate_hz: float = DEFAULT_RATE_HZ,
        offline_after_s: float = DEFAULT_OFFLINE_AFTER_S,
        keepalive_s: int = 10,
        reconnect_min_s: float = 0.5,
        reconnect_max_s: float = 2.0,
        client_id: str | None = None,
        **broker_options: Any,
    ) -> None:
        mqtt = paho()
        if isinstance(broker, str):
            broker = BrokerConfig.from_url(broker, **broker_options)
        elif broker_options:
            raise TypeError("broker options go into the BrokerConfig given")
        if not (rate_hz == 0 or 0 < rate_hz <= MAX_RATE_HZ):
            raise ValueError(f"rate_hz must be 0 (every sample) or in (0, {MAX_RATE_HZ:g}]")
        if not 0 < offline_after_s < math.inf:
            raise ValueError("offline_after_s must be positive and finite")
        if not 0 < reconnect_min_s <= reconnect_max_s < math.inf:
            raise ValueError("the reconnect back-off needs 0 < reconnect_min_s <= reconnect_max_s")
        self.broker = broker.with_password_from_environment()
        self.prefix = normalise_prefix(prefix)
        self.bridge_id = check_topic_level(
            bridge_id or default_bridge_id(str(os.getpid())), "bridge id"
        )
        self.rate_hz = float(rate_hz)
        self.offline_after_s = float(offline_after_s)
        self.bridge_topic = bridge_online_topic(self.prefix, self.bridge_id)
        if self.rate_hz:
            ticks_per_sample = max(1, math.ceil(1.0 / self.rate_hz / CHECK_PERIOD_S - 1e-9))
            self._tick_s = 1.0 / self.rate_hz / ticks_per_sample
            self._telemetry_every = ticks_per_sample
        else:
            self._tick_s, self._telemetry_every = CHECK_PERIOD_S, 0
        self._look_every = max(1, round(LOOK_PERIOD_S / self._tick_s))

        self._lock = threading.Lock()  # guards the cells and the counters
        self._cells: dict[str, _Cell] = {}
        self._added = 0
        self._retired: list[_Cell] = []  # removed cells whose streams the thread lets go
        self._stats = PublisherStats()
        self._stop = threading.Event()
        self._closed = False
        self._connected = False  # written by paho's thread, read by ours
        # Counted by paho's thread on every connection; ours sends every retained topic again
        # when the count moved since its last look (no lock shared with paho's callbacks).
        self._connections = 0
        self._connections_seen = 0
        self._last_problem: str | None = None  # the last broker problem logged (not repeated)
        self._selector = selectors.DefaultSelector() if not self.rate_hz else None

        self._client = mqtt.Client(
            mqtt.CallbackAPIVersion.VERSION2,
            client_id=client_id or f"epson-remote-{self.bridge_id}",
            clean_session=True,
            protocol=mqtt.MQTTv311,
        )
        self.broker.configure(self._client)
        self._client.will_set(self.bridge_topic, OFFLINE, qos=1, retain=True)
        self._client.reconnect_delay_set(reconnect_min_s, reconnect_max_s)
        self._client.on_connect = self._on_connect
        self._client.on_disconnect = self._on_disconnect
        self._client.on_connect_fail = self._on_connect_fail
        self._client.on_socket_open = _no_delay
        self._client.connect_async(self.broker.host, self.broker.port, keepalive=keepalive_s)
        self._client.loop_start()
        self._thread = threading.Thread(target=self._run, name="epson-fleet-publisher", daemon=True)
        self._thread.start()

    # -- cells --------------------------------------------------------------------------------

    def add(self, name: str, receive_interface: Any) -> None:
        """Publish the topics of cell ``name`` from ``receive_interface`` (an
        ``EthernetReceiveInterface``, or a ``RobotCell``, whose receive interface is used).

        Raises:
            ValueError: If the name cannot be a topic level or is taken.
        """
        check_cell_name(name)
        rx = receive_interface
        if not hasattr(rx, "get_sample") and hasattr(rx, "get_receive_interface"):
            rx = rx.get_receive_interface()
        for method in ("get_sample", "get_status", "is_connected"):
            if not callable(getattr(rx, method, None)):
                raise TypeError(
                    f"a receive interface needs {method}(), {type(rx).__name__} has none"
                )
        if not self.rate_hz and not callable(getattr(rx, "samples", None)):
            raise TypeError("rate_hz=0 (every sample) needs a receive interface with samples()")
        cell = _Cell(
            name,
            rx,
            CellTopics.of(self.prefix, name),
            TelemetryEncoder(name, self.bridge_id),
            has_wait=callable(getattr(rx, "wait_for_sample", None)),
        )
        with self._lock:
            if self._closed:
                raise RuntimeError("the publisher is closed")
            if name in self._cells:
                raise ValueError(f"cell {name!r} is published already")
            cell.turn = self._added
            self._added += 1
            self._cells[name] = cell

    def remove(self, name: str) -> None:
        """Stop publishing cell ``name``; its online flag is set to false first.

        Raises:
            KeyError: If no such cell is published.
        """
        with self._lock:
            cell = self._cells.pop(name)
            self._publish(cell.topics.online, OFFLINE, retain=True, counter="online")
            self._retired.append(cell)

    @property
    def cells(self) -> list[str]:
        with self._lock:
            return list(self._cells)

    @property
    def connected(self) -> bool:
        """Whether the broker connection is up."""
        return self._connected

    def online(self, name: str) -> bool | None:
        """What the publisher last found cell ``name`` to be (None before its first look)."""
        with self._lock:
            return self._cells[name].online

    def stats(self) -> PublisherStats:
        with self._lock:
            return PublisherStats(**vars(self._stats))

    # -- life cycle ---------------------------------------------------------------------------

    def close(self) -> None:
        """Set every cell's online flag and the bridge's to false, disconnect, end the threads.

        Safe to call twice. The receive interfaces stay connected (they are the caller's).
        """
        with self._lock:
            if self._closed:
                return
            self._closed = True
        self._stop.set()
        if self._thread is not threading.current_thread():
            self._thread.join(timeout=5.0)
        with self._lock:
            cells = list(self._cells.values())
            infos = [self._publish(c.topics.online, OFFLINE, retain=True) for c in cells]
            infos.append(self._publish(self.bridge_topic, OFFLINE, retain=True))
            for cell in [*cells, *self._retired]:
                self._close_stream(cell)
            self._cells.clear()
            self._retired.clear()
        deadline = time.monotonic() + _CLOSE_PUBLISH_S
        for info in infos:
            if info is not None:
                with contextlib.suppress(ValueError, RuntimeError):
                    info.wait_for_publish(max(0.0, deadline - time.monotonic()))
        self._client.disconnect()  # a clean disconnect: the broker does not send the will
        self._client.loop_stop()
        if self._selector is not None:
            self._selector.close()

    def __enter__(self) -> Publisher:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # -- the broker connection (paho's thread) -------------------------------------------------

    def _on_connect(
        self,
        client: Client,
        userdata: Any,
        flags: ConnectFlags,
        reason_code: ReasonCode,
        properties: Properties | None,
    ) -> None:
        if reason_code.is_failure:
            self._problem(f"the broker {self.broker} refused the connection: {reason_code}")
            return
        self._connected = True
        self._connections += 1
        self._last_problem = None
        log.info("connected to the broker %s as bridge %s", self.broker, self.bridge_id)

    def _on_disconnect(
        self,
        client: Client,
        userdata: Any,
        flags: DisconnectFlags,
        reason_code: ReasonCode,
        properties: Properties | None,
    ) -> None:
        was_connected, self._connected = self._connected, False
        if was_connected and not self._stop.is_set():
            self._problem(f"lost the broker {self.broker} ({reason_code}); reconnecting")

    def _on_connect_fail(self, client: Client, userdata: Any) -> None:
        # paho calls this inside its `except OSError`, so the error is at hand.
        error = sys.exception()
        detail = f": {error}" if error is not None else ""
        self._problem(f"cannot reach the broker {self.broker}{detail}; retrying")

    def _problem(self, message: str) -> None:
        if message != self._last_problem:
            self._last_problem = message
            log.warning("%s", message)

    # -- the publisher's thread ---------------------------------------------------------------

    def _run(self) -> None:
        tick = 0
        next_tick = time.monotonic()
        while not self._stop.is_set():
            now = time.monotonic()
            if now < next_tick:
                self._wait(next_tick - now)
                continue
            try:
                self._tick(tick)
            except Exception:  # a fault of ours must not end the publishing silently
                log.exception("publishing failed; going on with the next tick")
            tick += 1
            next_tick += self._tick_s
            now = time.monotonic()
            if next_tick <= now - self._tick_s:
                # Fell behind (a stalled machine): skip the lost ticks instead of a burst.
                missed = math.floor((now - next_tick) / self._tick_s)
                next_tick += missed * self._tick_s
                tick += missed
                with self._lock:
                    self._stats.late_ticks += 1

    def _wait(self, seconds: float) -> None:
        if self._selector is None or not self._selector.get_map():
            self._stop.wait(seconds)
            return
        ready = self._selector.select(seconds)
        if not ready:
            return
        utc_offset = time.time() - time.monotonic()
        with self._lock:
            for key, _ in ready:
                cell: _Cell = key.data  # registered by _watch_stream
                if cell.stream is not None and self._cells.get(cell.name) is cell:
                    self._drain(cell, utc_offset)

    def _tick(self, tick: int) -> None:
        now = time.monotonic()
        utc_offset = time.time() - now
        every, look_every = self._telemetry_every, self._look_every
        with self._lock:
            self._stats.ticks += 1
            for cell in self._retired:
                self._close_stream(cell)
            self._retired.clear()
            connections = self._connections
            resend = connections != self._connections_seen
            self._connections_seen = connections
            self._stats.connections = connections
            if resend:
                self._publish(self.bridge_topic, ONLINE, retain=True, counter="online")
            for cell in self._cells.values():
                turn = tick + cell.turn
                due = bool(every) and turn % every == 0
                if not (due or resend or turn % look_every == 0):
                    continue
                try:
                    self._look(cell, now, utc_offset, due, resend)
                except Exception:
                    if not cell.failing:
                        cell.failing = True
                        log.exception("cell %s: reading its receive interface failed", cell.name)
                    if cell.online is not False:
                        cell.online = False
                        self._publish(cell.topics.online, OFFLINE, retain=True, counter="online")
                else:
                    cell.failing = False

    def _look(
        self, cell: _Cell, now: float, utc_offset: float, telemetry_due: bool, resend: bool
    ) -> None:
        """One tick of one cell: online flag, state, telemetry (in that order, as a subscriber
        wants to learn of them)."""
        rx = cell.rx
        connected = bool(rx.is_connected())
        sample = rx.wait_for_sample(None, 0.0) if cell.has_wait else rx.get_sample()
        if sample is not None and not sample["valid"]:
            sample = None
        fresh = (
            connected and sample is not None and now - sample["timestamp"] <= self.offline_after_s
        )
        if fresh != cell.online:
            if cell.online is not None or fresh:
                why = "samples flow" if fresh else self._offline_reason(connected, sample, now)
                log.info("cell %s %s (%s)", cell.name, "online" if fresh else "offline", why)
            cell.online = fresh
            self._publish(
                cell.topics.online, ONLINE if fresh else OFFLINE, retain=True, counter="online"
            )
        elif resend:
            self._publish(
                cell.topics.online, ONLINE if fresh else OFFLINE, retain=True, counter="online"
            )

        status = rx.get_status()
        if status["valid"] and status["timestamp"] != cell.status_stamp:
            cell.status_stamp = status["timestamp"]
            fields = status["fields"]
            # Status lines mostly repeat themselves: decoded only when the words changed.
            state = cell.state if fields == cell.status_fields else decode_status(status)
            cell.status_fields = fields
            if state != cell.state:
                # A state kept from before equals cell.state, so this one was just decoded.
                assert state is not None
                cell.state = state
                cell.state_payload = state_payload(
                    cell.name, self.bridge_id, state, status["timestamp"] + utc_offset
                )
                self._publish(cell.topics.state, cell.state_payload, retain=True, counter="state")
                resend = False
        if resend and cell.state_payload is not None:
            self._publish(cell.topics.state, cell.state_payload, retain=True, counter="state")

        if self._selector is not None:
            self._watch_stream(cell, connected, utc_offset)
        elif telemetry_due and fresh:
            stamp = sample["timestamp"]
            if stamp != cell.last_sample_stamp:
                cell.last_sample_stamp = stamp
                self._send_telemetry(cell, sample, utc_offset)

    def _offline_reason(self, connected: bool, sample: dict[str, Any] | None, now: float) -> str:
        if not connected:
            return "no telemetry connection"
        if sample is None:
            return "no sample yet"
        return f"no sample for {now - sample['timestamp']:.1f} s"

    def _send_telemetry(self, cell: _Cell, sample: dict[str, Any], utc_offset: float) -> None:
        sequence = sample.get("sequence")
        cell.last_sequence = sequence
        payload = cell.encoder.encode(
            sample["timestamp"] + utc_offset,
            sequence,
            sample["joint_positions"],
            sample["tcp_pose"],
        )
        self._publish(cell.topics.telemetry, payload, qos=0, retain=False, counter="telemetry")

    # -- every-sample mode: the cells' streams -------------------------------------------------

    def _watch_stream(self, cell: _Cell, connected: bool, utc_offset: float) -> None:
        if cell.stream is None and connected:
            # Only called in every-sample mode, which has the selector.
            assert self._selector is not None
            cell.stream = cell.rx.samples(STREAM_QUEUE)
            self._selector.register(cell.stream.fileno(), selectors.EVENT_READ, cell)
        if cell.stream is not None:
            self._drain(cell, utc_offset)

    def _drain(self, cell: _Cell, utc_offset: float) -> None:
        try:
            while (sample := cell.stream.next_nowait()) is not None:
                self._send_telemetry(cell, sample, utc_offset)
        except StopIteration:  # the interface was disconnected: a new stream once it is back
            self._close_stream(cell)

    def _close_stream(self, cell: _Cell) -> None:
        if cell.stream is None:
            return
        stream, cell.stream = cell.stream, None
        if self._selector is not None:
            with contextlib.suppress(KeyError, ValueError):
                self._selector.unregister(stream.fileno())
        stream.close()

    # -- sending ------------------------------------------------------------------------------

    def _publish(
        self,
        topic: str,
        payload: bytes,
        *,
        qos: int = 1,
        retain: bool,
        counter: str | None = None,
    ) -> Any:
        """Hand one message to the client (lock held); None when the broker is away, since
        what is retained is sent again on the next connection and telemetry is not kept."""
        if not self._connected:
            self._stats.skipped_disconnected += 1
            return None
        info = self._client.publish(topic, payload, qos=qos, retain=retain)
        if info.rc not in (0, _NO_CONNECTION):
            self._stats.failed += 1
            return None
        if counter is not None:
            setattr(self._stats, counter, getattr(self._stats, counter) + 1)
        return info


def _no_delay(client: Client, userdata: Any, sock: SocketLike) -> None:
    # paho leaves Nagle's algorithm on: a small telemetry message would then wait for the
    # acknowledgement of the one before, up to the peer's delayed-ACK time (40 ms on Linux).
    # A websocket transport hands over its wrapper, which has no socket options.
    if isinstance(sock, socket.socket):
        with contextlib.suppress(OSError):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


_NO_CONNECTION = 4  # MQTT_ERR_NO_CONN: lost in between; the next connection sends it again
