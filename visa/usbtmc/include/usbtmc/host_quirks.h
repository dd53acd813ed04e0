// What the USBTMC host does differently for a device whose needs its bytes
// cannot tell, turned on by the device's USB vendor and product ID
// (visa/quirks holds the table and reads the files users add to it).
// Everything the bytes do tell is handled for every device without a quirk.
#pragma once

#include <cstdint>

namespace sgvisa::usbtmc {

struct HostQuirks {
    // The most data bytes one transfer carries, in a DEV_DEP_MSG_OUT or
    // asked for by a REQUEST_DEV_DEP_MSG_IN (0: the host's own limits, 4 KiB
    // out and 64 KiB in), for a device that fails larger ones. (TransferSize:
    // USBTMC 1.0, 3.2.1.1, Table 3 and 3.2.1.2, Table 4.)
    std::uint32_t max_transfer = 0;
    // Never ask the device to end a transfer at the termination character,
    // whatever its capabilities claim (the host finds the character itself),
    // for a device that mishandles such requests. (TermCharEnabled: USBTMC
    // 1.0, 3.2.1.2, Table 4, D1; the capability it overrides: 4.2.1.8,
    // Table 37, byte 5, D0.)
    bool no_termchar = false;
    // The device never sets EOM: a transfer that holds less than asked and
    // ends with a linefeed ends the message from the first reply on, instead
    // of after the request that finds the first reply's end. (EOM: USBTMC
    // 1.0, 3.3.1.1, Table 9, D0; USB488 1.0, 3.3.)
    bool eom_never = false;
    // A device clear (INITIATE_CLEAR: USBTMC 1.0, 4.2.1.6) when the
    // connection opens, for a device that keeps what an earlier program left
    // half sent and would take it as the start of the next message. (Off by
    // default: another program may be between a query and its reply on the
    // same instrument.)
    bool clear_on_open = false;

    bool operator==(const HostQuirks&) const = default;
};

}  // namespace sgvisa::usbtmc
