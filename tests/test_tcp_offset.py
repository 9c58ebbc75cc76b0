"""TCP offset override: unit mapping, the save/write/verify sequence, restore and its loss on drop.

The controller's replies are scripted in the order the statements must come, and every test
checks the exact statement list, so the sequences below are the wire contract.
"""

from __future__ import annotations

import math

import pytest


def coordinates(slot: int) -> str:
    return "Print " + ",".join(f"C{axis}(TLSet({slot}))" for axis in "XYZUVW")


COORDINATES_15 = coordinates(15)


def script(sim, *steps: tuple[str, str | None]) -> list[str]:
    """Answers each (statement, printed payload or None for a plain success) once, in order."""
    for statement, payload in steps:
        reply = "#Execute,0" if payload is None else f'#Execute,"{payload}"'
        sim.script(statement, reply=reply)
    return [statement for statement, _ in steps]


def first_override(tool: str, point: str, readback: str, slot15: str | None = None):
    """Steps of a first set_tcp_offset from Tool `tool`; `slot15` is its coordinates if defined."""
    save = [("Print Tool", tool), ("Print TLDef(15)", " 0")]
    if slot15 is not None:
        save = [
            ("Print Tool", tool),
            ("Print TLDef(15)", " -1"),
            ("Print TLDef(15)", " -1"),
            (COORDINATES_15, slot15),
        ]
    return save + later_override(point, readback)


def later_override(point: str, readback: str):
    return [
        (f"TLSet 15, {point}", None),
        ("Tool 15", None),
        ("Print TLDef(15)", " -1"),
        (COORDINATES_15, readback),
        ("Print Tool", " 15"),
    ]


def restored(sim, channel, *steps: tuple[str, str | None]) -> list[str]:
    """Answers ``steps`` as ``script`` does, restores, and returns the statements the restore
    sent."""
    sim.clear_requests()
    script(sim, *steps)
    channel.restore_tcp_offset()
    return sim.statements()


def restore_clearing(tool: int):
    return [("Print TLDef(15)", " -1"), ("TLClr 15", None), (f"Tool {tool}", None)]


class TestGetTcpOffset:
    def test_flange_is_zero_without_reading_a_definition(self, sim, channel):
        expected = script(sim, ("Print Tool", " 0"))
        assert channel.get_tcp_offset() == [0.0] * 6
        assert sim.statements() == expected

    def test_native_definition_in_host_units(self, sim, channel):
        expected = script(
            sim,
            ("Print Tool", " 4"),
            ("Print TLDef(4)", " -1"),
            (coordinates(4), " 100, -50, 1.3, 30, 20, 10"),
        )
        # A division: 1.3 / 1000 and 1.3 * 0.001 differ in the last bit.
        assert channel.get_tcp_offset() == [100 / 1000, -50 / 1000, 1.3 / 1000, 10.0, 20.0, 30.0]
        assert sim.statements() == expected

    def test_undefined_selected_tool(self, sim, channel):
        script(sim, ("Print Tool", " 4"), ("Print TLDef(4)", " 0"))
        with pytest.raises(RuntimeError, match="^Tool 4 is not defined$"):
            channel.get_tcp_offset()


class TestPoseValidation:
    @pytest.mark.parametrize(
        ("pose", "message"),
        [
            ([0.0] * 5, "TCP offset must contain exactly 6 values"),
            ([0.0] * 7, "TCP offset must contain exactly 6 values"),
            ([], "TCP offset must contain exactly 6 values"),
            ([0, 0, math.nan, 0, 0, 0], "TCP offset values must be finite"),
            ([0, 0, 0, 0, 0, -math.inf], "TCP offset values must be finite"),
            # Finite in metres, infinite in millimetres.
            ([1e308, 0, 0, 0, 0, 0], "TCP offset values must be finite"),
        ],
    )
    def test_refused_before_anything_is_saved_or_sent(self, sim, channel, pose, message):
        with pytest.raises(ValueError) as error:
            channel.set_tcp_offset(pose)
        assert str(error.value) == message
        channel.restore_tcp_offset()
        assert sim.requests() == []


class TestOverrideAndRestore:
    def test_first_override_and_restore_from_flange_with_slot_15_undefined(self, sim, channel):
        override = script(sim, *first_override(" 0", "XY(0,0,100,0,0,0)", " 0, 0, 100, 0, 0, 0"))
        restore = script(sim, *restore_clearing(0))
        channel.set_tcp_offset([0.0, 0.0, 0.1, 0.0, 0.0, 0.0])
        assert sim.statements() == override
        assert override == [
            "Print Tool",
            "Print TLDef(15)",
            "TLSet 15, XY(0,0,100,0,0,0)",
            "Tool 15",
            "Print TLDef(15)",
            COORDINATES_15,
            "Print Tool",
        ]
        sim.clear_requests()
        channel.restore_tcp_offset()
        assert sim.statements() == ["Print TLDef(15)", "TLClr 15", "Tool 0"] == restore
        sim.clear_requests()
        channel.restore_tcp_offset()  # nothing left to restore
        assert sim.requests() == []

    def test_defined_slot_15_is_written_back_with_15_digits(self, sim, channel):
        override = script(
            sim,
            *first_override(
                " 2",
                "XY(0,0,50,0,0,0)",
                " 0, 0, 50, 0, 0, 0",
                slot15=" 123.456789012345678, -0.5, 20, 0, 0, 90",
            ),
        )
        channel.set_tcp_offset([0.0, 0.0, 0.05, 0.0, 0.0, 0.0])
        assert sim.statements() == override
        assert override[:4] == ["Print Tool", "Print TLDef(15)", "Print TLDef(15)", COORDINATES_15]

        write_back = "TLSet 15, XY(123.456789012346,-0.5,20,0,0,90)"
        assert restored(sim, channel, (write_back, None), ("Tool 2", None)) == [
            write_back,
            "Tool 2",
        ]

    def test_slot_15_undefined_at_restore_time_is_not_cleared(self, sim, channel):
        script(sim, *first_override(" 1", "XY(0,0,100,0,0,0)", "0,0,100,0,0,0"))
        channel.set_tcp_offset([0, 0, 0.1, 0, 0, 0])
        assert restored(sim, channel, ("Print TLDef(15)", " 0"), ("Tool 1", None)) == [
            "Print TLDef(15)",
            "Tool 1",
        ]

    def test_second_override_keeps_the_first_saved_tool(self, sim, channel):
        script(sim, *first_override(" 3", "XY(0,0,100,0,0,0)", "0,0,100,0,0,0"))
        channel.set_tcp_offset([0, 0, 0.1, 0, 0, 0])
        sim.clear_requests()
        second = script(sim, *later_override("XY(10,0,0,0,0,0)", "10,0,0,0,0,0"))
        channel.set_tcp_offset([0.01, 0, 0, 0, 0, 0])
        assert sim.statements() == second  # no second save
        assert restored(sim, channel, *restore_clearing(3)) == [
            "Print TLDef(15)",
            "TLClr 15",
            "Tool 3",
        ]

    def test_angles_are_reordered_not_converted(self, sim, channel):
        override = script(sim, *first_override(" 0", "XY(0,0,0,30,20,10)", " 0, 0, 0, 30, 20, 10"))
        channel.set_tcp_offset([0, 0, 0, 10, 20, 30])
        assert sim.statements() == override
        script(
            sim,
            ("Print Tool", " 15"),
            ("Print TLDef(15)", " -1"),
            (COORDINATES_15, " 0, 0, 0, 30, 20, 10"),
        )
        assert channel.get_tcp_offset() == [0.0, 0.0, 0.0, 10.0, 20.0, 30.0]


class TestVerification:
    @pytest.mark.parametrize(
        "readback", ["0.0001,0,100,0,0,0", "0,0,100,0,0,-0.0001", "-0.0001,0,100,0.0001,0,0"]
    )
    def test_difference_of_0_0001_passes(self, sim, channel, readback):
        expected = script(sim, *first_override(" 0", "XY(0,0,100,0,0,0)", readback))
        channel.set_tcp_offset([0, 0, 0.1, 0, 0, 0])
        assert sim.statements() == expected

    @pytest.mark.parametrize(
        ("readback", "tool_after"),
        [
            # A read-back that differs fails before the Tool is read again.
            ("0.0002,0,100,0,0,0", None),
            ("0,0,100,0,-0.0002,0", None),
            ("0,0,100,0,0,0", " 14"),
        ],
    )
    def test_failure_keeps_the_override_for_restore(self, sim, channel, readback, tool_after):
        steps = first_override(" 0", "XY(0,0,100,0,0,0)", readback)
        steps[-1:] = [] if tool_after is None else [("Print Tool", tool_after)]
        expected = script(sim, *steps)
        with pytest.raises(
            RuntimeError, match="^Failed to verify the Epson controller TCP offset$"
        ):
            channel.set_tcp_offset([0, 0, 0.1, 0, 0, 0])
        assert sim.statements() == expected
        assert restored(sim, channel, *restore_clearing(0)) == [
            "Print TLDef(15)",
            "TLClr 15",
            "Tool 0",
        ]


class TestFailures:
    def test_failed_save_changes_nothing(self, sim, channel):
        script(sim, ("Print Tool", " 2"))
        sim.script("Print TLDef(15)", reply="!Execute,11")
        with pytest.raises(RuntimeError, match="^Remote command failed: !Execute,11 "):
            channel.set_tcp_offset([0, 0, 0.1, 0, 0, 0])
        assert sim.statements() == ["Print Tool", "Print TLDef(15)"]
        sim.clear_requests()
        channel.restore_tcp_offset()
        assert sim.requests() == []

    def test_rejected_write_keeps_the_override_and_a_failed_restore_repeats(self, sim, channel):
        script(sim, ("Print Tool", " 6"), ("Print TLDef(15)", " 0"))
        sim.script("TLSet 15, XY(0,0,100,0,0,0)", reply="!Execute,7")
        with pytest.raises(RuntimeError, match="^Remote command failed: !Execute,7 "):
            channel.set_tcp_offset([0, 0, 0.1, 0, 0, 0])
        sim.clear_requests()
        script(sim, ("Print TLDef(15)", " 0"))
        sim.script("Tool 6", reply="!Execute,2")
        with pytest.raises(RuntimeError, match="^Remote command failed: !Execute,2 "):
            channel.restore_tcp_offset()
        script(sim, ("Print TLDef(15)", " 0"), ("Tool 6", None))
        channel.restore_tcp_offset()
        assert sim.statements() == ["Print TLDef(15)", "Tool 6"] * 2
        sim.clear_requests()
        channel.restore_tcp_offset()
        assert sim.requests() == []


class TestDisconnect:
    def override(self, sim, channel) -> None:
        script(sim, *first_override(" 0", "XY(0,0,100,0,0,0)", "0,0,100,0,0,0"))
        channel.set_tcp_offset([0, 0, 0.1, 0, 0, 0])
        sim.clear_requests()

    def test_disconnect_restores_before_logout(self, sim, channel, capfd):
        self.override(sim, channel)
        script(sim, *restore_clearing(0))
        channel.disconnect()
        assert sim.requests() == [
            '$Execute,"Print TLDef(15)"',
            '$Execute,"TLClr 15"',
            '$Execute,"Tool 0"',
            "$Logout",
        ]
        assert capfd.readouterr().err == ""

    def test_failed_restore_is_logged_and_logout_still_sent(self, sim, channel, capfd):
        self.override(sim, channel)
        script(sim, ("Print TLDef(15)", " 0"))
        sim.script("Tool 0", reply="!Execute,11")
        capfd.readouterr()
        channel.disconnect()
        assert sim.requests() == ['$Execute,"Print TLDef(15)"', '$Execute,"Tool 0"', "$Logout"]
        out, err = capfd.readouterr()
        assert err.splitlines() == [
            "Failed to restore Epson TCP state: Remote command failed: !Execute,11 "
            '(command: $Execute,"Tool 0")'
        ]
        assert out.splitlines() == [f"Disconnected from {sim.host}:{sim.command_port}"]

    @pytest.mark.parametrize(
        "drop",
        [
            pytest.param("close", id="connection-closed"),
            pytest.param("silent", id="reply-timeout", marks=pytest.mark.slow),
        ],
    )
    def test_saved_state_is_forgotten_when_the_connection_drops(self, sim, channel, drop):
        self.override(sim, channel)
        if drop == "close":
            sim.script("Print Tool", close=True)
            message = "^Failed while waiting for an Epson Remote Ethernet response: "
        else:
            sim.script("Print Tool", silent=True)
            message = (
                "^Timed out waiting for an Epson Remote Ethernet response to "
                r'\$Execute,"Print Tool" after 5000 ms$'
            )
        with pytest.raises(RuntimeError, match=message):
            channel.get_tool()
        assert not channel.is_connected()

        channel.connect(sim.host, sim.command_port)
        sim.clear_requests()
        channel.restore_tcp_offset()
        channel.disconnect()
        assert sim.requests() == ["$Logout"]
