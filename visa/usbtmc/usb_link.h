// The transfer-level interface under the USBTMC host protocol: what a USB
// device offers a host, with no libusb types. libusb implements it for real
// devices; the simulator's local bus implements it for simulated ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "deadline.h"
#include "visa.h"

namespace sgvisa {

class UsbLink {
  public:
    virtual ~UsbLink() = default;

    // One bulk-OUT transfer of all of `data` (the link splits it into packets).
    // VI_ERROR_TMO when the deadline passes first; the transfer is then cancelled.
    // When the device stalls the endpoint, the link clears the halt (so the
    // next transfer can pass) and returns VI_ERROR_IO; so does bulk_in.
    virtual ViStatus bulk_out(std::span<const std::uint8_t> data, Deadline deadline) = 0;

    // One bulk-IN transfer of at most buf.size() bytes (callers ask for a
    // multiple of max_packet_size()). It completes with a short or zero-length
    // packet or when `buf` is full; `got` is the number of bytes received.
    // VI_ERROR_TMO when the deadline passes first; the transfer is then cancelled.
    virtual ViStatus bulk_in(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) = 0;

    // A class request with an IN data stage (every USBTMC/USB488 class
    // request is one): bmRequestType 0xA1 (interface) or 0xA2 (endpoint).
    // `got` is the length of the data stage received. A stalled request
    // returns VI_ERROR_IO.
    virtual ViStatus control_in(std::uint8_t request_type, std::uint8_t request,
                                std::uint16_t value, std::uint16_t index,
                                std::span<std::uint8_t> buf, std::size_t& got,
                                Deadline deadline) = 0;

    // CLEAR_FEATURE(ENDPOINT_HALT) on `endpoint`.
    virtual ViStatus clear_halt(std::uint8_t endpoint, Deadline deadline) = 0;

    // Descriptor facts, read from the device, never assumed.
    virtual std::uint8_t interface_number() const = 0;
    virtual std::uint8_t bulk_out_endpoint() const = 0;  // address, e.g. 0x02
    virtual std::uint8_t bulk_in_endpoint() const = 0;   // address, e.g. 0x81
    virtual std::uint16_t max_packet_size() const = 0;   // of the bulk-IN endpoint
};

}  // namespace sgvisa
