// Receiving one DEV_DEP_MSG_IN transfer: the device's answer to a
// REQUEST_DEV_DEP_MSG_IN, reassembled from however many bulk-IN transfers,
// short packets and zero-length packets it arrives in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "deadline.h"
#include "usb_link.h"
#include "visa.h"

namespace sgvisa::usbtmc {

// Reads the answer to the request tagged `tag` that asked for `requested`
// bytes (requested <= buf.size()) and stores its data in `buf`. `count` is
// the number of data bytes, `end` whether the device set EOM, `term_char`
// whether it ended the transfer at the requested TermChar.
//
// A header that is not a DEV_DEP_MSG_IN for `tag` (wrong MsgID, bTag or
// inverse) or that announces more than `requested` bytes is never taken as
// data: the rest of that transfer is drained and VI_ERROR_IO returned.
// VI_ERROR_TMO when the whole message has not arrived by `deadline` (the
// caller then aborts the transfer); other link statuses pass through.
ViStatus receive_dev_dep_msg_in(UsbLink& link, std::uint8_t tag, std::uint32_t requested,
                                std::span<std::uint8_t> buf, Deadline deadline, std::size_t& count,
                                bool& end, bool& term_char);

}  // namespace sgvisa::usbtmc
