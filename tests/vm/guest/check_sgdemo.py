"""Checks 2, 4 and 5: sgdemo over libusb in a pseudo-terminal, as an
operator runs it: a whole connected run, an unplug during the pause, and a
user without access to the device."""
import os
import time

from pty_run import PtyRun
from report import CheckFailed, expect, expect_equal
from waits import Uevents

IDN = "Simulated Signal Sources,SG-4040,SIM001,1.0"
RF_PHASE = (
    "Enter serial number: SIM001\r\n"
    "Connect to USB0::0x4d19::0x0040::SIM001::0::INSTR\r\n"
    f"IDN: {IDN}\r\n"
    "setting frequency to 1 GHz\r\n"
    "setting power to 1 dBm\r\n"
    "power on\r\n"
    '0,"No error"\r\n'
    "press any key to continue...\r\n"
)
LF_PHASE = (
    "switch LF generator and setting shape SINE\r\n"
    "setting frequency to 9 kHz\r\n"
    "setting amplitude 3 V\r\n"
)
EXIT_PROMPT = "press any key to exit...\r\n"
TEN_COMMANDS = [
    "*RST", "*IDN?", "FREQ 1 GHz", "POW 1", "OUTPut:STATe ON", "SYSTem:ERRor?",
    "LFO:FUNC:SHAP SIN", "LFO:FUNC:FREQ 9 kHz", "LFO:AMP 3", "*RST",
]
STEP_BOUND = 30  # seconds for one phase of the program under TCG


def sgdemo_path(build_dir):
    path = os.path.join(build_dir, "bin", "sgdemo")
    if not os.path.exists(path):
        raise CheckFailed(f"{path} is missing (build the sgdemo target)")
    return path


def kernel_node():
    return "/dev/usbtmc0" if os.path.exists("/dev/usbtmc0") else None


def whole_dialogue(exe, driver_node):
    """sgdemo's run as an operator does it, checking the transcript byte for
    byte and the exit status; the kernel driver's node (`driver_node()`, None
    when there is none) must be gone while sgdemo holds the device and back
    once it has let go."""
    run = PtyRun([exe])
    try:
        run.expect(b"Enter serial number: ", STEP_BOUND)
        run.type_line(b"SIM001\n")
        run.expect(b"press any key to continue...\r\n", STEP_BOUND)
        node = driver_node()
        expect(node is None, f"{node} still exists while sgdemo holds the device: "
               "the kernel driver was not detached")
        run.press_key(b"k", STEP_BOUND)
        run.expect(EXIT_PROMPT.encode(), STEP_BOUND)
        with Uevents() as events:
            events.wait_until(lambda: driver_node() is not None, 10,
                              "the kernel driver's node after sgdemo closed the device")
        run.press_key(b"k", STEP_BOUND)
        status = run.finish(STEP_BOUND)
    finally:
        run.kill()
    expect_equal(run.transcript.decode(errors="replace"), RF_PHASE + LF_PHASE + EXIT_PROMPT,
                 "transcript")
    expect_equal(status, 0, "sgdemo exit status")


def dialogue_unplugged_at_pause(exe, unplug):
    """sgdemo's run with `unplug()` at the pause: the whole transcript and
    exit status 0 all the same. Returns the seconds from the key press to
    the exit prompt."""
    run = PtyRun([exe])
    try:
        run.expect(b"Enter serial number: ", STEP_BOUND)
        run.type_line(b"SIM001\n")
        run.expect(b"press any key to continue...\r\n", STEP_BOUND)
        unplug()
        start = time.monotonic()
        run.press_key(b"k", STEP_BOUND)
        run.expect(EXIT_PROMPT.encode(), STEP_BOUND)
        lf_phase = time.monotonic() - start
        run.press_key(b"k", STEP_BOUND)
        status = run.finish(STEP_BOUND)
    finally:
        run.kill()
    expect_equal(run.transcript.decode(errors="replace"), RF_PHASE + LF_PHASE + EXIT_PROMPT,
                 "transcript")
    expect_equal(status, 0, "sgdemo exit status")
    return lf_phase


def connected_run(gadget, build_dir):
    exe = sgdemo_path(build_dir)
    gadget.start()
    whole_dialogue(exe, kernel_node)
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    expect_equal(gadget.received(), TEN_COMMANDS, "commands the simulator received")
    return "transcript byte for byte, ten commands, /dev/usbtmc0 back afterwards"


def unplug_during_pause(gadget, build_dir):
    exe = sgdemo_path(build_dir)
    gadget.start()
    lf_phase = dialogue_unplugged_at_pause(exe, gadget.unplug)
    # Four failing writes and two closes: each must fail at once, not wait
    # for a timeout (2 s each).
    expect(lf_phase < 1.5, f"the LF phase after the unplug took {lf_phase:.2f} s")
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    expect_equal(gadget.received(), TEN_COMMANDS[:6], "commands the simulator received")
    return f"LF phase and close after the unplug in {lf_phase * 1000:.0f} ms, exit 0"


def no_permission(gadget, build_dir):
    exe = sgdemo_path(build_dir)
    gadget.start()
    run = PtyRun([exe], user="nobody")
    try:
        run.expect(b"Enter serial number: ", STEP_BOUND)
        run.type_line(b"SIM001\n")
        run.expect(EXIT_PROMPT.encode(), STEP_BOUND)
        run.press_key(b"k", STEP_BOUND)
        status = run.finish(STEP_BOUND)
    finally:
        run.kill()
    expect_equal(run.transcript.decode(errors="replace"),
                 "Enter serial number: SIM001\r\nConnection error!\r\n" + EXIT_PROMPT,
                 "transcript as user nobody")
    expect_equal(status, 0, "sgdemo exit status")
    expect(os.path.exists("/dev/usbtmc0"), "the kernel driver lost the device")
    return "\"Connection error!\" as user nobody"
