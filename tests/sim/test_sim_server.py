"""The simulator's Remote Ethernet server and its script, driven with plain sockets."""

from __future__ import annotations

import threading
import time

import pytest

from epson_remote.sim import RemoteEthernetServer


class FakeController:
    """Prints its argument back, holds `Go` until released, and fails on `Crash`."""

    def __init__(self) -> None:
        self.motion_started = threading.Event()
        self.release_motion = threading.Event()
        self.motion_done = threading.Event()

    def execute(self, statement: str) -> str:
        if statement.startswith("Print "):
            return f'#Execute," {statement[6:]}"'
        if statement == "Go":
            self.motion_started.set()
            self.release_motion.wait(10)
            self.motion_done.set()
            return "#Execute,0"
        if statement == "Crash":
            raise RuntimeError("fault in the model")
        return "#Execute,0"

    def pause(self) -> str:
        running = self.motion_started.is_set() and not self.motion_done.is_set()
        return "#Pause,0" if running else "!Pause,20"

    def resume(self) -> str:
        return "#Continue,0"


@pytest.fixture
def model():
    model = FakeController()
    yield model
    model.release_motion.set()


@pytest.fixture
def server(model):
    with RemoteEthernetServer(model, port=0) as server:
        yield server


@pytest.fixture
def client(server, connect):
    client = connect(server.host, server.port)
    assert client.ask("$Login,") == b"#Login,0\r\n"
    return client


# -- protocol -------------------------------------------------------------------------------------


def test_requests_before_login_are_refused_and_malformed_lines_get_protocol_errors(server, connect):
    client = connect(server.host, server.port)
    assert client.ask('$Execute,"Print 1"') == b"!Execute,11\r\n"
    assert client.ask("$Pause") == b"!Pause,11\r\n"
    assert client.ask("Print 1") == b"!,10\r\n"
    client.send(b"$Login,anything\n")  # bare LF accepted; no password configured: any login
    assert client.line() == b"#Login,0\r\n"
    assert client.ask("$Frobnicate,1") == b"!Frobnicate,11\r\n"
    assert client.ask("$Execute,Print 1") == b"!Execute,12\r\n"
    assert client.ask('$Execute,"Print ' + "x" * 4100 + '"') == b"!Execute,15\r\n"
    assert client.ask('$Execute,"Print 1 "2""') == b'#Execute," 1 "2""\r\n'
    assert client.ask("$Logout") == b"#Logout,0\r\n"
    assert client.ask('$Execute,"Print 1"') == b"!Execute,11\r\n"


def test_configured_password_must_match_exactly(model, connect):
    with RemoteEthernetServer(model, password="sec,ret") as server:
        client = connect(server.host, server.port)
        assert client.ask("$Login,") == b"!Login,13\r\n"
        assert client.ask("$Login,sec") == b"!Login,13\r\n"
        assert client.ask('$Execute,"Print 1"') == b"!Execute,11\r\n"
        assert client.ask("$Login,sec,ret") == b"#Login,0\r\n"
        assert client.ask('$Execute,"Print 1"') == b'#Execute," 1"\r\n'


def test_pause_is_answered_while_a_motion_runs_and_the_motion_answers_when_done(
    server, client, model
):
    client.request('$Execute,"Go"')
    assert model.motion_started.wait(5)
    assert client.ask("$Pause") == b"#Pause,0\r\n"
    assert client.ask('$Execute,"Print 7"') == b'#Execute," 7"\r\n'
    model.release_motion.set()
    assert client.line() == b"#Execute,0\r\n"


def test_a_fault_in_the_model_answers_error_99_and_the_session_goes_on(client, capsys):
    assert client.ask('$Execute,"Crash"') == b"!Execute,99\r\n"
    assert client.ask('$Execute,"Print 1"') == b'#Execute," 1"\r\n'
    assert "fault in the model" in capsys.readouterr().err


def test_requests_and_statements_are_recorded_in_order(server, client):
    client.ask('$Execute,"Print 1"')
    client.ask("$Pause")
    client.send(b'$Execute,"Print \xff"\r\n')
    client.line()
    assert server.requests() == [
        "$Login,",
        '$Execute,"Print 1"',
        "$Pause",
        '$Execute,"Print \udcff"',
    ]
    assert server.statements() == ["Print 1", "Print \udcff"]
    assert server.wait_for_request("$Pause") == "$Pause"
    with pytest.raises(TimeoutError, match="Print 2"):
        server.wait_for_request("Print 2", timeout=0.05)
    server.clear_requests()
    assert server.requests() == [] and server.statements() == []


def test_wait_for_request_wakes_up_when_the_request_arrives(server, client):
    found = []
    waiter = threading.Thread(
        target=lambda: found.append(server.wait_for_request("Print 2", count=2))
    )
    waiter.start()
    client.ask('$Execute,"Print 2"')
    client.ask('$Execute,"Print 2"')
    waiter.join(5)
    assert found == ['$Execute,"Print 2"']


# -- one client at a time -------------------------------------------------------------------------


def test_next_client_is_served_only_after_the_current_one_left(server, client, connect):
    second = connect(server.host, server.port)  # waits in the listen backlog
    second.request("$Login,")
    with pytest.raises(TimeoutError):
        second.line(timeout=0.3)
    assert client.ask('$Execute,"Print 1"') == b'#Execute," 1"\r\n'
    client.close()
    assert second.line() == b"#Login,0\r\n"


def test_motion_outlives_its_client_but_its_reply_is_discarded(server, client, connect, model):
    client.request('$Execute,"Go"')
    assert model.motion_started.wait(5)
    client.close()
    second = connect(server.host, server.port)
    assert second.ask("$Login,") == b"#Login,0\r\n"
    model.release_motion.set()
    assert model.motion_done.wait(5)
    assert second.ask('$Execute,"Print 3"') == b'#Execute," 3"\r\n'


def test_push_and_drop_client(server, client):
    assert server.push(b"#Foreign,1\r\n")
    assert client.line() == b"#Foreign,1\r\n"
    assert server.drop_client()
    assert client.closed_by_peer()
    deadline = time.monotonic() + 5
    while server.has_client() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not server.push(b"x") and not server.drop_client()


# -- script ---------------------------------------------------------------------------------------


def test_script_matches_whole_lines_or_statements_in_order_with_counted_uses(server, client):
    server.script("Print 1", reply='#Execute," first"')
    server.script('$Execute,"Print 1"', reply='#Execute," second"', times=2)
    server.script("Print 2", reply='#Execute," always"', times=None)
    server.script("$Pause", reply="#Pause,0")
    server.script("Print 9", reply="never used")
    server.script("Print 8", reply="never used either", times=None)
    answers = [client.ask('$Execute,"Print 1"') for _ in range(4)]
    assert answers == [
        b'#Execute," first"\r\n',
        b'#Execute," second"\r\n',
        b'#Execute," second"\r\n',
        b'#Execute," 1"\r\n',  # script used up: the controller answers
    ]
    assert [client.ask('$Execute,"Print 2"') for _ in range(3)] == [b'#Execute," always"\r\n'] * 3
    assert client.ask("$Pause") == b"#Pause,0\r\n"
    unused = server.unused_scripts()
    assert len(unused) == 2
    assert "'Print 9'" in unused[0] and "never used" in unused[0]
    assert "'Print 8'" in unused[1] and "unlimited" in unused[1]


def test_script_raw_bytes_go_out_verbatim(server, client):
    raw = b'#Execute," a\r\nb"\n\x00\xff#Exec'
    server.script("Print 1", raw=raw)
    client.request('$Execute,"Print 1"')
    assert client.read_for(0.3) == raw


def test_scripted_login_reply_sets_the_login_state(server, connect):
    server.script("$Login,", reply="!Login,13")
    server.script("$Login,", raw=b"#Login,0\n")
    client = connect(server.host, server.port)
    exchanges = [
        ("$Login,", b"!Login,13\r\n"),
        ('$Execute,"Print 1"', b"!Execute,11\r\n"),  # not logged in
        ("$Login,", b"#Login,0\n"),
        ('$Execute,"Print 1"', b'#Execute," 1"\r\n'),
    ]
    assert [(line, client.ask(line)) for line, _ in exchanges] == exchanges


def test_delayed_reply_is_overtaken_by_later_replies(server, client):
    server.script("Print 1", reply='#Execute," late"', delay=0.4)
    server.script("$Pause", passthrough_delay=0.2)
    client.request('$Execute,"Print 1"')
    client.request("$Pause")
    client.request('$Execute,"Print 2"')
    start = time.monotonic()
    assert client.line() == b'#Execute," 2"\r\n'
    assert client.line() == b"!Pause,20\r\n"  # from the controller, after the pass-through delay
    assert client.line() == b'#Execute," late"\r\n'
    assert time.monotonic() - start >= 0.35


def test_silent_entry_never_answers_but_the_session_goes_on(server, client):
    server.script("Print 1", silent=True)
    client.request('$Execute,"Print 1"')
    assert client.ask('$Execute,"Print 2"') == b'#Execute," 2"\r\n'
    assert client.read_for(0.2) == b""


@pytest.mark.parametrize(
    ("action", "received"),
    [
        ({"close": True}, b""),
        ({"reply": "#Execute,0", "close": True}, b"#Execute,0\r\n"),
        ({"raw": b"#Exe", "close": True, "delay": 0.2}, b'#Execute," 2"\r\n#Exe'),
    ],
)
def test_close_ends_the_connection_after_what_was_given(server, client, connect, action, received):
    server.script("Print 1", **action)
    client.request('$Execute,"Print 1"')
    client.request('$Execute,"Print 2"')
    data = client.read_for(5)  # ends at the end of the stream
    assert data == received
    second = connect(server.host, server.port)
    assert second.ask("$Login,") == b"#Login,0\r\n"


@pytest.mark.parametrize(
    "entry",
    [
        {},
        {"reply": "x", "raw": b"x"},
        {"reply": "x", "silent": True},
        {"reply": "x", "passthrough_delay": 1},
        {"reply": "x", "times": 0},
        {"reply": "x", "delay": -1},
    ],
)
def test_contradictory_script_entries_are_refused(server, entry):
    with pytest.raises(ValueError):
        server.script("Print 1", **entry)
    assert server.unused_scripts() == []
