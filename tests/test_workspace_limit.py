"""The Cartesian workspace limit: XYLim in strict mode, set and verified by read-back."""

from __future__ import annotations

import math
import threading

import pytest

BOUNDS_QUERY = "Print CX(XYLim(1)),CX(XYLim(2)),CY(XYLim(1)),CY(XYLim(2)),CZ(XYLim(1)),CZ(XYLim(2))"
BOX = ([-300.0, -200.0, 0.0], [300.0, 200.0, 500.0])
BOX_BOUNDS = "-300,300,-200,200,0,500"
SIZE = "Safety cuboid corners must each have 3 coordinates"
ORDER = "Safety cuboid corners must be finite and strictly ordered on every axis"


def controller_accepts(
    sim, statement: str, mode: str = "1", bounds: str | None = BOX_BOUNDS
) -> None:
    """Scripts the replies to the four exchanges; with ``bounds`` None, the first three."""
    sim.script("XYLimMode 1", reply="#Execute,0")
    sim.script(statement, reply="#Execute,0")
    sim.script("Print XYLimMode", reply=f'#Execute,"{mode}"')
    if bounds is not None:
        sim.script(BOUNDS_QUERY, reply=f'#Execute,"{bounds}"')


class TestSetAndVerify:
    def test_four_exchanges_in_order(self, sim, channel):
        controller_accepts(sim, "XYLim -300,300,-200,200,0,500")
        channel.add_safety_cuboid(*BOX)
        assert sim.requests() == [
            '$Execute,"XYLimMode 1"',
            '$Execute,"XYLim -300,300,-200,200,0,500"',
            '$Execute,"Print XYLimMode"',
            f'$Execute,"{BOUNDS_QUERY}"',
        ]

    def test_values_are_sent_with_17_significant_digits(self, sim, channel):
        statement = "XYLim 0.10000000000000001,300.25,-200,1e+20,-0,500"
        controller_accepts(sim, statement, bounds="0.1,300.25,-200,1e+20,0,500")
        channel.add_safety_cuboid([0.1, -200.0, -0.0], [300.25, 1e20, 500.0])
        assert sim.statements()[1] == statement

    @pytest.mark.parametrize(
        ("mode", "bounds"),
        [
            # Bounds within the tolerance, or with blanks.
            ("1", "-300.004,300.004,-199.996,200,0.004,500"),
            ("1", "-300, 300, -200, 200, 0, 500"),
            ("1", " -300,300,-200,200,0,500 "),
            # The strict mode, with and without blanks.
            (" 1 ", BOX_BOUNDS),
            ("1", BOX_BOUNDS),
        ],
    )
    def test_read_back_passes(self, sim, channel, mode, bounds):
        controller_accepts(sim, "XYLim -300,300,-200,200,0,500", mode=mode, bounds=bounds)
        channel.add_safety_cuboid(*BOX)


class TestVerificationFailures:
    @pytest.mark.parametrize("mode", ["0", "2", "1.0", "", "0x1", "true"])
    def test_mode_is_not_strict(self, sim, channel, mode):
        controller_accepts(sim, "XYLim -300,300,-200,200,0,500", mode=mode, bounds=None)
        with pytest.raises(RuntimeError) as error:
            channel.add_safety_cuboid(*BOX)
        assert str(error.value) == f'Epson controller did not verify XYLIM_STRICT: "{mode}"'
        # The bounds are not read back.
        assert sim.statements() == [
            "XYLimMode 1",
            "XYLim -300,300,-200,200,0,500",
            "Print XYLimMode",
        ]

    @pytest.mark.parametrize(
        ("bounds", "refusal"),
        [
            ("-300.006,300,-200,200,0,500", "did not verify XYLim bounds"),
            ("-300,300,-200,200,0,499.994", "did not verify XYLim bounds"),
            ("-300,300,-200,200,0", "did not verify XYLim bounds"),
            ("-300,300,-200,nan,0,500", "did not verify XYLim bounds"),
            ("-300,300,-200,200,0,1e999", "did not verify XYLim bounds"),
            ("-300,300,-200,200,0,500,7", "returned extra XYLim bounds"),
            ("-300,300,-200,200,0,500 mm", "returned extra XYLim bounds"),
        ],
    )
    def test_bounds_read_back_refused(self, sim, channel, bounds, refusal):
        controller_accepts(sim, "XYLim -300,300,-200,200,0,500", bounds=bounds)
        with pytest.raises(RuntimeError) as error:
            channel.add_safety_cuboid(*BOX)
        assert str(error.value) == f'Epson controller {refusal}: "{bounds}"'

    def test_rejected_limit_leaves_the_mode_set_and_stops(self, sim, channel):
        sim.script("XYLimMode 1", reply="#Execute,0")
        sim.script("XYLim -300,300,-200,200,0,500", reply="!Execute,11")
        with pytest.raises(RuntimeError, match=r"^Remote command failed: !Execute,11 "):
            channel.add_safety_cuboid(*BOX)
        assert sim.requests() == [
            '$Execute,"XYLimMode 1"',
            '$Execute,"XYLim -300,300,-200,200,0,500"',
        ]


class TestInvalidCorners:
    @pytest.mark.parametrize(
        ("low", "high", "message"),
        [
            ([0, 0], [1, 1, 1], SIZE),
            ([0, 0, 0], [1, 1, 1, 1], SIZE),
            ([0, 0, 0, 0], [1, 1], SIZE),
            ([5, 0, 0], [5, 1, 1], ORDER),
            ([0, 2, 0], [1, 1, 1], ORDER),
            ([0, 0, math.nan], [1, 1, 1], ORDER),
            ([0, 0, 0], [1, math.inf, 1], ORDER),
            ([-math.inf, 0, 0], [1, 1, 1], ORDER),
        ],
    )
    def test_nothing_is_sent(self, sim, channel, low, high, message):
        with pytest.raises(ValueError) as error:
            channel.add_safety_cuboid(low, high)
        assert str(error.value) == message
        assert sim.requests() == []

    @pytest.mark.timeout(30)
    def test_invalid_call_does_not_wait_for_a_running_motion(self, sim, channel):
        sim.script("Go P1", silent=True)
        mover = threading.Thread(
            target=channel.go, args=("P1", False, False, None, None, None, False)
        )
        mover.start()
        try:
            sim.wait_for_request("Go P1")
            with pytest.raises(ValueError):
                channel.add_safety_cuboid([0, 0, 0], [0, 1, 1])
            assert mover.is_alive()
        finally:
            sim.push(b"#Execute,0\r\n")
            mover.join()
        assert sim.requests() == ['$Execute,"Go P1"']


class TestReadBack:
    def test_no_box(self, sim, channel):
        assert channel.get_safety_cuboid() is None

    def test_the_box_set_reads_back(self, sim, channel):
        channel.add_safety_cuboid([100.0, -200.0, 300.0], [600.0, 200.0, 900.0])
        assert channel.get_safety_cuboid() == {
            "min_corner_mm": [100.0, -200.0, 300.0],
            "max_corner_mm": [600.0, 200.0, 900.0],
            "strict": True,
        }

    def test_an_unreadable_reply(self, sim, channel):
        sim.script("Print XYLimMode", reply='#Execute," 1"')
        bounds = (
            "Print CX(XYLim(1)),CX(XYLim(2)),CY(XYLim(1)),CY(XYLim(2)),CZ(XYLim(1)),CZ(XYLim(2))"
        )
        sim.script(bounds, reply='#Execute," 1 2 x"')
        with pytest.raises(RuntimeError, match="^Failed to parse XYLim bounds"):
            channel.get_safety_cuboid()
