"""A malformed bulk-OUT transfer: the device halts bulk-OUT (the next
transfer stalls), and after the host clears the halt it answers again. Shows
the halt reaching the host through FunctionFS."""
import os
import subprocess
import sys

from report import CheckFailed, expect_equal


def malformed_transfer(gadget):
    gadget.start()
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pyusb_stall.py")
    done = subprocess.run([sys.executable, "-I", "-S", script], capture_output=True, text=True,
                          timeout=60)
    if done.returncode != 0:
        raise CheckFailed(f"{done.stdout.strip()} {done.stderr.strip()}")
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    expect_equal(gadget.received(), ["*IDN?"], "messages the simulator received")
    return "bulk-OUT stalled after a bad header, answers after CLEAR_FEATURE(HALT)"
