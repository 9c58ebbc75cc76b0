"""``Publisher`` against a real mosquitto and the simulator: the topics, their payloads and
retained flags, a cell that drops and comes back, a broker that restarts, TLS and passwords."""

from __future__ import annotations

import json
import math
import time
from collections.abc import Callable, Iterator

import pytest
from helpers import wait_until

from epson_remote import EthernetReceiveInterface, RobotCell
from epson_remote.fleet import BrokerConfig, Publisher

pytestmark = pytest.mark.slow

STATE_KEYS = {
    "cell",
    "bridge",
    "timestamp",
    "emergency_stopped",
    "safeguard_open",
    "teach_mode",
    "error_code",
    "motors_on",
    "power_high",
}
TELEMETRY_KEYS = {"cell", "bridge", "timestamp", "sequence", "joints", "pose"}


@pytest.fixture
def telemetry(sim) -> Iterator[EthernetReceiveInterface]:
    rx = EthernetReceiveInterface()
    rx.connect(sim.host, sim.telemetry_port)
    yield rx
    rx.disconnect()


@pytest.fixture
def publish() -> Iterator[Callable[..., Publisher]]:
    made: list[Publisher] = []

    def make(broker, **options) -> Publisher:
        options.setdefault("bridge_id", "test-bridge")
        made.append(Publisher(broker, **options))
        return made[-1]

    yield make
    for publisher in made:
        publisher.close()


def document(message) -> dict:
    return json.loads(message.payload)


class TestTopics:
    def test_topics_payloads_and_retained_flags(self, broker, subscribe, publish, telemetry):
        publisher = publish(broker.url)
        publisher.add("cell1", telemetry)
        live = subscribe(broker.port)
        live.wait_for("epson/cell1/state")
        live.wait_for("epson/cell1/telemetry")

        late = subscribe(broker.port)  # sees what the broker retained
        online = late.wait_for("epson/cell1/online")
        assert (online.payload, online.retain, online.qos) == (b"true", True, 1)
        bridge = late.wait_for("epson/_bridge/test-bridge/online")
        assert (bridge.payload, bridge.retain) == (b"true", True)
        state = late.wait_for("epson/cell1/state")
        assert state.retain and state.qos == 1
        assert set(document(state)) == STATE_KEYS
        assert document(state)["cell"] == "cell1" and document(state)["bridge"] == "test-bridge"
        assert document(state)["emergency_stopped"] is False
        assert abs(document(state)["timestamp"] - time.time()) < 30  # UTC seconds
        sample = late.wait_for("epson/cell1/telemetry")
        assert not sample.retain and sample.qos == 0
        assert set(document(sample)) == TELEMETRY_KEYS
        assert len(document(sample)["joints"]) == 6 and len(document(sample)["pose"]) == 6
        assert isinstance(document(sample)["sequence"], int)
        assert abs(document(sample)["timestamp"] - sample.received) < 1.0
        assert not [m for m in late.messages if m.topic.endswith("/telemetry") and m.retain]

    def test_state_is_published_on_change_only(self, broker, subscribe, publish, telemetry, sim):
        live = subscribe(broker.port, "epson/+/state")
        publish(broker.url).add("cell1", telemetry)
        live.wait_for("epson/cell1/state")
        time.sleep(0.5)  # five status lines come, all alike
        assert len(live.on("epson/cell1/state")) == 1
        sim.emergency_stop()
        assert wait_until(lambda: len(live.on("epson/cell1/state")) == 2)
        stopped = document(live.last("epson/cell1/state"))
        assert stopped["emergency_stopped"] is True and stopped["error_code"] != 0
        time.sleep(0.5)
        assert len(live.on("epson/cell1/state")) == 2

    def test_telemetry_rate_is_a_ceiling_with_fresh_samples(
        self, broker, subscribe, publish, telemetry
    ):
        live = subscribe(broker.port, "epson/+/telemetry")
        publish(broker.url, rate_hz=5).add("cell1", telemetry)
        live.wait_for("epson/cell1/telemetry")
        time.sleep(2.0)
        sequences = [document(m)["sequence"] for m in live.on("epson/cell1/telemetry")]
        assert 8 <= len(sequences) <= 13  # 5/s over 2 s and a bit
        assert sequences == sorted(set(sequences))  # each a newer sample than the one before

    def test_rate_zero_publishes_every_sample(self, broker, subscribe, publish, telemetry, sim):
        sim.configure_telemetry(rate_hz=100)
        live = subscribe(broker.port, "epson/+/telemetry")
        publish(broker.url, rate_hz=0).add("cell1", telemetry)
        live.wait_for("epson/cell1/telemetry")
        time.sleep(1.0)
        sequences = [document(m)["sequence"] for m in live.on("epson/cell1/telemetry")]
        assert len(sequences) >= 60
        assert sequences == list(range(sequences[0], sequences[0] + len(sequences)))

    def test_prefix_and_names_are_the_callers(self, broker, subscribe, publish, telemetry):
        live = subscribe(broker.port, "plant7/#")
        publisher = publish(broker.url, prefix="plant7", bridge_id="line-3")
        publisher.add("Zelle-Ä1", telemetry)
        assert document(live.wait_for("plant7/Zelle-Ä1/state"))["bridge"] == "line-3"
        live.wait_for("plant7/_bridge/line-3/online", b"true")
        with pytest.raises(ValueError, match="published already"):
            publisher.add("Zelle-Ä1", telemetry)
        with pytest.raises(ValueError, match="may not contain '/'"):
            publisher.add("a/b", telemetry)


class TestCellsComingAndGoing:
    def test_a_cell_that_drops_is_offline_within_2_s_and_comes_back(
        self, broker, subscribe, publish, telemetry, sim
    ):
        live = subscribe(broker.port, "epson/+/online")
        publish(broker.url).add("cell1", telemetry)
        live.wait_for("epson/cell1/online", b"true")
        stopped = time.time()
        sim.stop_telemetry()
        offline = live.wait_for("epson/cell1/online", b"false", timeout=5)
        assert offline.received - stopped < 2.0
        live.clear()
        sim.start_telemetry()
        live.wait_for("epson/cell1/online", b"true", timeout=5)

    def test_a_stream_that_stops_with_the_connection_open_is_offline_after_1_s(
        self, broker, subscribe, publish, telemetry, sim
    ):
        live = subscribe(broker.port, "epson/+/online")
        publish(broker.url).add("cell1", telemetry)
        live.wait_for("epson/cell1/online", b"true")
        paused = time.time()
        sim.configure_telemetry(paused=True)
        offline = live.wait_for("epson/cell1/online", b"false", timeout=5)
        assert 0.9 < offline.received - paused < 2.0
        assert telemetry.is_connected()
        live.clear()
        sim.configure_telemetry(paused=False)
        live.wait_for("epson/cell1/online", b"true", timeout=5)

    def test_remove_and_close_leave_offline_flags(self, broker, subscribe, publish, telemetry):
        publisher = publish(broker.url)
        publisher.add("cell1", telemetry)
        publisher.add("cell2", telemetry)
        live = subscribe(broker.port, "epson/+/online", "epson/_bridge/+/online")
        live.wait_for("epson/cell2/online", b"true")
        publisher.remove("cell1")
        live.wait_for("epson/cell1/online", b"false")
        assert publisher.cells == ["cell2"]
        publisher.close()
        publisher.close()
        late = subscribe(broker.port, "epson/#")
        assert late.wait_for("epson/cell2/online").payload == b"false"
        assert late.wait_for("epson/_bridge/test-bridge/online").payload == b"false"


class TestEmbedded:
    def test_a_host_programs_robot_cell_keeps_its_session(self, broker, subscribe, publish, sim):
        cell = RobotCell(sim.host, sim.command_port, sim.telemetry_port)
        try:
            live = subscribe(broker.port)
            publish(broker.url).add("cell1", cell)
            live.wait_for("epson/cell1/telemetry")
            control = cell.get_control_interface()
            assert control.is_connected() and control.get_state()  # still the host's session
        finally:
            cell.disconnect()
        live.wait_for("epson/cell1/online", b"false")  # the host closed its cell

    def test_a_failing_interface_is_offline_and_the_others_go_on(
        self, broker, subscribe, publish, telemetry, caplog
    ):
        class Broken:
            def is_connected(self) -> bool:
                return True

            def get_sample(self) -> dict:
                raise RuntimeError("the reader broke")

            def get_status(self) -> dict:
                return {"fields": {}, "timestamp": 0.0, "valid": False}

        live = subscribe(broker.port)
        publisher = publish(broker.url)
        publisher.add("broken", Broken())
        publisher.add("cell1", telemetry)
        live.wait_for("epson/broken/online", b"false")
        live.wait_for("epson/cell1/telemetry")
        time.sleep(0.2)
        assert caplog.text.count("reading its receive interface failed") == 1
        with pytest.raises(TypeError, match="needs get_sample"):
            publisher.add("other", object())


class TestBroker:
    def test_a_restarted_broker_gets_the_retained_topics_back(
        self, broker, subscribe, publish, telemetry, sim
    ):
        publisher = publish(broker.url, bridge_id="survivor")
        publisher.add("cell1", telemetry)
        sim.emergency_stop()
        assert wait_until(lambda: publisher.stats().state >= 1 and publisher.online("cell1"))
        broker.restart(down_s=1.5)  # nothing persisted: the retained messages are gone
        restarted = time.monotonic()
        live = subscribe(broker.port)
        live.wait_for("epson/cell1/state", timeout=5)
        live.wait_for("epson/cell1/online", b"true", timeout=5)
        live.wait_for("epson/_bridge/survivor/online", b"true", timeout=5)
        assert time.monotonic() - restarted < 5.0
        assert publisher.stats().connections == 2
        late = subscribe(broker.port)
        state = late.wait_for("epson/cell1/state")
        assert state.retain and document(state)["emergency_stopped"] is True
        assert late.wait_for("epson/cell1/online").retain

    def test_a_broker_that_is_not_there_yet_is_waited_for(
        self, broker, subscribe, publish, telemetry
    ):
        broker.stop()
        publisher = publish(broker.url)
        publisher.add("cell1", telemetry)
        time.sleep(1.0)
        assert not publisher.connected
        broker.start()
        late = subscribe(broker.port)
        late.wait_for("epson/cell1/online", b"true", timeout=5)

    def test_tls_with_a_password(self, make_broker, subscribe, publish, telemetry):
        secured = make_broker(users={"line3": "s3cret", "viewer": "look"}, tls=True)
        config = BrokerConfig.from_url(
            f"mqtts://127.0.0.1:{secured.tls_port}",
            username="line3",
            password="s3cret",
            ca_file=str(secured.ca_file),
        )
        assert "s3cret" not in str(config)
        publisher = publish(config)
        publisher.add("cell1", telemetry)
        assert wait_until(lambda: publisher.connected, timeout=10)
        assert wait_until(lambda: publisher.stats().telemetry > 0)

    def test_a_wrong_password_is_refused_and_said(self, make_broker, publish, telemetry, caplog):
        secured = make_broker(users={"line3": "s3cret"})
        publisher = publish(secured.url, username="line3", password="wrong")
        publisher.add("cell1", telemetry)
        assert wait_until(lambda: "refused the connection" in caplog.text, timeout=10)
        assert not publisher.connected and "wrong" not in caplog.text

    def test_an_untrusted_certificate_is_not_accepted(
        self, make_broker, publish, telemetry, caplog, tmp_path
    ):
        secured = make_broker(tls=True)
        publisher = publish(f"mqtts://127.0.0.1:{secured.tls_port}")  # the system's CAs only
        publisher.add("cell1", telemetry)
        assert wait_until(lambda: "CERTIFICATE_VERIFY_FAILED" in caplog.text, timeout=10)
        assert not publisher.connected


class TestTelemetryPayload:
    def test_reads_back_exactly_as_the_documented_object(self):
        from epson_remote.fleet.payloads import TelemetryEncoder

        encoder = TelemetryEncoder('press "A"', "b-0of1")
        joints = [0.1, -2.5e-7, 1e22, 0.0, -0.0, 123.456]
        pose = [480.0, 0.0, 660.0, 180.0, 0.0, -180.0]
        assert json.loads(encoder.encode(1765000000.123456, 42, joints, pose)) == {
            "cell": 'press "A"',
            "bridge": "b-0of1",
            "timestamp": 1765000000.123456,
            "sequence": 42,
            "joints": joints,
            "pose": pose,
        }

    def test_numbers_kept_from_the_last_message_follow_a_change(self):
        from epson_remote.fleet.payloads import TelemetryEncoder

        encoder = TelemetryEncoder("c", "b")
        joints = [1.0] * 6
        encoder.encode(1.0, 1, joints, joints)
        joints[0] = 2.0  # the caller's list changed in place
        again = json.loads(encoder.encode(2.0, 2, joints, [3.0] * 6))
        assert again["joints"][0] == 2.0 and again["pose"] == [3.0] * 6

    def test_non_finite_numbers_are_null_not_invalid_json(self):
        from epson_remote.fleet.payloads import TelemetryEncoder

        payload = TelemetryEncoder("c", "b").encode(1.5, 7, [math.nan, 1.0] * 3, [math.inf] * 6)
        assert json.loads(payload)["joints"][:2] == [None, 1.0]
        assert json.loads(payload)["pose"] == [None] * 6
