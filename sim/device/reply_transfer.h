// How the device cuts its response into DEV_DEP_MSG_IN transfers: one
// transfer per REQUEST_DEV_DEP_MSG_IN, bounded by the request's
// TransferSize, its TermChar and the host's buffer, and bent by the quirks
// that change transfers (split, eom-always, eom-never, size-skew,
// ignore-termchar; device_quirks.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "device/device_quirks.h"

namespace sgsim {

// A host's REQUEST_DEV_DEP_MSG_IN.
struct InRequest {
    std::uint8_t tag = 0;
    std::uint32_t size = 0;  // TransferSize: the most data bytes it asks for
    bool term_enabled = false;
    std::uint8_t term = 0;
};

struct ReplyTransfer {
    std::vector<std::uint8_t> bytes;  // header, data and alignment padding
    std::size_t taken = 0;            // response bytes it carries
    bool last = false;                // it carries the response's last byte
};

// The next transfer of a response whose unsent bytes are `rest` (not
// empty), answering `request` with bTag `tag`, at most `max` bytes in all.
// EOM is set on the last transfer (unless the quirks say otherwise);
// TermChar, when enabled, ends a transfer after its first TermChar byte.
// Normally header, data and padding fit `max`; a `max` below a header and
// four bytes gets the first `max` bytes of a transfer that carries nothing.
ReplyTransfer cut_reply_transfer(std::string_view rest, const InRequest& request, std::uint8_t tag,
                                 std::size_t max, const DeviceQuirks& quirks);

// A complete DEV_DEP_MSG_IN transfer carrying all of `data` with EOM.
std::vector<std::uint8_t> whole_reply_transfer(std::uint8_t tag, std::string_view data);

// A DEV_DEP_MSG_IN header of TransferSize 0 without EOM: nothing yet.
std::vector<std::uint8_t> empty_reply_transfer(std::uint8_t tag);

}  // namespace sgsim
