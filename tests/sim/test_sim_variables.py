"""Global Preserve variables: types and their ranges, $GetVariable and $SetVariable, arrays,
unknown names, SPEL+ statements that read and assign them, and the harness calls."""

from __future__ import annotations

import pytest

from epson_remote.sim.variables import variable_type

INTEGER_RANGES = [
    ("Byte", -128, 127),
    ("UByte", 0, 255),
    ("Short", -32768, 32767),
    ("Integer", -32768, 32767),
    ("UShort", 0, 65535),
    ("Long", -(2**31), 2**31 - 1),
    ("Int32", -(2**31), 2**31 - 1),
    ("UInt32", 0, 2**32 - 1),
    ("Int64", -(2**63), 2**63 - 1),
    ("UInt64", 0, 2**64 - 1),
]


@pytest.mark.parametrize(("type_name", "low", "high"), INTEGER_RANGES)
def test_integer_types_take_their_range_and_refuse_beyond(model, remote, type_name, low, high):
    model.variables.define("g_n", type_name)
    for value in (low, high):
        assert remote.answer(f"$SetVariable,g_n,{value}") == "#SetVariable,0"
        assert remote.answer(f"$GetVariable,g_n,{type_name}") == f"#GetVariable,{value}"
    for value in (low - 1, high + 1, "1.5", "x", "", "1e3"):
        assert remote.answer(f"$SetVariable,g_n,{value}") == "!SetVariable,14"
    assert model.variables.value("g_n") == high
    with pytest.raises(ValueError, match=type_name):
        model.variables.define("g_m", type_name, high + 1)


@pytest.mark.parametrize(
    ("type_name", "sent", "read"),
    [
        ("Boolean", "True", "True"),
        ("Boolean", "false", "False"),
        ("Boolean", "-1", "True"),
        ("Boolean", "1", "True"),
        ("Boolean", "0", "False"),
        ("Real", "0.1", "0.1"),
        ("Real", "-2.5e3", "-2500"),
        ("Real", "3.4e38", "3.4e+38"),
        ("Double", "0.1", "0.1"),
        ("Double", "1e300", "1e+300"),
        ("Double", "-7", "-7"),
        ("String", "hello world", "hello world"),
        ("String", '"quoted"', "quoted"),
        ("String", "", ""),
        ("String", "x" * 255, "x" * 255),
    ],
)
def test_other_types_read_back_what_was_set(model, remote, type_name, sent, read):
    model.variables.define("g_v", type_name)
    assert remote.answer(f"$SetVariable,g_v,{sent}") == "#SetVariable,0"
    assert remote.answer(f"$GetVariable,g_v,{type_name}") == f"#GetVariable,{read}"
    assert remote.answer("$GetVariable,g_v") == f"#GetVariable,{read}"


@pytest.mark.parametrize(
    ("type_name", "sent"),
    [
        ("Boolean", "2"),
        ("Boolean", "yes"),
        ("Real", "3.5e38"),
        ("Real", "nan"),
        ("Double", "inf"),
        ("Double", "1e400"),
        ("Double", "abc"),
        ("String", "x" * 256),
    ],
)
def test_values_outside_their_type_are_refused(model, remote, type_name, sent):
    model.variables.define("g_v", type_name)
    before = model.variables.value("g_v")
    assert remote.answer(f"$SetVariable,g_v,{sent}") == "!SetVariable,14"
    assert model.variables.value("g_v") == before


def test_reading_as_another_type_converts_what_fits(model, remote):
    model.variables.define("g_count", "Int64", 300)
    model.variables.define("g_flag", "Boolean", True)
    model.variables.define("g_real", "Real", 0.1)
    exchanges = [
        ("$GetVariable,g_count,Double", "#GetVariable,300"),
        ("$GetVariable,g_count,UByte", "!GetVariable,14"),
        ("$GetVariable,g_count,String", "#GetVariable,300"),
        ("$GetVariable,g_flag,Integer", "#GetVariable,-1"),
        ("$GetVariable,g_real,Double", "#GetVariable,0.10000000149011612"),
        ("$GetVariable,g_real,Integer", "!GetVariable,14"),
    ]
    assert [(line, remote.answer(line)) for line, _ in exchanges] == exchanges


def test_arrays_and_their_elements(model, remote):
    model.variables.define("g_pos", "Double", [1.5, 2, 3])
    exchanges = [
        ("$GetVariable,g_pos,Double", "#GetVariable,1.5,2,3"),
        ("$GetVariable,g_pos(1),Double", "#GetVariable,2"),
        ("$SetVariable,g_pos(2),-0.25", "#SetVariable,0"),
        ("$GetVariable,g_pos(1),Double,2", "#GetVariable,2,-0.25"),
        ("$GetVariable,g_pos(3),Double", "!GetVariable,15"),
        ("$GetVariable,g_pos(1),Double,3", "!GetVariable,15"),
        ("$GetVariable,g_pos(0),Double,0", "!GetVariable,14"),
        ("$GetVariable,g_pos(0),Double,101", "!GetVariable,14"),
        ("$SetVariable,g_pos(3),1", "!SetVariable,15"),
        ("$SetVariable,g_pos,1", "!SetVariable,15"),  # an array needs an index
    ]
    assert [(line, remote.answer(line)) for line, _ in exchanges] == exchanges
    assert model.variables.value("g_pos") == [1.5, 2.0, -0.25]
    assert model.variables.value("G_POS(2)") == -0.25
    model.variables.define("g_many", "UByte", list(range(150)))
    values = remote.answer("$GetVariable,g_many,UByte").split(",", 1)[1].split(",")
    assert values == [str(n) for n in range(100)]  # at most 100 in one reply


def test_names_unknown_malformed_and_in_any_letter_case(model, remote):
    model.variables.define("g_Speed", "Integer", 5)
    model.variables.define("g_one", "Integer")
    exchanges = [
        ("$GetVariable,G_SPEED,integer", "#GetVariable,5"),
        ("$SetVariable,g_speed,6", "#SetVariable,0"),
        ("$GetVariable,g_Speed", "#GetVariable,6"),
        ("$GetVariable,g_none", "!GetVariable,15"),
        ("$GetVariable,g_one(0)", "!GetVariable,15"),  # not an array
        ("$GetVariable", "!GetVariable,15"),
        ("$GetVariable,1abc", "!GetVariable,12"),
        ("$GetVariable,g_speed,Float", "!GetVariable,12"),
        ("$GetVariable,g_speed,Integer,1,2", "!GetVariable,12"),
        ("$SetVariable,g_speed", "!SetVariable,15"),
        ("$SetVariable,g speed,1", "!SetVariable,12"),
        ("$SetVariable,g_new(1),3", "!SetVariable,15"),
    ]
    assert [(line, remote.answer(line)) for line, _ in exchanges] == exchanges


@pytest.mark.parametrize(
    ("sent", "type_name", "read"),
    [
        ("12", "Int64", "12"),
        ("-0.5", "Double", "-0.5"),
        ("True", "Boolean", "True"),
        ('"12"', "String", "12"),
        ("label$1", "String", "label$1"),
    ],
)
def test_setting_an_unknown_name_creates_a_variable_of_the_values_form(
    model, remote, sent, type_name, read
):
    assert remote.answer(f"$SetVariable,g_new,{sent}") == "#SetVariable,0"
    assert model.variables.type_of("g_new") == variable_type(type_name)
    assert remote.answer("$GetVariable,g_new") == f"#GetVariable,{read}"


def test_spel_statements_read_and_assign_variables(model):
    model.variables.define("g_count", "Integer", 1)
    model.variables.define("g_pos", "Real", [0, 0])
    model.variables.define("g_done", "Boolean")
    model.variables.define("g_msg$", "String", "ok")
    for statement in ("g_count = g_count * 10", "g_pos(1) = 2.5", "g_done = True"):
        assert model.execute(statement) == "#Execute,0", statement
    assert model.execute("Print g_count, g_pos(1), g_done, g_msg$") == ('#Execute," 10 2.5 -1ok"')
    assert model.variables.value("g_done") is True
    exchanges = [
        ("g_count = 40000", "!Execute,14"),
        ('g_count = "text"', "!Execute,14"),
        ("g_pos(2) = 1", "!Execute,15"),
        ("g_pos = 1", "!Execute,15"),
        ("g_unknown = 1", "!Execute,11"),
        ("Print g_unknown", "!Execute,11"),
    ]
    assert [(line, model.execute(line)) for line, _ in exchanges] == exchanges
    model.emergency_stop()
    assert model.execute("g_count = 2") == "!Execute,20"  # as $SetVariable
    assert model.execute("Print g_count") == '#Execute," 10"'


def test_harness_defines_reads_and_reset_forgets(sim, connect):
    sim.define_variable("g_speed", "UShort", 1200)
    sim.define_variable("g_pos", "Double", [1.0, 2.0])
    sim.define_variable("g_name$", "String")
    client = connect(sim.host, sim.command_port)
    client.answer("$Login,")
    assert client.answer("$SetVariable,g_name$,box 7") == "#SetVariable,0"
    assert client.answer("$SetVariable,g_pos(1),4.25") == "#SetVariable,0"
    assert sim.variable("G_SPEED") == 1200
    assert sim.variable("g_pos") == [1.0, 4.25] and sim.variable("g_pos(1)") == 4.25
    assert sim.variable("g_name$") == "box 7"
    for name, type_name, value in [
        ("g_x", "UByte", 256),
        ("g_x", "Boolean", 1),
        ("g_x", "String", "a,b"),
        ("g_x", "Float", 1.0),
        ("2x", "Integer", 1),
        ("g_x", "Integer", []),
    ]:
        with pytest.raises(ValueError):
            sim.define_variable(name, type_name, value)
    with pytest.raises(KeyError):
        sim.variable("g_x")
    sim.reset()
    with pytest.raises(KeyError):
        sim.variable("g_speed")
