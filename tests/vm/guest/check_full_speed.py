"""The gadget at full speed (12 Mbit/s, bulk packets of 64 bytes): sgdemo
byte for byte, replies whose header and data fill whole packets (52 and 116
data bytes: one and two packets, then the zero-length packet that ends the
transfer) and a 1 MiB reply, each read through our library. Each check first
makes sure that the host side really runs at full speed: the speed it
negotiated and the packet size of the bulk endpoints it configured."""
import check_sgdemo
from gadget import FULL_SPEED, host_view
from probe import VI_SUCCESS, expect_status, run_probe
from report import expect_equal

MIB = 1 << 20
IO_TEST_IDN = "Simulated Signal Sources,IO-TEST,SIM001,1.0\n"


def expect_full_speed():
    speed, packets = host_view()
    expect_equal(speed, "12", "the speed the host side negotiated (sysfs speed, Mbit/s)")
    expect_equal(packets, {"in": 64, "out": 64}, "wMaxPacketSize of the bulk endpoints")


def packet_filling(size):
    """A reply of `size` bytes, its last one a linefeed."""
    head = f"{size} bytes at full speed:"
    body = "".join(chr(ord("a") + i % 26) for i in range(size - 1 - len(head)))
    return head + body + "\n"


def sgdemo_run(gadget, build_dir):
    exe = check_sgdemo.sgdemo_path(build_dir)
    gadget.start(speed=FULL_SPEED)
    expect_full_speed()
    check_sgdemo.whole_dialogue(exe, check_sgdemo.kernel_node)
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    expect_equal(gadget.received(), check_sgdemo.TEN_COMMANDS,
                 "commands the simulator received")
    return "12 Mbit/s, 64-byte packets: transcript byte for byte, ten commands"


def replies(gadget, build_dir):
    gadget.start("--io-test", speed=FULL_SPEED)
    expect_full_speed()
    # With the 12-byte header, 52 and 116 data bytes fill one and two
    # packets exactly: the transfer ends with a zero-length packet, which a
    # host that asks for more than the transfer has to wait for.
    r52, r116 = packet_filling(52), packet_filling(116)
    # Writing the 1 MiB message takes 7-9 s on an idle machine (sgsim reads
    # bulk-OUT one packet at a time) and over 30 s at a load of 20: its
    # timeout is 120 s, the probe's bound 200 s.
    steps = run_probe(build_dir, [
        "tmo=30000",
        "write=RECEIVE", f"write={r52[:-1]}", "query=SEND",
        "write=RECEIVE", f"write={r116[:-1]}", "query=SEND",
        "write=RECEIVE", "tmo=120000", f"fill={MIB}", "tmo=30000", "write=SEND",
        f"readfill={MIB}", "query=*IDN?"], bound=200)
    for step in steps[2:16]:
        expect_status(step, VI_SUCCESS)
    expect_equal(steps[5].data, r52, "a 52-byte reply (one full packet)")
    expect_equal(steps[8].data, r116, "a 116-byte reply (two full packets)")
    expect_equal(steps[14].data, f"{MIB} bytes, the fill message",
                 "a 1 MiB reply read by one viRead of 1 MiB + 1 bytes")
    expect_equal(steps[15].data, IO_TEST_IDN, "the query after the 1 MiB reply")
    expect_equal(gadget.stop(), 0, "sgsim exit status")
    return (f"12 Mbit/s, 64-byte packets: 52 and 116 bytes, 1 MiB read whole in "
            f"{steps[14].ms / 1000:.1f} s (written in {steps[11].ms / 1000:.1f} s)")
