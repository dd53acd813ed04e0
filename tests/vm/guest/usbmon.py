"""The kernel's record of USB transfers (usbmon's text interface in
debugfs): a check learns from it that a transfer has reached the kernel,
rather than guessing how long that takes."""
import os
import threading

from report import CheckFailed

USBMON = "/sys/kernel/debug/usb/usbmon"


class UsbMon:
    """Transfers on one bus, recorded from the moment it is opened."""

    def __init__(self, bus):
        self._fd = os.open(os.path.join(USBMON, f"{bus}u"), os.O_RDONLY)
        self._pending = b""

    def close(self):
        # A reader thread left blocked (the bound passed) keeps the file;
        # it ends with the guest.
        os.close(self._fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _line(self):
        while b"\n" not in self._pending:
            chunk = os.read(self._fd, 4096)  # blocks until an event (no poll here)
            if not chunk:
                raise EOFError("usbmon closed")
            self._pending += chunk
        line, _, self._pending = self._pending.partition(b"\n")
        return line.decode(errors="replace")

    def wait_for_submit(self, kind, device, bound):
        """Returns once a transfer of `kind` ("Bi", "Bo", "Ci"...) to device
        number `device` has been submitted; CheckFailed after `bound` s."""
        found = threading.Event()

        def watch():
            while True:
                # URB tag, time, event type, address "Bi:bus:dev:ep", ...
                fields = self._line().split()
                if len(fields) < 4 or fields[2] != "S":
                    continue
                address = fields[3].split(":")
                if address[0] == kind and int(address[2]) == device:
                    found.set()
                    return

        thread = threading.Thread(target=watch, daemon=True)
        thread.start()
        if not found.wait(bound):
            raise CheckFailed(f"usbmon saw no {kind} transfer to device {device} in {bound} s")
