"""The live view: the robot in a browser page, moving as its telemetry says.

``serve(receive_interface, port=8080)`` serves the page from a background thread of the host
program that already holds the controller's telemetry stream (the controller serves one
telemetry client), and returns a handle whose ``close()`` stops it. The page is viser's: the
library and its browser client come with the ``view`` extra (``pip install
"epson-remote[view]"``), and the page loads nothing but what this server sends.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._extra import INSTALL_HINT, viser_available

if TYPE_CHECKING:
    from ._server import LiveView, serve

__all__ = ["INSTALL_HINT", "LiveView", "serve", "viser_available"]


def __getattr__(name: str) -> Any:
    # Without the extra the package still imports, and says how to install what is missing.
    if name in ("LiveView", "serve"):
        if not viser_available():
            raise ImportError(INSTALL_HINT, name="viser")
        from . import _server

        return getattr(_server, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
