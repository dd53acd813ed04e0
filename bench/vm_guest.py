"""The guest side of bench/vm_figures: *IDN? round trips to the simulated
generator attached as a USB gadget, through our library (viQueryf over
libusb, in an exclusive session as sgdemo opens it, and in a session without
the lock), bare libusb, the kernel's usbtmc driver and pyvisa-py, and our
library again with the device exported and attached over USB/IP on the
loopback (usbip), interleaved in batches (each batch opens its own session;
only the queries are timed). Reports FIGURE lines
"usb.query.VARIANT.median VALUE us" and the ratios.

Runs under tests/vm's /init with SG_SRC_DIR, SG_BUILD_DIR and SG_RESULTS set;
SG_VM_ONLY may carry "queries=N" (round trips per variant, default 100)."""
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
BATCHES = 10
WARMUP = 2
VARIANTS = ["ours", "bare_libusb", "kernel_driver", "pyvisa_py", "ours_nolock", "usbip"]
PROGRAM_VARIANT = {"ours": "ours", "bare_libusb": "bare", "kernel_driver": "kernel",
                   "usbip": "ours"}


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


def run_program(build, variant, count):
    program = os.path.join(build, "bin", "bench_usb_query")
    args = [program, PROGRAM_VARIANT.get(variant, variant), str(count), str(WARMUP), DEVICE]
    done = subprocess.run(args, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise CheckFailed(f"{variant}: exit {done.returncode}: {done.stderr.strip()}")
    fields = done.stdout.split()
    if len(fields) != count + 2 or fields[0] != "samples":
        raise CheckFailed(f"{variant}: unexpected output {done.stdout[:200]!r}")
    return [float(x) for x in fields[2:]]


class PyvisaPy:
    def __init__(self):
        import pyvisa

        self.rm = pyvisa.ResourceManager("@py")

    def batch(self, count):
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
                    raise CheckFailed(f"pyvisa-py: *IDN? answered {reply!r}")
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


def measure(gadget, build, report):
    queries = queries_wanted()
    per_batch = queries // BATCHES
    gadget.start()
    pyvisa_py = PyvisaPy()
    samples = {v: [] for v in VARIANTS}
    try:
        for b in range(BATCHES):
            order = VARIANTS[b % len(VARIANTS):] + VARIANTS[:b % len(VARIANTS)]
            for variant in order:
                if variant == "kernel_driver":
                    kernel_driver_bound()
                if variant == "pyvisa_py":
                    samples[variant] += pyvisa_py.batch(per_batch)
                elif variant == "usbip":
                    # Exported, the direct appearance is not for this
                    # machine: our library finds only the vhci one.
                    with UsbipLink() as link:
                        link.export()
                        link.attach()
                        samples[variant] += run_program(build, variant, per_batch)
                else:
                    samples[variant] += run_program(build, variant, per_batch)
    finally:
        pyvisa_py.close()
        gadget.stop()
    med = {}
    for variant, values in samples.items():
        med[variant] = median(values)
        name = f"usb.query.{variant}"
        report.figure(f"{name}.median {med[variant]:.1f} us")
        report.figure(f"{name}.min {min(values):.1f} us")
        report.figure(f"{name}.max {max(values):.1f} us")
        report.figure(f"{name}.count {len(values)} samples")
    report.figure(f"usb.ratio.ours_over_bare_libusb {med['ours'] / med['bare_libusb']:.3f} x")
    report.figure(f"usb.ratio.ours_over_kernel_driver {med['ours'] / med['kernel_driver']:.3f} x")
    report.figure(f"usb.ratio.pyvisa_py_over_ours {med['pyvisa_py'] / med['ours']:.3f} x")
    report.figure(f"usb.ratio.ours_nolock_over_bare_libusb "
                  f"{med['ours_nolock'] / med['bare_libusb']:.3f} x")
    report.figure(f"usb.ratio.usbip_over_direct {med['usbip'] / med['ours']:.3f} x")
    # The guest's clock: our library reads it several times per query, the
    # bare programs only around each round trip.
    with open("/sys/devices/system/clocksource/clocksource0/current_clocksource") as f:
        report.note(f"guest clocksource: {f.read().strip()}")
    report.figure(f"usb.guest.clock_read {median(run_program(build, 'clock', 5)):.3f} us")
    return f"{per_batch * BATCHES} round trips per variant in {BATCHES} interleaved batches"


def diagnose(gadget, build, report):
    """System calls of 50 round trips through our library and bare libusb,
    on the guest console (strace -f -c, then the timed trace of a few)."""
    gadget.start()
    program = os.path.join(build, "bin", "bench_usb_query")
    try:
        for variant in ("ours", "bare"):
            for args in (["-f", "-c"], ["-f", "-tt", "-T"]):
                count = "50" if "-c" in args else "3"
                done = subprocess.run(["strace", *args, program, variant, count, "0", DEVICE],
                                      capture_output=True, text=True, timeout=120)
                lines = done.stderr.splitlines()
                if "-T" in args:
                    lines = lines[-120:]
                print(f"---- strace {' '.join(args)} {variant} {count} ----", flush=True)
                print("\n".join(lines), flush=True)
    finally:
        gadget.stop()
    return "system call profiles on the guest console"


def main():
    report = Report(environment("SG_RESULTS"))
    build = environment("SG_BUILD_DIR")
    gadget = Gadget(build)
    gadget.create()
    if "diagnose" in os.environ.get("SG_VM_ONLY", ""):
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
