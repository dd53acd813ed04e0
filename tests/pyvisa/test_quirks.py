"""PyVISA on our library against sgsim --quirk NAME: what a Python program
gets from an instrument that bends the USBTMC rules. Each case starts its own
simulated instrument (the I/O test instrument, which answers SEND with the
bytes it was given after RECEIVE) on the bus directory of tests/pyvisa/run."""
import os
import subprocess

import pytest
import pyvisa

LIBRARY = os.environ["PYVISA_LIBRARY"]
SGSIM = os.environ["SG_SGSIM"]


@pytest.fixture
def quirky():
    """Opens an instrument started with the given quirks; closes and stops it."""
    started = []

    def start(quirks, serial):
        sim = subprocess.Popen([SGSIM, "--io-test", "--serial", serial, "--quirk", quirks],
                               stdout=subprocess.PIPE, text=True)
        started.append(sim)
        assert sim.stdout.readline().strip(), "sgsim did not start"
        rm = pyvisa.ResourceManager(LIBRARY)
        inst = rm.open_resource(f"USB0::0x4D19::0x0040::{serial}::0::INSTR")
        started.append(rm)
        inst.timeout = 2000
        return inst

    yield start
    for thing in reversed(started):
        if isinstance(thing, subprocess.Popen):
            thing.terminate()
            thing.wait(10)
        else:
            thing.close()


def test_binary_block_is_whole_when_every_transfer_carries_eom(quirky):
    inst = quirky("eom-always:16", "QPY001")
    payload = bytes(range(200))
    inst.write_raw(b"RECEIVE\n")
    inst.write_raw(b"#3200" + payload + b"\n")
    values = inst.query_binary_values("SEND", datatype="B", container=bytes)
    assert values == payload
    assert inst.query("*OPC?") == "1\n"


def test_replies_end_at_the_linefeed_of_a_device_that_never_sets_eom(quirky):
    inst = quirky("eom-never,packet64", "QPY002")
    for _ in range(3):
        assert inst.query("*IDN?") == "Simulated Signal Sources,IO-TEST,QPY002,1.0\n"
