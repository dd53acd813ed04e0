"""One scripted VXI-11 session of our library (through PyVISA, "@sgvisa")
with sgsim, captured on loopback and decoded by tshark's portmap and
vxi11_core dissectors, an independent decoder: no packet is malformed, the
calls come in the order the session makes them, each has its reply, and
the flags say what the library means (END on the write, waitlock on the
lock).

Usage (run-peers calls it in its namespace, sgsim serving 127.0.0.1):
    tshark_session.py CAPTURE_FILE
"""
import select
import signal
import socket
import subprocess
import sys
import time

import pyvisa

PORTMAP, CORE = 100000, 0x0607AF
# (program, procedure) of each call, in order.
EXPECTED = [
    (PORTMAP, 3),  # GETPORT
    (CORE, 10),  # create_link
    (CORE, 11),  # device_write "*IDN?"
    (CORE, 12),  # device_read
    (CORE, 13),  # device_readstb
    (CORE, 14),  # device_trigger
    (CORE, 15),  # device_clear
    (CORE, 18),  # device_lock
    (CORE, 19),  # device_unlock
    (CORE, 25),  # create_intr_chan
    (CORE, 20),  # device_enable_srq (on)
    (CORE, 20),  # device_enable_srq (off)
    (CORE, 26),  # destroy_intr_chan
    (CORE, 23),  # destroy_link
]


def tshark_fields(capture, display_filter, *fields):
    args = ["tshark", "-r", capture, "-Y", display_filter, "-T", "fields"]
    for f in fields:
        args += ["-e", f]
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    return [line.split("\t") for line in out.splitlines()]


def session():
    rm = pyvisa.ResourceManager("@sgvisa")
    r = rm.open_resource("TCPIP::127.0.0.1::INSTR")
    r.timeout = 2000
    r.query("*IDN?")
    r.read_stb()
    r.assert_trigger()
    r.clear()
    r.lock_excl()
    r.unlock()
    srq = pyvisa.constants.EventType.service_request
    queue = pyvisa.constants.EventMechanism.queue
    r.enable_event(srq, queue)
    r.disable_event(srq, queue)
    r.close()
    rm.close()


class Capture:
    """tshark writing what passes on lo to a file and printing a line a
    packet, so that a marker datagram sent to the discard port tells when
    the capture has begun and when it has taken everything before it."""

    def __init__(self, path):
        self.proc = subprocess.Popen(["tshark", "-i", "lo", "-w", path, "-P", "-l"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.marks = 0

    def mark(self, tag):
        """The frame number of the marker `tag`, once tshark has taken it.
        Sent again until tshark shows it: the first ones may come before its
        capture has begun, and tshark may show several at once. So each
        mark has a length of its own, which is what tshark's line shows of
        it: a line left over from an earlier mark is never taken for this
        one. Bounded by the deadline."""
        deadline = time.monotonic() + 10
        self.marks += 1
        payload = ("sgvisa-mark-" + tag).encode().ljust(64 + self.marks, b".")
        while time.monotonic() < deadline:
            self.sock.sendto(payload, ("127.0.0.1", 9))
            ready, _, _ = select.select([self.proc.stdout], [], [], 0.2)
            while ready:
                line = self.proc.stdout.readline()
                if not line:
                    raise RuntimeError("tshark ended")
                if " 9 Len=%d" % len(payload) in line:
                    return int(line.split()[0])
                ready, _, _ = select.select([self.proc.stdout], [], [], 0)
        raise RuntimeError("tshark shows no capture on lo")

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        self.proc.communicate(timeout=10)
        self.sock.close()


def main():
    capture = sys.argv[1]
    cap = Capture(capture)
    try:
        cap.mark("start")
        session()
        cap.mark("end")
    finally:
        cap.stop()

    failures = []
    malformed = tshark_fields(capture, "_ws.malformed || _ws.expert.severity == error",
                              "frame.number")
    if malformed:
        failures.append(f"malformed or erroneous packets: frames {[m[0] for m in malformed]}")
    calls = tshark_fields(capture, "rpc.msgtyp == 0", "rpc.xid", "rpc.program", "rpc.procedure")
    replies = {r[0] for r in tshark_fields(capture, "rpc.msgtyp == 1", "rpc.xid")}
    seen = [(int(p), int(q)) for _, p, q in calls]
    if seen != EXPECTED:
        failures.append(f"calls {seen}, expected {EXPECTED}")
    unanswered = [c for c in calls if c[0] not in replies]
    if unanswered:
        failures.append(f"calls without a reply: {unanswered}")
    write_flags = tshark_fields(capture, "vxi11_core.flags && rpc.procedure == 11",
                                "vxi11_core.flags.end")
    if [f[0] for f in write_flags] not in (["1"], ["True"]):
        failures.append(f"device_write END flag: {write_flags}")
    lock_flags = tshark_fields(capture, "vxi11_core.flags && rpc.procedure == 18",
                               "vxi11_core.flags.wait_lock")
    if [f[0] for f in lock_flags] not in (["1"], ["True"]):
        failures.append(f"device_lock waitlock flag: {lock_flags}")
    for f in failures:
        print("FAILED: tshark: " + f, file=sys.stderr)
    if not failures:
        print(f"ok: tshark decodes the session: {len(calls)} calls, each answered, no malformed packet")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
