"""``epson-remote bridge``: cells' online flags, state and telemetry published to an MQTT broker,
until Ctrl-C or SIGTERM."""

from __future__ import annotations

import argparse
import contextlib
import logging
import math
import signal
import sys
import threading
from collections.abc import Iterator
from types import FrameType
from typing import TYPE_CHECKING

from rich.text import Text

from ._connection import add_command, number
from ._output import CliError, make_console

if TYPE_CHECKING:
    from ..fleet.bridge import Bridge
    from ..fleet.broker import BrokerConfig
    from ..fleet.cells import CellSpec
    from ..fleet.sharding import Shard

DEFAULT_BROKER = "mqtt://127.0.0.1:1883"


def _cell(text: str) -> CellSpec:
    from ..fleet.cells import CellsError, parse_cell_option

    try:
        return parse_cell_option(text)
    except CellsError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _shard(text: str) -> Shard:
    from ..fleet.sharding import Shard

    try:
        return Shard.parse(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _rate(text: str) -> float:
    from ..fleet.publisher import MAX_RATE_HZ

    value = number(text, float, "a rate")
    if not (value == 0 or 0 < value <= MAX_RATE_HZ):
        raise argparse.ArgumentTypeError(
            f"the rate must be 0 (every sample) or in (0, {MAX_RATE_HZ:g}] messages/s"
        )
    return value


def _seconds(text: str) -> float:
    value = number(text, float, "a number of seconds")
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError("expected a positive number of seconds")
    return value


def _keepalive(text: str) -> int:
    value = number(text, int, "a whole number of seconds")
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError("the keep-alive must be in 1..65535 s")
    return value


def add_parser(
    subparsers: argparse._SubParsersAction[argparse.ArgumentParser],
) -> argparse.ArgumentParser:
    parser = add_command(
        subparsers,
        "bridge",
        help="publish cells' online flags, state and telemetry to an MQTT broker",
        description="Read the telemetry of the cells listed (a cells file, --cell options) and "
        "publish, per cell under the prefix, <cell>/online (retained), <cell>/state (retained, "
        "on change) and <cell>/telemetry (at most --rate a second), and the bridge's own "
        "_bridge/<id>/online as its last will. Only telemetry is read: no command session is "
        "opened. Several bridges split one cell list with --shard I/N. Runs until Ctrl-C or "
        "SIGTERM, then publishes its cells offline. Needs the mqtt extra: "
        "pip install 'epson-remote[mqtt]'. The topics and payloads: docs/fleet.md.",
        examples=[
            "epson-remote sim --cells 4 --write-cells cells.toml   # a simulated plant",
            "epson-remote bridge --cells cells.toml --broker mqtt://127.0.0.1:1883",
            "epson-remote bridge --cell press=10.0.4.21 --cell weld=10.0.4.22:2001 --rate 10",
            "epson-remote bridge --cells plant.toml --shard 0/2   # and --shard 1/2 elsewhere",
            "epson-remote bridge --cells plant.toml --broker mqtts://broker:8883 "
            "--ca-file ca.pem --username line3",
        ],
    )
    cells = parser.add_argument_group("cells")
    cells.add_argument(
        "--cells",
        dest="cells_file",
        metavar="FILE",
        help="TOML cells file: [[cells]] tables with name, host, telemetry_port",
    )
    cells.add_argument(
        "--cell",
        dest="cell_options",
        type=_cell,
        action="append",
        default=[],
        metavar="NAME=HOST[:PORT]",
        help="a cell and its telemetry port (default 2000); repeatable",
    )
    cells.add_argument(
        "--shard",
        type=_shard,
        default=None,
        metavar="I/N",
        help="serve only the cells with crc32(name) mod N == I (default 0/1: all)",
    )
    broker = parser.add_argument_group("broker")
    broker.add_argument(
        "--broker",
        default=DEFAULT_BROKER,
        metavar="URL",
        help="mqtt://HOST:PORT, or mqtts://HOST:PORT for TLS (default %(default)s)",
    )
    broker.add_argument("--username", help="user name at the broker")
    broker.add_argument(
        "--password",
        help="password at the broker (default: $EPSON_REMOTE_MQTT_PASSWORD; an option is "
        "visible to other users of the machine)",
    )
    broker.add_argument("--tls", action="store_true", help="encrypt (implied by mqtts://)")
    broker.add_argument("--ca-file", metavar="FILE", help="CA certificates to check the broker by")
    broker.add_argument("--cert", metavar="FILE", help="client certificate (PEM), with --key")
    broker.add_argument("--key", metavar="FILE", help="client certificate's private key (PEM)")
    broker.add_argument(
        "--tls-insecure",
        action="store_true",
        help="do not check that the broker's certificate names its host",
    )
    broker.add_argument(
        "--keepalive",
        type=_keepalive,
        default=10,
        metavar="S",
        help="MQTT keep-alive; the broker announces a vanished bridge after 1.5 x this "
        "(default %(default)s)",
    )
    topics = parser.add_argument_group("topics")
    topics.add_argument("--prefix", default="epson/", help="topic prefix (default %(default)s)")
    topics.add_argument(
        "--id",
        dest="bridge_id",
        metavar="ID",
        help="this bridge's id in _bridge/<id>/online and in every payload "
        "(default: host name and shard, e.g. host-0of1)",
    )
    topics.add_argument(
        "--rate",
        type=_rate,
        default=25.0,
        metavar="HZ",
        help="telemetry messages per second and cell, at most; 0 for every sample "
        "(default %(default)g)",
    )
    topics.add_argument(
        "--offline-after",
        type=_seconds,
        default=1.0,
        metavar="S",
        help="a cell without a sample for this long is offline (default %(default)g)",
    )
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="log only problems, not cells coming and going"
    )
    parser.set_defaults(run=run)
    return parser


def _cell_list(args: argparse.Namespace) -> list[CellSpec]:
    from ..fleet.cells import CellsError, load_cells, unique_cells

    try:
        cells = load_cells(args.cells_file) if args.cells_file else []
        cells = unique_cells([*cells, *args.cell_options])
    except CellsError as error:
        raise CliError(str(error)) from None
    if not cells:
        raise CliError("no cells: give a cells file (--cells FILE) or --cell NAME=HOST", 2)
    return cells


@contextlib.contextmanager
def _logging_to_stderr(quiet: bool) -> Iterator[None]:
    """The fleet's log lines (cells coming and going, the broker) on standard error, with the
    time; the logger is as it was afterwards (``main`` may run in a host's process)."""
    logger = logging.getLogger("epson_remote.fleet")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(message)s", "%H:%M:%S"))
    saved = logger.level, logger.propagate
    logger.setLevel(logging.WARNING if quiet else logging.INFO)
    logger.addHandler(handler)
    logger.propagate = False
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(saved[0])
        logger.propagate = saved[1]


def run(args: argparse.Namespace) -> int:
    from ..fleet._mqtt import MqttUnavailable, paho

    try:
        paho()
    except MqttUnavailable as error:
        raise CliError(str(error)) from None
    from ..fleet.bridge import Bridge
    from ..fleet.broker import BrokerConfig
    from ..fleet.cells import CellsError
    from ..fleet.sharding import Shard

    cells = _cell_list(args)
    shard = args.shard or Shard()
    try:
        broker = BrokerConfig.from_url(
            args.broker,
            username=args.username,
            password=args.password,
            tls=args.tls or None,
            ca_file=args.ca_file,
            cert_file=args.cert,
            key_file=args.key,
            tls_insecure=args.tls_insecure or None,
        )
    except ValueError as error:
        raise CliError(str(error), exit_code=2) from None

    console = make_console()
    stop = threading.Event()

    def on_signal(signum: int, frame: FrameType | None) -> None:
        stop.set()

    previous = {sig: signal.signal(sig, on_signal) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        with _logging_to_stderr(args.quiet):
            try:
                bridge = Bridge(
                    cells,
                    broker,
                    shard=shard,
                    bridge_id=args.bridge_id,
                    prefix=args.prefix,
                    rate_hz=args.rate,
                    offline_after_s=args.offline_after,
                    keepalive_s=args.keepalive,
                )
            except (CellsError, ValueError) as error:
                raise CliError(str(error), exit_code=2) from None
            try:
                for line in _banner(bridge, broker, len(cells), args):
                    console.print(line, soft_wrap=True)
                while not stop.wait(0.5):
                    pass
            finally:
                bridge.close()
    finally:
        for sig, old in previous.items():
            signal.signal(sig, old)
    console.print("Bridge stopped")
    return 0


def _banner(
    bridge: Bridge, broker: BrokerConfig, listed: int, args: argparse.Namespace
) -> list[Text]:
    names = ", ".join(cell.name for cell in bridge.cells) or "none (another shard serves them)"
    rate = "every sample" if args.rate == 0 else f"at most {args.rate:g}/s per cell"
    prefix = bridge.publisher.prefix
    rows = [
        ("Bridge", Text(bridge.bridge_id, style="bold")),
        ("Broker", Text(str(broker), style="bold cyan")),
        ("Shard", Text(f"{bridge.shard}: {len(bridge.cells)} of {listed} cells")),
        ("Cells", Text(names)),
        ("Topics", Text(f"{prefix}<cell>/online, {prefix}<cell>/state, {prefix}<cell>/telemetry")),
        ("Telemetry", Text(rate)),
        ("Stop", Text("Ctrl-C")),
    ]
    if not broker.tls and broker.username is None:
        watch = f"mosquitto_sub -h {broker.host} -p {broker.port} -t '{prefix}#' -v"
        rows.insert(-1, ("Try", Text(watch)))
    width = max(len(label) for label, _ in rows)
    return [Text.assemble((label.ljust(width), "bold"), "  ", value) for label, value in rows]
