"""Sends a malformed bulk-OUT transfer to the simulator with pyusb and checks
the halt and the recovery. Run as a program of its own, so that libusb starts
with a fresh view of the bus (a libusb context kept from an earlier check
may still list the previous, unplugged device). Exits 0 when all went as
expected, else prints why and exits 1."""
import errno
import struct
import sys

sys.path.append("/usr/lib/python3/dist-packages")

import usb.core  # noqa: E402
import usb.util  # noqa: E402

IDN = b"Simulated Signal Sources,SG-4040,SIM001,1.0\n"
DEV_DEP_MSG_OUT = 1
REQUEST_DEV_DEP_MSG_IN = 2
DEV_DEP_MSG_IN = 2


def header(msg_id, tag, size, attributes):
    return struct.pack("<BBBBIBBBB", msg_id, tag, ~tag & 0xFF, 0, size, attributes, 0, 0, 0)


def message_out(tag, data):
    padding = b"\0" * ((4 - len(data) % 4) % 4)
    return header(DEV_DEP_MSG_OUT, tag, len(data), 1) + data + padding


class Failed(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failed(message)


def expect_equal(actual, wanted, what):
    expect(actual == wanted, f"{what}: got {actual!r}, wanted {wanted!r}")


def main():
    dev = usb.core.find(idVendor=0x4D19, idProduct=0x0040)
    expect(dev is not None, "pyusb does not find the device")
    detached = False
    try:
        if dev.is_kernel_driver_active(0):
            dev.detach_kernel_driver(0)
            detached = True
        usb.util.claim_interface(dev, 0)
        intf = dev.get_active_configuration()[(0, 0)]
        ep_out = usb.util.find_descriptor(
            intf, custom_match=lambda e: usb.util.endpoint_direction(e.bEndpointAddress)
            == usb.util.ENDPOINT_OUT)
        ep_in = usb.util.find_descriptor(
            intf, custom_match=lambda e: usb.util.endpoint_direction(e.bEndpointAddress)
            == usb.util.ENDPOINT_IN)

        # bTag and its inverse disagree: the device refuses the header.
        bad = bytearray(message_out(5, b"*IDN?\n"))
        bad[2] = 0
        ep_out.write(bytes(bad), timeout=2000)
        try:
            ep_out.write(message_out(6, b"*IDN?\n"), timeout=2000)
        except usb.core.USBError as e:
            expect_equal(e.errno, errno.EPIPE, f"error of the transfer after the malformed one ({e})")
        else:
            raise Failed("the transfer after a malformed one was not stalled")

        dev.clear_halt(ep_out)
        ep_out.write(message_out(7, b"*IDN?\n"), timeout=2000)
        ep_out.write(header(REQUEST_DEV_DEP_MSG_IN, 8, 1024, 0), timeout=2000)
        reply = bytes(ep_in.read(1024 + 12 + 3, timeout=2000))
        expect(len(reply) >= 12, f"short reply {reply!r}")
        msg_id, tag, _, _, size, attributes = struct.unpack("<BBBBIB", reply[:9])
        expect_equal((msg_id, tag, attributes & 1), (DEV_DEP_MSG_IN, 8, 1), "reply header")
        expect_equal(reply[12:12 + size], IDN, "reply after clearing the halt")
    finally:
        usb.util.release_interface(dev, 0)
        if detached:
            dev.attach_kernel_driver(0)
        usb.util.dispose_resources(dev)


if __name__ == "__main__":
    try:
        main()
    except (Failed, usb.core.USBError) as e:
        print(e)
        sys.exit(1)
