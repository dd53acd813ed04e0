"""The simulated generator as a USB gadget in the guest: a configfs gadget
(0x4d19:0x0040, one configuration, one FunctionFS function), the FunctionFS
mount that sgsim --gadget serves, and binding to the dummy UDC, whose host
side then enumerates the device like a plugged-in generator.

The gadget runs at high speed (480 Mbit/s, 512-byte bulk packets) unless a
start asks for full speed (12 Mbit/s, 64-byte packets): the configfs
gadget's max_speed, which dummy_hcd's UDC takes as the speed it connects at
(no module reload)."""
import glob
import os
import signal
import subprocess

from waits import Timeout, Uevents, read_until, wait_exit

CONFIGFS = "/sys/kernel/config/usb_gadget"
UDC_NAME = "dummy_udc.0"
SERIAL = "SIM001"
HIGH_SPEED = "high-speed"
FULL_SPEED = "full-speed"
BUSID = "1-1"  # the first gadget on the first dummy_hcd's only port


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)


def _read(path):
    with open(path) as f:
        return f.read().strip()


def _bulk_packets(interface):
    packets = {}
    for ep in glob.glob(f"{interface}/ep_*"):
        try:
            if _read(os.path.join(ep, "type")) == "Bulk":
                packets[_read(os.path.join(ep, "direction"))] = int(
                    _read(os.path.join(ep, "wMaxPacketSize")), 16)
        except FileNotFoundError:  # being made
            pass
    return packets


def host_view(busid=BUSID, bound=10):
    """The speed the host side negotiated with the device `busid` (sysfs,
    in Mbit/s) and the wMaxPacketSize of its interface's bulk endpoints by
    direction ("in", "out"). The kernel makes the endpoints' entries after
    the interface's driver has bound: waits (at most `bound` s) for both."""
    device = f"/sys/bus/usb/devices/{busid}"
    interface = f"{device}/{busid}:1.0"
    with Uevents() as events:
        try:
            events.wait_until(lambda: len(_bulk_packets(interface)) == 2, bound,
                              f"both bulk endpoints of {interface}")
        except Timeout:
            pass  # the caller tells what is missing
    return _read(f"{device}/speed"), _bulk_packets(interface)


class Gadget:
    """`udc` is the UDC it binds to; `node` is the path that exists while
    its host side has it (by default /dev/usbtmc0, which the kernel's usbtmc
    driver makes for the first instrument)."""

    def __init__(self, build_dir, name="sg", udc=UDC_NAME, serial=SERIAL, node="/dev/usbtmc0",
                 busid=BUSID):
        self.sgsim = os.path.join(build_dir, "bin", "sgsim")
        self.name = name
        self.udc = udc
        self.serial = serial
        self.node = node
        self.busid = busid  # where its host side appears
        self.dir = os.path.join(CONFIGFS, name)
        self.mount = f"/dev/ffs-{name}"
        self.proc = None
        self.log_path = None
        self.settings = ""
        self.stderr_path = f"/tmp/sgsim-{name}.err"
        self._runs = 0
        self._speed = None

    def create(self):
        d = self.dir
        os.mkdir(d)
        _write(f"{d}/idVendor", "0x4d19")
        _write(f"{d}/idProduct", "0x0040")
        _write(f"{d}/bcdDevice", "0x0100")
        _write(f"{d}/bcdUSB", "0x0200")
        os.makedirs(f"{d}/strings/0x409")
        _write(f"{d}/strings/0x409/manufacturer", "Simulated Signal Sources")
        _write(f"{d}/strings/0x409/product", "SG-4040 simulated signal generator")
        _write(f"{d}/strings/0x409/serialnumber", self.serial)
        os.makedirs(f"{d}/configs/c.1/strings/0x409")
        _write(f"{d}/configs/c.1/strings/0x409/configuration", "USBTMC")
        _write(f"{d}/configs/c.1/MaxPower", "100")
        # The function's name is the FunctionFS mount source.
        os.mkdir(f"{d}/functions/ffs.{self.name}")
        os.symlink(f"{d}/functions/ffs.{self.name}", f"{d}/configs/c.1/ffs.{self.name}")
        os.makedirs(self.mount, exist_ok=True)
        subprocess.run(["mount", "-t", "functionfs", self.name, self.mount], check=True)

    def start(self, *sim_args, wait_for="", speed=HIGH_SPEED):
        """Starts sgsim on the FunctionFS mount, binds the gadget once sgsim
        has written its descriptors and waits until `wait_for` (by default
        its node; None: nothing) exists. `speed` is the most the gadget
        connects at (HIGH_SPEED or FULL_SPEED)."""
        if wait_for == "":
            wait_for = self.node
        if speed != self._speed:
            _write(f"{self.dir}/max_speed", speed)  # only while unbound
            self._speed = speed
        self._runs += 1
        self.log_path = f"/tmp/sgsim-{self.name}-{self._runs}.log"
        args = [self.sgsim, "--serial", self.serial, "--log", self.log_path,
                "--gadget", self.mount, *sim_args]
        with open(self.stderr_path, "a") as err:
            self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=err)
        line = read_until(self.proc.stdout.fileno(), b"\n", 10)
        if b"ready" not in line:
            raise RuntimeError(f"sgsim did not get ready: {line!r}")
        with Uevents() as events:
            _write(f"{self.dir}/UDC", self.udc)
            if wait_for:
                events.wait_until(lambda: os.path.exists(wait_for), 20,
                                  f"{wait_for} after binding the gadget")

    def bound(self):
        return _read(f"{self.dir}/UDC") != ""

    def unplug(self):
        """Unbinds the gadget from the UDC: the host sees the device go."""
        with Uevents() as events:
            _write(f"{self.dir}/UDC", "\n")
            events.wait_until(lambda: not os.path.exists(self.node), 20,
                              f"removal of {self.node}")

    def unplug_begin(self):
        """Unbinds the gadget without waiting for the host side."""
        _write(f"{self.dir}/UDC", "\n")

    def stop(self):
        """Stops sgsim (SIGTERM) and returns its exit status; its final
        settings are then in self.settings. Unbinds first if still bound."""
        if self.proc is None:
            return None
        if self.bound():
            self.unplug()
        self.proc.send_signal(signal.SIGTERM)
        try:
            status = wait_exit(self.proc, 10)
        finally:
            self.settings = self.proc.stdout.read().decode(errors="replace")
            self.proc.stdout.close()
            self.proc = None
        return status

    def received(self):
        """The messages sgsim logged, one per element."""
        with open(self.log_path) as f:
            return f.read().splitlines()

    def stderr(self):
        try:
            with open(self.stderr_path) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def destroy(self):
        if self.proc is not None:
            try:
                self.stop()
            except (Timeout, OSError):
                pass
        subprocess.run(["umount", self.mount], check=False)
        d = self.dir
        for path in (f"{d}/configs/c.1/ffs.{self.name}",):
            if os.path.islink(path):
                os.unlink(path)
        for path in (f"{d}/configs/c.1/strings/0x409", f"{d}/configs/c.1",
                     f"{d}/functions/ffs.{self.name}", f"{d}/strings/0x409", d):
            if os.path.isdir(path):
                os.rmdir(path)


def start_together(gadgets, *sim_args):
    """Starts sgsim with `sim_args` on each of `gadgets` (at high speed) and
    binds them all, then waits until each one's node exists: the host side
    enumerates them at once."""
    try:
        with Uevents() as events:
            for g in gadgets:
                g.start(*sim_args, wait_for=None)
            events.wait_until(lambda: all(os.path.exists(g.node) for g in gadgets), 20,
                              "the nodes of " + ", ".join(g.name for g in gadgets))
    except BaseException:
        stop_together([g for g in gadgets if g.proc is not None])
        raise


def stop_together(gadgets):
    """Unplugs `gadgets` at once, then stops their sgsims; returns their exit
    statuses."""
    with Uevents() as events:
        for g in gadgets:
            if g.proc is not None and g.bound():
                g.unplug_begin()
        events.wait_until(lambda: not any(os.path.exists(g.node) for g in gadgets), 20,
                          "removal of " + ", ".join(g.node for g in gadgets))
    return [g.stop() for g in gadgets]
