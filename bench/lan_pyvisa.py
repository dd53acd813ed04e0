#!/usr/bin/python3
"""The LAN block read as a PyVISA user runs it: query_binary_values of a
1 MiB IEEE 488.2 definite-length block (SENDBLOCK of `sgsim --io-test`) as
one bytes object,
with PyVISA's defaults (20 KiB chunks), over SOCKET, VXI-11 and HiSLIP,
through PyVISA on our library ("@sgvisa") and on pyvisa-py ("@py", which
has no HiSLIP), in interleaved batches (a session per batch; every protocol
and backend in each batch, in an order that turns). Prints "figure NAME
VALUE UNIT" lines and "note:" lines; a backend that cannot open a resource
is left out with a note (the LAN may not be in the library yet), and its
ratio is missing. Ratios: ours over pyvisa-py on each protocol, and ours
over HiSLIP over ours over VXI-11 (what HiSLIP's streamed reply gains when
a read is a train of 20 KiB chunks).

Usage: lan_pyvisa.py --socket RESOURCE --instr RESOURCE [--hislip RESOURCE]
                     [--batches N] [--reads N]
"""
import argparse
import statistics
import sys
import time

MIB = 1 << 20
# The first reads of a session are not kept: the simulator serves each
# connection on a thread of its own, whose first megabyte messages and
# replies take fresh memory from the kernel, page by page. Over HiSLIP the
# first two reads of a session took 17-20 ms and 9 ms where the later ones
# took 1.5 ms here: the simulator's cost, not the transport's.
WARMUP_READS = 2
BACKENDS = {"sgvisa": "@sgvisa", "py": "@py"}


def block_message():
    """1 MiB with no linefeed but the last byte: RECEIVE keeps a message up
    to its linefeed, and a SOCKET read with read_termination ends at one."""
    data = bytearray((i * 7 + i // 251) & 0xFF for i in range(MIB))
    data = data.replace(b"\n", b"N")
    data[-1] = 0x0A
    return bytes(data)


def note(text):
    print(f"note: {text}", flush=True)


def figure(name, value, unit):
    print(f"figure {name} {value:.6g} {unit}", flush=True)


def pieces(data, size):
    """`data` in writes of at most `size` bytes: pyvisa-py 0.5.1 sends a
    VXI-11 write longer than 1024 bytes without END when the link's
    maxRecvSize is larger (END goes only on a piece sent while at most 1024
    bytes are left, but the pieces are maxRecvSize long), so the message
    would never end. RECEIVE keeps a
    message that ends in another byte than a linefeed and goes on with the
    next one, so the pieces make the same message."""
    for start in range(0, len(data), size):
        yield data[start:start + size]


def batch(rm, resource, data, reads, piece):
    """Opens `resource`, reads the block WARMUP_READS times and then
    `reads` times; the microseconds of each of those query_binary_values
    (the message goes out before, not timed)."""
    inst = rm.open_resource(resource, open_timeout=5000)
    try:
        inst.timeout = 20000
        inst.read_termination = "\n"
        inst.write_termination = "\n"
        samples = []
        for _ in range(WARMUP_READS + reads):
            inst.write_raw(b"RECEIVE\n")
            for p in pieces(data, piece):
                inst.write_raw(p)
            # Answered once the instrument has taken the whole block: a
            # write over SOCKET or HiSLIP returns when the bytes are in the
            # socket, and their digesting must not run into the timed read.
            if inst.query("*OPC?").strip() != "1":
                raise RuntimeError("*OPC? after the block was not answered with 1")
            start = time.perf_counter()
            # The block as one bytes object ("s"), as numpy's frombuffer
            # would take it: Debian's python3 here has no numpy, and "B"
            # makes a Python int of each byte and bytes of them again,
            # about 10 ms a MiB whatever the backend and protocol, which
            # hid the transport the figure is about.
            got = inst.query_binary_values("SENDBLOCK", datatype="s", container=bytes)
            samples.append((time.perf_counter() - start) * 1e6)
            if got != data:
                raise RuntimeError(f"the block read back differs ({len(got)} bytes)")
        return samples[WARMUP_READS:]
    finally:
        inst.close()


def median_of(batches, key):
    return statistics.median([t for one in batches for t in one.get(key, [])])


def print_ratio(name, batches, slow, fast):
    """The throughput of `fast` over that of `slow` (`slow`'s time over
    `fast`'s), with its least and greatest value over the batches."""
    figure(name, median_of(batches, slow) / median_of(batches, fast), "x")
    per_batch = [median_of([one], slow) / median_of([one], fast) for one in batches]
    figure(f"{name}.batch_min", min(per_batch), "x")
    figure(f"{name}.batch_max", max(per_batch), "x")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--socket", required=True)
    ap.add_argument("--instr", required=True)
    ap.add_argument("--hislip")
    ap.add_argument("--batches", type=int, default=5)
    ap.add_argument("--reads", type=int, default=2)
    args = ap.parse_args()
    import pyvisa

    data = block_message()
    managers = {}
    for name, backend in BACKENDS.items():
        try:
            managers[name] = pyvisa.ResourceManager(backend)
        except Exception as e:  # noqa: BLE001 - a backend that is not there
            note(f"PyVISA backend {backend} is not available ({e}): left out")
    resources = {"socket": args.socket, "vxi11": args.instr}
    if args.hislip:
        resources["hislip"] = args.hislip
    # A backend that cannot open a resource at all is left out of that
    # protocol; one that fails later is an error (exit status 1).
    order = []
    for protocol, resource in resources.items():
        for name, rm in managers.items():
            try:
                rm.open_resource(resource, open_timeout=5000).close()
                order.append((protocol, name))
            except Exception as e:  # noqa: BLE001
                note(f"lan.pyvisa.{protocol}: {BACKENDS[name]} cannot open {resource} ({e}): left out")
    batches = []
    for b in range(args.batches):
        if not order:
            break
        one = {}
        for protocol, name in order[b % len(order):] + order[:b % len(order)]:
            piece = 1024 if (name, protocol) == ("py", "vxi11") else len(data)
            try:
                one[(protocol, name)] = batch(managers[name], resources[protocol], data,
                                              args.reads, piece)
            except Exception as e:  # noqa: BLE001
                # pyvisa-py failing is a fact about the peer: it is left
                # out of the rest, with this note; ours failing is an error.
                if name == "sgvisa":
                    raise
                note(f"lan.pyvisa.{protocol}: {BACKENDS[name]} failed in batch {b} ({e}): left out")
                order.remove((protocol, name))
        batches.append(one)
    # Only what ran in every batch is compared.
    for protocol, name in order:
        times = [t for one in batches for t in one[(protocol, name)]]
        prefix = f"lan.pyvisa.{protocol}.block_read.{name}"
        figure(f"{prefix}.median", MIB / statistics.median(times), "MB/s")
        figure(f"{prefix}.min", MIB / max(times), "MB/s")
        figure(f"{prefix}.max", MIB / min(times), "MB/s")
        figure(f"{prefix}.count", len(times), "samples")
    for protocol in ("socket", "vxi11"):
        if (protocol, "py") in order and (protocol, "sgvisa") in order:
            print_ratio(f"lan.ratio.pyvisa_{protocol}_block_read_sgvisa_over_py", batches,
                        (protocol, "py"), (protocol, "sgvisa"))
    if ("hislip", "sgvisa") in order and ("vxi11", "sgvisa") in order:
        print_ratio("lan.ratio.pyvisa_hislip_block_read_over_vxi11", batches,
                    ("vxi11", "sgvisa"), ("hislip", "sgvisa"))
    for rm in managers.values():
        rm.close()


if __name__ == "__main__":
    sys.exit(main())
