"""A program run in a pseudo-terminal of its own (its controlling terminal),
as an operator would run it; keeps the whole transcript."""
import fcntl
import os
import pwd
import subprocess
import termios

from waits import read_until, wait_exit


class PtyRun:
    def __init__(self, argv, user=None):
        master, slave = os.openpty()
        self.master = master
        self.transcript = bytearray()
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

    def expect(self, marker, bound):
        """Waits (at most `bound` seconds) until the transcript has grown by
        output ending in `marker`."""
        return read_until(self.master, marker, bound, sink=self.transcript)

    def send(self, data):
        os.write(self.master, data)

    def finish(self, bound):
        """Reads the rest of the output and waits for the exit; returns the
        exit status."""
        try:
            read_until(self.master, b"\0never\0", bound, sink=self.transcript)
        except EOFError:
            pass
        status = wait_exit(self.proc, bound)
        os.close(self.master)
        return status

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        try:
            os.close(self.master)
        except OSError:
            pass
