"""The demo: a simulated controller driven through every capability, one line per step.

    python examples/demo.py                              # starts a simulator of its own
    python examples/demo.py 192.168.0.1                  # a real controller: reads only
    python examples/demo.py 192.168.0.1 --allow-motion   # ... and moves it a few centimetres

The same as ``epson-remote demo``; ``bash scripts/run demo`` runs it after setting everything up.
The recorded trajectory goes to ``demo-output/`` as CSV and PNG.
"""

from __future__ import annotations

import sys

from epson_remote.cli import main

if __name__ == "__main__":
    sys.exit(main(["demo", *sys.argv[1:]]))
