"""Whether the ``view`` extra is installed, asked without importing it."""

from __future__ import annotations

import importlib.util

INSTALL_HINT = 'the live view needs the "view" extra: pip install "epson-remote[view]"'


def viser_available() -> bool:
    return importlib.util.find_spec("viser") is not None
