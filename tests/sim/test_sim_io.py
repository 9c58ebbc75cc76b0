"""Inputs, outputs and memory I/O: the bit, byte and word views, the Remote Ethernet requests, the
SPEL+ statements and functions, the harness calls and the wiring of an output to an input."""

from __future__ import annotations

import time

import pytest
from helpers import wait_until

from epson_remote.sim.io_memory import IOMemory


@pytest.mark.parametrize("kind", ["input", "output", "memory"])
def test_bits_bytes_and_words_are_views_of_the_same_bits(kind):
    io = IOMemory()
    io.set_bit(kind, 17, True)  # byte port 2, word port 1
    io.set_bit(kind, 31, True)
    assert (io.byte(kind, 2), io.byte(kind, 3), io.word(kind, 1)) == (0x02, 0x80, 0x8002)
    io.set_word(kind, 4095, 0xA55A)  # the last word port: bits 65520..65535
    assert io.byte(kind, 8190) == 0x5A and io.byte(kind, 8191) == 0xA5
    assert io.bit(kind, 65535) and not io.bit(kind, 65520)
    io.set_byte(kind, 2, 0)
    assert not io.bit(kind, 17) and io.word(kind, 1) == 0x8000
    others = {"input", "output", "memory"} - {kind}
    assert not any(io.word(other, 1) for other in others)


def test_the_requests_write_outputs_and_memory_and_read_inputs(model, remote):
    exchanges = [
        ("$SetIO,20,1", "#SetIO,0"),
        ('$Execute,"Print Oport(20), Oport(21)"', '#Execute," 1 0"'),
        ("$SetIOByte,3,a5", "#SetIOByte,0"),  # either letter case
        ('$Execute,"Print Out(3)"', '#Execute," 165"'),
        ("$SetIOWord,2,BEEF", "#SetIOWord,0"),
        ('$Execute,"Print OutW(2), Out(4), Out(5)"', '#Execute," 48879 239 190"'),
        ("$SetIO,20,0", "#SetIO,0"),
        ('$Execute,"Print Oport(20)"', '#Execute," 0"'),
        ("$GetIO,20", "#GetIO,0"),  # $GetIO reads the inputs, not the outputs
        ("$SetMemIO,700,1", "#SetMemIO,0"),
        ("$GetMemIO,700", "#GetMemIO,1"),
        ("$GetMemIOByte,87", "#GetMemIOByte,10"),
        ("$SetMemIOByte,1,7f", "#SetMemIOByte,0"),
        ("$GetMemIOWord,0", "#GetMemIOWord,7F00"),
        ("$SetMemIOWord,0,1", "#SetMemIOWord,0"),
        ('$Execute,"Print MemSw(0), MemIn(1), MemInW(0)"', '#Execute," 1 0 1"'),
    ]
    assert [(line, remote.answer(line)) for line, _ in exchanges] == exchanges
    assert model.io.bit("output", 16 * 2 + 1) and model.io.word("output", 2) == 0xBEEF
    model.io.set_bit("input", 9, True)
    model.io.set_word("input", 5, 0x00C3)
    exchanges = [
        ("$GetIO,9", "#GetIO,1"),
        ("$GetIOByte,1", "#GetIOByte,02"),
        ("$GetIOWord,5", "#GetIOWord,00C3"),
        ("$GetIOByte,10", "#GetIOByte,C3"),
        ('$Execute,"Print Sw(9), In(1), InW(5)"', '#Execute," 1 2 195"'),
    ]
    assert [(line, remote.answer(line)) for line, _ in exchanges] == exchanges


@pytest.mark.parametrize(
    ("request_line", "code"),
    [
        ("$GetIO,65536", 14),
        ("$GetIO,-1", 14),
        ("$GetIO,x", 14),
        ("$GetIO,", 14),
        ("$GetIO,1.5", 14),
        ("$GetIO", 15),
        ("$GetIO,1,2", 12),
        ("$SetIO,65536,1", 14),
        ("$SetIO,1,2", 14),
        ("$SetIO,1,on", 14),
        ("$SetIO,1", 15),
        ("$SetIO,1,1,1", 12),
        ("$GetIOByte,8192", 14),
        ("$SetIOByte,0,100", 14),  # three hex digits: not a byte
        ("$SetIOByte,0,G1", 14),
        ("$GetIOWord,4096", 14),
        ("$SetIOWord,0,10000", 14),
        ("$SetIOWord,0,", 14),
        ("$GetMemIO,65536", 14),
        ("$SetMemIOByte,8192,00", 14),
        ("$GetMemIOWord", 15),
    ],
)
def test_parameters_out_of_range_or_malformed_are_refused(model, remote, request_line, code):
    name = request_line[1:].split(",", 1)[0]
    assert remote.answer(request_line) == f"!{name},{code}"
    assert not any(model.io.word(kind, 0) for kind in ("input", "output", "memory"))


def test_spel_io_statements_and_their_refusals(model):
    model.execute("Motor On")
    for statement in ("On 3", "MemOn 5", "Out 1, &HF0", "OutW 2, 513", "MemOut 3, 7"):
        assert model.execute(statement) == "#Execute,0", statement
    assert model.execute("Print Oport(3), Out(1), OutW(2), MemSw(5), MemIn(3)") == (
        '#Execute," 1 240 513 1 7"'
    )
    assert model.execute("Off 3") == "#Execute,0"
    assert model.execute("MemOff 5") == "#Execute,0"
    assert model.execute("Print Oport(3), MemSw(5)") == '#Execute," 0 0"'
    for statement in ("On 65536", "Out 1, 256", "OutW 0, -1", "Print Sw(65536)", "Print In(-1)"):
        assert model.execute(statement) == "!Execute,14", statement
    model.emergency_stop()
    assert model.execute("On 3") == "!Execute,20"  # like every statement that acts
    assert model.execute("Print Oport(3)") == '#Execute," 0"'


def test_a_till_condition_reads_the_inputs(model):
    model.execute("Motor On")
    before = model.state()["pose"]
    model.io.set_bit("input", 1, True)
    assert model.execute("Go Here +Z(-50) Till Sw(1) = On") == "#Execute,0"
    assert model.state()["pose"] == before  # stopped before it began


def test_a_wired_input_follows_each_change_after_the_delay_in_order():
    io = IOMemory()
    io.wire_output_to_input(7, 40, delay_s=0.3)
    started = time.monotonic()
    io.set_byte("output", 0, 0x80)  # bit 7 on, as part of a byte
    time.sleep(0.15)
    io.set_bit("output", 7, False)
    assert not io.bit("input", 40)
    assert wait_until(lambda: io.bit("input", 40), timeout=2.0)
    assert time.monotonic() - started >= 0.29
    assert wait_until(lambda: not io.bit("input", 40), timeout=2.0)
    assert time.monotonic() - started >= 0.44
    io.wire_output_to_input(7, 41)  # no delay: follows at once
    io.set_bit("output", 7, True)
    assert io.bit("input", 41)


def test_wiring_takes_the_outputs_state_and_refuses_bad_arguments():
    io = IOMemory()
    io.set_bit("output", 2, True)
    io.wire_output_to_input(2, 3, delay_s=5.0)
    assert io.bit("input", 3)
    for arguments in ((65536, 1), (1, -1), (True, 1)):
        with pytest.raises(ValueError):
            io.wire_output_to_input(*arguments)
    for delay in (-0.1, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="delay_s"):
            io.wire_output_to_input(1, 2, delay_s=delay)


def test_harness_gripper_and_sensor_and_reset(sim, connect):
    client = connect(sim.host, sim.command_port)
    assert client.answer("$Login,") == "#Login,0"
    sim.wire_output_to_input(0, 8, delay_s=0.2)
    assert client.answer("$SetIO,0,1") == "#SetIO,0"
    assert sim.output(0) and not sim.input(8)
    assert wait_until(lambda: client.answer("$GetIO,8") == "#GetIO,1", timeout=3.0)
    sim.set_input(100, True)
    sim.set_input_byte(20, 0x5A)
    sim.set_input_word(11, 0x1234)
    assert client.answer("$GetIO,100") == "#GetIO,1"
    assert client.answer("$GetIOByte,20") == "#GetIOByte,5A"
    assert client.answer("$GetIOWord,11") == "#GetIOWord,1234"
    assert client.answer("$SetIOWord,3,ABCD") == "#SetIOWord,0"
    assert client.answer("$SetMemIO,9,1") == "#SetMemIO,0"
    assert (sim.output_word(3), sim.output_byte(6), sim.memory(9)) == (0xABCD, 0xCD, True)
    with pytest.raises(ValueError, match="bit"):
        sim.set_input(65536, True)
    sim.reset()
    assert not sim.input(8) and not sim.input(100) and not sim.output(0)
    assert sim.output_word(3) == 0 and not sim.memory(9)
    client = connect(sim.host, sim.command_port)
    client.answer("$Login,")
    assert client.answer("$SetIO,0,1") == "#SetIO,0"
    time.sleep(0.4)
    assert not sim.input(8)  # the wiring ended with the reset
