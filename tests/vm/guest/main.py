"""The guest side of the VM test: runs each check against the simulator
attached as a USB gadget and reports one PASS or FAIL line per check."""
import os
import sys

# Started with -I -S: Debian's packages (pyvisa, pyvisa-py, pyusb) without the
# site-wide .pth files, whose imports cost seconds over the 9p share.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.append("/usr/lib/python3/dist-packages")

import check_full_speed  # noqa: E402
import check_library  # noqa: E402
import check_peers  # noqa: E402
import check_pyvisa_sgvisa  # noqa: E402
import check_quirks  # noqa: E402
import check_sgdemo  # noqa: E402
import check_stall  # noqa: E402
import check_usb488  # noqa: E402
import check_usbip  # noqa: E402
from gadget import Gadget  # noqa: E402
from report import Report, environment  # noqa: E402


def main():
    report = Report(environment("SG_RESULTS"))
    report.uptime("runner")
    build = environment("SG_BUILD_DIR")
    gadget = Gadget(build)
    gadget.create()
    # A second instrument on the second UDC, for the check that uses two.
    second = Gadget(build, name="sg2", udc="dummy_udc.1", serial="SIM002",
                    node="/sys/bus/usb/devices/2-1:1.0/driver", busid="2-1")
    second.create()
    # The quirk checks' hosts each have one: our library the second, the
    # kernel driver the third, pyvisa-py the fourth.
    third = Gadget(build, name="sg3", udc="dummy_udc.2", serial="SIM003",
                   node="/sys/bus/usb/devices/3-1:1.0/driver", busid="3-1")
    third.create()
    fourth = Gadget(build, name="sg4", udc="dummy_udc.3", serial="SIM004",
                    node="/sys/bus/usb/devices/4-1:1.0/driver", busid="4-1")
    fourth.create()
    attachment = check_usbip.Attachment(gadget)
    peers = check_quirks.Hosts(build, second, third, fourth)
    checks = [
        ("1-kernel-usbtmc-driver", lambda: check_peers.kernel_driver(gadget, report)),
        ("1-pyvisa-py", lambda: check_peers.pyvisa_py(gadget, report)),
        ("2-sgdemo-over-libusb", lambda: check_sgdemo.connected_run(gadget, build)),
        ("3-timeout-then-query", lambda: check_library.timeout_then_query(gadget, build)),
        ("6-long-and-split-replies", lambda: check_library.long_and_split_replies(gadget, build)),
        ("4-unplug-during-pause", lambda: check_sgdemo.unplug_during_pause(gadget, build)),
        ("5-no-permission-sgdemo", lambda: check_sgdemo.no_permission(gadget, build)),
        ("5-no-permission-status", lambda: check_library.no_permission_status(gadget, build)),
        ("7-malformed-transfer-stalls", lambda: check_stall.malformed_transfer(gadget)),
        ("8-usb488-kernel-requests", lambda: check_usb488.kernel_requests(gadget)),
        ("8-usb488-kernel-srq", lambda: check_usb488.kernel_srq(gadget)),
        ("8-usb488-library", lambda: check_usb488.library(gadget, build, report)),
        ("8-usb488-library-shared",
         lambda: check_usb488.library_shared(gadget, build, report)),
        ("library-round-trip",
         lambda: check_library.round_trip(gadget, second, build, report)),
        ("usb-find", lambda: check_library.usb_find(gadget, build)),
        ("pyvisa-sgvisa", lambda: check_pyvisa_sgvisa.pyvisa_sgvisa(gadget, build, report)),
        ("full-speed-sgdemo", lambda: check_full_speed.sgdemo_run(gadget, build)),
        ("full-speed-replies", lambda: check_full_speed.replies(gadget, build)),
        # The same exchange through our library, the kernel driver and
        # pyvisa-py on a gadget with each quirk: one row of the matrix each.
        *((check_quirks.check_name(row),
           lambda row=row: check_quirks.quirk_row(row, peers, report))
          for row in check_quirks.rows()),
        # Last, one attachment for all (see check_usbip.Attachment); the
        # last gives the device back to dummy_hcd.
        ("usbip-kernel-usbtmc-driver", lambda: check_usbip.kernel_driver(attachment, report)),
        ("usbip-sgdemo", lambda: check_usbip.sgdemo(attachment, build)),
        ("usbip-library", lambda: check_usbip.library(attachment, build)),
        ("usbip-detach-during-pause", lambda: check_usbip.detach_during_pause(attachment, build)),
        ("usbip-given-back", lambda: check_usbip.given_back(attachment)),
    ]
    only = os.environ.get("SG_VM_ONLY")
    if any(name.startswith("quirk-") and (not only or only in name) for name, _ in checks):
        peers.prepare()  # its imports, in the idle time of the checks before
    for name, check in checks:
        if only and only not in name:
            continue
        passed = report.run(name, check)
        if passed and attachment.link is not None:
            continue  # kept for the next USB/IP check
        # A failed check may leave sgsim running, or the device exported.
        try:
            attachment.close()
        except Exception as e:
            report.note(f"stopping sgsim after {name}: {e}")
    peers.close()
    try:
        attachment.close()  # after a selection (--only) of the USB/IP checks
    except Exception as e:
        report.note(f"giving the device back after the USB/IP checks: {e}")
    for g in (gadget, second, third, fourth):
        err = g.stderr()
        if err:
            print(f"---- sgsim ({g.name}) stderr ----\n" + err, flush=True)
        g.destroy()
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main())
