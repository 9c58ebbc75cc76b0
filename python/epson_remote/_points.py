"""SPEL+ point text built from a pose, for ``go``, ``move`` and ``tl_set``."""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence


def xy(pose: Sequence[float]) -> str:
    """The SPEL+ point ``XY(x, y, z, u, v, w)`` of a pose [X, Y, Z, U, V, W] (mm and degrees).

    Each value is written with 17 significant digits, so the controller reads back exactly the
    number given: ``xy([400, 0, 300.5, 180, 0, 180])`` is ``"XY(400, 0, 300.5, 180, 0, 180)"``.
    Raises ValueError for a pose that does not have 6 values or has a value that is not finite
    (NaN, infinity), and TypeError for a value that is not a real number.
    """
    values: list[object] = list(pose)  # checked here, whatever the caller declared
    if len(values) != 6:
        raise ValueError(f"a pose has 6 values [X, Y, Z, U, V, W], not {len(values)}")
    texts = []
    for value in values:
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"pose values must be numbers, not {type(value).__name__}")
        if not math.isfinite(value):
            raise ValueError(f"pose values must be finite, not {value}")
        texts.append(f"{float(value):.17g}")
    return "XY(" + ", ".join(texts) + ")"
