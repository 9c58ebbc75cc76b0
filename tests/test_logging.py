"""The library's log lines: one sink for the three native modules, the standard streams by default,
Python logging with log_to(), in order and at their levels."""

from __future__ import annotations

import logging
import threading

import pytest

import epson_remote
from epson_remote import CommandChannel, RobotCell


class Collect(logging.Handler):
    def __init__(self) -> None:
        super().__init__()
        self.records: list[tuple[int, str]] = []

    def emit(self, record: logging.LogRecord) -> None:  # called under the handler's own lock
        self.records.append((record.levelno, record.getMessage()))


@pytest.fixture
def collected():
    logger = logging.getLogger("epson_remote.test")
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    handler = Collect()
    logger.addHandler(handler)
    epson_remote.log_to(logger)
    try:
        yield handler
    finally:
        epson_remote.log_to(None)  # also waits until every queued line was handed over
        logger.removeHandler(handler)


def test_lines_of_every_module_in_order_and_nothing_on_the_streams(sim, collected, capfd):
    channel = CommandChannel()
    channel.connect(sim.host, sim.command_port)
    channel.disconnect()
    cell = RobotCell(sim.host, sim.command_port, sim.telemetry_port, password="")
    cell.disconnect()
    with pytest.raises(epson_remote.ConnectionLost):
        CommandChannel().connect("no-such-host.invalid", 5000)
    epson_remote.log_to(None)
    where = f"{sim.host}:{sim.command_port}"
    assert collected.records == [
        (logging.INFO, f"Connected to {where}"),
        (logging.INFO, f"Disconnected from {where}"),
        (logging.INFO, f"Connected to {where}"),  # the cell's own copy of the session code
        (logging.INFO, f"Disconnected from {where}"),
        (logging.ERROR, collected.records[-1][1]),
    ]
    assert collected.records[-1][1].startswith("Failed to resolve no-such-host.invalid:5000")
    assert capfd.readouterr() == ("", "")


def test_a_failure_reported_and_swallowed_is_a_warning(sim, collected):
    channel = CommandChannel()
    channel.connect(sim.host, sim.command_port)
    sim.script("$Logout", reply="!Logout,99")
    channel.disconnect()
    epson_remote.log_to(None)
    warnings = [text for level, text in collected.records if level == logging.WARNING]
    assert warnings == [
        "Failed to log out of controller: Remote command failed: !Logout,99 (Epson Remote "
        "Ethernet error 99: system error or communication error; no motion error code was "
        "returned) (command: $Logout)"
    ]


def test_lines_logged_on_other_threads_all_arrive(sim, collected):
    def session() -> None:
        channel = CommandChannel()
        channel.connect(sim.host, sim.command_port)
        channel.disconnect()

    for _ in range(5):  # one after another: the simulator serves one client at a time
        worker = threading.Thread(target=session)
        worker.start()
        worker.join()
    epson_remote.log_to(None)
    texts = [text for _, text in collected.records]
    assert len(texts) == 10
    assert texts[::2] == [texts[0]] * 5 and texts[0].startswith("Connected to")


def test_the_default_writes_the_standard_streams_again(sim, capfd):
    epson_remote.log_to(logging.getLogger("epson_remote.test.off"))
    epson_remote.log_to(None)
    channel = CommandChannel()
    channel.connect(sim.host, sim.command_port)
    channel.disconnect()
    out = capfd.readouterr().out
    assert out == (
        f"Connected to {sim.host}:{sim.command_port}\n"
        f"Disconnected from {sim.host}:{sim.command_port}\n"
    )


def test_only_a_logger_or_none(sim):
    with pytest.raises(TypeError):
        epson_remote.log_to("epson")  # type: ignore[arg-type]
