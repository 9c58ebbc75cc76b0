"""``Bridge``: the cells of one shard read over telemetry connections of its own and published.

The bridge opens one ``EthernetReceiveInterface`` per cell and nothing else: no command session,
so the host platform keeps the controller's one command client. A cell that cannot be reached at
start is tried again in the background (every 0.5 s, backing off to 2 s); once connected, the
interface reconnects by itself whenever the stream breaks.
"""

from __future__ import annotations

import logging
import threading
from collections.abc import Sequence
from typing import Any

from .broker import BrokerConfig
from .cells import CellSpec, unique_cells
from .publisher import Publisher, default_bridge_id
from .sharding import Shard

__all__ = ["Bridge"]

log = logging.getLogger("epson_remote.fleet")

RETRY_MIN_S = 0.5
RETRY_MAX_S = 2.0
_JOIN_S = 5.0  # a connect attempt in progress ends within its own bound (about 2 s)


def default_id(shard: Shard) -> str:
    """The host name and the shard: ``host-0of1``."""
    return default_bridge_id(f"{shard.index}of{shard.count}")


class Bridge:
    """Publishes the cells of ``cells`` that belong to ``shard`` to ``broker`` until ``close()``.

    ``bridge_id`` defaults to the host name and the shard (``host-0of2``); the other keyword
    arguments go to ``Publisher`` (``prefix``, ``rate_hz``, ``keepalive_s``, broker options).
    """

    def __init__(
        self,
        cells: Sequence[CellSpec],
        broker: BrokerConfig | str,
        *,
        shard: Shard | None = None,
        bridge_id: str | None = None,
        receive_interface_factory: Any = None,
        **publisher_options: Any,
    ) -> None:
        if receive_interface_factory is None:
            from .. import EthernetReceiveInterface as receive_interface_factory
        self.shard = shard or Shard()
        self.cells = self.shard.select(unique_cells(cells))
        self.publisher = Publisher(
            broker, bridge_id=bridge_id or default_id(self.shard), **publisher_options
        )
        self.bridge_id = self.publisher.bridge_id
        self._stop = threading.Event()
        self._interfaces: list[Any] = []
        self._connectors: list[threading.Thread] = []
        try:
            for cell in self.cells:
                rx = receive_interface_factory()
                self._interfaces.append(rx)
                self.publisher.add(cell.name, rx)
                connector = threading.Thread(
                    target=self._connect, args=(cell, rx), name=f"connect-{cell.name}", daemon=True
                )
                self._connectors.append(connector)
                connector.start()
        except BaseException:
            self.close()
            raise

    def _connect(self, cell: CellSpec, rx: Any) -> None:
        delay, reported = RETRY_MIN_S, None
        while not self._stop.is_set():
            try:
                rx.connect(cell.host, cell.telemetry_port)
            except RuntimeError as error:
                if str(error) != reported:
                    reported = str(error)
                    log.warning("cell %s: %s; retrying", cell.name, error)
            else:
                if reported is not None:
                    log.info("cell %s: telemetry connected", cell.name)
                return
            self._stop.wait(delay)
            delay = min(delay * 2, RETRY_MAX_S)

    def close(self) -> None:
        """Publish every cell offline and the bridge's own flag, then end the connections.
        Safe to call twice."""
        self._stop.set()
        self.publisher.close()
        for connector in self._connectors:
            connector.join(_JOIN_S)
        for rx in self._interfaces:
            rx.disconnect()

    def __enter__(self) -> Bridge:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
