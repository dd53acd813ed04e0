"""USB/IP inside the guest, as between two machines: the generator's
appearance on dummy_hcd (busid 1-1) is exported (usbip-host, usbipd on the
loopback) and attached again through vhci_hcd, where it appears a second time
and the kernel's usbtmc driver or our library uses it like a local device.

Debian's tools do the work (usbip bind/attach/detach/unbind, usbipd), run
from the share; every step waits for its effect on uevents or on usbipd's
output, with a bound."""
import os
import signal
import subprocess

from report import CheckFailed
from waits import Uevents, read_until, wait_exit

USBIP = "/usr/sbin/usbip"
USBIPD = "/usr/sbin/usbipd"
HOST = "127.0.0.1"
BUSID = "1-1"  # the gadget on dummy_hcd's only port
DEVICES = "/sys/bus/usb/devices"
VHCI_STATUS = "/sys/devices/platform/vhci_hcd.0/status"
PORT_USED = "006"  # a vhci port's state with a device attached
BOUND = 20  # seconds for one step under TCG


def _usbip(*args):
    done = subprocess.run([USBIP, *args], capture_output=True, text=True, timeout=BOUND)
    if done.returncode != 0:
        raise CheckFailed(f"usbip {' '.join(args)} exited with {done.returncode}: "
                          f"{(done.stdout + done.stderr).strip()}")


def _driver(busid):
    link = os.path.join(DEVICES, busid, "driver")
    return os.path.basename(os.readlink(link)) if os.path.islink(link) else None


def attached_ports():
    """(vhci port, local busid) of every attached device."""
    ports = []
    with open(VHCI_STATUS) as f:
        for line in f.read().splitlines()[1:]:
            fields = line.split()
            if len(fields) >= 7 and fields[2] == PORT_USED:
                ports.append((int(fields[1]), fields[6]))
    return ports


def usbtmc_node(busid):
    """/dev/usbtmcN of the usbtmc driver on the device `busid`, or None."""
    try:
        names = os.listdir(os.path.join(DEVICES, f"{busid}:1.0", "usbmisc"))
    except FileNotFoundError:
        return None
    return f"/dev/{names[0]}" if names and os.path.exists(f"/dev/{names[0]}") else None


def usb_node(busid):
    """/dev/bus/usb/BBB/DDD of the device `busid`."""
    def number(name):
        with open(os.path.join(DEVICES, busid, name)) as f:
            return int(f.read())
    return f"/dev/bus/usb/{number('busnum'):03d}/{number('devnum'):03d}"


class UsbipLink:
    """The exporting side (export/unexport) and the using side
    (attach/detach) of one device; close() undoes whatever is done."""

    def __init__(self):
        self.daemon = None
        self.port = None
        self.busid = None  # the vhci appearance's busid while attached

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def export(self):
        """usbip bind, then usbipd on the loopback once it listens."""
        with Uevents() as events:
            _usbip("bind", "-b", BUSID)
            events.wait_until(lambda: usbtmc_node(BUSID) is None, BOUND,
                              "the usbtmc driver letting go of the exported device")
        if _driver(BUSID) != "usbip-host":
            raise CheckFailed(f"{BUSID} is bound to {_driver(BUSID)}, not usbip-host")
        self.daemon = subprocess.Popen([USBIPD, "-4"], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.PIPE)
        read_until(self.daemon.stderr.fileno(), b"listening on", BOUND)

    def attach(self):
        """usbip attach; returns once the usbtmc driver has bound the vhci
        appearance (its /dev/usbtmcN exists)."""
        with Uevents() as events:
            _usbip("attach", "-r", HOST, "-b", BUSID)

            def driver_bound():
                ports = attached_ports()
                if len(ports) == 1 and usbtmc_node(ports[0][1]):
                    self.port, self.busid = ports[0]
                    return True
                return False
            events.wait_until(driver_bound, BOUND, "the usbtmc driver on the vhci appearance")

    def detach(self):
        """usbip detach; returns once the vhci appearance is gone."""
        busid = self.busid
        with Uevents() as events:
            _usbip("detach", "-p", f"{self.port:02d}")
            self.port = self.busid = None
            events.wait_until(lambda: not os.path.exists(os.path.join(DEVICES, busid)), BOUND,
                              f"removal of {busid} after usbip detach")

    def unexport(self):
        """Stops usbipd and gives the device back to the usbtmc driver on
        dummy_hcd."""
        if self.daemon is not None:
            self.daemon.send_signal(signal.SIGTERM)
            try:
                wait_exit(self.daemon, BOUND)
            finally:
                self.daemon.stderr.close()
                self.daemon = None
        with Uevents() as events:
            _usbip("unbind", "-b", BUSID)
            events.wait_until(lambda: usbtmc_node(BUSID) is not None, BOUND,
                              "the usbtmc driver back on the exported device")

    def close(self):
        try:
            if self.port is not None:
                self.detach()
        finally:
            if self.daemon is not None or _driver(BUSID) == "usbip-host":
                self.unexport()

