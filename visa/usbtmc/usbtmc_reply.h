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

// The REQUEST_DEV_DEP_MSG_IN transfer that asks for a reply: tagged `tag`,
// asking for `requested` bytes.
struct ReplyRequest {
    std::span<const std::uint8_t> bytes;
    std::uint8_t tag = 0;
    std::uint32_t requested = 0;
    bool posted = false;  // already in flight (UsbLink::bulk_out_posting)
};

// The bulk-IN transfer the answer to a request for `requested` bytes is
// first read with: whole packets covering the longest answer.
std::size_t first_transfer_size(const UsbLink& link, std::uint32_t requested);

struct ReplyReceived {
    std::size_t count = 0;   // data bytes stored
    bool end = false;        // the device set EOM
    bool term_char = false;  // it ended the transfer at the requested TermChar
    bool sent = false;       // the request went out
};

// Sends `request` with the first bulk-IN transfer of its answer in flight
// together (UsbLink::bulk_out_in), or collects them when they were posted
// (of first_transfer_size), reads the answer (requested <=
// buf.size()) through `scratch` (at least first_transfer_size() of the
// requested count) and stores its data in `buf`. When the request did not go out
// (!reply.sent) the status is its bulk-OUT transfer's: the caller aborts
// that one instead of the bulk-IN.
//
// A header that is not a DEV_DEP_MSG_IN for the request's tag (wrong MsgID,
// bTag or inverse) or that announces more than `requested` bytes is never
// taken as data: the rest of that transfer is drained and VI_ERROR_IO
// returned. VI_ERROR_TMO when the whole message has not arrived by
// `deadline` (the caller then aborts the transfer); other link statuses pass
// through.
ViStatus receive_dev_dep_msg_in(UsbLink& link, const ReplyRequest& request,
                                std::span<std::uint8_t> buf, std::span<std::uint8_t> scratch,
                                Deadline deadline, ReplyReceived& reply);

}  // namespace sgvisa::usbtmc
