#!/usr/bin/env python3
"""sgdemo.exe under wine, end to end, as an operator runs it on Windows.

Started by tests/windows/run for each program, the 64-bit and the 32-bit
one, with the environment set up: WINEPREFIX (a prepared, private prefix),
SG_WINE (the wine loader for the program), SG_APP_DIR (sgdemo.exe next to the
stand-in VISA DLL of its bitness, visa64.dll or visa32.dll),
SG_DIALOGUE_HEADER (the expected dialogue, tests/support/expected_dialogue.h).
The stand-in records every VISA call in a log file (see visa_standin.c),
which the checks read back.

In a terminal, wine's console host draws the program's output with cursor
control sequences; the checks compare the text after normalising those (see
screen_text), byte for byte. The key waits are found in wine's console trace
(on a pipe of its own): a wait has begun once its control handler is in place.
"""
import fcntl
import os
import re
import select
import struct
import subprocess
import tempfile
import termios
import time
import unittest

# seconds; generous, the machine is shared with other builds (SG_WINE_BOUND
# for a slower one, such as an emulated CPU)
BOUND = float(os.environ.get("SG_WINE_BOUND", "30"))
QUIET = 0.5  # seconds a waiting program is watched for doing nothing
RESOURCE = "USB0::0x4d19::0x0040::SIM001::0::INSTR"


def read_dialogue(path):
    """The string constants, string vectors and rf_phase() of the header."""
    text = open(path, encoding="utf-8").read()
    literal = r'"(?:[^"\\]|\\.)*"'

    def unquote(token):
        return token[1:-1].encode("latin-1").decode("unicode_escape")

    def concat(expr, names):
        return "".join(unquote(t) if t.startswith('"') else names[t]
                       for t in re.findall(literal + r"|\w+", expr))

    d = {}
    for name, expr in re.findall(r"std::string (k\w+) =(.*?);", text, re.S):
        d[name] = concat(expr, {})
    for name, body in re.findall(r"std::vector<std::string> (k\w+) = \{(.*?)\};", text, re.S):
        d[name] = [unquote(t) for t in re.findall(literal, body)]
    params, expr = re.search(r"rf_phase\((.*?)\) \{\s*return (.*?);", text, re.S).groups()
    names = re.findall(r"(\w+)(?:,|$)", params)
    d["rf_phase"] = lambda *values: concat(expr, dict(zip(names, values)))
    return d


D = read_dialogue(os.environ["SG_DIALOGUE_HEADER"])
CONNECTED = (D["kConnect"] + D["rf_phase"](D["kIdn"] + "\r\n", D["kNoError"] + "\r\n") +
             D["kPause"] + D["kLfPhase"] + D["kExit"])
FAILED = "Enter serial number: ABC123\r\nConnection error!\r\n" + D["kExit"]


def quoted(text):
    """`text` as the stand-in's log writes a string."""
    return '"' + text.replace("\n", "\\n").replace('"', '\\"') + '"'


def command_call(command):
    """The VISA call that sends `command`, as logged."""
    query = command.endswith("?")
    return (["viQueryf", "2", quoted(command + "\n"), quoted("%63T")] if query else
            ["viPrintf", "2", quoted(command + "\n")])


OPENED = [["viOpenDefaultRM"], ["viOpen", "1", quoted(RESOURCE), "1", "5000"]]
RF_CALLS = OPENED + [command_call(c) for c in D["kRfCommands"]]
ALL_CALLS = (OPENED + [command_call(c) for c in D["kAllCommands"]] +
             [["viClose", "2"], ["viClose", "1"]])


def screen_text(raw):
    """What wine's console host drew, as plain text: it hides and shows the
    cursor around every write and erases the rest of the line before moving
    the cursor over blank cells (ESC[nC for n blanks); its line end is
    "\\r\\r\\n" where a Unix terminal shows "\\r\\n"."""
    text = re.sub(rb"\x1b\[\?25[lh]|\x1b\[K", b"", raw)
    text = re.sub(rb"\x1b\[(\d*)C", lambda m: b" " * int(m.group(1) or 1), text)
    return text.replace(b"\r\r\n", b"\r\n").decode("latin-1")


class VisaLog:
    def __init__(self, directory):
        self.path = os.path.join(directory, "visa.log")
        self.windows_path = "Z:" + self.path

    def lines(self):
        if not os.path.exists(self.path):
            return []
        with open(self.path, encoding="latin-1") as f:
            return [line.rstrip("\n").split("\t") for line in f]

    def calls(self):
        """Each call as [operation, argument...]."""
        return [line[1:] for line in self.lines()]

    def threads(self):
        """The ids of the threads that called."""
        return {line[0] for line in self.lines()}


class ConsoleRun:
    """sgdemo.exe in a new 80x24 pseudo-terminal, its controlling terminal,
    with wine's console trace on a pipe of its own."""

    def __init__(self, env):
        self.master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        trace_r, trace_w = os.pipe()
        env = dict(env, WINEDEBUG="-all,trace+console")
        self.proc = subprocess.Popen(
            [os.environ["SG_WINE"], "sgdemo.exe"], cwd=os.environ["SG_APP_DIR"], env=env,
            stdin=slave, stdout=slave, stderr=trace_w, start_new_session=True,
            preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        os.close(trace_w)
        self.trace_fd = trace_r
        self.open_fds = {self.master, trace_r}
        self.raw = b""
        self.trace = b""
        self.trace_before_prompt = 0

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        os.close(self.master)
        os.close(self.trace_fd)

    def screen(self):
        return screen_text(self.raw)

    def _read(self, deadline):
        """Takes in what the terminal and the trace have, waiting at most
        until `deadline`. False when nothing came."""
        if not self.open_fds:  # both ended: only the exit is left to wait for
            try:
                self.proc.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                pass
            return False
        ready, _, _ = select.select(list(self.open_fds), [], [],
                                    max(0.0, deadline - time.monotonic()))
        for fd in ready:
            try:
                data = os.read(fd, 65536)
            except OSError:  # EIO: the terminal's last user is gone
                data = b""
            if not data:
                self.open_fds.discard(fd)
            elif fd == self.master:
                self.raw += data
            else:
                self.trace += data
        return bool(ready)

    def _until(self, condition, bound):
        deadline = time.monotonic() + bound
        while not condition():
            if time.monotonic() >= deadline or (not self.open_fds and
                                                self.proc.poll() is not None):
                return condition()
            self._read(deadline)
        return True

    def wait_for(self, text, bound=BOUND):
        return self._until(lambda: text in self.screen(), bound)

    def wait_for_prompt(self, bound=BOUND):
        """Waits for the serial number prompt. What the program traced before
        it (its start-up puts a control handler of wine's own in place) is
        then all in, and is left out of the key waits."""
        if not self.wait_for("Enter serial number: ", bound):
            return False
        while self._read(time.monotonic()):
            pass
        self.trace_before_prompt = len(self.trace)
        return True

    def key_waits_begun(self, thread):
        """How many key waits the program, whose thread is `thread`, has
        begun since its prompt: each puts its control handler in place."""
        line = rb"^" + thread.encode() + rb":trace:console:SetConsoleCtrlHandler \(\w+,1\)"
        return len(re.findall(line, self.trace[self.trace_before_prompt:], re.M))

    def wait_for_key_wait(self, number, log, bound=BOUND):
        """Waits until the program's key wait number `number` has begun. The
        program's thread is the one that called VISA (other processes of
        wine's own put control handlers in place on theirs)."""
        def begun():
            threads = log.threads()
            return len(threads) == 1 and self.key_waits_begun(next(iter(threads))) >= number
        return self._until(begun, bound)

    def type(self, keys, bound=BOUND):
        """Types `keys` once the console host reads the terminal key by key
        (until then the terminal would echo and edit the line itself)."""
        deadline = time.monotonic() + bound
        while termios.tcgetattr(self.master)[3] & termios.ICANON:
            if time.monotonic() >= deadline:
                raise AssertionError("the console never took over the terminal")
            self._read(min(deadline, time.monotonic() + 0.01))
        os.write(self.master, keys)

    def stays_waiting(self, log):
        """True when for QUIET seconds from now the program neither ends, nor
        prints, nor calls VISA."""
        while self._read(time.monotonic()):
            pass  # what is on its way already
        screen, calls = self.screen(), log.calls()
        deadline = time.monotonic() + QUIET
        while time.monotonic() < deadline:
            self._read(deadline)
        return self.proc.poll() is None and self.screen() == screen and log.calls() == calls

    def wait_exit(self, bound=BOUND):
        """The exit status; None when the program runs longer than `bound`.
        Its output is all in the terminal by then (a console write returns
        once the console host has drawn it): that is read too."""
        self._until(lambda: self.proc.poll() is not None, bound)
        while self._read(time.monotonic()):
            pass
        return self.proc.poll()

    def console_modes(self):
        """The input mode the console had at first and the one set last."""
        got = re.findall(rb"console_input_ioctl returning mode (\w+)", self.trace)
        set_ = re.findall(rb"console_input_ioctl set (\w+) mode", self.trace)
        return (got[0] if got else None), (set_[-1] if set_ else None)


class WineTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.log = VisaLog(self.dir.name)
        self.env = dict(os.environ, SGTEST_VISA_LOG=self.log.windows_path,
                        SGTEST_VISA_RESOURCE=RESOURCE, SGTEST_VISA_IDN=D["kIdn"])

    def tearDown(self):
        self.dir.cleanup()

    def start(self, serial_line):
        run = ConsoleRun(self.env)
        self.addCleanup(run.close)
        self.assertTrue(run.wait_for_prompt(), run.screen())
        run.type(serial_line)
        return run

    def expect_waiting(self, run, number, prompt):
        """The program shows `prompt`, begins its key wait number `number` and
        stays in it: it neither prints, nor sends, nor ends."""
        self.assertTrue(run.wait_for(prompt), run.screen())
        self.assertTrue(run.wait_for_key_wait(number, self.log), f"key wait {number} never began")
        self.assertTrue(run.stays_waiting(self.log), f"key wait {number} did not wait for a key")

    def expect_console_restored(self, run):
        first, last = run.console_modes()
        self.assertIsNotNone(first, "no console input mode in the trace")
        self.assertEqual(last, first, "the console's input mode was not restored")


class InAConsole(WineTest):
    def test_connected_run_one_key_per_wait_and_nothing_sent_at_the_pause(self):
        run = self.start(b"SIM001\r")
        self.expect_waiting(run, 1, D["kPause"])
        self.assertEqual(self.log.calls(), RF_CALLS, "sent before or during the pause")
        run.type(b"\x1b[A")  # an arrow key: two codes from _getch, one key
        self.expect_waiting(run, 2, D["kExit"])
        self.assertEqual(self.log.calls(), ALL_CALLS)
        run.type(b"k")
        self.assertEqual(run.wait_exit(), 0)
        self.assertEqual(run.screen(), CONNECTED, "a key was echoed or followed by something")
        self.assertEqual(run.key_waits_begun(*self.log.threads()), 2)
        self.expect_console_restored(run)

    def test_ctrl_c_at_a_wait_is_a_key_and_the_lf_phase_and_final_reset_still_run(self):
        run = self.start(b"SIM001\r")
        self.expect_waiting(run, 1, D["kPause"])
        run.type(b"\x03")
        self.expect_waiting(run, 2, D["kExit"])
        self.assertEqual(self.log.calls(), ALL_CALLS)
        run.type(b"\x03")
        self.assertEqual(run.wait_exit(), 0)
        self.assertEqual(run.screen(), CONNECTED)
        self.expect_console_restored(run)

    def test_failed_open_sends_nothing_and_waits_for_one_key(self):
        run = self.start(b"ABC123\r")
        self.expect_waiting(run, 1, D["kExit"])
        self.assertEqual(self.log.calls(), [
            ["viOpenDefaultRM"],
            ["viOpen", "1", quoted("USB0::0x4d19::0x0040::ABC123::0::INSTR"), "1", "5000"],
            ["viClose", "1"],
        ])
        run.type(b"k")
        self.assertEqual(run.wait_exit(), 0)
        self.assertEqual(run.screen(), FAILED)
        self.assertEqual(run.key_waits_begun(*self.log.threads()), 1)


class WithoutAConsole(WineTest):
    """No terminal: wine attaches no console, so the waits return at once."""

    def run_detached(self, stdout, preexec_fn=None):
        if os.path.exists(self.log.path):
            os.remove(self.log.path)
        proc = subprocess.run([os.environ["SG_WINE"], "sgdemo.exe"],
                              cwd=os.environ["SG_APP_DIR"], env=self.env, input=b"SIM001\n",
                              stdout=stdout, stderr=subprocess.DEVNULL, start_new_session=True,
                              preexec_fn=preexec_fn, timeout=BOUND)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(self.log.calls(), ALL_CALLS)
        return proc.stdout

    def test_runs_to_its_end_with_the_whole_transcript(self):
        out = self.run_detached(subprocess.PIPE).decode("latin-1")
        self.assertEqual(out, CONNECTED.replace("SIM001\r\n", "", 1), "no echo without a console")

    def test_output_that_goes_nowhere_does_not_stop_the_run(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            with self.subTest("a pipe nobody reads"):
                self.run_detached(write_end)
        finally:
            os.close(write_end)
        with self.subTest("closed"):
            self.run_detached(subprocess.DEVNULL, preexec_fn=lambda: os.close(1))


if __name__ == "__main__":
    unittest.main(verbosity=2)
