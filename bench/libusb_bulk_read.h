// The bulk read of bench_usb_bulk_read through libusb alone, no VISA layer:
// what the USB stack (in the VM, the emulated host controller) gives a
// program that asks for the reply in the same counts.
#pragma once

#include <cstddef>
#include <vector>

namespace sgbench {

// Sends "RECEIVE", `message` and "SEND" to the USBTMC device 0x4d19:0x0040
// (not timed), then times the read of the reply in requests of `chunk`
// bytes, each answered into one synchronous bulk-IN transfer of the whole
// answer (header, data and padding, in whole packets), checked byte for
// byte; `count` rounds. False (with a message on standard error) when the
// device cannot be used or answers otherwise.
bool run_bare_libusb_bulk_read(int count, std::size_t chunk,
                               const std::vector<unsigned char>& message, std::vector<double>& us);

}  // namespace sgbench
