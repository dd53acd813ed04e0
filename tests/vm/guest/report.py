"""Result lines for the host: PASS/FAIL per check, FIGURE, NOTE and MATRIX
lines.

They go to the results channel (the second serial port) and, for whoever
watches the guest console, to standard output as well.
"""
import os
import sys
import time
import traceback


class Report:
    def __init__(self, path):
        self._out = open(path, "w", buffering=1)
        self.failed = 0

    def _line(self, text):
        self._out.write(text + "\n")
        print(text, flush=True)

    def passed(self, name, detail=""):
        self._line(f"PASS {name}" + (f": {detail}" if detail else ""))

    def fail(self, name, why):
        self.failed += 1
        self._line(f"FAIL {name}: {' '.join(str(why).split())}")

    def figure(self, text):
        self._line(f"FIGURE {text}")

    def note(self, text):
        self._line(f"NOTE {text}")

    def matrix(self, quirk, exchange, bound, outcomes):
        """One row of the quirk checks' matrix: the quirk, the exchange,
        each host's bound in seconds and the hosts' outcomes, tab-separated."""
        fields = [quirk, exchange, f"{bound:.0f}", *outcomes]
        self._line("MATRIX " + "\t".join(" ".join(f.split()) for f in fields))

    def uptime(self, label):
        with open("/proc/uptime") as f:
            self._line(f"UPTIME {label} {f.read().split()[0]}")

    def run(self, name, check, *args):
        """Runs check(*args); it raises CheckFailed (or anything) to fail and
        returns an optional detail string to pass. Returns whether it
        passed."""
        start = time.monotonic()
        ok = False
        try:
            detail = check(*args)
        except CheckFailed as e:
            self.fail(name, e)
        except Exception as e:  # a broken check is a failed check
            traceback.print_exc(file=sys.stdout)
            self.fail(name, f"{type(e).__name__}: {e}")
        else:
            self.passed(name, detail or "")
            ok = True
        print(f"   ({name}: {time.monotonic() - start:.1f} s)", flush=True)
        return ok


class CheckFailed(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise CheckFailed(message)


def expect_equal(actual, wanted, what):
    if actual != wanted:
        raise CheckFailed(f"{what}: got {actual!r}, wanted {wanted!r}")


def environment(name):
    value = os.environ.get(name)
    if not value:
        raise SystemExit(f"guest: {name} is not set")
    return value
