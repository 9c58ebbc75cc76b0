"""What a bridge is told: the cells file and --cell options, the broker address, the shards.
No broker needed."""

from __future__ import annotations

import zlib

import pytest

from epson_remote.fleet import (
    BrokerConfig,
    CellsError,
    CellSpec,
    Shard,
    load_cells,
    parse_cell_option,
    shard_of,
    write_cells,
)
from epson_remote.fleet.payloads import normalise_prefix


class TestCellsFile:
    def test_written_and_read_back(self, tmp_path):
        cells = [
            CellSpec("cell1", "127.0.0.1", 40001, 40002),
            CellSpec("Presse-Ä", "press.plant.example", 2000),
            CellSpec("v6", "::1", 2001),
        ]
        path = tmp_path / "cells.toml"
        write_cells(path, cells, comment="two lines\nof comment")
        assert path.read_text().startswith("# two lines\n# of comment\n")
        assert load_cells(path) == cells
        assert [p.name for p in tmp_path.iterdir()] == ["cells.toml"]  # nothing left beside

    def test_telemetry_port_defaults_to_2000(self, tmp_path):
        path = tmp_path / "cells.toml"
        path.write_text('[[cells]]\nname = "a"\nhost = "10.0.0.1"\n')
        assert load_cells(path) == [CellSpec("a", "10.0.0.1", 2000)]

    def test_tables_named_by_their_key(self, tmp_path):
        path = tmp_path / "cells.toml"
        path.write_text('[cells.press]\nhost = "h1"\n[cells."weld 2"]\nhost = "h2"\n')
        with pytest.raises(CellsError, match="may not contain ' '"):
            load_cells(path)
        path.write_text('[cells.press]\nhost = "h1"\ntelemetry_port = 2001\n')
        assert load_cells(path) == [CellSpec("press", "h1", 2001)]

    @pytest.mark.parametrize(
        ("text", "message"),
        [
            ("[[cells]]\nname = 'a'\n", "cell 1: needs a name and a host"),
            (
                "[[cells]]\nname='a'\nhost='h'\ntelemetry-port=1\n",
                "unknown keys ['telemetry-port']",
            ),
            ("[[cells]]\nname='a'\nhost='h'\ntelemetry_port=0\n", "must be a port number"),
            ("[[cells]]\nname='a'\nhost='h'\ntelemetry_port=true\n", "must be a port number"),
            ("[[cells]]\nname='a'\nhost='h'\ntelemetry_port='2000'\n", "must be a port number"),
            ("[[cells]]\nname='a'\nhost=' h'\n", "host must be a non-empty"),
            ("[[cells]]\nname='a'\nhost='h'\n[[cells]]\nname='a'\nhost='i'\n", "defined twice"),
            ("cells = 3\n", "must be an array of tables"),
            ("[cell]\nname='a'\n", "unknown top-level keys ['cell']"),
            ("[[cells]\n", "is not valid TOML"),
        ],
    )
    def test_faults_name_the_file_and_the_fault(self, tmp_path, text, message):
        path = tmp_path / "cells.toml"
        path.write_text(text)
        with pytest.raises(CellsError, match=f"^{tmp_path}") as caught:
            load_cells(path)
        assert message in str(caught.value)

    @pytest.mark.parametrize(
        "name", ["", "a/b", "a+", "#", "a b", "tab\t", "_bridge", "$SYS", "nul\0", "x" * 129]
    )
    def test_names_that_cannot_be_a_topic_level(self, name):
        with pytest.raises(CellsError):
            CellSpec(name, "h")


class TestCellOption:
    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ("press=10.0.4.21", CellSpec("press", "10.0.4.21", 2000)),
            ("press=10.0.4.21:2001", CellSpec("press", "10.0.4.21", 2001)),
            ("weld=robot.local:3000", CellSpec("weld", "robot.local", 3000)),
            ("v6=[fe80::1]:2002", CellSpec("v6", "fe80::1", 2002)),
            ("v6=[::1]", CellSpec("v6", "::1", 2000)),
        ],
    )
    def test_forms(self, text, expected):
        assert parse_cell_option(text) == expected

    @pytest.mark.parametrize(
        "text", ["press", "press=", "p=h:x", "p=h:70000", "p=[::1", "p=[::1]x"]
    )
    def test_faults(self, text):
        with pytest.raises(CellsError):
            parse_cell_option(text)


class TestBrokerAddress:
    def test_forms(self):
        assert BrokerConfig.from_url("mqtt://broker") == BrokerConfig("broker", 1883)
        secured = BrokerConfig.from_url("mqtts://broker")
        assert (secured.port, secured.tls) == (8883, True)
        with_user = BrokerConfig.from_url("mqtt://line%203:p%40ss@[::1]:1884")
        assert (with_user.host, with_user.port) == ("::1", 1884)
        assert (with_user.username, with_user.password) == ("line 3", "p@ss")
        assert str(with_user) == "mqtt://line 3@[::1]:1884"  # never the password

    def test_options_complete_the_address(self, tmp_path, monkeypatch):
        ca = tmp_path / "ca.pem"
        ca.write_text("")
        config = BrokerConfig.from_url("mqtt://b:1", username="u", ca_file=str(ca))
        assert config.tls and config.ca_file == str(ca)
        monkeypatch.setenv("EPSON_REMOTE_MQTT_PASSWORD", "from-env")
        assert config.with_password_from_environment().password == "from-env"
        given = BrokerConfig.from_url("mqtt://b:1", username="u", password="given")
        assert given.with_password_from_environment().password == "given"

    @pytest.mark.parametrize(
        ("url", "options", "message"),
        [
            ("http://b", {}, "mqtt://HOST:PORT"),
            ("mqtt://b:99999", {}, "port"),
            ("mqtt://b/topic", {}, "no path"),
            ("mqtt://:1883", {}, "broker host"),
            ("mqtt://b", {"password": "p"}, "needs a user name"),
            ("mqtt://b", {"cert_file": "c.pem"}, "both its certificate and its key"),
            ("mqtt://b", {"ca_file": "/nonexistent/ca.pem"}, "no such file"),
        ],
    )
    def test_faults(self, url, options, message):
        with pytest.raises(ValueError, match=message):
            BrokerConfig.from_url(url, **options)


class TestShards:
    def test_crc32_of_the_utf8_name_fixed_forever(self):
        # 0xCBF43926 is the standard's check value (CRC-32 of "123456789"): bridges of every
        # version and machine must keep agreeing on the split.
        assert shard_of("123456789", 1000) == 0xCBF43926 % 1000 == 262
        assert shard_of("cell1", 7) == 0xCD13EB64 % 7
        assert shard_of("Zelle-Ä", 5) == zlib.crc32("Zelle-Ä".encode()) % 5

    def test_shards_serve_every_cell_exactly_once(self):
        cells = [CellSpec(f"cell{n}", "h") for n in range(1, 101)]
        for count in (1, 2, 3, 8):
            served = [cell for index in range(count) for cell in Shard(index, count).select(cells)]
            assert sorted(served, key=lambda c: c.name) == sorted(cells, key=lambda c: c.name)
            assert all(Shard(i, count).select(cells) for i in range(count))  # none idle

    @pytest.mark.parametrize("text", ["1", "2/2", "-1/2", "0/0", "a/b", "1/2/3"])
    def test_faults(self, text):
        with pytest.raises(ValueError, match="expected a shard I/N"):
            Shard.parse(text)

    def test_parse(self):
        assert Shard.parse(" 1/3 ") == Shard(1, 3) and str(Shard(1, 3)) == "1/3"


@pytest.mark.parametrize(
    ("given", "expected"), [("epson/", "epson/"), ("plant/epson", "plant/epson/"), ("", "")]
)
def test_topic_prefix(given, expected):
    assert normalise_prefix(given) == expected


@pytest.mark.parametrize("given", ["a/+/b", "#", "/x", "a//b"])
def test_topic_prefix_faults(given):
    with pytest.raises(ValueError):
        normalise_prefix(given)
