"""``epson-remote sim --cells`` and ``epson-remote bridge`` as a user runs them: a simulated
plant, its bridge and a subscriber; a cell switched off and on, a broker restart, shards and
the last will, and the command lines refused."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from helpers import WITH_DEFAULT_SIGINT, reaped, wait_until

from epson_remote.fleet import Shard, load_cells

pytestmark = pytest.mark.slow


def start(*args: str) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, *WITH_DEFAULT_SIGINT, "-m", "epson_remote", *args],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=dict(os.environ, PYTHONUNBUFFERED="1", COLUMNS="200"),
    )


def run(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "epson_remote", *args],
        capture_output=True,
        text=True,
        timeout=60,
        env=dict(os.environ, COLUMNS="200"),
    )


def plant(cells_file: Path, count: int = 4) -> subprocess.Popen[str]:
    process = start("sim", "--cells", str(count), "--write-cells", str(cells_file))
    assert wait_until(cells_file.exists, timeout=60), process.stderr
    return process


def type_at(process: subprocess.Popen[str], line: str) -> None:
    assert process.stdin is not None
    process.stdin.write(line + "\n")
    process.stdin.flush()


def ended(process: subprocess.Popen[str], sig: int = signal.SIGTERM) -> tuple[str, str]:
    process.send_signal(sig)
    out, err = process.communicate(timeout=30)
    assert process.returncode == 0, err
    assert "Traceback" not in err
    return out, err


def test_plant_bridge_and_subscriber(tmp_path, broker, subscribe):
    cells_file = tmp_path / "cells.toml"
    with reaped(plant(cells_file)) as sim:
        names = [cell.name for cell in load_cells(cells_file)]
        assert names == ["cell1", "cell2", "cell3", "cell4"]
        live = subscribe(broker.port)
        bridge_args = ["--cells", str(cells_file), "--broker", broker.url, "--id", "b1"]
        with reaped(start("bridge", *bridge_args)) as bridge:
            for name in names:
                live.wait_for(f"epson/{name}/online", b"true", timeout=30)
                live.wait_for(f"epson/{name}/state")
                live.wait_for(f"epson/{name}/telemetry")
            late = subscribe(broker.port)
            for name in names:
                assert late.wait_for(f"epson/{name}/online").retain
                state = late.wait_for(f"epson/{name}/state")
                assert state.retain and json.loads(state.payload)["bridge"] == "b1"
            assert late.wait_for("epson/_bridge/b1/online", b"true").retain

            switched_off = time.time()
            type_at(sim, "stop cell2")
            offline = live.wait_for("epson/cell2/online", b"false", timeout=5)
            assert offline.received - switched_off < 2.0
            assert live.last("epson/cell1/online").payload == b"true"
            live.clear()
            type_at(sim, "start cell2")
            live.wait_for("epson/cell2/online", b"true", timeout=10)

            broker.restart(down_s=1.0)
            restarted = time.monotonic()
            after = subscribe(broker.port)
            for name in names:
                after.wait_for(f"epson/{name}/state", timeout=5)
                after.wait_for(f"epson/{name}/online", b"true", timeout=5)
            assert time.monotonic() - restarted < 5.0

            out, _ = ended(bridge)
            assert "Bridge stopped" in out
        final = subscribe(broker.port)
        for name in names:
            assert final.wait_for(f"epson/{name}/online").payload == b"false"
        assert final.wait_for("epson/_bridge/b1/online").payload == b"false"
        out, _ = ended(sim, signal.SIGINT)
        assert "Plant stopped" in out


def test_shards_split_the_cells_and_a_dead_bridge_leaves_its_will(tmp_path, broker, subscribe):
    cells_file = tmp_path / "cells.toml"
    with reaped(plant(cells_file, count=6)) as sim:
        cells = load_cells(cells_file)
        live = subscribe(broker.port)
        common = ["--cells", str(cells_file), "--broker", broker.url]
        with (
            reaped(start("bridge", *common, "--shard", "0/2", "--id", "s0")) as first,
            reaped(start("bridge", *common, "--shard", "1/2", "--id", "s1")) as second,
        ):
            for cell in cells:
                state = live.wait_for(f"epson/{cell.name}/state", timeout=30)
                owner = "s0" if Shard(0, 2).owns(cell.name) else "s1"
                assert json.loads(state.payload)["bridge"] == owner
            live.wait_for("epson/_bridge/s1/online", b"true")
            second.kill()  # by its PID: no clean goodbye, the broker sends its will
            second.wait()
            live.wait_for("epson/_bridge/s1/online", b"false", timeout=10)
            states = [json.loads(m.payload) for m in live.messages if m.topic.endswith("/state")]
            assert {s["cell"] for s in states} == {cell.name for cell in cells}
            assert len(states) == len(cells)  # each cell served by one bridge only
            ended(first)
        ended(sim)


def test_a_single_simulator_writes_its_one_cell(tmp_path):
    cells_file = tmp_path / "one.toml"
    ports = ["--command-port", "0", "--telemetry-port", "0"]
    with reaped(start("sim", *ports, "--write-cells", str(cells_file))) as sim:
        assert wait_until(cells_file.exists, timeout=60)
        (cell,) = load_cells(cells_file)
        assert cell.name == "cell1" and cell.telemetry_port != cell.command_port
        ended(sim)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--cells", "2", "--telemetry-port", "0"], "leave out the port options"),
        (["--cells", "0"], "a plant has 1..256 cells"),
    ],
)
def test_refused_plants(args, message):
    result = run("sim", *args)
    assert result.returncode == 2, result.stderr
    assert message in result.stderr and "Traceback" not in result.stderr


@pytest.mark.parametrize(
    ("args", "code", "message"),
    [
        ([], 2, "no cells: give a cells file"),
        (["--cell", "a/b=h"], 2, "may not contain '/'"),
        (["--cell", "a=h", "--shard", "2/2"], 2, "expected a shard I/N"),
        (["--cell", "a=h", "--rate", "-1"], 2, "the rate must be 0"),
        (["--cell", "a=h", "--broker", "http://x"], 2, "mqtt://HOST:PORT"),
        (["--cell", "a=h", "--username", "u", "--cert", "c.pem"], 2, "certificate and its key"),
        (["--cells", "missing.toml"], 1, "cannot read the cells file missing.toml"),
    ],
)
def test_refused_bridges(mqtt, args, code, message):
    result = run("bridge", *args)
    assert result.returncode == code, result.stderr
    assert message in result.stderr and "Traceback" not in result.stderr
