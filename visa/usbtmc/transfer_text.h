// USBTMC transfers in words, for the trace's transfers level: each bulk
// header, class request and interrupt-IN notification decoded, data as its
// length and first bytes. Reads only the bytes given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace sgvisa::usbtmc {

// A bulk-OUT transfer: its header (DEV_DEP_MSG_OUT, REQUEST_DEV_DEP_MSG_IN,
// TRIGGER...) and data. Headers: USBTMC 1.0, Tables 1, 3 and 4; TRIGGER:
// USB488 1.0, Table 2.
void describe_bulk_out(std::string& out, std::span<const std::uint8_t> transfer);

// A bulk-IN transfer. `reply_left` is what the reply in progress still owes
// (0: the transfer starts with a header); it is updated for the next one.
// Headers: USBTMC 1.0, Tables 8 and 9.
void describe_bulk_in(std::string& out, std::span<const std::uint8_t> transfer,
                      std::uint64_t& reply_left);

// A class request (bmRequestType 0xA1/0xA2) and its answer (request names:
// USBTMC 1.0, Table 15 and USB488 1.0, Table 9; READ_STATUS_BYTE's answer:
// USB488 1.0, Tables 12 and 13).
void describe_control_in(std::string& out, std::uint8_t request_type, std::uint8_t request,
                         std::uint16_t value, std::uint16_t index,
                         std::span<const std::uint8_t> answer);

// An interrupt-IN packet: a service request or a READ_STATUS_BYTE answer
// (USB488 1.0, Tables 6 and 7; USBTMC 1.0, 3.4, Table 13).
void describe_notification(std::string& out, std::span<const std::uint8_t> packet);

}  // namespace sgvisa::usbtmc
