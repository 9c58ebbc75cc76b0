"""Native Tool slots: range checks, refused point texts, exact statements and reply parsing."""

from __future__ import annotations

import pytest

COORDINATES_3 = (
    "Print CX(TLSet(3)),CY(TLSet(3)),CZ(TLSet(3)),CU(TLSet(3)),CV(TLSet(3)),CW(TLSet(3))"
)


def printed(sim, statement: str, payload: str) -> None:
    sim.script(statement, reply=f'#Execute,"{payload}"')


def accepted(sim, statement: str) -> None:
    sim.script(statement, reply="#Execute,0")


class TestRangeChecks:
    SLOT_CALLS = [
        ("tl_set", ("P1",)),
        ("tl_clear", ()),
        ("is_tool_defined", ()),
        ("get_tool_definition", ()),
    ]

    @pytest.mark.parametrize("number", [0, 16, -1, 2**31 - 1])
    @pytest.mark.parametrize(("name", "rest"), SLOT_CALLS)
    def test_slot_operations_accept_1_to_15(self, sim, channel, name, rest, number):
        with pytest.raises(IndexError, match="^Tool number must be between 1 and 15$"):
            getattr(channel, name)(number, *rest)
        assert sim.requests() == []

    @pytest.mark.parametrize("number", [-1, 16, -(2**31)])
    def test_set_tool_accepts_0_to_15(self, sim, channel, number):
        with pytest.raises(IndexError, match="^Tool number must be between 0 and 15$"):
            channel.set_tool(number)
        assert sim.requests() == []

    def test_range_is_checked_before_the_point_text(self, sim, channel):
        with pytest.raises(IndexError, match="^Tool number must be between 1 and 15$"):
            channel.tl_set(16, "")
        assert sim.requests() == []


class TestTlSetPointText:
    def test_empty_point_is_refused(self, sim, channel):
        with pytest.raises(ValueError, match="^TLSet tool_def_point must not be empty$"):
            channel.tl_set(3, "")
        assert sim.requests() == []

    @pytest.mark.parametrize(
        "point", ['XY(0,0,"1",0,0,0)', '"', "P1\r", "P1\nTool 0", "P1\r\nTLClr 3"]
    )
    def test_quotes_and_line_endings_are_refused_unsent(self, sim, channel, point):
        with pytest.raises(
            ValueError, match="^TLSet tool_def_point must not contain quotes or line endings$"
        ):
            channel.tl_set(3, point)
        assert sim.requests() == []

    @pytest.mark.parametrize(
        ("number", "point", "line"),
        [
            (3, "P10", '$Execute,"TLSet 3, P10"'),
            (5, "P10", '$Execute,"TLSet 5, P10"'),
            (15, "XY(0, 0, 100, 0, 0, 0)", '$Execute,"TLSet 15, XY(0, 0, 100, 0, 0, 0)"'),
            (1, "  ", '$Execute,"TLSet 1,   "'),
        ],
    )
    def test_point_is_sent_unchanged(self, sim, channel, number, point, line):
        accepted(sim, f"TLSet {number}, {point}")
        channel.tl_set(number, point)
        assert sim.requests() == [line]


class TestCommands:
    @pytest.mark.parametrize(
        ("call", "line"),
        [
            (lambda ch: ch.tl_clear(3), '$Execute,"TLClr 3"'),
            (lambda ch: ch.tl_clear(15), '$Execute,"TLClr 15"'),
            (lambda ch: ch.set_tool(0), '$Execute,"Tool 0"'),
            (lambda ch: ch.set_tool(15), '$Execute,"Tool 15"'),
        ],
    )
    def test_exact_request_lines(self, sim, channel, call, line):
        sim.script(line, reply="#Execute,0")
        call(channel)
        assert sim.requests() == [line]

    def test_rejected_command_passes_the_controller_error_through(self, sim, channel):
        sim.script("TLClr 7", reply="!Execute,2")
        with pytest.raises(
            RuntimeError,
            match=r'^Remote command failed: !Execute,2 \(command: \$Execute,"TLClr 7"\)$',
        ):
            channel.tl_clear(7)


class TestGetTool:
    @pytest.mark.parametrize(("payload", "tool"), [(" 0", 0), (" 15 ", 15), ("3", 3)])
    def test_selected_tool(self, sim, channel, payload, tool):
        printed(sim, "Print Tool", payload)
        assert channel.get_tool() == tool
        assert sim.statements() == ["Print Tool"]

    @pytest.mark.parametrize(
        ("payload", "shown"),
        [(" 16", "16"), (" -1", "-1"), ("-9223372036854775808", "-9223372036854775808")],
    )
    def test_numbers_outside_0_to_15_are_invalid(self, sim, channel, payload, shown):
        printed(sim, "Print Tool", payload)
        with pytest.raises(RuntimeError) as error:
            channel.get_tool()
        assert str(error.value) == f"Controller returned an invalid Tool number: {shown}"

    def test_unreadable_payload(self, sim, channel):
        printed(sim, "Print Tool", "Tool?")
        with pytest.raises(RuntimeError) as error:
            channel.get_tool()
        assert str(error.value) == (
            'Failed to parse controller status value as an integer: "Tool?"'
        )


class TestIsToolDefined:
    @pytest.mark.parametrize(
        ("payload", "defined"),
        [(" -1", True), ("1", True), ("True", True), (" 0", False), ("FALSE", False)],
    )
    def test_tldef_payload(self, sim, channel, payload, defined):
        printed(sim, "Print TLDef(3)", payload)
        assert channel.is_tool_defined(3) is defined
        assert sim.statements() == ["Print TLDef(3)"]


class TestGetToolDefinition:
    def test_asks_tldef_then_reads_six_coordinates(self, sim, channel):
        printed(sim, "Print TLDef(3)", " -1")
        printed(sim, COORDINATES_3, " 1.5, -2, 300.25, 90, 0, -180")
        assert channel.get_tool_definition(3) == [1.5, -2.0, 300.25, 90.0, 0.0, -180.0]
        assert sim.statements() == ["Print TLDef(3)", COORDINATES_3]

    def test_undefined_slot_reads_no_coordinates(self, sim, channel):
        printed(sim, "Print TLDef(3)", " 0")
        with pytest.raises(RuntimeError, match="^Tool 3 is not defined$"):
            channel.get_tool_definition(3)
        assert sim.statements() == ["Print TLDef(3)"]

    @pytest.mark.parametrize(
        ("payload", "count"),
        [
            ("1,2,3,4,5", 5),
            (" 1 2 3 4 5 6 7", 7),
            ("1,2,x,4,5,6", 2),
            ("", 0),
        ],
    )
    def test_other_than_six_numbers_fail_quoting_the_payload(self, sim, channel, payload, count):
        printed(sim, "Print TLDef(3)", "-1")
        printed(sim, COORDINATES_3, payload)
        with pytest.raises(RuntimeError) as error:
            channel.get_tool_definition(3)
        assert str(error.value) == (
            f'Failed to parse TLSet definition. Expected 6 values, received {count}: "{payload}"'
        )
