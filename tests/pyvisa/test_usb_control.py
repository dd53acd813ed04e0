"""PyVISA's usb_control_in (viUsbControlIn) on our library against sgsim on
the bus directory of tests/pyvisa/run: a class request and a standard one
come back as the device answered them, and a refused one raises."""
import os
import subprocess

import pytest
import pyvisa

LIBRARY = os.environ["PYVISA_LIBRARY"]
SGSIM = os.environ["SG_SGSIM"]


@pytest.fixture
def instrument():
    sim = subprocess.Popen([SGSIM, "--io-test", "--serial", "UPY001"], stdout=subprocess.PIPE,
                           text=True)
    try:
        assert sim.stdout.readline().strip(), "sgsim did not start"
        rm = pyvisa.ResourceManager(LIBRARY)
        try:
            inst = rm.open_resource("USB0::0x4D19::0x0040::UPY001::0::INSTR")
            inst.timeout = 2000
            yield inst
        finally:
            rm.close()
    finally:
        sim.terminate()
        sim.wait(10)


def test_usb_control_in_brings_the_devices_answers(instrument):
    caps = instrument.control_in(0xA1, 7, 0, 0, 0x18)  # GET_CAPABILITIES
    assert len(caps) == 0x18 and caps[0] == 1 and caps[2:4] == b"\x00\x01"
    device = instrument.control_in(0x80, 6, 0x0100, 0, 18)  # the device descriptor
    assert device[0] == 18 and device[8:12] == b"\x19\x4d\x40\x00"
    with pytest.raises(pyvisa.errors.VisaIOError) as refused:
        instrument.control_in(0xA1, 7, 0, 1, 0x18)  # another interface
    assert refused.value.error_code == pyvisa.constants.StatusCode.error_invalid_parameter
    assert instrument.query("*OPC?") == "1\n"
