"""The guest side of bench/vm_figures: *IDN? round trips to the simulated
generator attached as a USB gadget, through our library (viQueryf over
libusb, in an exclusive session as sgdemo opens it, and in a session without
the lock), bare libusb, the kernel's usbtmc driver, pyvisa-py and PyVISA on
our library, and our library again with the device exported and attached
over USB/IP on the loopback (usbip), interleaved in batches (each batch opens
its own session; only the queries are timed). Then the read of a 1 MiB reply
of the I/O test instrument (sgsim --io-test), in 1 MiB and 64 KiB counts,
through our library, the kernel's driver and bare libusb, interleaved in
batches too.
Then a PyVISA user's block read: query_binary_values of a 1 MiB IEEE 488.2
definite-length block (SENDBLOCK of the I/O test instrument) through PyVISA
on our library and on pyvisa-py, against the same query written to the
kernel's driver from Python and its reply read in 20 KiB os.read()s (PyVISA's
chunk size), so that every side pays Python's cost per call.
Reports FIGURE lines "usb.query.VARIANT.median VALUE us", the throughputs,
the ratios of the medians, and each ratio's spread over the batches (the
ratio of the two medians within each batch: ".batch_min", ".batch_max").

Runs under tests/vm's /init with SG_SRC_DIR, SG_BUILD_DIR and SG_RESULTS set;
SG_VM_ONLY may carry "queries=N" (round trips per variant, default 100),
"reads" (only the bulk and block reads) and "quick" (a smoke run: one
batch of round trips instead of ten, one of reads instead of five)."""
import os
import subprocess
import sys
import time

SRC = os.environ.get("SG_SRC_DIR", "")
sys.path.insert(0, os.path.join(SRC, "tests", "vm", "guest"))
sys.path.append("/usr/lib/python3/dist-packages")

from gadget import Gadget  # noqa: E402
from report import CheckFailed, Report, environment  # noqa: E402
from usbip_link import UsbipLink  # noqa: E402
from waits import Uevents  # noqa: E402

RESOURCE = "USB0::0x4D19::0x0040::SIM001::INSTR"
DEVICE = "/dev/usbtmc0"
# A smoke run: fewer batches (each costs seconds of program starts and
# attaches in the emulated CPU, whatever its count of samples).
QUICK = "quick" in os.environ.get("SG_VM_ONLY", "").split(",")
BATCHES = 1 if QUICK else 10
WARMUP = 2
VARIANTS = ["ours", "bare_libusb", "bare_libusb_sync", "bare_libusb_all", "usbfs_all",
            "kernel_driver", "pyvisa_py", "pyvisa_sgvisa", "ours_nolock", "usbip"]
PROGRAM_VARIANT = {"ours": "ours", "bare_libusb": "bare", "bare_libusb_sync": "bare_sync",
                   "bare_libusb_all": "bare_all", "kernel_driver": "kernel", "usbip": "ours"}


def queries_wanted():
    for item in os.environ.get("SG_VM_ONLY", "").split(","):
        if item.startswith("queries="):
            return max(BATCHES, int(item.split("=", 1)[1]))
    return 100


def kernel_driver_bound():
    """Binds the kernel's usbtmc driver to the generator's interface again
    when a libusb user left it unbound, and waits for its device node."""
    if os.path.exists(DEVICE):
        return
    with Uevents() as events:
        for name in os.listdir("/sys/bus/usb/devices"):
            base = f"/sys/bus/usb/devices/{name}"
            if ":" not in name or not os.path.exists(f"{base}/bInterfaceClass"):
                continue
            with open(f"{base}/bInterfaceClass") as f:
                if f.read().strip() != "fe":
                    continue
            if os.path.exists(f"{base}/driver"):
                continue
            with open("/sys/bus/usb/drivers/usbtmc/bind", "w") as f:
                f.write(name)
        events.wait_until(lambda: os.path.exists(DEVICE), 20, DEVICE)


def run_program(build, variant, count, program="bench_usb_query", extra=None):
    """Runs a benchmark program of the build for `count` samples. The round
    trip program takes a warm-up count, the bulk read program its count of
    bytes per read (`extra`)."""
    program = os.path.join(build, "bin", program)
    args = [program, PROGRAM_VARIANT.get(variant, variant), str(count),
            *(extra if extra is not None else [str(WARMUP)]), DEVICE]
    done = subprocess.run(args, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise CheckFailed(f"{variant}: exit {done.returncode}: {done.stderr.strip()}")
    fields = done.stdout.split()
    if len(fields) != count + 2 or fields[0] != "samples":
        raise CheckFailed(f"{variant}: unexpected output {done.stdout[:200]!r}")
    return [float(x) for x in fields[2:]]


def pyusb_sees_the_bus_afresh():
    """Makes pyusb (pyvisa-py's USB layer) list the bus anew at its next
    search. pyusb keeps one libusb context per process, made at its first
    search (importing pyvisa_py.usb makes one), and libusb keeps that
    context's list of devices up to date by udev's events: the guest runs no
    udevd, so after the gadget is plugged in again (each part of this runner
    starts it afresh) the list still holds the device as it was, at an
    address that is gone, and pyvisa-py's open says "No device found".
    Dropping pyusb's backend object makes a new context, as a new program
    has; the old one goes with the last device that refers to it."""
    import usb.backend.libusb1

    usb.backend.libusb1._lib_object = None


class PyvisaQueries:
    """PyVISA's round trips through one of its backends: "@py" (pyvisa-py)
    or the path of a VISA library (ours)."""

    def __init__(self, backend, name):
        import pyvisa

        self.rm = pyvisa.ResourceManager(backend)
        self.backend = backend
        self.name = name

    def batch(self, count):
        if self.backend == "@py":
            pyusb_sees_the_bus_afresh()
        inst = self.rm.open_resource(RESOURCE, open_timeout=5000)
        try:
            inst.timeout = 5000
            inst.write_termination = "\n"
            samples = []
            for i in range(WARMUP + count):
                start = time.perf_counter()
                reply = inst.query("*IDN?")
                elapsed = (time.perf_counter() - start) * 1e6
                if not reply.startswith("Simulated Signal Sources,"):
                    raise CheckFailed(f"{self.name}: *IDN? answered {reply!r}")
                if i >= WARMUP:
                    samples.append(elapsed)
            return samples
        finally:
            inst.close()

    def close(self):
        self.rm.close()


def median(values):
    s = sorted(values)
    n = len(s)
    return s[n // 2] if n % 2 else (s[n // 2 - 1] + s[n // 2]) / 2


# The ratios reported: NAME: (numerator, denominator) variants.
QUERY_RATIOS = {
    "ours_over_bare_libusb": ("ours", "bare_libusb"),
    "ours_over_bare_libusb_all": ("ours", "bare_libusb_all"),
    "bare_libusb_over_bare_libusb_sync": ("bare_libusb", "bare_libusb_sync"),
    "bare_libusb_all_over_kernel_driver": ("bare_libusb_all", "kernel_driver"),
    "usbfs_all_over_kernel_driver": ("usbfs_all", "kernel_driver"),
    "ours_over_kernel_driver": ("ours", "kernel_driver"),
    "pyvisa_py_over_ours": ("pyvisa_py", "ours"),
    "pyvisa_py_over_pyvisa_sgvisa": ("pyvisa_py", "pyvisa_sgvisa"),
    "ours_nolock_over_bare_libusb": ("ours_nolock", "bare_libusb"),
    "usbip_over_direct": ("usbip", "ours"),
}
BULK_BATCHES = 1 if QUICK else 5
BULK_READS = 2  # per variant, read size and batch
BULK_CHUNKS = {"": 1024 * 1024, ".chunk_64k": 64 * 1024}
MIB = 1024 * 1024


def report_ratio(report, name, batches, num, den):
    """The ratio of the medians over all batches, and its least and greatest
    value within one batch."""
    every = median(sum((b[num] for b in batches), [])) / median(sum((b[den] for b in batches), []))
    per_batch = [median(b[num]) / median(b[den]) for b in batches]
    report.figure(f"{name} {every:.3f} x")
    report.figure(f"{name}.batch_min {min(per_batch):.3f} x")
    report.figure(f"{name}.batch_max {max(per_batch):.3f} x")


def report_samples(report, name, values, unit="us"):
    report.figure(f"{name}.median {median(values):.1f} {unit}")
    report.figure(f"{name}.min {min(values):.1f} {unit}")
    report.figure(f"{name}.max {max(values):.1f} {unit}")
    report.figure(f"{name}.count {len(values)} samples")


def measure_queries(gadget, build, report, per_batch):
    gadget.start()
    pyvisa = {"pyvisa_py": PyvisaQueries("@py", "pyvisa-py"),
              "pyvisa_sgvisa": PyvisaQueries(os.path.join(build, "lib", "libsgvisa.so.1"),
                                             "PyVISA on our library")}
    batches = []
    try:
        for b in range(BATCHES):
            order = VARIANTS[b % len(VARIANTS):] + VARIANTS[:b % len(VARIANTS)]
            batch = {}
            for variant in order:
                if variant == "kernel_driver":
                    kernel_driver_bound()
                if variant in pyvisa:
                    batch[variant] = pyvisa[variant].batch(per_batch)
                elif variant == "usbip":
                    # Exported, the direct appearance is not for this
                    # machine: our library finds only the vhci one.
                    with UsbipLink() as link:
                        link.export()
                        link.attach()
                        batch[variant] = run_program(build, variant, per_batch)
                else:
                    batch[variant] = run_program(build, variant, per_batch)
            batches.append(batch)
    finally:
        for p in pyvisa.values():
            p.close()
        gadget.stop()
    for variant in VARIANTS:
        report_samples(report, f"usb.query.{variant}", sum((b[variant] for b in batches), []))
    for name, (num, den) in QUERY_RATIOS.items():
        report_ratio(report, f"usb.ratio.{name}", batches, num, den)


BULK_VARIANTS = ["ours", "kernel", "bare"]
BULK_LABELS = {"ours": "ours", "kernel": "kernel_driver", "bare": "bare_libusb"}


def measure_bulk_reads(gadget, build, report):
    """1 MiB replies of the I/O test instrument read through our library,
    through the kernel's driver and through bare libusb (one bulk-IN
    transfer per request), in 1 MiB and in 64 KiB counts."""
    gadget.start("--io-test")
    batches = []
    try:
        for b in range(BULK_BATCHES):
            batch = {}
            for variant in BULK_VARIANTS[b % 3:] + BULK_VARIANTS[:b % 3]:
                if variant == "kernel":
                    kernel_driver_bound()
                for suffix, chunk in BULK_CHUNKS.items():
                    batch[variant + suffix] = run_program(
                        build, variant, BULK_READS, program="bench_usb_bulk_read",
                        extra=[str(chunk)])
            batches.append(batch)
    finally:
        gadget.stop()
    for suffix in BULK_CHUNKS:
        for variant in BULK_VARIANTS:
            label = BULK_LABELS[variant]
            values = sum((b[variant + suffix] for b in batches), [])
            report.figure(f"usb.bulk_read.{label}{suffix}.mib_per_s "
                          f"{1e6 / median(values):.2f} MiB/s")
            report_samples(report, f"usb.bulk_read.{label}{suffix}.read", values)
        # Throughputs: ours / the driver's is the driver's time over ours.
        report_ratio(report, f"usb.ratio.bulk_read_ours_over_kernel_driver{suffix}", batches,
                     "kernel" + suffix, "ours" + suffix)
        report_ratio(report, f"usb.ratio.bulk_read_bare_libusb_over_kernel_driver{suffix}",
                     batches, "kernel" + suffix, "bare" + suffix)
        report_ratio(report, f"usb.ratio.bulk_read_ours_over_bare_libusb{suffix}", batches,
                     "bare" + suffix, "ours" + suffix)


BLOCK_BATCHES = 1 if QUICK else 5
BLOCK_READS = 2  # per variant and batch
BLOCK_CHUNK = 20 * 1024  # PyVISA's default chunk size
BLOCK_VARIANTS = ["pyvisa_sgvisa", "pyvisa_py", "kernel_driver_20k"]


def block_message():
    """The bytes the block carries: 1 MiB, not all text, the last a linefeed
    (RECEIVE keeps a message up to its linefeed)."""
    data = bytearray((i * 7 + i // 251) & 0xFF for i in range(MIB))
    data[-1] = 0x0A
    return bytes(data)


def message_pieces(data, size=64 * 1024):
    """`data` as messages of about `size` bytes, none but the last ending in
    a linefeed, so that RECEIVE keeps them all (pyvisa-py sends a write as
    one transfer, and one of 1 MiB never reached the I/O test instrument
    whole in the VM)."""
    start = 0
    while start < len(data):
        end = min(start + size, len(data))
        while end < len(data) and data[end - 1] == 0x0A:
            end += 1
        yield data[start:end]
        start = end


class PyvisaBlockReads:
    """query_binary_values of the block through one of PyVISA's backends,
    with PyVISA's defaults (20 KiB chunks, no read termination). Each batch
    opens its own session: pyvisa-py holds the interface while one is open."""

    def __init__(self, backend, name, chunk_size=None):
        import pyvisa

        self.rm = pyvisa.ResourceManager(backend)
        self.backend = backend
        self.name = name
        self.chunk_size = chunk_size  # None: PyVISA's own (20 KiB)

    def batch(self, data, count):
        if self.backend == "@py":
            pyusb_sees_the_bus_afresh()
        inst = self.rm.open_resource(RESOURCE, open_timeout=5000)
        try:
            inst.timeout = 20000
            inst.write_termination = "\n"
            # pyvisa-py resets the device when it opens it: a query first
            # shows it answering again before the 1 MiB message goes out.
            if not inst.query("*IDN?").startswith("Simulated Signal Sources,"):
                raise CheckFailed(f"{self.name}: *IDN? answered otherwise")
            samples = []
            for _ in range(count):
                inst.write_raw(b"RECEIVE\n")
                for piece in message_pieces(data):
                    inst.write_raw(piece)
                start = time.perf_counter()
                got = inst.query_binary_values("SENDBLOCK", datatype="B", container=bytes,
                                               chunk_size=self.chunk_size)
                samples.append((time.perf_counter() - start) * 1e6)
                if got != data:
                    raise CheckFailed(f"{self.name}: the block read back differs ({len(got)} bytes)")
            return samples
        finally:
            inst.close()

    def close(self):
        self.rm.close()


def kernel_block_read(data):
    """The same query through the kernel's driver from Python: the command
    written to its node, the reply read in os.read()s of PyVISA's chunk size
    until the whole block (header, data, linefeed) is in."""
    fd = os.open(DEVICE, os.O_RDWR)
    try:
        os.write(fd, b"RECEIVE\n")
        os.write(fd, data)
        start = time.perf_counter()
        os.write(fd, b"SENDBLOCK\n")
        reply = bytearray(os.read(fd, BLOCK_CHUNK))
        if reply[:1] != b"#":
            raise CheckFailed(f"kernel driver: block header {bytes(reply[:12])!r}")
        digits = int(reply[1:2])
        total = 2 + digits + int(reply[2:2 + digits]) + 1
        while len(reply) < total:
            chunk = os.read(fd, BLOCK_CHUNK)
            if not chunk:
                raise CheckFailed(f"kernel driver: the reply ended at {len(reply)} bytes")
            reply += chunk
        elapsed = time.perf_counter() - start
        return elapsed, bytes(reply[2 + digits:total - 1])
    finally:
        os.close(fd)


def measure_block_reads(gadget, build, report):
    """query_binary_values of a 1 MiB definite-length block: PyVISA on our
    library, on pyvisa-py, and the kernel driver read from Python in 20 KiB
    chunks, interleaved in batches (a PyVISA session per batch, the
    driver's node opened per read: the libusb users detach the driver)."""
    data = block_message()
    gadget.start("--io-test")
    readers = {}
    batches = []
    try:
        readers["pyvisa_sgvisa"] = PyvisaBlockReads(os.path.join(build, "lib", "libsgvisa.so.1"),
                                                    "PyVISA on our library")
        readers["pyvisa_py"] = PyvisaBlockReads("@py", "pyvisa-py")
        for b in range(BLOCK_BATCHES):
            order = BLOCK_VARIANTS[b % 3:] + BLOCK_VARIANTS[:b % 3]
            batch = {}
            for variant in order:
                if variant in readers:
                    try:
                        batch[variant] = readers[variant].batch(data, BLOCK_READS)
                    except Exception as e:  # noqa: BLE001 - pyvisa-py's own failures
                        # pyvisa-py's transfers of the 1 MiB message now and
                        # then stall or time out in the loaded VM: its batch
                        # runs once more, in a new session, and says so.
                        report.note(f"{variant}: batch {b} failed ({e}); run again")
                        try:
                            batch[variant] = readers[variant].batch(data, BLOCK_READS)
                        except Exception as again:  # noqa: BLE001
                            # A peer that cannot read the block twice running
                            # is a fact about the peer: it is left out of the
                            # rest, and its figures are missing, with this note.
                            if variant == "pyvisa_sgvisa":
                                raise
                            report.note(f"{variant}: failed again ({again}); left out")
                            readers.pop(variant).close()
                    continue
                kernel_driver_bound()
                samples = []
                for _ in range(BLOCK_READS):
                    elapsed, got = kernel_block_read(data)
                    if got != data:
                        raise CheckFailed(f"kernel driver: the block read back differs "
                                          f"({len(got)} bytes)")
                    samples.append(elapsed * 1e6)
                batch[variant] = samples
            batches.append(batch)
    finally:
        for r in readers.values():
            r.close()
        gadget.stop()
    for variant in BLOCK_VARIANTS:
        if not all(variant in b for b in batches):
            continue  # a peer left out (noted above)
        values = sum((b[variant] for b in batches), [])
        report.figure(f"usb.block_read.{variant}.mib_per_s {1e6 / median(values):.2f} MiB/s")
        report_samples(report, f"usb.block_read.{variant}.read", values)
    # Throughputs: a ratio of throughputs is the other side's time over ours.
    report_ratio(report, "usb.ratio.block_read_pyvisa_sgvisa_over_kernel_driver_20k", batches,
                 "kernel_driver_20k", "pyvisa_sgvisa")
    if all("pyvisa_py" in b for b in batches):
        report_ratio(report, "usb.ratio.block_read_pyvisa_sgvisa_over_pyvisa_py", batches,
                     "pyvisa_py", "pyvisa_sgvisa")


class CtypesBlockReads:
    """The block through our library from Python with no PyVISA: ctypes
    viWrite of the query, then viRead of `chunk` bytes into one buffer
    until END. What PyVISA adds on top of this is its own."""

    def __init__(self, build, chunk):
        import ctypes

        self.ct = ctypes
        self.lib = ctypes.CDLL(os.path.join(build, "lib", "libsgvisa.so.1"))
        self.chunk = chunk
        self.rm = ctypes.c_uint32()
        if self.lib.viOpenDefaultRM(ctypes.byref(self.rm)) != 0:
            raise CheckFailed("ctypes: viOpenDefaultRM failed")

    def _write(self, vi, data):
        done = self.ct.c_uint32()
        if self.lib.viWrite(vi, data, len(data), self.ct.byref(done)) != 0 or done.value != len(data):
            raise CheckFailed("ctypes: viWrite failed")

    def batch(self, data, count):
        ct = self.ct
        vi = ct.c_uint32()
        if self.lib.viOpen(self.rm, RESOURCE.encode(), 0, 5000, ct.byref(vi)) != 0:
            raise CheckFailed("ctypes: viOpen failed")
        try:
            self.lib.viSetAttribute(vi, 0x3FFF001A, 20000)  # VI_ATTR_TMO_VALUE
            expected = b"#7%07d" % len(data) + data + b"\n"
            buf = ct.create_string_buffer(len(expected) + self.chunk)
            samples = []
            for _ in range(count):
                self._write(vi, b"RECEIVE\n")
                for piece in message_pieces(data):
                    self._write(vi, piece)
                start = time.perf_counter()
                self._write(vi, b"SENDBLOCK\n")
                have = 0
                got = ct.c_uint32()
                while True:
                    st = self.lib.viRead(vi, ct.byref(buf, have), self.chunk, ct.byref(got))
                    have += got.value
                    if st != 0x3FFF0006:  # VI_SUCCESS_MAX_CNT: the message goes on
                        break
                samples.append((time.perf_counter() - start) * 1e6)
                if st != 0 or buf.raw[:have] != expected:
                    raise CheckFailed(f"ctypes: read {have} bytes, status {st & 0xFFFFFFFF:#x}")
            return samples
        finally:
            self.lib.viClose(vi)

    def close(self):
        self.lib.viClose(self.rm)


def measure_block_breakdown(gadget, build, report):
    """Where a PyVISA block read's time goes: the same 1 MiB block through
    PyVISA on each backend in 20 KiB chunks and in one chunk of the whole
    block, and through our library from ctypes alone in the same counts,
    interleaved in batches."""
    data = block_message()
    whole = len(data) + 16
    lib = os.path.join(build, "lib", "libsgvisa.so.1")
    gadget.start("--io-test")
    readers = {}
    batches = []
    try:
        readers = {
            "pyvisa_sgvisa": PyvisaBlockReads(lib, "PyVISA on our library"),
            "pyvisa_sgvisa_whole": PyvisaBlockReads(lib, "PyVISA on our library", whole),
            "ctypes_sgvisa": CtypesBlockReads(build, BLOCK_CHUNK),
            "ctypes_sgvisa_whole": CtypesBlockReads(build, whole),
            "pyvisa_py": PyvisaBlockReads("@py", "pyvisa-py"),
            "pyvisa_py_whole": PyvisaBlockReads("@py", "pyvisa-py", whole),
        }
        names = list(readers)
        for b in range(BLOCK_BATCHES):
            order = names[b % len(names):] + names[:b % len(names)]
            batches.append({name: readers[name].batch(data, BLOCK_READS) for name in order})
    finally:
        for r in readers.values():
            r.close()
        gadget.stop()
    for name in readers:
        values = sum((b[name] for b in batches), [])
        report.figure(f"usb.block_breakdown.{name}.mib_per_s {1e6 / median(values):.2f} MiB/s")
        report_samples(report, f"usb.block_breakdown.{name}.read", values)
    return f"{BLOCK_READS * BLOCK_BATCHES} block reads per variant in {BLOCK_BATCHES} batches"


def measure(gadget, build, report):
    queries = queries_wanted()
    per_batch = queries // BATCHES
    reads_only = "reads" in os.environ.get("SG_VM_ONLY", "").split(",")
    if not reads_only:
        measure_queries(gadget, build, report, per_batch)
    measure_bulk_reads(gadget, build, report)
    measure_block_reads(gadget, build, report)
    # The guest's clock: our library reads it several times per query, the
    # bare programs only around each round trip.
    with open("/sys/devices/system/clocksource/clocksource0/current_clocksource") as f:
        report.note(f"guest clocksource: {f.read().strip()}")
    report.figure(f"usb.guest.clock_read {median(run_program(build, 'clock', 5)):.3f} us")
    return (f"{per_batch * BATCHES} round trips per variant in {BATCHES} interleaved batches; "
            f"{BULK_READS * BULK_BATCHES} reads of 1 MiB per variant and count in "
            f"{BULK_BATCHES} batches; {BLOCK_READS * BLOCK_BATCHES} block reads per variant "
            f"in {BLOCK_BATCHES} batches")


def pyvisa_breakdown(build):
    """Where PyVISA's round trip on our library goes: the whole query, its
    write and read apart, and viQueryf called through ctypes alone, in a
    session without the lock and in an exclusive one."""
    import ctypes

    import pyvisa
    from pyvisa.constants import AccessModes

    rm = pyvisa.ResourceManager(os.path.join(build, "lib", "libsgvisa.so.1"))
    lines = []
    for mode in (AccessModes.no_lock, AccessModes.exclusive_lock):
        inst = rm.open_resource(RESOURCE, access_mode=mode, open_timeout=5000)
        inst.write_termination = "\n"
        buf = ctypes.create_string_buffer(256)
        timed = {
            "query": lambda: inst.query("*IDN?"),
            "write": lambda: inst.write("*IDN?"),
            "read": inst.read,
            "ctypes viQueryf": lambda: rm.visalib.lib.viQueryf(inst.session, b"*IDN?\n",
                                                               b"%255t", buf),
        }
        for what in ("query", "write", "read", "ctypes viQueryf"):
            samples = []
            for _ in range(30):
                if what == "read":
                    inst.write("*IDN?")
                start = time.perf_counter()
                timed[what]()
                samples.append((time.perf_counter() - start) * 1e6)
                if what == "write":
                    inst.read()
            lines.append(f"{mode.name}: {what} {median(samples):.0f} us")
        inst.close()
    rm.close()
    return lines


def diagnose(gadget, build, report):
    """System calls of 50 round trips through our library and bare libusb,
    on the guest console (strace -f -c, then the timed trace of a few), and
    where PyVISA's round trip on our library goes."""
    gadget.start()
    program = os.path.join(build, "bin", "bench_usb_query")
    try:
        for variant in ("ours", "ours_nolock", "bare"):
            for args in (["-f", "-c"], ["-f", "-tt", "-T"]):
                count = "50" if "-c" in args else "3"
                done = subprocess.run(["strace", *args, program, variant, count, "0", DEVICE],
                                      capture_output=True, text=True, timeout=120)
                lines = done.stderr.splitlines()
                if "-T" in args:
                    lines = lines[-120:]
                print(f"---- strace {' '.join(args)} {variant} {count} ----", flush=True)
                print("\n".join(lines), flush=True)
        # Where the time of our round trip goes (software clock samples: the
        # guest has no counters).
        data = "/tmp/perf.data"
        subprocess.run(["perf", "record", "-q", "-F", "5000", "-g", "-o", data, program, "ours",
                        "2000", "10", DEVICE], capture_output=True, timeout=300)
        for extra in (["--sort", "dso"], ["--sort", "sym"],
                      ["--sort", "sym", "--dsos", "bench_usb_query,libc.so.6,libusb-1.0.so.0.3.0"]):
            done = subprocess.run(["perf", "report", "-i", data, "--no-children", "--stdio",
                                   "-g", "none", "--percent-limit", "0.3", *extra],
                                  capture_output=True, text=True, timeout=300)
            print(f"---- perf report {' '.join(extra)}: ours 2000 ----", flush=True)
            print("\n".join(line for line in done.stdout.splitlines() if "%" in line),
                  flush=True)
        print("---- PyVISA on our library ----", flush=True)
        print("\n".join(pyvisa_breakdown(build)), flush=True)
    finally:
        gadget.stop()
    return "system call profiles on the guest console"


def main():
    report = Report(environment("SG_RESULTS"))
    build = environment("SG_BUILD_DIR")
    gadget = Gadget(build)
    gadget.create()
    if "breakdown" in os.environ.get("SG_VM_ONLY", "").split(","):
        report.run("bench-usb-block-breakdown", measure_block_breakdown, gadget, build, report)
    elif "diagnose" in os.environ.get("SG_VM_ONLY", ""):
        report.run("bench-usb-diagnose", diagnose, gadget, build, report)
    else:
        report.run("bench-usb-round-trips", measure, gadget, build, report)
    err = gadget.stderr()
    if err:
        print("---- sgsim stderr ----\n" + err, flush=True)
    gadget.destroy()
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main())
