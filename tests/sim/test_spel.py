"""The SPEL+ subset of the simulated controller: every statement and query form the client sends,
Print output, malformed input and the readiness rules."""

from __future__ import annotations

import pytest

from epson_remote.sim.controller import HOME_JOINTS, SimulatedController
from epson_remote.sim.spel import MAX_NESTING, MotionStmt, Num, SpelError, parse, tokenize


@pytest.fixture
def ctl() -> SimulatedController:
    return SimulatedController(time_scale=200.0)


@pytest.fixture
def ready(ctl: SimulatedController) -> SimulatedController:
    assert ctl.execute("Motor On") == "#Execute,0"
    return ctl


def out(reply: str) -> str:
    """The Print output of a '#Execute,"..."' reply."""
    assert reply.startswith('#Execute,"') and reply.endswith('"'), reply
    return reply[len('#Execute,"') : -1]


def numbers(reply: str) -> list[float]:
    return [float(x) for x in out(reply).split()]


class TestTokenizer:
    @pytest.mark.parametrize(
        ("text", "value"),
        [
            ("0.10000000000000001", 0.1),
            ("1e-20", 1e-20),
            ("250.00000000000000000", 250.0),
            ("1000.00000000000000000", 1000.0),
            ("12", 12),
            ("&H1F", 31),
            (".5", 0.5),
            ("2.5E+3", 2500.0),
        ],
    )
    def test_number_forms(self, text, value):
        token = tokenize(text)[0]
        assert token.kind == "num" and token.value == value and type(token.value) is type(value)

    @pytest.mark.parametrize("text", ["Print #1", "Print 1 $", 'Print "open', "Speed 5?"])
    def test_stray_characters_are_syntax_errors(self, text):
        with pytest.raises(SpelError) as e:
            tokenize(text)
        assert e.value.code == 12


class TestParser:
    def test_go_with_every_modifier(self):
        node = parse("Go P1 CP LJM 1 Till Sw(1) = On !D10; On 1! SYNC")
        assert isinstance(node, MotionStmt) and node.kind == "go"
        assert node.cp and node.ljm and node.sync and node.ljm_flag == Num(1)
        assert node.till is not None and node.parallel == ("D10", "On 1")

    def test_move_modifiers_and_point_arithmetic(self):
        node = parse("Move Here +Z(-5) ROT ECP CP Find Sw(2) = Off SYNC")
        assert node.kind == "move" and node.rot and node.ecp and node.cp and node.sync
        assert node.find is not None and node.target.mode == "+"

    def test_names_are_case_insensitive(self, ctl):
        assert ctl.execute("print pagl(ljm(xy(400,0,300,0,90,0),HERE),1), estopon") == (
            ctl.execute("Print PAgl(LJM(XY(400,0,300,0,90,0),Here),1), EStopOn")
        )

    @pytest.mark.parametrize(
        ("text", "code"),
        [
            ("", 12),
            ("Foo", 11),
            ("Jump P1", 11),
            ("Print Foo", 11),
            ("Print 1 +", 12),
            ("Print (1", 12),
            ("Print 1 2", 12),
            ("Speed", 15),
            ("Speed 1, 2, 3, 4", 12),
            ("Accel 50", 15),
            ("Motor", 15),
            ("Motor On Off", 12),
            ("Go", 15),
            ("Go P1 ROT", 12),
            ("Move P1 LJM", 12),
            ("Go P1 CP CP", 12),
            ("Go P1 Till Sw(1) Find Sw(2)", 12),
            ("Go P1 !D10", 12),
            ("Go P1 !!", 12),
            ("Go P1 extra", 12),
            ("TLSet 1", 15),
            ("Print Stat", 15),
            ("Print CX(XY(1,2,3,4,5,6), 1)", 15),
            ("Print XY(1,2,3)", 15),
            ("Print P1000", 15),
            ("P1000 = XY(1,2,3,4,5,6)", 15),
        ],
    )
    def test_malformed_statements(self, ctl, text, code):
        assert ctl.execute(text) == f"!Execute,{code}"


def nested(depth: int) -> str:
    return "Print " + "(" * depth + "1" + ")" * depth


DEEP_STATEMENTS = [
    nested(125),
    "Print " + "Not " * 900 + "1",
    "Print " + "- " * 900 + "1",
    "Print " + "CX(" * 200 + "Here" + ")" * 200,
    "Print CX(Here" + " +X(CX(Here" * 100 + "))" * 100 + ")",
    "P1 = XY(" + "(" * 125 + "1" + ")" * 125 + ",0,0,0,0,0)",
    "Speed " + "(" * 125 + "1" + ")" * 125,
]


class TestLimits:
    """What the interpreter cannot take is a syntax error (12), a value it cannot hold a range
    error (14): never a fault of the simulator (99, or an exception out of ``execute``)."""

    @pytest.mark.parametrize("statement", DEEP_STATEMENTS, ids=lambda s: s[:24])
    def test_deep_nesting_is_a_syntax_error(self, ctl, statement):
        assert ctl.execute(statement) == "!Execute,12"

    def test_nesting_up_to_the_limit_is_fine(self, ctl):
        assert ctl.execute(nested(MAX_NESTING)) == '#Execute," 1"'
        assert ctl.execute("Print " + "Not " * MAX_NESTING + "0") == '#Execute," 0"'
        assert ctl.execute(nested(MAX_NESTING + 1)) == "!Execute,12"
        with pytest.raises(SpelError) as e:
            parse("Print " + "Not " * (MAX_NESTING + 1) + "0")
        assert e.value.code == 12

    def test_long_operator_chains_work(self, ctl):
        assert ctl.execute("Print " + "+".join(["1"] * 500)) == '#Execute," 500"'
        assert ctl.execute("Print " + " - ".join(["1"] * 500)) == '#Execute," -498"'
        assert ctl.execute("Print " + "*".join(["1"] * 500) + " / 4") == '#Execute," 0.25"'
        assert ctl.execute("Print " + " And ".join(["-1"] * 500)) == '#Execute," -1"'
        assert ctl.execute("Print " + " + ".join(['"a"'] * 500)) == f'#Execute,"{"a" * 500}"'
        assert ctl.execute("Print CX(XY(0,0,0,0,0,0)" + " +X(1)" * 500 + ")") == ('#Execute," 500"')

    @pytest.mark.parametrize(
        "statement",
        [
            "Print 1e308 * 10",
            "Print -1e308 - 1e308",
            "Print 9223372036854775807 + 1",
            "Print -9223372036854775807 - 2",
            "Print -(-9223372036854775807 - 1)",
            "Print 4294967296 * 4294967296",
            "Print " + "*".join(["99999"] * 600),
            "Print 9223372036854775808",
            "Print " + "9" * 4000,
            "Print &H" + "F" * 4000,
            "Print Not 1e300",
            "Print 1e300 And 1",
            "Print 1e300 Mod 7",
            "Print 7 Mod 0.5",
            "Print CX(XY(1e308,0,0,0,0,0) + XY(1e308,0,0,0,0,0))",
            "Print CX(XY(1e308,0,0,0,0,0) +X(1e308))",
        ],
        ids=lambda s: s[:32],
    )
    def test_values_that_do_not_fit_are_range_errors(self, ctl, statement):
        assert ctl.execute(statement) == "!Execute,14"

    def test_64_bit_integers_fit(self, ctl):
        assert ctl.execute("Print 9223372036854775807, -9223372036854775807 - 1, &H7FFF") == (
            '#Execute," 9223372036854775807 -9223372036854775808 32767"'
        )

    def test_over_the_wire_the_simulator_answers_and_serves_on(self, sim, connect):
        client = connect(sim.host, sim.command_port)
        assert client.ask("$Login,") == b"#Login,0\r\n"
        for statement in DEEP_STATEMENTS[:2]:
            assert client.ask(f'$Execute,"{statement}"') == b"!Execute,12\r\n"
        long_sum = "Print " + "+".join(["1"] * 500)
        assert client.ask(f'$Execute,"{long_sum}"') == b'#Execute," 500"\r\n'
        assert client.ask('$Execute,"Print 1e308 * 10"') == b"!Execute,14\r\n"
        assert client.ask('$Execute,"Print 1"') == b'#Execute," 1"\r\n'
        assert sim.is_alive()


class TestQueries:
    def test_status_word_query_at_power_on(self, ctl):
        reply = ctl.execute(
            "Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)"
        )
        values = out(reply).split()
        assert len(values) == 8
        assert values[1:] == ["0", "0", "0", "0", "21", "0", "0"]
        assert int(values[0]) & 0x80000 == 0  # not in teach mode

    def test_print_format(self, ctl):
        assert ctl.execute("Print EStopOn") == '#Execute," 0"'
        assert ctl.execute("Print 1, 2; 3") == '#Execute," 1 2 3"'
        assert ctl.execute("Print -1, 0.5, 1/3, 2.0") == '#Execute," -1 0.5 0.3333333333333333 2"'
        assert ctl.execute("Print 1e-20, 1.5e300") == '#Execute," 1e-20 1.5e+300"'
        assert ctl.execute("Print") == '#Execute,""'
        assert ctl.execute('Print "J1:", Agl(1)') == '#Execute,"J1: 0"'
        assert ctl.execute("Print True, False, On, Off, 1 = 1, 1 <> 1") == (
            '#Execute," -1 0 1 0 -1 0"'
        )

    def test_arithmetic(self, ctl):
        assert numbers(ctl.execute("Print 2 + 3 * 4, (2 + 3) * 4, -2 - -3, 7 Mod 3")) == [
            14,
            20,
            1,
            1,
        ]
        assert numbers(ctl.execute("Print 3 And 5, 3 Or 5, Not 0, 1 < 2 And 2 <= 2")) == [
            1,
            7,
            -1,
            -1,
        ]
        assert ctl.execute("Print 1 / 0") == "!Execute,14"
        assert ctl.execute("Print 1e308 * 10") == "!Execute,14"
        assert ctl.execute("Print 1e999") == "!Execute,14"
        assert ctl.execute('Print "a" * 2') == "!Execute,14"

    def test_power_and_accel_max(self, ctl):
        assert ctl.execute("Print Power") == '#Execute," 0"'
        assert ctl.execute("Power High") == "#Execute,0"
        assert ctl.execute("Print Power") == '#Execute," 1"'
        assert ctl.execute("Power Low") == "#Execute,0"
        assert ctl.execute("Print Power") == '#Execute," 0"'
        assert ctl.execute("Print AccelMax(1),AccelMax(2)") == '#Execute," 120 120"'
        assert ctl.execute("Print AccelMax(3)") == "!Execute,14"
        other = SimulatedController(accel_max=(80, 90))
        assert other.execute("Print AccelMax(1),AccelMax(2)") == '#Execute," 80 90"'
        assert other.execute("Accel 80, 91") == "!Execute,14"

    def test_joint_and_pose_query(self, ctl):
        reply = ctl.execute(
            "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),"
            "CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)"
        )
        values = numbers(reply)
        assert len(values) == 12
        assert values[:6] == list(HOME_JOINTS)
        assert values[6:] == pytest.approx(ctl.state()["pose"])
        assert "X:" in out(ctl.execute("Print Here"))

    def test_settings_and_their_read_back(self, ctl):
        for statement in (
            "Speed 50",
            "Accel 40, 20",
            "SpeedS 250.00000000000000000",
            "AccelS 1000.00000000000000000",
        ):
            assert ctl.execute(statement) == "#Execute,0"
        assert numbers(ctl.execute("Print Speed, Accel(1), Accel(2), SpeedS, AccelS")) == [
            50,
            40,
            20,
            250,
            1000,
        ]
        state = ctl.state()
        assert (state["speed"], state["accel"], state["speeds"], state["accels"]) == (
            50,
            [40, 20],
            250.0,
            1000.0,
        )

    @pytest.mark.parametrize(
        "statement",
        [
            "Speed 0",
            "Speed 101",
            "Accel 0, 10",
            "Accel 121, 10",
            "Accel 10, 121",
            "SpeedS 0.00000000000000000",
            "SpeedS -1",
            "SpeedS 2001",
            "AccelS 0",
            "AccelS 25001",
            "XYLimMode 2",
            "XYLim 10, 0, 0, 1",
            "Power 2",
            "Tool 16",
            "Tool -1",
            "TLSet 0, P1",
            "TLSet 16, XY(0,0,0,0,0,0)",
            "TLClr 0",
            "Print Agl(7)",
            "Print PAgl(Here, 0)",
            'Speed "fast"',
            "Print Agl(1.5)",
        ],
    )
    def test_values_out_of_range(self, ctl, statement):
        ctl.set_point(1, [0, 0, 100, 0, 0, 0])
        assert ctl.execute(statement) == "!Execute,14"


class TestWorkspaceLimit:
    def test_xylim_statements_and_read_back(self, ctl):
        assert ctl.execute("XYLimMode 1") == "#Execute,0"
        assert ctl.execute("XYLim -300,300,-200,200,0,500") == "#Execute,0"
        assert ctl.execute("Print XYLimMode") == '#Execute," 1"'
        reply = ctl.execute(
            "Print CX(XYLim(1)),CX(XYLim(2)),CY(XYLim(1)),CY(XYLim(2)),CZ(XYLim(1)),CZ(XYLim(2))"
        )
        assert reply == '#Execute," -300 300 -200 200 0 500"'
        assert ctl.execute("XYLim 0.10000000000000001,1,2,3,4,5") == "#Execute,0"
        assert numbers(ctl.execute("Print CX(XYLim(1))")) == [0.1]
        assert ctl.state()["xylim"] == [0.1, 1, 2, 3, 4, 5]

    def test_power_on_limit_is_all_zero(self, ctl):
        assert ctl.execute("Print XYLimMode") == '#Execute," 0"'
        reply = ctl.execute("Print CX(XYLim(1)),CX(XYLim(2)),CY(XYLim(1)),CZ(XYLim(2))")
        assert reply == '#Execute," 0 0 0 0"'


class TestTools:
    SIX = "Print " + ",".join(f"C{axis}(TLSet({{n}}))" for axis in "XYZUVW")

    def test_define_select_read_and_clear(self, ctl):
        assert ctl.execute("Print Tool") == '#Execute," 0"'
        assert ctl.execute("Print TLDef(15)") == '#Execute," 0"'
        assert ctl.execute("TLSet 15, XY(0,0,100,0,0,0)") == "#Execute,0"
        assert ctl.execute("Print TLDef(15)") == '#Execute," -1"'
        assert ctl.execute(self.SIX.format(n=15)) == '#Execute," 0 0 100 0 0 0"'
        assert ctl.execute("Tool 15") == "#Execute,0"
        assert ctl.execute("Print Tool") == '#Execute," 15"'
        # Clearing the selected slot (as a restore does before selecting the saved Tool).
        assert ctl.execute("TLClr 15") == "#Execute,0"
        assert ctl.execute("Tool 0") == "#Execute,0"
        assert ctl.execute("Print TLDef(15)") == '#Execute," 0"'
        assert ctl.state()["tools"] == {}

    def test_tlset_with_a_named_point_and_17_digit_values(self, ctl):
        ctl.set_point(10, [1.5, -2, 30, 10, 20, 30])
        assert ctl.execute("TLSet 3, P10") == "#Execute,0"
        assert ctl.execute("TLSet 4, XY(0.10000000000000001,0,1e-20,30,20,10)") == "#Execute,0"
        assert numbers(ctl.execute(self.SIX.format(n=3))) == [1.5, -2, 30, 10, 20, 30]
        assert numbers(ctl.execute(self.SIX.format(n=4))) == [0.1, 0, 1e-20, 30, 20, 10]
        assert ctl.state()["tools"] == {
            3: [1.5, -2, 30, 10, 20, 30],
            4: [0.1, 0, 1e-20, 30, 20, 10],
        }

    def test_undefined_slots(self, ctl):
        assert ctl.execute("Tool 3") == "!Execute,15"
        assert ctl.execute("Print CX(TLSet(3))") == "!Execute,15"
        assert ctl.execute("TLSet 3, 5") == "!Execute,15"
        assert ctl.execute("TLClr 3") == "#Execute,0"

    def test_the_tool_changes_here(self, ctl):
        flange = numbers(ctl.execute("Print CX(Here),CY(Here),CZ(Here)"))
        ctl.execute("TLSet 1, XY(0,0,100,0,0,0)")
        ctl.execute("Tool 1")
        tcp = numbers(ctl.execute("Print CX(Here),CY(Here),CZ(Here)"))
        # At home the flange normal points straight down: the TCP is 100 mm lower.
        assert tcp == pytest.approx([flange[0], flange[1], flange[2] - 100])
        assert ctl.telemetry().pose[:3] == pytest.approx(tcp)
        ctl.execute("TLSet 2, XY(10,0,0,0,0,90)")
        ctl.execute("Tool 2")
        assert numbers(ctl.execute("Print CX(Here)")) != pytest.approx([flange[0]])


class TestPoints:
    def test_assignment_and_set_point(self, ctl):
        assert ctl.execute("P1 = XY(400, 0, 300, 0, 90, 0)") == "#Execute,0"
        assert numbers(ctl.execute("Print CX(P1), CZ(P1), CV(P1)")) == [400, 300, 90]
        ctl.set_point(999, [1, 2, 3, 4, 5, 6])
        assert numbers(ctl.execute("Print CW(P999), CX(P(999))")) == [6, 1]
        assert ctl.execute("Print CX(P2)") == "!Execute,15"
        assert ctl.execute("P3 = 5") == "!Execute,15"
        with pytest.raises(ValueError):
            ctl.set_point(1000, [0] * 6)
        with pytest.raises(ValueError):
            ctl.set_point(1, [0] * 5)

    def test_point_arithmetic(self, ctl):
        ctl.set_point(1, [100, 200, 300, 10, 20, 30])
        ctl.set_point(2, [1, 2, 3, 0, 0, 0])
        assert numbers(ctl.execute("Print CX(P1 +X(10)), CZ(P1 -Z(5)), CZ(P1 :Z(7))")) == [
            110,
            295,
            7,
        ]
        assert numbers(ctl.execute("Print CY(P1 + P2), CY(P1 - P2)")) == [202, 198]
        here_z = numbers(ctl.execute("Print CZ(Here)"))[0]
        assert numbers(ctl.execute("Print CZ(Here +Z(-5))")) == [here_z - 5]
        assert ctl.execute("Print CX(P1 +X(Here))") == "!Execute,14"


class TestInverseKinematicsQueries:
    POSE = "XY(400,0,300,0,90,0)"

    def joints(self, ctl, point: str) -> list[float]:
        return [numbers(ctl.execute(f"Print PAgl({point},{j})"))[0] for j in range(1, 7)]

    def test_pagl_forms_reach_the_pose(self, ctl):
        for point in (
            self.POSE,
            f"LJM({self.POSE},Here)",
            f"LJM({self.POSE},AglToPls(0,0,0,0,90,0))",
        ):
            joints = self.joints(ctl, point)
            pose = numbers(
                ctl.execute(
                    "Print CX(AglToPls({0})),CY(AglToPls({0})),CZ(AglToPls({0})),"
                    "CU(AglToPls({0})),CV(AglToPls({0})),CW(AglToPls({0}))".format(
                        ",".join(repr(j) for j in joints)
                    )
                )
            )
            assert pose == pytest.approx([400, 0, 300, 0, 90, 0], abs=1e-6)

    def test_ljm_reference_selects_a_non_default_posture(self, ctl):
        default = self.joints(ctl, self.POSE)

        # The flipped wrist of the default posture, slightly off, as reference.
        def turn(q: float) -> float:
            return (q + 360.0) % 360.0 - 180.0

        flipped = [*default[:3], turn(default[3]), -default[4], turn(default[5])]
        ref = ",".join(repr(q + 2.0) for q in flipped)
        chosen = self.joints(ctl, f"LJM({self.POSE},AglToPls({ref}))")
        assert chosen[4] == pytest.approx(-default[4], abs=1e-6)
        assert chosen != pytest.approx(default, abs=1e-3)
        # From home (J4 = J6 = 0) the flipped wrist is also the least motion: the default
        # posture would turn J4 and J6 half a turn.
        assert abs(default[3]) == pytest.approx(180)
        assert self.joints(ctl, f"LJM({self.POSE},Here)")[3:] == pytest.approx(
            [0, -default[4], 0], abs=1e-6
        )

    def test_pagl_of_here_is_agl_and_unreachable_points_fail(self, ctl):
        assert self.joints(ctl, "Here") == list(HOME_JOINTS)
        assert ctl.execute("Print PAgl(XY(3000,0,0,0,0,0),1)") == "!Execute,99"
        assert ctl.execute("Print PAgl(LJM(XY(3000,0,0,0,0,0),Here),1)") == "!Execute,99"

    def test_pagl_uses_the_selected_tool(self, ctl):
        without = self.joints(ctl, "XY(400,0,400,0,180,0)")
        ctl.execute("TLSet 1, XY(0,0,100,0,0,0)")
        ctl.execute("Tool 1")
        # The flange normal points down: the TCP 100 mm below the same flange pose.
        with_tool = self.joints(ctl, "XY(400,0,300,0,180,0)")
        assert with_tool == pytest.approx(without)


class TestMotionStatements:
    @pytest.mark.parametrize(
        "statement",
        [
            "Go P1",
            "Go P1 CP LJM 1 SYNC",
            "Go P1 LJM",
            "Go P1 LJM 2",
            "Go P1 Till Sw(1) = On",
            "Go P1 Find Sw(1) = On !On 1!",
            "Go P1 !D10; On 1; D50; Off 1!",
            "Go LJM(P1, AglToPls(0,0,0,0,90,0))",
            "Go XY(400,0,300,0,90,0)",
            "Move P2 ROT ECP CP",
            "Move P2 SYNC",
            "Move P2 Till Sw(1) = On !On 1!",
            "Move Here +Z(-5)",
            "Go Here",
        ],
    )
    def test_every_form_the_client_sends_reaches_its_point(self, ready, statement):
        ready.set_point(1, [400, 100, 500, 0, 180, 0])
        ready.set_point(2, [400, 100, 450, 0, 180, 0])
        ready.execute("Power High")
        ready.execute("Speed 100")
        ready.execute("SpeedS 1000")
        if statement.startswith("Move P2"):
            assert ready.execute("Go P1") == "#Execute,0"
        before = ready.state()["pose"]
        assert ready.execute(statement) == "#Execute,0"
        after = ready.state()["pose"]
        expected = {
            "P1": [400, 100, 500],
            "P2": [400, 100, 450],
            "XY(": [400, 0, 300],
            "Here +Z": [before[0], before[1], before[2] - 5],
            "Here": before[:3],
        }
        key = next(k for k in expected if k in statement)
        assert after[:3] == pytest.approx(expected[key], abs=1e-6)


class TestReadiness:
    def test_motors_estop_reset_cycle(self, ctl):
        assert ctl.execute("Motor On") == "#Execute,0"
        assert ctl.state()["motors_on"]
        ctl.emergency_stop()
        assert not ctl.state()["motors_on"]
        assert ctl.execute("Print EStopOn") == '#Execute," -1"'
        assert numbers(ctl.execute("Print CtrlInfo(1)"))[0] == 0x100
        assert ctl.execute("Motor On") == "!Execute,20"
        assert ctl.execute("Reset") == "#Execute,0"  # answered, but the switch is still pressed
        assert numbers(ctl.execute("Print SysErr"))[0] != 0
        ctl.release_emergency_stop()
        assert ctl.execute("Print EStopOn") == '#Execute," 0"'
        assert ctl.execute("Motor On") == "!Execute,20"  # error still pending
        assert ctl.execute("Reset") == "#Execute,0"
        assert ctl.execute("Print SysErr") == '#Execute," 0"'
        assert ctl.execute("Motor On") == "#Execute,0"

    @pytest.mark.parametrize(
        "statement",
        [
            "Motor On",
            "Power High",
            "Power Low",
            "Speed 10",
            "Accel 10, 10",
            "SpeedS 10",
            "AccelS 10",
            "XYLimMode 1",
            "XYLim 0,1,0,1",
            "TLSet 1, XY(0,0,1,0,0,0)",
            "TLClr 1",
            "Tool 0",
            "Go Here",
            "Move Here",
        ],
    )
    @pytest.mark.parametrize("condition", ["estop", "safeguard", "teach"])
    def test_changes_refused_when_not_ready(self, ready, statement, condition):
        {
            "estop": ready.emergency_stop,
            "safeguard": lambda: ready.set_safeguard(True),
            "teach": lambda: ready.set_teach_mode(True),
        }[condition]()
        assert ready.execute(statement) == "!Execute,20"

    def test_queries_reset_motor_off_and_points_in_every_state(self, ready):
        ready.emergency_stop()
        ready.set_safeguard(True)
        assert ready.execute("Print SafetyOn, EStopOn") == '#Execute," -1 -1"'
        assert numbers(ready.execute("Print CtrlInfo(1)"))[0] == 0x300
        assert ready.execute("Reset") == "#Execute,0"
        assert ready.execute("Motor Off") == "#Execute,0"
        assert ready.execute("P5 = Here") == "#Execute,0"

    def test_teach_mode_is_visible_in_stat(self, ctl):
        ctl.set_teach_mode(True)
        assert int(numbers(ctl.execute("Print Stat(0)"))[0]) & 0x80000
        assert ctl.execute("Print TeachOn") == '#Execute," -1"'
        assert ctl.telemetry().stat & 0x80000

    def test_motion_needs_motors(self, ctl):
        assert ctl.execute("Go XY(400,0,300,0,90,0)") == "!Execute,20"
        assert ctl.execute("Move Here +Z(10)") == "!Execute,20"

    def test_reset_state_returns_to_power_on(self, ready):
        ready.execute("Power High")
        ready.execute("TLSet 1, XY(0,0,1,0,0,0)")
        ready.execute("Tool 1")
        ready.execute("Go Here +Z(-20)")
        ready.emergency_stop()
        ready.reset_state()
        fresh = SimulatedController().state()
        assert ready.state() == fresh
        assert fresh["motors_on"] is False and fresh["power"] == "Low"
        assert (fresh["speed"], fresh["accel"], fresh["speeds"], fresh["accels"]) == (
            5,
            [5, 5],
            50.0,
            200.0,
        )
        assert fresh["tool"] == 0 and fresh["tools"] == {} and fresh["xylim_mode"] == 0
        assert fresh["xylim"] == [0] * 6 and fresh["error"] == 0
        assert fresh["joints"] == list(HOME_JOINTS)
