"""sgvisa-list: the instrument lister on real USB: the gadget with its bus,
device node and the kernel driver holding its interface, openable by root
and not by a user without access (with the reason); info reads its
capabilities over libusb and gives the interface back to the driver."""
import json
import os
import subprocess

from report import CheckFailed, expect, expect_equal
from waits import Uevents

LISTED = "USB0::0x4D19::0x0040::SIM001::0::INSTR"
GADGET_BUSID = "1-1"


def sgvisa(build_dir, *args, user=None):
    path = os.path.join(build_dir, "bin", "sgvisa")
    if not os.path.exists(path):
        raise CheckFailed(f"{path} is missing (build the sgvisa_tool target)")
    kwargs = {"user": user, "extra_groups": []} if user else {}
    done = subprocess.run([path, *args], capture_output=True, text=True, timeout=60, **kwargs)
    expect_equal(done.returncode, 0, f"sgvisa {' '.join(args)} exit status ({done.stderr})")
    return done.stdout


def usb_entry(listing):
    found = [i for i in json.loads(listing)["instruments"] if i["resource"] == LISTED]
    expect_equal(len(found), 1, f"{LISTED} in the listing {listing}")
    return found[0]


def lists_the_gadget(gadget, build_dir):
    gadget.start()
    with open(f"/sys/bus/usb/devices/{GADGET_BUSID}/busnum") as f:
        bus = int(f.read())
    with open(f"/sys/bus/usb/devices/{GADGET_BUSID}/devnum") as f:
        device = int(f.read())
    entry = usb_entry(sgvisa(build_dir, "--json", "list"))
    expect_equal((entry["bus"], entry["usb_bus"], entry["usb_device"]), ("usb", bus, device),
                 "bus and device")
    expect_equal(entry["device_node"], f"/dev/bus/usb/{bus:03d}/{device:03d}", "device node")
    expect_equal(entry["driver"], "usbtmc", "driver holding the interface")
    expect_equal((entry["manufacturer"], entry["serial"]), ("Simulated Signal Sources", "SIM001"),
                 "strings")
    expect(entry["may_open"], f"root may open it: {entry}")

    other = usb_entry(sgvisa(build_dir, "--json", "list", user="nobody"))
    expect(not other["may_open"] and "no permission" in other["reason"] and other["fix"],
           f"nobody may not open it, and is told why: {other}")

    with Uevents() as events:
        info = sgvisa(build_dir, "info", LISTED)
        expect("USB488          1.00, IEEE 488.2 interface" in info, f"capabilities read: {info}")
        events.wait_until(lambda: os.path.exists("/dev/usbtmc0"), 20,
                          "/dev/usbtmc0 back after info")
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    expect_equal(gadget.received(), [], "messages sent by list and info")
    return f"bus {bus}, device {device}, driver usbtmc; nobody told: {other['reason']}"
