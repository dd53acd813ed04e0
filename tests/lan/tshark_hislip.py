"""One scripted HiSLIP session of our library (through PyVISA, "@sgvisa")
with sgsim, in each mode (synchronized, then overlapped), captured on
loopback and decoded by tshark's hislip dissector, an independent decoder:
no message is malformed, and on each channel, in each direction, the
messages come in the order the protocol has for what the session does, with
the MessageIDs, RMT-delivered bits, lock codes and feature bits it gives
them. The session opens, queries (in overlapped mode two of them in flight),
triggers, asserts REN and addresses the device, takes and lets go an
exclusive and a shared lock, waits for a service request and reads the
status byte, clears the device and queries again.

The order across the two channels is not the protocol's (a service request
may pass a reply), so each of the four streams (synchronous and
asynchronous, client and server) is compared on its own.

Usage (run-peers calls it in its namespace, sgsim serving HiSLIP on
127.0.0.1 port 4880, where the dissector looks for it):
    tshark_hislip.py CAPTURE_FILE
"""
import subprocess
import sys
import xml.etree.ElementTree as ET

import pyvisa
from pyvisa import constants

from tshark_session import Capture

RESOURCE = "TCPIP::127.0.0.1::hislip0::INSTR"
PORT = 4880
FIRST_ID = 0xFFFFFF00
SHARED_KEY = "sgvisa-tshark"
MAX_MESSAGE = 1024 * 1024  # VI_ATTR_TCPIP_HISLIP_MAX_MESSAGE_KB's default, in bytes
RQS = 0x40
PI_ERROR = 0x00800000  # tshark's severity of an expert error


def session(overlapped):
    """The scripted session in the mode asked for; returns whether the
    server preferred overlapped mode (the attribute's value at the open)."""
    rm = pyvisa.ResourceManager("@sgvisa")
    r = rm.open_resource(RESOURCE)
    r.timeout = 2000
    prefers = bool(r.get_visa_attribute(constants.VI_ATTR_TCPIP_HISLIP_OVERLAP_EN))
    if prefers != overlapped:
        r.set_visa_attribute(constants.VI_ATTR_TCPIP_HISLIP_OVERLAP_EN, overlapped)
    r.query("*IDN?")
    if overlapped:
        r.write("*IDN?")
        r.write("*IDN?")
        r.read()
        r.read()
    else:
        r.query("*IDN?")
    r.assert_trigger()
    r.control_ren(constants.RENLineOperation.asrt_address)
    r.lock_excl()
    r.unlock()
    r.lock(requested_key=SHARED_KEY)
    r.unlock()
    srq = constants.EventType.service_request
    queue = constants.EventMechanism.queue
    r.write("*ESE 1;*SRE 32")
    r.enable_event(srq, queue)
    r.write("*CLS;*OPC")
    r.wait_on_event(srq, 2000)
    r.read_stb()
    r.disable_event(srq, queue)
    r.clear()
    r.query("*IDN?")
    # The instrument as it was found: the suite that follows waits for
    # requests of its own, which a standing one would hide.
    r.write("*CLS;*ESE 0;*SRE 0")
    r.close()
    rm.close()
    return prefers


def M(chan, side, kind, ctl=None, mid=None, **fields):
    """An expected message: None is "any value"."""
    return dict(chan=chan, side=side, type=kind, ctl=ctl, id=mid, **fields)


class Expected:
    """The messages of session(overlapped), in the order the protocol has
    them. MessageIDs: ours from FIRST_ID, +2 a Data/DataEnd/Trigger, again
    from FIRST_ID after a device clear. In synchronized mode a reply carries
    the MessageID of the message that asked for it, and RMT-delivered goes
    on our first message after a whole reply was read; in overlapped mode
    the server numbers its replies itself, from the same start, and a
    status query names the last of our messages whose reply was read (what
    MAV is judged by there)."""

    def __init__(self, overlapped, prefers):
        self.overlapped, self.prefers = overlapped, prefers
        self.out = []
        self.restart()

    def restart(self):
        self.ours = self.theirs = FIRST_ID - 2
        self.rmt_due = 0
        self.delivered = None

    def send(self, kind="DataEnd"):
        self.ours += 2
        self.out.append(M("sync", "C", kind, None if self.overlapped else self.rmt_due,
                          self.ours))
        self.rmt_due = 0
        return self.ours

    def reply(self, mid):
        self.theirs += 2
        self.out.append(M("sync", "S", "DataEnd", None, self.theirs if self.overlapped else mid))
        self.rmt_due = 1
        self.delivered = mid

    def clear(self):
        features = int(self.overlapped)
        self.out += [M("async", "C", "AsyncDeviceClear"),
                     M("async", "S", "AsyncDeviceClearAcknowledge", int(self.prefers)),
                     M("sync", "C", "DeviceClearComplete", features),
                     M("sync", "S", "DeviceClearAcknowledge", features)]
        self.restart()

    def lock(self, shared):
        self.out += [M("async", "C", "AsyncLock", 1, shared=shared),
                     M("async", "S", "AsyncLockResponse", 1),
                     M("async", "C", "AsyncLock", 0, self.ours),
                     M("async", "S", "AsyncLockResponse", 2 if shared else 1)]


def expected(overlapped, prefers):
    e = Expected(overlapped, prefers)
    e.out += [M("sync", "C", "Initialize", vendor=0x7367),  # "sg"
              M("sync", "S", "InitializeResponse", int(prefers)),
              M("async", "C", "AsyncInitialize"),
              M("async", "S", "AsyncInitializeResponse"),
              M("async", "C", "AsyncMaximumMessageSize", size=MAX_MESSAGE),
              M("async", "S", "AsyncMaximumMessageSizeResponse")]
    if prefers != overlapped:
        e.clear()
    e.reply(e.send())
    if overlapped:
        a, b = e.send(), e.send()
        e.reply(a)
        e.reply(b)
    else:
        e.reply(e.send())
    e.send("Trigger")
    e.out += [M("async", "C", "AsyncRemoteLocalControl", 3, e.ours),  # REN_ASSERT_ADDRESS
              M("async", "S", "AsyncRemoteLocalResponse")]
    e.lock(shared=False)
    e.lock(shared=True)
    e.send()
    e.send()
    e.out += [M("async", "S", "AsyncServiceRequest", stb_rqs=True),
              M("async", "C", "AsyncStatusQuery", *((None, e.delivered) if overlapped else (0,))),
              M("async", "S", "AsyncStatusResponse")]
    e.clear()
    e.reply(e.send())
    e.send()
    return e.out


def decoded(capture, first, last):
    """What tshark decodes in frames first..last: the HiSLIP messages of each
    session in the order the sessions began (a session's two connections
    are paired by the SessionID of InitializeResponse and AsyncInitialize),
    and the frames it finds malformed or flags."""
    pdml = subprocess.run(
        ["tshark", "-r", capture, "-T", "pdml", "-Y",
         f"frame.number > {first} && frame.number < {last} && "
         "(hislip || _ws.malformed || _ws.expert)"],
        check=True, capture_output=True, text=True).stdout
    streams, session_of, flagged = {}, {}, []
    for packet in ET.fromstring(pdml).iter("packet"):
        fields = {f.get("name"): f for f in packet.iter("field")}
        frame = int(fields["frame.number"].get("show"))
        if (any(p.get("name") == "_ws.malformed" for p in packet.iter("proto"))
                or "hislip.msgnotnull" in fields or "hislip.wrongprologue" in fields
                or any(f.get("name") == "_ws.expert.severity" and int(f.get("show"), 0) >= PI_ERROR
                       for f in packet.iter("field"))):
            flagged.append(frame)
        if "tcp.stream" not in fields:
            continue
        stream = int(fields["tcp.stream"].get("show"))
        side = "C" if int(fields["tcp.dstport"].get("show")) == PORT else "S"
        for proto in packet.iter("proto"):
            if proto.get("name") != "hislip":
                continue
            f = {x.get("name"): x for x in proto.iter("field")}
            kind = f["hislip.messagetype"].get("showname").split(": ", 1)[1].rsplit(" (", 1)[0]
            ctl = next((int(v.get("show"), 0) for k, v in f.items()
                        if k.startswith("hislip.controlcode")), None)
            mid = f.get("hislip.msgpara.messageid")
            m = dict(chan="sync" if "hislip.syn" in f else "async", side=side, type=kind,
                     ctl=ctl, id=int(mid.get("show"), 0) if mid is not None else None,
                     frame=frame)
            if "hislip.msgpara.sessionid" in f:
                session_of[stream] = int(f["hislip.msgpara.sessionid"].get("show"), 0)
            if "hislip.msgpara.vendorID" in f:
                m["vendor"] = int(f["hislip.msgpara.vendorID"].get("value"), 16)
            if "hislip.maxmsgsize" in f:
                m["size"] = int(f["hislip.maxmsgsize"].get("show"), 0)
            if kind == "AsyncLock" and ctl == 1:
                m["shared"] = int(f["hislip.payloadlength"].get("show")) > 0
            if kind == "AsyncServiceRequest":
                m["stb_rqs"] = bool(ctl & RQS)
            streams.setdefault(stream, []).append(m)
    sessions = {}
    for stream in sorted(streams, key=lambda s: streams[s][0]["frame"]):
        sessions.setdefault(session_of.get(stream), []).extend(streams[stream])
    return [sorted(m, key=lambda x: x["frame"]) for m in sessions.values()], flagged


def text(m):
    keys = [k for k in m if k not in ("chan", "side", "type", "frame") and m[k] is not None]
    return " ".join([m["type"]] + [f"{k}={m[k]:#x}" if k == "id" else f"{k}={m[k]}" for k in keys])


def compare(mode, want, got):
    failures = []
    for chan, side in (("sync", "C"), ("sync", "S"), ("async", "C"), ("async", "S")):
        w = [m for m in want if (m["chan"], m["side"]) == (chan, side)]
        g = [m for m in got if (m["chan"], m["side"]) == (chan, side)]
        for i in range(max(len(w), len(g))):
            a = w[i] if i < len(w) else None
            b = g[i] if i < len(g) else None
            if a is None or b is None or any(v is not None and b.get(k) != v for k, v in a.items()):
                failures.append(
                    f"{mode}, {chan} channel, {'client' if side == 'C' else 'server'} message {i}: "
                    f"expected {text(a) if a else 'none'}, tshark decodes "
                    f"{text(b) + ' (frame %d)' % b['frame'] if b else 'none'}")
                break
    return failures


def main():
    capture = sys.argv[1]
    cap = Capture(capture)
    try:
        first = cap.mark("start")
        prefers = [session(overlapped) for overlapped in (False, True)]
        last = cap.mark("end")
    finally:
        cap.stop()

    failures = []
    sessions, flagged = decoded(capture, first, last)
    if flagged:
        failures.append(f"malformed or flagged messages in frames {flagged}")
    if len(sessions) != 2:
        failures.append(f"{len(sessions)} sessions decoded, not 2")
    for mode, got, p in zip(("synchronized", "overlapped"), sessions, prefers):
        failures += compare(mode, expected(mode == "overlapped", p), got)
    for f in failures:
        print("FAILED: tshark hislip: " + f, file=sys.stderr)
    if not failures:
        print(f"ok: tshark decodes the HiSLIP session in both modes: "
              f"{sum(map(len, sessions))} messages, in order, none malformed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
