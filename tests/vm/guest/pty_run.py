"""A program run in a pseudo-terminal of its own (its controlling terminal),
as an operator would run it; keeps the whole transcript.

The master side is in packet mode, so that it also learns when the program
switches the terminal's flow control (IXON) off and on again: its key wait
does that on entering and leaving key mode. A key is typed only once the
terminal is in key mode, as an operator who waits for the prompt would.
"""
import fcntl
import os
import pwd
import select
import struct
import subprocess
import termios
import time

from waits import Timeout, wait_exit


class PtyRun:
    def __init__(self, argv, user=None):
        master, slave = os.openpty()
        fcntl.ioctl(master, termios.TIOCPKT, struct.pack("i", 1))
        self.master = master
        self.transcript = bytearray()
        self.key_mode = False
        self._eof = False
        kwargs = {}
        if user is not None:
            pw = pwd.getpwnam(user)
            os.fchown(slave, pw.pw_uid, pw.pw_gid)
            kwargs = {"user": pw.pw_uid, "group": pw.pw_gid, "extra_groups": []}

        def make_controlling_terminal():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.proc = subprocess.Popen(
            argv, stdin=slave, stdout=slave, stderr=slave, start_new_session=True,
            preexec_fn=make_controlling_terminal, cwd="/", **kwargs)
        os.close(slave)

    def _read_packet(self, deadline, waiting_for):
        left = deadline - time.monotonic()
        if left <= 0:
            raise Timeout(f"no {waiting_for} within the bound; "
                          f"transcript so far {bytes(self.transcript)!r}")
        ready, _, _ = select.select([self.master], [], [], left)
        if not ready:
            return
        try:
            packet = os.read(self.master, 4096)
        except OSError:  # EIO once the program closed the terminal
            packet = b""
        if not packet:
            self._eof = True
            raise EOFError(f"end of output before {waiting_for}; "
                           f"transcript {bytes(self.transcript)!r}")
        status = packet[0]
        if status == termios.TIOCPKT_DATA:
            self.transcript += packet[1:]
        else:
            if status & termios.TIOCPKT_NOSTOP:
                self.key_mode = True
            if status & termios.TIOCPKT_DOSTOP:
                self.key_mode = False

    def expect(self, marker, bound):
        """Waits (at most `bound` seconds) until the transcript ends in
        `marker`."""
        deadline = time.monotonic() + bound
        while not self.transcript.endswith(marker):
            self._read_packet(deadline, repr(marker))

    def press_key(self, key, bound):
        """Types `key` once the program waits for a key (at most `bound`
        seconds)."""
        deadline = time.monotonic() + bound
        while not self.key_mode:
            self._read_packet(deadline, "key mode")
        self.key_mode = False
        os.write(self.master, key)

    def type_line(self, line):
        os.write(self.master, line)

    def finish(self, bound):
        """Reads the rest of the output and waits for the exit; returns the
        exit status."""
        deadline = time.monotonic() + bound
        try:
            while not self._eof:
                self._read_packet(deadline, "the end of the output")
        except EOFError:
            pass
        return wait_exit(self.proc, max(deadline - time.monotonic(), 0.1))

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        try:
            os.close(self.master)
        except OSError:
            pass
