"""The guest side of the VM test: runs each check against the simulator
attached as a USB gadget and reports one PASS or FAIL line per check."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import check_peers  # noqa: E402
from gadget import Gadget  # noqa: E402
from report import Report, environment  # noqa: E402


def main():
    report = Report(environment("SG_RESULTS"))
    report.uptime("runner")
    build_dir = environment("SG_BUILD_DIR")
    gadget = Gadget(build_dir)
    gadget.create()
    checks = [
        ("kernel-usbtmc-driver", check_peers.kernel_driver),
        ("pyvisa-py", check_peers.pyvisa_py),
    ]
    for name, check in checks:
        report.run(name, check, gadget, report)
        if gadget.proc is not None:  # a failed check may leave it running
            try:
                gadget.stop()
            except Exception as e:
                report.note(f"stopping sgsim after {name}: {e}")
    err = gadget.stderr()
    if err:
        print("---- sgsim stderr ----\n" + err, flush=True)
    gadget.destroy()
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main())
