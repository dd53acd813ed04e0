"""PyVISA on our shared library over real USB: it lists the gadget, opens
it and queries it; and one long-lived PyVISA process goes through unplug and
replug cycles, each followed by a listing that shows the instrument once and
a query that works."""
import os

from report import expect, expect_equal
from usbtmc_char import mean_round_trip

IDN = "Simulated Signal Sources,SG-4040,SIM001,1.0"
LISTED = "USB0::0x4D19::0x0040::SIM001::0::INSTR"
ROUND_TRIPS = 100
CYCLES = 20


def _open(rm):
    inst = rm.open_resource(LISTED, open_timeout=5000)
    inst.timeout = 5000
    inst.write_termination = "\n"
    inst.read_termination = "\n"
    return inst


def pyvisa_sgvisa(gadget, build_dir, report):
    import pyvisa

    gadget.start()
    rm = pyvisa.ResourceManager(os.path.join(build_dir, "lib", "libsgvisa.so.1"))
    try:
        expect_equal(rm.list_resources(), (LISTED,), "resources PyVISA lists")
        inst = _open(rm)
        try:
            expect_equal(inst.query("*IDN?"), IDN, "*IDN? through PyVISA on our library")
            inst.write("POW -7.5")
            level = inst.query("POW?")
            expect(float(level) == -7.5, f"POW? after POW -7.5 read back {level!r}")
            mean = mean_round_trip(lambda: inst.query("*IDN?"), ROUND_TRIPS)
            report.figure(f"*IDN? round trip, PyVISA on our library: {mean * 1000:.2f} ms "
                          f"(mean of {ROUND_TRIPS})")
        finally:
            inst.close()

        for cycle in range(CYCLES):
            expect_equal(gadget.stop(), 0, f"sgsim exit status, cycle {cycle}")
            expect_equal(rm.list_resources("?*"), (), f"resources listed while unplugged, cycle {cycle}")
            gadget.start()
            expect_equal(rm.list_resources(), (LISTED,), f"resources listed, cycle {cycle}")
            inst = _open(rm)
            try:
                expect_equal(inst.query("*IDN?"), IDN, f"*IDN? after replug {cycle}")
            finally:
                inst.close()
    finally:
        rm.close()
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    return f"{LISTED}: listed, *IDN? and POW set/query; {CYCLES} unplug/replug cycles in one process"
