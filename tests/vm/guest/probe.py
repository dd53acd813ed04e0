"""Our VISA library, step by step, through the vm_visa_probe helper."""
import os
import subprocess

from report import CheckFailed
from waits import read_until

VI_SUCCESS = 0
VI_ERROR_TMO = 0xBFFF0015
VI_ERROR_ABORT = 0xBFFF0030
VI_ERROR_NPERMISSION = 0xBFFF00A8
VI_ERROR_RSRC_NFOUND = 0xBFFF0011
VI_ERROR_CONN_LOST = 0xBFFF00A6
RESOURCE = "USB0::0x4D19::0x0040::SIM001::INSTR"


def unescape(text):
    return text.encode().decode("unicode_escape").encode("latin-1").decode(errors="replace")


class Step:
    def __init__(self, line):
        head, _, data = line.partition(" data=")
        # The step as given (which may hold blanks), status=, ms=.
        fields = head.rsplit(" ", 2)
        self.name = fields[0]
        values = dict(f.split("=", 1) for f in fields[1:])
        self.status = int(values["status"], 16)
        self.ms = float(values["ms"])
        self.data = unescape(data)

    def __repr__(self):
        return f"{self.name}: status 0x{self.status:08X}, {self.ms:.0f} ms, {self.data!r}"


def probe_path(build_dir):
    exe = os.path.join(build_dir, "bin", "vm_visa_probe")
    if not os.path.exists(exe):
        raise CheckFailed(f"{exe} is missing (build the vm_visa_probe target)")
    return exe


def parse_steps(returncode, stdout, stderr, steps, opens):
    if returncode != 0:
        raise CheckFailed(f"vm_visa_probe exited with {returncode}: {stderr.strip()}")
    result = [Step(line) for line in stdout.splitlines()]
    if len(result) < 2:
        raise CheckFailed(f"vm_visa_probe printed {stdout!r}")
    if opens:
        expect_status(result[1], VI_SUCCESS)
        if len(result) != len(steps) + 3:
            raise CheckFailed(f"vm_visa_probe ran {len(result) - 3} of {len(steps)} steps")
    return result


def run_probe(build_dir, steps, user=None, bound=60, opens=True, resource=RESOURCE, lock=True):
    """Runs the probe and returns its steps (rm, open, ..., close). When
    `opens`, a failed viOpen fails the check. With resource "-" no session
    is opened: the steps are rm and those given. Without `lock` the session
    is opened without the exclusive lock."""
    kwargs = {"user": user, "extra_groups": []} if user else {}
    flags = [] if lock else ["--no-lock"]
    done = subprocess.run([probe_path(build_dir), *flags, resource, *steps], capture_output=True,
                          text=True, timeout=bound, **kwargs)
    return parse_steps(done.returncode, done.stdout, done.stderr, steps, opens)


def run_probe_with_action(build_dir, steps, action, bound=60, resource=RESOURCE):
    """Runs the probe with "pause" steps among `steps`; at each pause calls
    the next of `action` (one callable, or a list of them, one per pause),
    then lets the probe go on. Returns its steps."""
    actions = list(action) if isinstance(action, (list, tuple)) else [action]
    proc = subprocess.Popen([probe_path(build_dir), resource, *steps], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        head = b""
        for i, act in enumerate(actions):
            try:
                head += read_until(proc.stdout.fileno(), b"pause status=", bound)
            except EOFError as e:
                raise CheckFailed(f"vm_visa_probe ended before its pause: {e}")
            while not head.endswith(b"\n"):
                head += read_until(proc.stdout.fileno(), b"\n", bound)
            act()
            if i + 1 < len(actions):
                proc.stdin.write(b"\n")
                proc.stdin.flush()
        rest, err = proc.communicate(b"\n", timeout=bound)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return parse_steps(proc.returncode, (head + rest).decode(errors="replace"),
                       err.decode(errors="replace"), steps, opens=resource != "-")


def expect_status(step, status):
    if step.status != status:
        raise CheckFailed(f"{step}: wanted status 0x{status:08X}")
