"""Checks 3 and 6, usb-find and the library's figures: our VISA library over
libusb, through the vm_visa_probe helper."""
from probe import (VI_ERROR_ABORT, VI_ERROR_NPERMISSION, VI_ERROR_RSRC_NFOUND, VI_ERROR_TMO,
                   VI_SUCCESS, expect_status, run_probe, run_probe_with_action)
from report import expect, expect_equal
from usbmon import UsbMon
from usbtmc_char import UsbtmcChar

IDN = "Simulated Signal Sources,SG-4040,SIM001,1.0\n"
LISTED = "USB0::0x4D19::0x0040::SIM001::0::INSTR"
GADGET_BUSID = "1-1"  # the gadget on the first dummy_hcd's only port
SECOND_BUSID = "2-1"  # the second gadget, on the second dummy_hcd
SECOND = "USB0::0x4D19::0x0040::SIM002::INSTR"
FIND = "find=USB?*INSTR"
ROUND_TRIPS = 100


def steps_by_name(steps):
    return {s.name: s for s in steps}


def bus_and_device(busid):
    """The bus and device numbers of the USB device `busid`."""
    def number(name):
        with open(f"/sys/bus/usb/devices/{busid}/{name}") as f:
            return int(f.read())
    return number("busnum"), number("devnum")


def timeout_then_query(gadget, build_dir):
    # Every reply comes 2.5 s after its query, beyond the default 2 s timeout.
    gadget.start("--reply-delay", "2500")
    steps = run_probe(build_dir, ["query=FREQ?", "tmo=6000", "query=*IDN?"])
    expect_status(steps[2], VI_ERROR_TMO)
    expect(1.9e3 <= steps[2].ms < 6e3, f"the timed-out query took {steps[2].ms:.0f} ms")
    timeout_ms = steps[2].ms
    # Had the abort not reached the device, the late FREQ? reply would come
    # out here.
    expect_status(steps[4], VI_SUCCESS)
    expect_equal(steps[4].data, IDN, "reply to the query after the timeout")
    expect_status(steps[5], VI_SUCCESS)  # close

    # A read waiting for its reply, ended by viClose from another thread
    # once usbmon has seen its bulk-IN transfer submitted (the reply is
    # still 2.5 s away): VI_ERROR_ABORT at once, the transfer cancelled and
    # the device's reply aborted, so the next session's query gets its own
    # reply.
    bus, device = bus_and_device(GADGET_BUSID)
    with UsbMon(bus) as mon:
        steps = run_probe_with_action(
            build_dir, ["tmo=10000", "write=FREQ?", "readbg=4096", "pause", "closewait"],
            lambda: mon.wait_for_submit("Bi", device, 20))
    expect_status(steps[6], VI_ERROR_ABORT)
    expect(steps[6].ms < 1500, f"the read ended {steps[6].ms:.0f} ms after viClose")
    closed_ms = steps[6].ms
    steps = run_probe(build_dir, ["tmo=6000", "query=*IDN?"])
    expect_status(steps[3], VI_SUCCESS)
    expect_equal(steps[3].data, IDN, "reply to the query after the closed read")
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    expect_equal(gadget.received(), ["FREQ?", "*IDN?", "FREQ?", "*IDN?"],
                 "messages the simulator received")
    return (f"timeout after {timeout_ms:.0f} ms, then *IDN? answered; a read ended "
            f"{closed_ms:.0f} ms after viClose from another thread, then *IDN? answered")


def long_and_split_replies(gadget, build_dir):
    # 1011 characters and a linefeed: header and data fill two high-speed
    # packets exactly, so the transfer ends with a zero-length packet.
    idn = ("SG-4040 " * 127)[:1011]
    gadget.start("--idn", idn)
    steps = run_probe(build_dir, ["query=*IDN?", "write=*IDN?", "readall=100"])
    expect_status(steps[2], VI_SUCCESS)
    expect_equal(steps[2].data, idn + "\n", "a 1012-byte reply in one read")
    expect_status(steps[4], VI_SUCCESS)
    expect_equal(steps[4].data, idn + "\n", "a 1012-byte reply read 100 bytes at a time")
    with UsbtmcChar() as dev:
        expect_equal(dev.query("*IDN?\n"), idn + "\n", "a 1012-byte reply through /dev/usbtmc0")
    expect_equal(gadget.stop(), 0, "sgsim exit status")

    # The same reply in transfers of at most 7 data bytes each.
    gadget.start("--idn", idn[:300], "--split", "7")
    steps = run_probe(build_dir, ["query=*IDN?", "write=*IDN?", "readall=16"])
    expect_status(steps[2], VI_SUCCESS)
    expect_equal(steps[2].data, idn[:300] + "\n", "a reply split into 7-byte transfers")
    expect_status(steps[4], VI_SUCCESS)
    expect_equal(steps[4].data, idn[:300] + "\n", "a split reply read 16 bytes at a time")
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    return "1012 bytes (zero-length packet), 7-byte transfers, 16- and 100-byte reads"


def no_permission_status(gadget, build_dir):
    gadget.start()
    steps = run_probe(build_dir, [], user="nobody", opens=False)
    expect_status(steps[1], VI_ERROR_NPERMISSION)
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    return "viOpen as user nobody: VI_ERROR_NPERMISSION"


def round_trip(gadget, second, build_dir, report):
    gadget.start()
    # Then a device clear, which ends in the clearing of bulk-OUT's halt (a
    # CLEAR_FEATURE request and the host's data toggle reset), and a query
    # that must still be answered.
    steps = run_probe(build_dir, [f"roundtrip={ROUND_TRIPS}", "clear", "query=*IDN?"])
    expect_status(steps[2], VI_SUCCESS)
    report.figure(f"*IDN? round trip, our library over libusb: {float(steps[2].data):.2f} ms "
                  f"(mean of {ROUND_TRIPS})")
    expect_status(steps[3], VI_SUCCESS)
    expect_status(steps[4], VI_SUCCESS)
    expect_equal(steps[4].data, IDN, "reply to the query after viClear")
    clear_ms = steps[3].ms

    # Two instruments used at once by two threads of one process: while one
    # thread's read waits for a reply 2.5 s away (its bulk-IN transfer
    # submitted, as usbmon shows), the other's round trips go on at their
    # own pace, and the slow reply reaches its own thread.
    try:
        second.start("--reply-delay", "2500")
        bus, device = bus_and_device(SECOND_BUSID)
        with UsbMon(bus) as mon:
            steps = run_probe_with_action(
                build_dir, [f"otherquery={SECOND}|*IDN?", "pause", f"roundtrip={ROUND_TRIPS}",
                            "otherwait"],
                lambda: mon.wait_for_submit("Bi", device, 20))
        expect_status(steps[4], VI_SUCCESS)
        parallel_ms = float(steps[4].data)
        # A thread that waited for the other's event handling to time out
        # would take the 2.5 s (or time out); a busy machine takes tens of ms.
        expect(parallel_ms < 500, f"round trips took {parallel_ms:.1f} ms each while the other "
               "instrument's read waited")
        expect_status(steps[5], VI_SUCCESS)
        expect_equal(steps[5].data, IDN.replace("SIM001", "SIM002"), "the slow instrument's reply")
        expect(steps[5].ms >= 2000, f"the slow reply came after {steps[5].ms:.0f} ms")
    finally:
        expect_equal(second.stop(), 0, "exit status of the second sgsim")
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    return (f"{ROUND_TRIPS} round trips, viClear in {clear_ms:.0f} ms, then *IDN? answered; "
            f"round trips of {parallel_ms:.2f} ms while another thread's read waited 2.5 s on a "
            "second instrument")


def usb_find(gadget, build_dir):
    """viFindRsrc lists the gadget as every program's user sees it, and a
    long-lived process sees it go when it is unplugged and come back when it
    is plugged in again."""
    gadget.start()
    steps = run_probe(build_dir, [FIND], user="nobody", resource="-", opens=False)
    expect_status(steps[1], VI_SUCCESS)
    expect_equal(steps[1].data, LISTED, "resources listed for user nobody, who may not open it")

    stopped = []
    steps = run_probe_with_action(build_dir, [FIND, "pause", FIND, "pause", FIND],
                                  [lambda: stopped.append(gadget.stop()), gadget.start],
                                  resource="-")
    expect_equal(stopped, [0], "exit status of the sgsim unplugged")
    expect_status(steps[1], VI_SUCCESS)
    expect_equal(steps[1].data, LISTED, "resources listed while plugged in")
    expect_status(steps[3], VI_ERROR_RSRC_NFOUND)
    expect_equal(steps[3].data, "", "resources listed after the unplug")
    expect_status(steps[5], VI_SUCCESS)
    expect_equal(steps[5].data, LISTED, "resources listed after plugging it in again")
    expect(steps[5].ms < 1000, f"listing took {steps[5].ms:.0f} ms")
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    return (f"{LISTED} for root and nobody; one process: gone after the unplug, "
            f"back after the replug, listed in {steps[5].ms:.0f} ms")
