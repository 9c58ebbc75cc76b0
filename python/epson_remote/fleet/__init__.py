"""Many cells on an MQTT broker: their online flags, state and telemetry.

``Publisher`` publishes the topics of receive interfaces a program already holds;
``Bridge`` opens the telemetry connections of a list of cells itself (``epson-remote bridge``).
``load_cells``/``write_cells`` read and write a cells file, ``Shard`` splits a cell list
among bridges by ``crc32(name) mod N``. Needs the ``mqtt`` extra (paho-mqtt 2.x) to publish;
docs/fleet.md has the topics, the payloads and their schema.
"""

from .bridge import Bridge
from .broker import BrokerConfig
from .cells import CellsError, CellSpec, load_cells, parse_cell_option, write_cells
from .publisher import Publisher, PublisherStats
from .sharding import Shard, shard_of

__all__ = [
    "Bridge",
    "BrokerConfig",
    "CellSpec",
    "CellsError",
    "Publisher",
    "PublisherStats",
    "Shard",
    "load_cells",
    "parse_cell_option",
    "shard_of",
    "write_cells",
]
