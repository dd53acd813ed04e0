// The transfers level of the I/O trace for HiSLIP: each message sent or
// received on either channel, decoded as tshark would show it (type,
// control code, MessageID or parameter, payload length, and the payload's
// text where it is words: an error's reason, a lock's key, the data).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "proto/hislip.h"

namespace sgvisa::lan {

// `payload` is what of it is at hand (a Data message received is traced
// from its header, before its payload goes to the reader's buffer).
void trace_hislip_message(const char* channel, bool sent, const sgproto::hislip::Header& header,
                          std::span<const std::uint8_t> payload);

// "FatalError 3 (invalid initialization sequence): <the server's text>".
std::string hislip_error_words(const sgproto::hislip::Header& header,
                               std::span<const std::uint8_t> payload);

}  // namespace sgvisa::lan
