"""The USB488 checks: the kernel's usbtmc driver and its USB488 ioctls
against the gadget's interrupt-IN endpoint, each checked against what
sgsim's status byte, log and final printout show."""
import fcntl
import os
import select
import struct
import time

from report import CheckFailed, expect, expect_equal
from usbtmc_char import UsbtmcChar
from waits import wait_for_paths

# The ioctl numbers of include/uapi/linux/usb/tmc.h: _IO, _IOR and _IOW of
# type USBTMC_IOC_NR (91).
_IOC_NR = 91


def _ioc(direction, nr, size):
    return direction << 30 | size << 16 | _IOC_NR << 8 | nr


USBTMC488_IOCTL_GET_CAPS = _ioc(2, 17, 1)
USBTMC488_IOCTL_READ_STB = _ioc(2, 18, 1)
USBTMC488_IOCTL_REN_CONTROL = _ioc(1, 19, 1)
USBTMC488_IOCTL_GOTO_LOCAL = _ioc(0, 20, 0)
USBTMC488_IOCTL_LOCAL_LOCKOUT = _ioc(0, 21, 0)
USBTMC488_IOCTL_TRIGGER = _ioc(0, 22, 0)
USBTMC488_IOCTL_WAIT_SRQ = _ioc(1, 23, 4)
USBTMC_IOCTL_GET_SRQ_STB = _ioc(2, 27, 1)

# What the driver makes of GET_CAPABILITIES: (byte 14 & 7) | (byte 15 & 15) << 4.
# TRIGGER, REN/GTL/LLO and 488.2 (7); DT1, RL1, SR1 and SCPI (15).
CAPS = 0xF7
SRQ_BOUND_MS = 5000
ATTRIBUTES_BOUND = 20  # seconds, as for the node itself (gadget.py)


def read_stb(dev):
    """READ_STATUS_BYTE, a serial poll of the device (the driver adds RQS
    when a service request came since the last one)."""
    buf = bytearray(1)
    fcntl.ioctl(dev.fd, USBTMC488_IOCTL_READ_STB, buf)
    return buf[0]


def read_stb_until(dev, wanted, bound=5.0):
    """READ_STB until it reads `wanted` (a device executes a message a little
    after the host's transfer is done, as USB488 hosts know); raises after
    `bound` seconds with the bytes seen."""
    seen = []
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        seen.append(read_stb(dev))
        if seen[-1] == wanted:
            return
    raise CheckFailed(f"READ_STB never read 0x{wanted:02x} within {bound} s: {seen[-5:]}")


def srq_stb(dev):
    """The status byte of the last service request notification."""
    buf = bytearray(1)
    fcntl.ioctl(dev.fd, USBTMC_IOCTL_GET_SRQ_STB, buf)
    return buf[0]


def stb_query(dev):
    """The status byte as the instrument's *STB? gives it."""
    return int(dev.query("*STB?\n"))


def sysfs_capabilities():
    """The capabilities as the driver shows them in sysfs. It gets these
    attributes once its probe has returned, after /dev/usbtmc0, which the
    probe made and which is all gadget.start() waits for."""
    base = "/sys/class/usbmisc/usbtmc0/device"
    names = ("interface_capabilities", "device_capabilities",
             "usb488_interface_capabilities", "usb488_device_capabilities")
    paths = [os.path.join(base, name) for name in names]
    wait_for_paths(paths, ATTRIBUTES_BOUND, "capability attributes of usbtmc0 in sysfs")
    values = []
    for path in paths:
        with open(path) as f:
            values.append(int(f.read()))
    return values


def kernel_requests(gadget):
    """GET_CAPS, READ_STB, TRIGGER, REN_CONTROL, LOCAL_LOCKOUT and GOTO_LOCAL
    through /dev/usbtmc0."""
    gadget.start()
    with UsbtmcChar() as dev:
        caps = bytearray(1)
        fcntl.ioctl(dev.fd, USBTMC488_IOCTL_GET_CAPS, caps)
        expect_equal(caps[0], CAPS, "USBTMC488_IOCTL_GET_CAPS")
        expect_equal(sysfs_capabilities(), [0, 1, 7, 15],
                     "GET_CAPABILITIES bytes 4, 5, 14 and 15 in sysfs")

        # READ_STATUS_BYTE, answered on interrupt-IN, against *STB?: the
        # error queue and the enabled command error, then MAV as well.
        dev.write("*CLS;*ESE 32;BOGUS\n")
        read_stb_until(dev, 0x24)  # after an error: the queue and ESB
        expect_equal(stb_query(dev), 0x24, "*STB? after an error")
        dev.write("*IDN?\n")
        read_stb_until(dev, 0x34)  # a reply waiting: MAV as well
        expect(dev.read().startswith("Simulated Signal Sources,SG-4040,"), "the waiting reply")
        expect_equal(read_stb(dev), 0x24, "READ_STB once the reply is read")

        fcntl.ioctl(dev.fd, USBTMC488_IOCTL_TRIGGER)
        # Remote enable, addressed by a message: remote; lockout; go to
        # local keeps the lockout.
        fcntl.ioctl(dev.fd, USBTMC488_IOCTL_REN_CONTROL, bytes([1]))
        dev.write("SYST:ERR?\n")
        expect_equal(dev.read(), '-113,"Undefined header"\n', "the error of BOGUS")
        fcntl.ioctl(dev.fd, USBTMC488_IOCTL_LOCAL_LOCKOUT)
        fcntl.ioctl(dev.fd, USBTMC488_IOCTL_GOTO_LOCAL)
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    expect_equal(gadget.received(), ["*CLS;*ESE 32;BOGUS", "*STB?", "*IDN?", "*TRG", "SYST:ERR?"],
                 "messages the simulator received")
    tail = gadget.settings.splitlines()[-2:]
    expect_equal(tail, ["Triggers: 1", "Remote state: LOCAL WITH LOCKOUT"],
                 "sgsim's final printout")
    return f"capabilities 0x{CAPS:02x}, status bytes, trigger, REN/LLO/GTL"


def kernel_srq(gadget):
    """A service request (*ESE 1;*SRE 32;*OPC) seen by poll() as POLLPRI and
    by USBTMC488_IOCTL_WAIT_SRQ; the status byte it carried, and READ_STB
    after it."""
    gadget.start()
    with UsbtmcChar() as dev:
        poller = select.poll()
        poller.register(dev.fd, select.POLLPRI)
        expect_equal(poller.poll(0), [], "poll() before any service request")
        start = time.monotonic()
        dev.write("*CLS;*ESE 1;*SRE 32;*OPC\n")
        events = poller.poll(SRQ_BOUND_MS)
        waited = time.monotonic() - start
        expect(events and events[0][1] & select.POLLPRI,
               f"no POLLPRI within {SRQ_BOUND_MS} ms: {events}")
        expect_equal(srq_stb(dev), 0x60, "the notification's status byte: ESB and RQS")
        expect_equal(read_stb(dev), 0x60, "READ_STB: RQS still set in the device")
        expect_equal(read_stb(dev), 0x20, "READ_STB: RQS cleared by the serial poll")
        expect_equal(stb_query(dev), 0x60, "*STB?: ESB and MSS")

        # *ESR? takes the reason away; the next *OPC is a new one.
        expect_equal(dev.query("*ESR?\n"), "1\n", "*ESR? after *OPC")
        fcntl.ioctl(dev.fd, USBTMC488_IOCTL_REN_CONTROL, bytes([1]))
        dev.write("*OPC\n")
        fcntl.ioctl(dev.fd, USBTMC488_IOCTL_WAIT_SRQ, struct.pack("I", SRQ_BOUND_MS))
        expect_equal(read_stb(dev), 0x60, "READ_STB after USBTMC488_IOCTL_WAIT_SRQ")
        expect_equal(read_stb(dev), 0x20, "READ_STB: RQS read once")
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    expect_equal(gadget.received(),
                 ["*CLS;*ESE 1;*SRE 32;*OPC", "*STB?", "*ESR?", "*OPC"],
                 "messages the simulator received")
    expect_equal(gadget.settings.splitlines()[-1], "Remote state: REMOTE", "sgsim's final printout")
    return f"POLLPRI {waited * 1000:.0f} ms after *OPC, then USBTMC488_IOCTL_WAIT_SRQ"


def library(gadget, build_dir, report):
    """Our library (through PyVISA) over real USB: the status byte by
    READ_STATUS_BYTE and its interrupt-IN notification, a service request
    reaching a waiting viWaitOnEvent, the TRIGGER message and REN/LLO/GTL."""
    import pyvisa
    from pyvisa import constants

    gadget.start()
    rm = pyvisa.ResourceManager(os.path.join(build_dir, "lib", "libsgvisa.so.1"))
    try:
        inst = rm.open_resource("USB0::0x4D19::0x0040::SIM001::0::INSTR", open_timeout=5000)
        inst.timeout = 5000
        inst.read_termination = "\n"
        inst.write_termination = "\n"
        try:
            inst.write("*CLS;*ESE 1;*SRE 32")
            expect_equal(inst.query("*OPC?"), "1", "*OPC? (the settings are in effect)")
            expect_equal(inst.read_stb(), 0x00, "viReadSTB before the request")
            inst.enable_event(constants.EventType.service_request, constants.EventMechanism.queue)
            start = time.monotonic()
            inst.write("*OPC")
            response = inst.wait_on_event(constants.EventType.service_request, SRQ_BOUND_MS,
                                          capture_timeout=True)
            latency_ms = (time.monotonic() - start) * 1000
            expect(not response.timed_out, "no service request event within the bound")
            report.figure(f"*OPC to our library's service request event: {latency_ms:.1f} ms")
            expect_equal(inst.read_stb(), 0x60, "viReadSTB: ESB and RQS")
            expect_equal(inst.read_stb(), 0x20, "viReadSTB: RQS read once")
            inst.disable_event(constants.EventType.service_request, constants.EventMechanism.all)
            inst.assert_trigger()
            inst.control_ren(constants.RENLineOperation.asrt_llo)
            inst.control_ren(constants.RENLineOperation.address_gtl)
        finally:
            inst.close()
    finally:
        rm.close()
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    tail = gadget.settings.splitlines()[-2:]
    expect_equal(tail, ["Triggers: 1", "Remote state: LOCAL WITH LOCKOUT"],
                 "sgsim's final printout")
    return (f"status bytes 0x00, 0x60, 0x20; service request event {latency_ms:.1f} ms after *OPC; "
            "trigger, REN/LLO/GTL")


def library_shared(gadget, build_dir, report):
    """Our library over real USB with service requests enabled in this
    process while another process opens the instrument without a lock,
    queries it and makes it request service: this process's interrupt
    reader gives the claim up with the access lock (so the other process
    gets its turn), and the request, kept in the endpoint meanwhile, comes
    at this process's next turn."""
    import pyvisa
    from pyvisa import constants

    import probe

    gadget.start()
    rm = pyvisa.ResourceManager(os.path.join(build_dir, "lib", "libsgvisa.so.1"))
    try:
        inst = rm.open_resource("USB0::0x4D19::0x0040::SIM001::0::INSTR", open_timeout=5000)
        inst.timeout = 5000
        inst.read_termination = "\n"
        inst.write_termination = "\n"
        try:
            inst.write("*CLS;*ESE 1;*SRE 32")
            expect_equal(inst.query("*OPC?"), "1", "*OPC? (the settings are in effect)")
            inst.enable_event(constants.EventType.service_request, constants.EventMechanism.queue)
            expect_equal(inst.read_stb(), 0x00, "viReadSTB with service requests enabled")
            steps = probe.run_probe(build_dir, ["tmo=2000", "query=*IDN?", "write=*OPC"],
                                    lock=False)
            probe.expect_status(steps[3], probe.VI_SUCCESS)
            expect(",SIM001," in steps[3].data, f"the other process's *IDN?: {steps[3]}")
            probe.expect_status(steps[4], probe.VI_SUCCESS)
            start = time.monotonic()
            expect(",SIM001," in inst.query("*IDN?"), "*IDN? at this process's next turn")
            response = inst.wait_on_event(constants.EventType.service_request, SRQ_BOUND_MS,
                                          capture_timeout=True)
            latency_ms = (time.monotonic() - start) * 1000
            expect(not response.timed_out, "the request made by the other process never came")
            report.figure(f"next turn to the request kept meanwhile: {latency_ms:.1f} ms")
            expect_equal(inst.read_stb(), 0x60, "viReadSTB: ESB and RQS")
            inst.disable_event(constants.EventType.service_request, constants.EventMechanism.all)
        finally:
            inst.close()
    finally:
        rm.close()
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    expect_equal(gadget.received(), ["*CLS;*ESE 1;*SRE 32", "*OPC?", "*IDN?", "*OPC", "*IDN?"],
                 "messages the simulator received")
    return (f"the other process's query and request while ours listened; the request "
            f"{latency_ms:.1f} ms after our next turn began")
