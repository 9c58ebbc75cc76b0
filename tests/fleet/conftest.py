"""A real mosquitto per test on a free loopback port, and a subscriber that keeps what it got.

The tests skip, saying why, where Debian's mosquitto or paho-mqtt (the mqtt extra) is missing;
the test set-up installs both.
"""

from __future__ import annotations

import os
import pwd
import shutil
import socket
import subprocess
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest
from helpers import HOST, free_port, wait_until

SBIN = ("/usr/sbin", "/usr/local/sbin")


def find_program(name: str) -> str | None:
    """``name`` on the PATH or in an sbin directory (where Debian puts mosquitto)."""
    return shutil.which(name) or shutil.which(name, path=os.pathsep.join(SBIN))


MOSQUITTO = find_program("mosquitto")
MOSQUITTO_PASSWD = find_program("mosquitto_passwd")
OPENSSL = shutil.which("openssl")


class Broker:
    """mosquitto on 127.0.0.1 with a configuration written into ``directory``; ended by its PID.

    ``users`` ({name: password}) turns anonymous access off. ``tls`` adds a TLS listener
    (``tls_port``) with a certificate for 127.0.0.1 signed by a CA made for the test
    (``ca_file``); with ``users`` both listeners ask for a password.
    """

    def __init__(
        self, directory: Path, *, users: dict[str, str] | None = None, tls: bool = False
    ) -> None:
        self.directory = directory
        self.port = free_port()
        self.tls_port = free_port() if tls else None
        self.ca_file: Path | None = None
        self.log = directory / "mosquitto.log"
        lines = ["per_listener_settings false", f"listener {self.port} {HOST}"]
        if tls:
            self.ca_file = make_certificates(directory)
            lines += [
                f"listener {self.tls_port} {HOST}",
                f"cafile {self.ca_file}",
                f"certfile {directory / 'server.pem'}",
                f"keyfile {directory / 'server.key'}",
            ]
        if users:
            password_file = directory / "passwords"
            for number, (name, password) in enumerate(users.items()):
                create = ["-c"] if number == 0 else []
                subprocess.run(
                    [MOSQUITTO_PASSWD, *create, "-b", str(password_file), name, password],
                    check=True,
                    capture_output=True,
                )
            lines += ["allow_anonymous false", f"password_file {password_file}"]
        else:
            lines.append("allow_anonymous true")
        if os.getuid() == 0:  # mosquitto started by root drops to its own user, which cannot
            lines.append(f"user {pwd.getpwuid(0).pw_name}")  # read the test's files
        self.config = directory / "mosquitto.conf"
        self.config.write_text("\n".join(lines) + "\n")
        self.process: subprocess.Popen[bytes] | None = None
        self.start()

    @property
    def url(self) -> str:
        return f"mqtt://{HOST}:{self.port}"

    def start(self) -> None:
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(
                [MOSQUITTO, "-c", str(self.config)], stdout=log, stderr=subprocess.STDOUT
            )
        ports = [self.port] + ([self.tls_port] if self.tls_port else [])
        if not wait_until(lambda: all(_listening(port) for port in ports), timeout=10.0):
            self.stop()
            raise RuntimeError(f"mosquitto did not start: {self.log.read_text()[-2000:]}")

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()  # by its PID: our own child
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def restart(self, down_s: float = 0.5) -> None:
        """Stop, stay away ``down_s`` seconds, start on the same ports with nothing retained."""
        self.stop()
        time.sleep(down_s)
        self.start()


def _listening(port: int) -> bool:
    with socket.socket() as probe:
        probe.settimeout(0.5)
        return probe.connect_ex((HOST, port)) == 0


def make_certificates(directory: Path) -> Path:
    """A CA and a server certificate for 127.0.0.1 signed by it (EC keys: quick to make)."""
    if OPENSSL is None:
        pytest.skip("openssl is not installed: no certificate for the TLS broker")
    curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]

    def openssl(*args: str) -> None:
        subprocess.run([OPENSSL, *args], check=True, capture_output=True, cwd=directory)

    openssl("req", "-x509", *curve, "-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=test CA")
    openssl("req", *curve, "-keyout", "server.key", "-out", "server.csr", "-subj", f"/CN={HOST}")
    (directory / "server.ext").write_text(f"subjectAltName=IP:{HOST}\n")
    openssl(
        "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext",
    )  # fmt: skip
    return directory / "ca.pem"


@pytest.fixture
def mqtt():
    """paho's client module, or the test skips."""
    return pytest.importorskip("paho.mqtt.client", reason="paho-mqtt (the mqtt extra) is missing")


@pytest.fixture
def make_broker(tmp_path: Path, mqtt) -> Iterator[Callable[..., Broker]]:
    if MOSQUITTO is None:
        pytest.skip("mosquitto is not installed (Debian package mosquitto)")
    brokers: list[Broker] = []

    def make(**options) -> Broker:
        directory = tmp_path / f"broker{len(brokers)}"
        directory.mkdir()
        brokers.append(Broker(directory, **options))
        return brokers[-1]

    yield make
    for broker in brokers:
        broker.stop()


@pytest.fixture
def broker(make_broker) -> Broker:
    return make_broker()


@dataclass(frozen=True)
class Message:
    topic: str
    payload: bytes
    retain: bool
    qos: int
    received: float  # time.time() at arrival


class Subscriber:
    """A paho client subscribed to ``topics`` (QoS 1) that keeps every message it gets."""

    def __init__(self, mqtt, port: int, topics: tuple[str, ...] = ("epson/#",)) -> None:
        self.messages: list[Message] = []
        self._lock = threading.Lock()
        self._subscribed = threading.Event()
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
        self.client.on_message = self._on_message
        self.client.on_connect = lambda c, u, f, rc, p: c.subscribe([(t, 1) for t in topics])
        self.client.on_subscribe = lambda *args: self._subscribed.set()
        self.client.reconnect_delay_set(0.1, 0.5)
        self.client.connect(HOST, port)
        self.client.loop_start()
        assert self._subscribed.wait(10), "the subscriber did not subscribe"

    def _on_message(self, client, userdata, message) -> None:
        with self._lock:
            self.messages.append(
                Message(message.topic, message.payload, message.retain, message.qos, time.time())
            )

    def on(self, topic: str) -> list[Message]:
        with self._lock:
            return [m for m in self.messages if m.topic == topic]

    def last(self, topic: str) -> Message | None:
        found = self.on(topic)
        return found[-1] if found else None

    def wait_for(self, topic: str, payload: bytes | None = None, timeout: float = 10.0) -> Message:
        """The first message on ``topic`` (with ``payload``) among those kept, waiting for it."""

        def found() -> Message | None:
            return next(
                (m for m in self.on(topic) if payload is None or m.payload == payload), None
            )

        assert wait_until(lambda: found() is not None, timeout), (
            f"no {payload!r} on {topic}; got {[(m.topic, m.payload[:80]) for m in self.messages]}"
        )
        message = found()
        assert message is not None
        return message

    def clear(self) -> None:
        with self._lock:
            self.messages.clear()

    def close(self) -> None:
        self.client.disconnect()
        self.client.loop_stop()


@pytest.fixture
def subscribe(mqtt) -> Iterator[Callable[..., Subscriber]]:
    made: list[Subscriber] = []

    def make(port: int, *topics: str) -> Subscriber:
        made.append(Subscriber(mqtt, port, topics or ("epson/#",)))
        return made[-1]

    yield make
    for subscriber in made:
        subscriber.close()
