"""Caller text never smuggles a request onto the wire, the password never shows, and the
simulator listens on loopback unless told otherwise."""

from __future__ import annotations

import argparse
import socket
from collections.abc import Callable

import helpers
import pytest

from epson_remote import CommandChannel
from epson_remote.cli import sim as sim_cli
from epson_remote.sim import ControllerSimulator, RemoteEthernetServer, TelemetryServer

PASSWORD = "Pw-s3cret-7Qx"
REFUSED = "must not contain quotes or line endings"


def go(**overrides) -> Callable[[object, CommandChannel], None]:
    return lambda sim, ch: helpers.go(ch, **overrides)


def move(**overrides) -> Callable[[object, CommandChannel], None]:
    return lambda sim, ch: helpers.move(ch, **overrides)


def login(password: str) -> Callable[[object, CommandChannel], None]:
    return lambda sim, ch: CommandChannel().connect(sim.host, sim.command_port, password)


# Each text would end the statement or the request early and put the rest on the wire.
QUOTE, CR, LF = 'P1" CP', "P1\r$Logout", "P1\n$Logout"
TEXT_NAMES = {QUOTE: "quote", CR: "CR", LF: "LF"}
# Every path that puts caller text on the wire: the texts of go and move and the Tool point go
# inside `$Execute,"..."`; the password follows `$Login,` unquoted, so only line endings matter.
CALLER_TEXT = [
    ("go destination", go, "destination", f"Go destination {REFUSED}", (QUOTE, CR, LF)),
    ("go search_expression", go, "search", f"search_expression {REFUSED}", (QUOTE, CR, LF)),
    ("go parallel_processing", go, "parallel", f"parallel_processing {REFUSED}", (QUOTE, CR, LF)),
    ("move destination", move, "destination", f"Move destination {REFUSED}", (QUOTE, CR, LF)),
    ("move search_expression", move, "search", f"search_expression {REFUSED}", (QUOTE, CR, LF)),
    (
        "move parallel_processing",
        move,
        "parallel",
        f"parallel_processing {REFUSED}",
        (QUOTE, CR, LF),
    ),
    (
        "tl_set point",
        lambda **text: lambda sim, ch: ch.tl_set(5, text["point"]),
        "point",
        f"TLSet tool_def_point {REFUSED}",
        (QUOTE, CR, LF),
    ),
    (
        "password",
        lambda **text: login(text["password"]),
        "password",
        "Remote Ethernet password must not contain line endings",
        (CR, LF),
    ),
]


@pytest.mark.parametrize(
    ("build", "argument", "message", "text"),
    [
        pytest.param(build, argument, message, text, id=f"{name}-{TEXT_NAMES[text]}")
        for name, build, argument, message, texts in CALLER_TEXT
        for text in texts
    ],
)
def test_caller_text_that_would_end_the_statement_or_request_is_refused_unsent(
    sim, channel, build, argument, message, text
):
    with pytest.raises(ValueError) as error:
        build(**{argument: text})(sim, channel)
    assert str(error.value) == message
    assert sim.requests() == []
    # The session goes on as if nothing had been tried.
    assert channel.get_tool() == 0
    assert sim.requests() == ['$Execute,"Print Tool"']


# Login failures, each with what the session reports on standard error.
LOGIN_FAILURES = [
    ("rejected", {"reply": "!Login,13"}, ""),
    ("error 99", {"reply": "!Login,99,1"}, ""),
    ("unexpected reply", {"reply": "#Execute,0"}, ""),
    ("empty reply", {"raw": b"\r\n"}, ""),
    (
        "closed mid-line",
        {"raw": b"#Log", "close": True, "times": None},
        "Epson Remote Ethernet login attempt 1 failed; retrying in 2 seconds\n"
        "Epson Remote Ethernet login attempt 2 failed; retrying in 2 seconds\n",
    ),
    pytest.param(
        "silent",
        {"silent": True, "times": None},
        "Epson Remote Ethernet login attempt 1 failed; retrying in 2 seconds\n"
        "Epson Remote Ethernet login attempt 2 failed; retrying in 2 seconds\n",
        marks=pytest.mark.slow,
    ),
]


@pytest.mark.parametrize(("name", "script", "stderr"), LOGIN_FAILURES)
def test_password_never_shows_when_the_login_fails(sim, capfd, name, script, stderr):
    sim.script(f"$Login,{PASSWORD}", **script)
    ch = CommandChannel()
    with pytest.raises(RuntimeError) as error:
        ch.connect(sim.host, sim.command_port, PASSWORD)
    captured = capfd.readouterr()
    assert captured.err == stderr
    assert captured.out == ""
    for text in (str(error.value), repr(error.value), captured.out, captured.err):
        assert PASSWORD not in text
    assert not ch.is_connected()


def test_password_never_shows_when_the_session_ends(sim, capfd):
    ch = CommandChannel()
    ch.connect(sim.host, sim.command_port, PASSWORD)
    ch.motor_on()
    sim.script("Motor Off", reply="!Execute,99")
    sim.script("$Logout", close=True)
    ch.disconnect()
    captured = capfd.readouterr()
    assert "Failed to turn off motor: Remote command failed: !Execute,99" in captured.err
    assert "Failed to log out of controller: " in captured.err
    assert PASSWORD not in captured.out + captured.err


class TestSimulatorListensOnLoopback:
    @staticmethod
    def listening_addresses(port: int) -> set[str]:
        """The addresses bound by the listening TCP sockets of this machine on ``port``."""
        found = set()
        for table, family in (("/proc/net/tcp", socket.AF_INET), ("/proc/net/tcp6", None)):
            try:
                with open(table) as rows:
                    next(rows)
                    for row in rows:
                        local, state = row.split()[1], row.split()[3]
                        address, port_hex = local.split(":")
                        if state != "0A" or int(port_hex, 16) != port:
                            continue
                        if family is None:
                            found.add("ipv6:" + address)
                        else:
                            found.add(socket.inet_ntoa(bytes.fromhex(address)[::-1]))
            except FileNotFoundError:
                pass
        return found

    def test_simulator_ports(self, sim):
        assert self.listening_addresses(sim.command_port) == {"127.0.0.1"}
        assert self.listening_addresses(sim.telemetry_port) == {"127.0.0.1"}

    def test_servers_and_command_lines_default_to_loopback(self):
        assert ControllerSimulator().host == "127.0.0.1"
        server = RemoteEthernetServer(object())
        telemetry = TelemetryServer(lambda: None)
        try:
            assert self.listening_addresses(server.port) == {"127.0.0.1"}
            assert self.listening_addresses(telemetry.port) == {"127.0.0.1"}
        finally:
            server.close()
            telemetry.stop()
        parser = argparse.ArgumentParser()  # `epson-remote sim`, `python -m epson_remote.sim`
        sim_cli.configure(parser)
        assert parser.parse_args([]).host == "127.0.0.1"
