"""Check 1: USBTMC implementations we did not write, against the simulator:
the kernel's usbtmc driver and pyvisa-py."""
from report import CheckFailed, expect, expect_equal
from usbtmc_char import UsbtmcChar, mean_round_trip

IDN = "Simulated Signal Sources,SG-4040,SIM001,1.0\n"
RESOURCE = "USB0::0x4D19::0x0040::SIM001::INSTR"
ROUND_TRIPS = 100


def frequency(reply):
    try:
        return float(reply)
    except ValueError:
        raise CheckFailed(f"FREQ? answered {reply!r}, not a number")


def kernel_driver(gadget, report):
    gadget.start()
    with UsbtmcChar() as dev:
        expect_equal(dev.query("*IDN?\n"), IDN, "*IDN? through /dev/usbtmc0")
        dev.write("FREQ 2.5 GHz\n")
        got = frequency(dev.query("FREQ?\n"))
        expect(got == 2.5e9, f"FREQ? after FREQ 2.5 GHz read back {got}")
        mean = mean_round_trip(lambda: dev.query("*IDN?\n"), ROUND_TRIPS)
        report.figure(f"*IDN? round trip, kernel usbtmc driver: {mean * 1000:.2f} ms "
                      f"(mean of {ROUND_TRIPS})")
    status = gadget.stop()
    expect_equal(status, 0, "sgsim exit status")
    received = gadget.received()
    expect_equal(received[:3], ["*IDN?", "FREQ 2.5 GHz", "FREQ?"],
                 "first messages in the simulator's log")
    return "*IDN? and FREQ set/query through /dev/usbtmc0"


def pyvisa_py(gadget, report):
    import pyvisa

    gadget.start()
    rm = pyvisa.ResourceManager("@py")
    try:
        inst = rm.open_resource(RESOURCE, open_timeout=5000)
        inst.timeout = 5000
        inst.write_termination = "\n"
        try:
            idn = inst.query("*IDN?")
            expect_equal(idn, IDN, "*IDN? through pyvisa-py")
            inst.write("POW -7.5")
            level = inst.query("POW?")
            expect(float(level) == -7.5, f"POW? after POW -7.5 read back {level!r}")
            mean = mean_round_trip(lambda: inst.query("*IDN?"), ROUND_TRIPS)
            report.figure(f"*IDN? round trip, pyvisa-py: {mean * 1000:.2f} ms "
                          f"(mean of {ROUND_TRIPS})")
        finally:
            inst.close()
    finally:
        rm.close()
    status = gadget.stop()
    expect_equal(status, 0, "sgsim exit status")
    expect_equal(gadget.received()[:3], ["*IDN?", "POW -7.5", "POW?"],
                 "first messages in the simulator's log")
    return f"{RESOURCE}: *IDN? and POW set/query"
