// A scriptable in-memory USBTMC device behind the UsbLink interface. It
// records every transfer and class request the host makes, answers queries
// from a responder, and can be told to misbehave in the ways real
// instruments do: replies in pieces, short packets, missing or extra
// zero-length packets, padding and bytes past TransferSize, bad or foreign
// headers, EOM set always or never, halted endpoints, silence, abort and
// clear status sequences, disappearing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "usbtmc/usb_link.h"

namespace sgtest {

struct FakeUsbtmcDevice {
    // ---- Descriptor facts ----
    std::uint8_t interface_number = 0;
    std::uint8_t bulk_out_endpoint = 0x02;
    std::uint8_t bulk_in_endpoint = 0x81;
    std::uint16_t max_packet_size = 64;
    std::uint8_t interface_protocol = 0;                               // 1: a USB488 interface
    std::array<std::uint8_t, 0x18> capabilities{0x01, 0, 0x00, 0x01};  // SUCCESS, bcdUSBTMC 1.00
    bool stall_capabilities = false;

    // ---- How answers are shaped ----
    // Answers a complete message; nullopt: nothing to say.
    std::function<std::optional<std::string>(const std::string&)> respond;
    std::size_t max_data_per_transfer =
        0;                       // >0: at most this much per DEV_DEP_MSG_IN, EOM on the last
    std::size_t piece = 0;       // >0: each transfer goes out as short pieces of this size
    bool zlp_before = false;     // a zero-length packet ahead of each transfer
    bool zlp_between = false;    // a zero-length packet between pieces
    std::size_t junk_after = 0;  // bytes of 0xEE after the alignment padding
    bool unpadded = false;       // no alignment bytes (a device need not send them)
    bool no_zlp = false;      // no zero-length packet after a transfer that fills its last packet
    bool eom_always = false;  // EOM on every transfer, also when more of the reply follows
    bool eom_never = false;   // EOM on no transfer
    // A transfer that continues a reply (the one before it had no EOM)
    // carries the bTag of the request the reply began with, not its own.
    bool repeat_tag = false;

    // ---- Header faults of every answer while set ----
    int tag_offset = 0;
    bool bad_inverse = false;
    std::optional<std::uint8_t> msg_id;
    std::uint32_t claim_extra = 0;  // header announces this many bytes more than it carries
    std::optional<std::uint32_t> claim_size;  // header announces exactly this TransferSize

    // ---- Posting ----
    // The link keeps a query's request for its reply in flight behind the
    // message (UsbLink::bulk_out_posting); off: it sends the message alone.
    bool posting = false;

    // ---- Halted endpoints ----
    // A transfer on a halted endpoint stalls; the link then clears the halt,
    // as real links do, and reports VI_ERROR_IO (an IN transfer's data stays).
    bool halted_out = false;
    bool halted_in = false;

    // ---- Silence and loss ----
    bool never_answer = false;  // requests are taken, nothing is ever sent
    // A request that finds no response ready is answered at once with an
    // empty transfer (TransferSize 0, no EOM) instead of waiting for one;
    // `not_ready` more requests find none even with a reply pending.
    bool empty_when_idle = false;
    int not_ready = 0;
    // Whenever the host reads and nothing else is queued, a transfer for a
    // request this host never made comes (a device that floods foreign ones).
    bool flood = false;
    bool control_silent = false;         // class requests time out
    int bulk_out_timeouts = 0;           // this many next bulk-OUT transfers time out
    std::optional<int> vanish_after_in;  // gone after this many more bulk-IN deliveries

    // ---- Abort and clear ----
    std::optional<std::uint8_t> initiate_abort_in_status;  // default: by tag match
    int abort_pending_checks = 0;  // CHECK_ABORT_*_STATUS says PENDING this often first
    bool abort_pending_forever = false;
    std::size_t fifo_bytes_on_abort = 0;  // late bytes in the bulk-IN FIFO when an abort comes
    std::optional<std::uint8_t> initiate_clear_status;
    int clear_pending_checks = 0;

    // ---- What the host did ----
    std::vector<std::string> events;  // ordered log, see fake_usbtmc_device.cpp for the format
    std::vector<std::vector<std::uint8_t>> out_frames;  // every bulk-OUT transfer, verbatim
    std::vector<std::string> messages;                  // complete messages received
    int capability_requests = 0;
    std::uint8_t last_request_tag = 0;

    // ---- Device state ----
    bool gone = false;
    std::string partial;                         // message being received
    std::string pending_reply;                   // answer bytes not yet sent
    std::deque<std::vector<std::uint8_t>> fifo;  // bulk-IN pieces queued, one per packet run
    bool request_outstanding = false;
    std::uint8_t last_out_tag = 0;
    std::uint8_t reply_tag = 0;       // the request the reply being sent began with
    std::uint8_t first_host_tag = 0;  // 0 until the host's first transfer
    std::vector<std::pair<int, std::string>> leftovers;  // queued at that transfer
    int checks_left = 0;

    // Back to a well-behaved device (answer shaping, header faults and
    // silence); its state and what it recorded stay.
    void clear_faults();

    // Queues one DEV_DEP_MSG_IN transfer tagged `tag` carrying `data`, shaped
    // and faulted as set above (header faults included), as the answer to a
    // request for `requested` bytes. Tests call it for transfers no request
    // of theirs asked for: a reply left by an earlier program, a late one.
    void queue_transfer(std::uint8_t tag, const std::string& data, bool eom,
                        std::uint32_t requested = 1u << 20);

    // A reply an earlier program left, queued (with EOM) as soon as this
    // host sends its first transfer, ahead of anything else, tagged
    // `relative_tag` counted from that transfer's bTag: a bTag this host
    // has not used lately, whatever it starts with.
    void queue_leftover(int relative_tag, std::string data);

    // A bTag as the event log shows it: counted from the host's first one
    // (1), so that tests read alike whatever bTag a host starts with.
    int relative_tag(std::uint8_t tag) const;
    // The bTag `relative` counts to (the inverse of relative_tag).
    std::uint8_t absolute_tag(int relative) const;

    // The number of events whose text starts with `prefix`.
    int count_events(const std::string& prefix) const;
};

// A UsbLink onto a FakeUsbtmcDevice the test keeps a handle on.
std::unique_ptr<sgvisa::usbtmc::UsbLink> make_fake_link(std::shared_ptr<FakeUsbtmcDevice> device);

// A default responder: a message ending in "?\n" is answered "<message
// without the newline>=ANSWER\n"; others get no answer.
std::optional<std::string> echo_queries(const std::string& message);

}  // namespace sgtest
