"""Bounded waits without polling intervals: on kernel uevents, on process
exit (pidfd) and on pipe or terminal output."""
import os
import select
import socket
import time

NETLINK_KOBJECT_UEVENT = 15


class Timeout(Exception):
    pass


class Uevents:
    """Kernel uevents (device added, removed, driver bound...). Open one
    before the action whose effect is awaited, so that no event is missed."""

    def __init__(self):
        self._sock = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM,
                                   NETLINK_KOBJECT_UEVENT)
        self._sock.bind((0, 1))
        self._sock.setblocking(False)

    def close(self):
        self._sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def wait_until(self, condition, bound, what):
        """Returns once condition() is true, checking it again after each
        uevent; raises Timeout after `bound` seconds."""
        deadline = time.monotonic() + bound
        while not condition():
            left = deadline - time.monotonic()
            if left <= 0:
                raise Timeout(f"no {what} within {bound} s")
            ready, _, _ = select.select([self._sock], [], [], left)
            if ready:
                self._drain()

    def _drain(self):
        try:
            while self._sock.recv(65536):
                pass
        except BlockingIOError:
            pass


def wait_for_paths(paths, bound, what):
    """Returns once each of `paths` exists; raises Timeout after `bound`
    seconds, naming those still missing. For files the kernel makes a little
    after the one a caller waited for, as the attributes a driver gets once
    its probe has returned, after the device node the probe made. The
    kernel sends a uevent after making them (the driver's binding, the
    device's addition), so the wait may begin after the action that makes
    them."""
    def missing():
        return [p for p in paths if not os.path.exists(p)]

    with Uevents() as events:
        try:
            events.wait_until(lambda: not missing(), bound, what)
        except Timeout as e:
            raise Timeout(f"{e}; still missing: {', '.join(missing())}") from None


def wait_exit(proc, bound):
    """Waits for a subprocess.Popen to exit; kills it after `bound` seconds
    and raises Timeout. Returns its exit status."""
    if proc.poll() is not None:
        return proc.returncode
    fd = os.pidfd_open(proc.pid)
    try:
        ready, _, _ = select.select([fd], [], [], bound)
    finally:
        os.close(fd)
    if not ready:
        proc.kill()
        proc.wait()
        raise Timeout(f"{proc.args[0]} did not exit within {bound} s")
    return proc.wait()


def read_until(fd, marker, bound, sink=None):
    """Reads from fd until `marker` (bytes) has arrived; returns everything
    read. Raises Timeout after `bound` seconds and EOFError at the end of the
    stream. `sink` (a bytearray) receives the bytes too, when given."""
    deadline = time.monotonic() + bound
    data = bytearray()
    while marker not in data:
        left = deadline - time.monotonic()
        if left <= 0:
            raise Timeout(f"no {marker!r} within {bound} s; got {bytes(data)!r}")
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # a pty's master reads EIO once the slave is closed
            chunk = b""
        if not chunk:
            raise EOFError(f"end of output before {marker!r}; got {bytes(data)!r}")
        data += chunk
        if sink is not None:
            sink += chunk
    return bytes(data)
