"""The telemetry server: line format, pacing, settings and the port's life cycle."""

from __future__ import annotations

import socket
from dataclasses import dataclass

import pytest

from epson_remote.sim import TelemetryServer
from epson_remote.sim.telemetry import SAMPLE_KEYS, STATUS_KEYS

POSE = (412.5, -0.1 + 0.2, 1e-300, -180.0, 123456.78901234567, 5e-324)
JOINTS = (10.5, -35.0, 1 / 3, 0.0, -0.0, 2.0**60)


@dataclass(frozen=True)
class Sample:
    joints: tuple = JOINTS
    pose: tuple = POSE
    stat: int = 0x80000
    syserr: int = 0
    ctrldev: int = 21
    robotinfo: int = 3
    ctrlinfo: int = 0x300


def fields(line: bytes) -> dict[str, str]:
    text = line.decode("ascii").strip("\r\n")
    return dict(field.split("=", 1) for field in text.split(";"))


@pytest.fixture
def telemetry():
    with TelemetryServer(Sample, rate_hz=200.0, status_every=4) as server:
        yield server


def test_samples_read_back_exactly_and_status_follows_every_nth_sample(telemetry, connect):
    client = connect(telemetry.host, telemetry.port)
    lines = [client.line(b"\r") for _ in range(11)]
    kinds = ["S" if line.startswith(b"STAT=") else "X" for line in lines]
    assert kinds == ["X", "S", "X", "X", "X", "X", "S", "X", "X", "X", "X"]
    sample = fields(lines[0])
    assert list(sample) == list(SAMPLE_KEYS)
    assert tuple(float(sample[key]) for key in SAMPLE_KEYS) == POSE + JOINTS
    assert str(sample["J5agl"]) == "-0.0"
    assert fields(lines[1]) == dict(
        zip(STATUS_KEYS, ["524288", "0", "21", "3", "768"], strict=True)
    )


def test_rate_is_kept_within_a_generous_tolerance(telemetry, connect):
    client = connect(telemetry.host, telemetry.port)
    client.line(b"\r")
    data = client.read_for(1.0)
    samples = data.count(b"X=")
    assert 140 <= samples <= 260, samples


@pytest.mark.parametrize("split_lines", [2, 5, 12])
def test_split_samples_start_with_x_and_reassemble(telemetry, connect, split_lines):
    telemetry.configure(split_lines=split_lines, status_every=0)
    client = connect(telemetry.host, telemetry.port)
    lines = [client.line(b"\r") for _ in range(3 * split_lines)]
    start = next(i for i, line in enumerate(lines) if line.startswith(b"X="))
    lines = lines[start : start + 2 * split_lines]
    for cycle in (lines[:split_lines], lines[split_lines:]):
        assert cycle[0].startswith(b"X=")
        merged = {}
        for line in cycle:
            merged.update(fields(line))
        assert list(merged) == list(SAMPLE_KEYS)


def test_crlf_status_only_and_no_status_settings(telemetry, connect):
    telemetry.configure(line_ending="\r\n", status_every=1)
    client = connect(telemetry.host, telemetry.port)
    first, second = client.line(b"\r\n"), client.line(b"\r\n")
    assert first.startswith(b"X=") and second.startswith(b"STAT=")
    assert b"\r" not in first[:-2] and b"\n" not in first[:-2]

    telemetry.configure(status_only=True, line_ending="\r")
    client.read_for(0.1)
    data = client.read_for(0.2)
    assert data and b"X=" not in data and data.count(b"STAT=") == data.count(b"\r")

    telemetry.configure(status_only=False, status_every=0)
    client.read_for(0.1)
    data = client.read_for(0.2)
    assert b"X=" in data and b"STAT=" not in data


def test_paused_stream_keeps_the_connection_and_resumes(telemetry, connect):
    client = connect(telemetry.host, telemetry.port)
    client.line(b"\r")
    telemetry.configure(paused=True)
    client.read_for(0.1)
    assert client.read_for(0.3) == b""
    telemetry.configure(paused=False)
    assert client.line(b"\r").startswith((b"X=", b"STAT="))


def test_clients_are_served_together_and_a_stalled_one_does_not_hold_up_others(telemetry, connect):
    telemetry.configure(rate_hz=2000.0, status_every=0)
    stalled = connect(telemetry.host, telemetry.port, rcvbuf=4096)
    reader = connect(telemetry.host, telemetry.port)
    reader.line(b"\r")
    # Small kernel buffers on the server side too, so that the stalled client fills them at once.
    for client in telemetry._clients:
        client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
    received = reader.read_for(1.0).count(b"\r")
    assert received >= 600  # about 2000; a writer held up by the stalled client sends ~70
    # What the stalled client finally reads is whole lines: cycles were skipped, not cut.
    lines = stalled.read_for(0.5).split(b"\r")[:-1]
    assert lines and all(list(fields(line)) == list(SAMPLE_KEYS) for line in lines)


def test_drop_stop_and_start_on_the_same_port(telemetry, connect):
    port = telemetry.port
    first = connect(telemetry.host, port)
    first.line(b"\r")
    assert telemetry.drop_clients() == 1
    assert first.closed_by_peer()

    second = connect(telemetry.host, port)
    second.line(b"\r")
    telemetry.stop()
    assert second.closed_by_peer()
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection((telemetry.host, port), timeout=5).close()

    telemetry.start()
    assert telemetry.port == port
    assert connect(telemetry.host, port).line(b"\r").startswith(b"X=")


@pytest.mark.parametrize(
    "setting",
    [{"rate_hz": 0}, {"line_ending": "\n"}, {"split_lines": 0}, {"status_every": -1}],
)
def test_invalid_settings_are_refused_and_change_nothing(telemetry, setting):
    before = telemetry.config
    with pytest.raises(ValueError):
        telemetry.configure(**setting)
    assert telemetry.config == before
