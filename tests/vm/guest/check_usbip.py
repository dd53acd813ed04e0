"""The generator on another machine: exported with USB/IP (usbip-host,
usbipd) and attached through vhci_hcd, here both in the guest over the
loopback. On the vhci appearance the kernel's usbtmc driver, sgdemo and our
library work as with a local device; the exported appearance, still visible
on dummy_hcd, is left alone; a detach is an unplug."""
from check_peers import frequency
from check_sgdemo import (TEN_COMMANDS, dialogue_unplugged_at_pause, sgdemo_path,
                          whole_dialogue)
from probe import (VI_ERROR_CONN_LOST, VI_ERROR_RSRC_NFOUND, VI_SUCCESS, expect_status,
                   run_probe, run_probe_with_action)
from report import CheckFailed, expect, expect_equal
from usbip_link import BUSID, UsbipLink, usb_node, usbtmc_node
from usbtmc_char import UsbtmcChar, mean_round_trip

IDN = "Simulated Signal Sources,SG-4040,SIM001,1.0\n"
ROUND_TRIPS = 50


class Attachment:
    """sgsim's device exported and attached, kept from one USB/IP check to
    the next (setting it up takes about two seconds under TCG). A check gets
    it with ready(): attached, the usbtmc driver on the vhci appearance, no
    session open; and leaves it so. After a failed check close() tears it
    down and the next check sets it up again."""

    def __init__(self, gadget):
        self.gadget = gadget
        self.link = None
        self._seen = 0

    def ready(self):
        if self.link is None:
            self.gadget.start()
            self.link = UsbipLink()
            self.link.export()
            self.link.attach()
        if self.link.busid is None or usbtmc_node(self.link.busid) is None:
            raise CheckFailed(f"the usbtmc driver is not on the vhci appearance "
                              f"{self.link.busid}")
        self._seen = len(self.gadget.received())
        return self.link

    def received(self):
        """The messages sgsim received since ready()."""
        return self.gadget.received()[self._seen:]

    def give_back(self):
        """Detaches and gives the device back to usbtmc on dummy_hcd; sgsim
        goes on."""
        if self.link is not None:
            try:
                self.link.close()
            finally:
                self.link = None

    def close(self):
        """give_back(), then stops sgsim; returns its exit status (None when
        it was not running)."""
        try:
            self.give_back()
        finally:
            status = self.gadget.stop()
        return status


def kernel_driver(attachment, report):
    link = attachment.ready()
    node = usbtmc_node(link.busid)
    with UsbtmcChar(node) as dev:
        expect_equal(dev.query("*IDN?\n"), IDN, f"*IDN? through {node} on vhci_hcd")
        dev.write("FREQ 2.5 GHz\n")
        got = frequency(dev.query("FREQ?\n"))
        expect(got == 2.5e9, f"FREQ? after FREQ 2.5 GHz read back {got}")
        mean = mean_round_trip(lambda: dev.query("*IDN?\n"), ROUND_TRIPS)
    report.figure(f"*IDN? round trip, kernel usbtmc driver over USB/IP: "
                  f"{mean * 1000:.2f} ms (mean of {ROUND_TRIPS})")
    expect_equal(attachment.received()[:3], ["*IDN?", "FREQ 2.5 GHz", "FREQ?"],
                 "first messages in the simulator's log")
    return f"*IDN? and FREQ set/query through {node} on vhci_hcd"


def sgdemo(attachment, build_dir):
    exe = sgdemo_path(build_dir)
    link = attachment.ready()
    whole_dialogue(exe, lambda: usbtmc_node(link.busid))
    expect_equal(attachment.received(), TEN_COMMANDS, "commands the simulator received")
    return "transcript byte for byte, ten commands, usbtmc back on the vhci appearance afterwards"


def library(attachment, build_dir):
    link = attachment.ready()
    link.detach()
    # Exported and not attached: the device is there, but not for this
    # machine's programs.
    steps = run_probe(build_dir, [], opens=False)
    expect_status(steps[1], VI_ERROR_RSRC_NFOUND)
    # Found absent at once, not after the probe's open timeout of 10 s (a
    # TCG guest on a busy machine has taken 1.5 s for the look at sysfs).
    expect(steps[1].ms < 5000, f"viOpen of an exported device took {steps[1].ms:.0f} ms")
    not_found_ms = steps[1].ms
    link.attach()
    wanted = usb_node(link.busid)
    # The session uses the vhci appearance and holds no other device open;
    # a detach then fails the rest at once.
    steps = run_probe_with_action(
        build_dir, ["devices", "query=*IDN?", "pause", "write=FREQ?", "query=*IDN?"], link.detach)
    expect_equal(steps[2].data, wanted, "USB device nodes the session holds open")
    expect_status(steps[3], VI_SUCCESS)
    expect_equal(steps[3].data, IDN, "reply over USB/IP")
    for step in steps[5:7]:
        expect_status(step, VI_ERROR_CONN_LOST)
        expect(step.ms < 500, f"{step.name} after the detach took {step.ms:.0f} ms")
    expect_status(steps[7], VI_SUCCESS)  # close
    expect_equal(attachment.received(), ["*IDN?"], "messages the simulator received")
    link.attach()
    return (f"exported only: VI_ERROR_RSRC_NFOUND in {not_found_ms:.0f} ms; attached: "
            f"{wanted}, *IDN? answered; detached: VI_ERROR_CONN_LOST")


def detach_during_pause(attachment, build_dir):
    exe = sgdemo_path(build_dir)
    link = attachment.ready()
    lf_phase = dialogue_unplugged_at_pause(exe, link.detach)
    # Four failing writes and two closes, each at once.
    expect(lf_phase < 1.0, f"the LF phase after the detach took {lf_phase:.2f} s")
    expect_equal(attachment.received(), TEN_COMMANDS[:6], "commands the simulator received")
    link.attach()
    wanted = usb_node(link.busid)
    steps = run_probe(build_dir, ["devices", "query=*IDN?"])
    expect_equal(steps[2].data, wanted, "USB device nodes the session holds open")
    expect_status(steps[3], VI_SUCCESS)
    expect_equal(steps[3].data, IDN, "reply after the re-attach")
    return (f"LF phase and close after the detach in {lf_phase * 1000:.0f} ms, exit 0; "
            f"re-attached as {wanted}, opened and queried by a new run")


def given_back(attachment):
    """Detach and unbind: the device is dummy_hcd's again, with the usbtmc
    driver, as the checks before these had it."""
    attachment.ready()
    attachment.give_back()
    node = usbtmc_node(BUSID)
    expect(node is not None, f"no usbtmc driver on {BUSID} (dummy_hcd) after usbip unbind")
    with UsbtmcChar(node) as dev:
        expect_equal(dev.query("*IDN?\n"), IDN, f"*IDN? through {node} on dummy_hcd")
    expect_equal(attachment.close(), 0, "sgsim exit status")
    return f"{node} on dummy_hcd again and answering, sgsim exit status 0"
