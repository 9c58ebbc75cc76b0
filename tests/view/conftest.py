"""The live view's tests: one headless Chromium per test (its tests skip, saying why, when it
or the view extra is missing; the test command installs both)."""

from __future__ import annotations

from collections.abc import Iterator

import pytest
from chromium import Browser


@pytest.fixture
def browser() -> Iterator[Browser]:
    with Browser() as opened:
        yield opened
