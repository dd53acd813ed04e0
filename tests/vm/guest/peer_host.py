"""The peers of the quirk checks, USBTMC hosts we did not write, as a
program of its own: runs the exchanges that the check sends, each in a child
process (a new program as far as the host's libraries are concerned; the
exchanges of both hosts at once), and reports each step's outcome as it
ends, so that the check can bound the exchange and tell where a host got
stuck.

Usage: peer_host.py

Prints "ready" once it can take exchanges (PyVISA and pyvisa-py are
imported once, here, at whatever priority it was started with; then it
takes the normal priority). An exchange is one line of JSON on standard input:
{"id": ID, "host": HOST, "timeout": MS, "steps": [[ACTION, ARG], ...]} and
  "host": "kernel", "busid": BUSID    the kernel's usbtmc driver through the
                                      /dev/usbtmcN of the device BUSID
  "host": "pyvisa-py", "resource": R  PyVISA on pyvisa-py, as a script uses
                                      it, on the resource R
It opens the instrument with the I/O timeout MS, runs the steps in order (a
failing step does not stop the next ones) and closes it. Its lines, one
JSON object each: {"id": ID, "pid": PID}, the process (and process group)
that runs it; {"id": ID, "step": RESULT} for each step, the open first,
RESULT being {"ok": true, "data": TEXT, "ms": MS} or {"ok": false, "kind":
KIND, "error": TEXT, "ms": MS}, where KIND is "timeout" (the host's own
timeout), "unsupported" (the host does not offer the operation) or "io"
(any other failure); then {"id": ID, "done": true}. Bytes travel as Latin-1
text.

Steps (a message is ARG and a linefeed):
  write TEXT         sends the message
  read               reads one reply: to its END, or up to the termination
                     character once "termchar" enabled one
  query TEXT         write, then read
  block TEXT         write, then reads an IEEE 488.2 definite-length block
                     and its linefeed on to the block's declared length
                     (PyVISA's query_binary_values); data: the block's bytes
  timeout MS         the host's I/O timeout
  termchar C         reads end at the character C (VISA's TermChar)
  ren                asserts remote enable (REN_CONTROL)
  clear              device clear
  rerun              the host goes away and a new one opens the instrument:
                     PyVISA closes the session and opens another; the kernel
                     host closes the device node, unbinds the usbtmc driver
                     from the interface and binds it again (the driver's way
                     of meeting a device anew), then opens the node
"""
import errno
import fcntl
import json
import os
import signal
import struct
import sys
import time

DRIVER = "/sys/bus/usb/drivers/usbtmc"
OPEN_TIMEOUT_MS = 5000
NODE_BOUND = 10  # seconds for the usbtmc driver's node to appear

# The ioctl numbers of include/uapi/linux/usb/tmc.h (type 91).


def _ioc(direction, nr, size):
    return direction << 30 | size << 16 | 91 << 8 | nr


USBTMC_IOCTL_CLEAR = _ioc(0, 2, 0)
USBTMC_IOCTL_SET_TIMEOUT = _ioc(1, 10, 4)
USBTMC_IOCTL_CONFIG_TERMCHAR = _ioc(1, 12, 2)
USBTMC488_IOCTL_REN_CONTROL = _ioc(1, 19, 1)


class StepFailed(Exception):
    def __init__(self, kind, message):
        super().__init__(message)
        self.kind = kind


def block_length(head):
    """The length of the IEEE 488.2 definite-length block that `head`
    begins (#<digits><length>...): header, data and linefeed; None while
    the header is not yet whole."""
    if len(head) < 2 or head[:1] != b"#" or not head[1:2].isdigit():
        raise StepFailed("io", f"no definite-length block: {head[:16]!r}")
    digits = int(head[1:2])
    if len(head) < 2 + digits:
        return None
    return 2 + digits + int(head[2:2 + digits]) + 1


def block_data(block):
    digits = int(block[1:2])
    return block[2 + digits:-1]


class KernelHost:
    """The kernel's usbtmc driver: write() sends a message, read() asks for
    one reply and returns at its end (EOM) or when the count is full."""

    def __init__(self, busid):
        self.interface = f"{busid}:1.0"
        self.fd = None
        self.timeout = 1000

    def node(self):
        """/dev/usbtmcN of the driver on the interface."""
        try:
            names = os.listdir(f"/sys/bus/usb/devices/{self.interface}/usbmisc")
        except FileNotFoundError:
            return None
        return f"/dev/{names[0]}" if names else None

    def _ioctl(self, request, arg=0):
        try:
            fcntl.ioctl(self.fd, request, arg)
        except OSError as e:
            raise _os_failure(e)

    def _node_ready(self):
        node = self.node()
        return node is not None and os.path.exists(node)

    def open(self, timeout):
        """Opens the driver's node, waiting for it (at most NODE_BOUND s):
        the gadget's start waits only for the interface's driver link,
        which the kernel makes before the driver's probe, and the probe
        makes the node after a request to the device."""
        from waits import Timeout, Uevents

        self.timeout = timeout
        with Uevents() as events:
            try:
                events.wait_until(self._node_ready, NODE_BOUND,
                                  f"usbtmc driver's node for {self.interface}")
            except Timeout as e:
                raise StepFailed("io", str(e))
        node = self.node()
        try:
            self.fd = os.open(node, os.O_RDWR)
        except OSError as e:
            raise _os_failure(e)
        self.set_timeout(timeout)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def set_timeout(self, ms):
        self.timeout = ms
        self._ioctl(USBTMC_IOCTL_SET_TIMEOUT, struct.pack("I", ms))

    def write(self, data):
        try:
            n = os.write(self.fd, data)
        except OSError as e:
            raise _os_failure(e)
        if n != len(data):
            raise StepFailed("io", f"write sent {n} of {len(data)} bytes")

    def read(self):
        try:
            return os.read(self.fd, 65536)
        except OSError as e:
            raise _os_failure(e)

    def read_block(self):
        block = b""
        while True:
            length = block_length(block) if block else None
            if length is not None and len(block) >= length:
                return block_data(block)
            chunk = self.read()
            if not chunk:
                raise StepFailed("io", f"read() returned nothing after {block!r}")
            block += chunk

    def termchar(self, char):
        self._ioctl(USBTMC_IOCTL_CONFIG_TERMCHAR, struct.pack("BB", ord(char), 1))

    def ren(self):
        self._ioctl(USBTMC488_IOCTL_REN_CONTROL, struct.pack("B", 1))

    def clear(self):
        self._ioctl(USBTMC_IOCTL_CLEAR)

    def rerun(self):
        from waits import Uevents

        self.close()
        with Uevents() as events:
            with open(f"{DRIVER}/unbind", "w") as f:
                f.write(self.interface)
            events.wait_until(lambda: self.node() is None, 10, "the driver's unbinding")
            with open(f"{DRIVER}/bind", "w") as f:
                f.write(self.interface)
        self.open(self.timeout)  # waits for the node


def _os_failure(e):
    if e.errno == errno.ETIMEDOUT:
        return StepFailed("timeout", f"{errno.errorcode.get(e.errno, e.errno)}: {e.strerror}")
    if e.errno in (errno.ENOTTY, errno.EOPNOTSUPP):
        return StepFailed("unsupported", f"{errno.errorcode.get(e.errno, e.errno)}: {e.strerror}")
    return StepFailed("io", f"{errno.errorcode.get(e.errno, e.errno)}: {e.strerror}")


class PyvisaHost:
    """PyVISA on a VISA library, as a script uses it: raw reads and writes
    with a linefeed at the end of each message."""

    def __init__(self, library, resource):
        import pyvisa
        from pyvisa import constants, errors

        self.constants = constants
        self.errors = errors
        self.rm = pyvisa.ResourceManager(library)
        self.resource = resource
        self.inst = None
        self.timeout = 1000

    def _call(self, operation):
        """Runs operation() and turns what it raises into a StepFailed."""
        try:
            return operation()
        except self.errors.VisaIOError as e:
            codes = self.constants.StatusCode
            if e.error_code == codes.error_timeout:
                kind = "timeout"
            elif e.error_code == codes.error_nonsupported_operation:
                kind = "unsupported"
            else:
                kind = "io"
            raise StepFailed(kind, f"{e.abbreviation}: {e.description}")
        except NotImplementedError as e:
            raise StepFailed("unsupported", f"NotImplementedError: {e}")
        except StepFailed:
            raise
        except Exception as e:  # pyvisa-py lets pyusb's and its own errors out
            kind = "timeout" if getattr(e, "errno", None) in (
                errno.ETIMEDOUT, -errno.ETIMEDOUT) else "io"
            raise StepFailed(kind, f"{type(e).__name__}: {e}")

    def open(self, timeout):
        self.timeout = timeout

        def do():
            inst = self.rm.open_resource(self.resource, open_timeout=OPEN_TIMEOUT_MS)
            inst.timeout = timeout
            inst.write_termination = "\n"
            inst.read_termination = None
            return inst
        self.inst = self._call(do)

    def close(self):
        if self.inst is not None:
            inst, self.inst = self.inst, None
            self._call(inst.close)

    def set_timeout(self, ms):
        self.timeout = ms

        def do():
            self.inst.timeout = ms
        self._call(do)

    def write(self, data):
        self._call(lambda: self.inst.write_raw(data))

    def read(self):
        return bytes(self._call(self.inst.read_raw))

    def read_block(self):
        """query_binary_values reads on to the length the block declares
        (its linefeed included: the read termination)."""
        def do():
            self.inst.read_termination = "\n"
            try:
                return self.inst.read_binary_values(datatype="B", container=bytes)
            finally:
                self.inst.read_termination = None
        return self._call(do)

    def termchar(self, char):
        c = self.constants

        def do():
            self.inst.set_visa_attribute(c.VI_ATTR_TERMCHAR, ord(char))
            self.inst.set_visa_attribute(c.VI_ATTR_TERMCHAR_EN, True)
        self._call(do)

    def ren(self):
        self._call(lambda: self.inst.control_ren(self.constants.VI_GPIB_REN_ASSERT))

    def clear(self):
        self._call(self.inst.clear)

    def rerun(self):
        self.close()
        self.open(self.timeout)


def run_step(host, action, arg):
    if action == "write":
        host.write(arg.encode("latin-1") + b"\n")
    elif action == "read":
        return host.read()
    elif action == "query":
        host.write(arg.encode("latin-1") + b"\n")
        return host.read()
    elif action == "block":
        host.write(arg.encode("latin-1") + b"\n")
        return host.read_block()
    elif action == "timeout":
        host.set_timeout(int(arg))
    elif action == "termchar":
        host.termchar(arg)
    elif action == "ren":
        host.ren()
    elif action == "clear":
        host.clear()
    elif action == "rerun":
        host.rerun()
    else:
        raise StepFailed("io", f"unknown step {action!r}")
    return b""


class Reporter:
    """The lines of one exchange, each written whole at once (the exchanges
    of both hosts share the pipe)."""

    def __init__(self, ident):
        self.ident = ident

    def __call__(self, **fields):
        line = json.dumps({"id": self.ident, **fields}) + "\n"
        os.write(1, line.encode())


def run_exchange(host, exchange, report):
    steps = [["open", None]] + exchange["steps"]
    opened = False
    for action, arg in steps:
        start = time.monotonic()
        try:
            if action == "open":
                host.open(exchange["timeout"])
                opened = True
                data = b""
            elif not opened:
                raise StepFailed("io", "not open")
            else:
                data = run_step(host, action, arg)
            result = {"ok": True, "data": data.decode("latin-1")}
        except StepFailed as e:
            result = {"ok": False, "kind": e.kind, "error": str(e)}
        except Exception as e:  # what the host made of the device's bytes
            result = {"ok": False, "kind": "io", "error": f"{type(e).__name__}: {e}"}
        result["ms"] = round((time.monotonic() - start) * 1000)
        report(step=result)
    try:
        host.close()
    except StepFailed:
        pass


def make_host(exchange):
    if exchange["host"] == "kernel":
        return KernelHost(exchange["busid"])
    # Importing pyvisa-py listed the USB devices (pyvisa_py.usb does), which
    # made pyusb's libusb context in the parent. libusb keeps its list of
    # devices up to date by udev's events, and the guest runs no udevd: a
    # child would see the bus as it was then. Dropping pyusb's backend
    # object makes the child's own context, as a new program has.
    import usb.backend.libusb1
    usb.backend.libusb1._lib_object = None
    return PyvisaHost("@py", exchange["resource"])


def main():
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.path.append("/usr/lib/python3/dist-packages")
    import pyvisa  # noqa: F401
    import pyvisa_py  # noqa: F401
    import pyvisa_py.usb  # noqa: F401
    try:
        os.setpriority(os.PRIO_PROCESS, 0, 0)  # started at the lowest
    except PermissionError:
        pass
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)  # no zombies
    os.write(1, b'"ready"\n')
    for line in sys.stdin:
        exchange = json.loads(line)
        if os.fork() == 0:
            report = Reporter(exchange["id"])
            try:
                # A group of its own, which the check kills when the
                # exchange outlasts its bound; this program goes on.
                os.setsid()
                signal.signal(signal.SIGCHLD, signal.SIG_DFL)
                report(pid=os.getpid())
                run_exchange(make_host(exchange), exchange, report)
            except BaseException as e:
                report(step={"ok": False, "kind": "io", "error": f"{type(e).__name__}: {e}",
                             "ms": 0})
            finally:
                report(done=True)
                os._exit(0)


if __name__ == "__main__":
    main()
