// Deviations from the USBTMC/USB488 rules that real instruments are known to
// have, which the simulated device can be told to show (sgsim --quirk). Each
// field says exactly what the device then sends; none changes anything while
// it is off. The protocol-level ones are the device core's
// (usbtmc_device.h); the packet-level ones (packet64, no_zlp, leading_empty)
// are the attachments', which put the core's transfers into packets
// (packet_shape.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace sgsim {

struct DeviceQuirks {
    // >0: a reply is cut into DEV_DEP_MSG_IN transfers of at most this many
    // data bytes, whatever TransferSize asks; EOM on the last one only.
    std::size_t split = 0;
    // >0: transfers of at most this many data bytes, and every one has EOM
    // set, also when more of the reply follows (the next request gets it).
    std::size_t eom_always = 0;
    // Every bulk-IN packet carries at most 64 bytes, while the endpoint says
    // 512 (high speed): each packet is a short one, so each ends the host's
    // transfer. No zero-length packet follows a transfer (its last packet is
    // never a full one). At full speed (64-byte packets) it changes nothing.
    bool packet64 = false;
    // No transfer has EOM set, not even the one that ends the reply (with its
    // linefeed); the reply is gone once its last byte has been sent.
    bool eom_never = false;
    // No zero-length packet follows a transfer that fills its last packet
    // (a reply of 500 data bytes at high speed, 52 at full speed): the
    // host's transfer does not end there.
    bool no_zlp = false;
    // A zero-length packet comes before each DEV_DEP_MSG_IN transfer.
    bool leading_empty = false;
    // The transfer that ends a reply carries one byte more than its
    // TransferSize counts: the reply's last byte (normally its linefeed) is
    // sent after the counted data bytes, and the alignment padding follows
    // all the bytes sent. (A transfer of one byte says TransferSize 0.)
    bool size_skew = false;
    // GET_CAPABILITIES claims TermChar, but a request's TermChar is ignored:
    // no transfer ends at it and none has the TermChar bit set.
    bool ignore_termchar = false;
    // The first host's first bulk-IN read gets a complete DEV_DEP_MSG_IN
    // transfer that no host asked for (kLeftoverTag, EOM, kLeftoverReply),
    // before any answer to its own requests.
    bool leftover = false;
    // >0: each reply transfer is sent this long after its
    // REQUEST_DEV_DEP_MSG_IN; an abort before then answers
    // STATUS_TRANSFER_NOT_IN_PROGRESS and withdraws nothing (usbtmc_device.h).
    std::chrono::milliseconds late{0};
    // A transfer that continues a reply (not its first) carries the bTag of
    // the request that got the reply's first transfer, not its own request's.
    bool tag_repeat = false;
    // A REQUEST_DEV_DEP_MSG_IN that finds no response ready is answered at
    // once, with a DEV_DEP_MSG_IN of TransferSize 0 and no EOM (its header
    // alone, with the request's bTag), instead of the device waiting for a
    // response; the host has to ask again. (Not with `late`.)
    bool empty_when_idle = false;
    // GET_CAPABILITIES claims REN_CONTROL, GO_TO_LOCAL and LOCAL_LOCKOUT,
    // but those requests are stalled.
    bool stall_remote = false;
    // When a host that used the bulk endpoints goes away, both bulk
    // endpoints halt and stay halted until a host clears them
    // (CLEAR_FEATURE(ENDPOINT_HALT)). What counts as going away depends on
    // the attachment (localbus_server.h, gadget_session.h).
    bool halt_after_close = false;
    // INITIATE_CLEAR is accepted and carried out, but from then on every
    // CHECK_CLEAR_STATUS answers STATUS_PENDING (bmClear 0) until the host
    // goes away or resets the device.
    bool clear_pending = false;

    // The LAN quirks (sim/network): what a VXI-11 or SOCKET instrument does.
    // `late` holds there too: a device_read's reply, or a SOCKET reply, goes
    // out `late` after its data was taken, whatever the client's timeout.
    // (The struct stays within 64 bytes: tests copy it in loops.)
    //
    // device_read gives the whole rest of the response, whatever requestSize.
    bool ignore_request_size = false;
    // A VXI-11 call carrying the waitlock flag is refused with error 8
    // (operation not supported), whether the device is locked or not.
    bool refuse_waitlock = false;
    // device_intr_srq's fragment header counts four bytes more than follow.
    bool srq_long_fragment = false;
    // One connection at a time: a VXI-11 core or SOCKET connection made
    // while another is open is closed at once.
    bool one_connection = false;
    // >0: create_link offers this maxRecvSize, and a device_write carrying
    // more data is refused with error 5 (parameter error), nothing taken.
    std::uint32_t max_recv = 0;
    // >0: a device_read gives at most this many bytes; one that stops there,
    // short of the end and of requestSize, has no reason bit set.
    std::uint32_t read_cap = 0;

    // The HiSLIP quirks. `late` delays each reply (its first Data or
    // DataEnd) after the message that asked for it.
    //
    // Synchronized mode only: InitializeResponse and every device clear
    // offer and agree synchronized mode, whatever the client asks.
    bool hislip_sync_only = false;
    // Overlapped mode preferred: InitializeResponse and
    // AsyncDeviceClearAcknowledge offer it (not with hislip_sync_only).
    bool hislip_prefer_overlap = false;
    // One session at a time: a second client's Initialize gets FatalError 4.
    bool hislip_one_client = false;
    // >0: AsyncMaximumMessageSizeResponse tells the client this maximum
    // (header included); a longer message gets Error 4 and is skipped.
    std::uint32_t hislip_max_message = 0;
    // >0: DeviceClearAcknowledge goes out this many ms after
    // DeviceClearComplete.
    std::uint32_t hislip_late_clear_ack_ms = 0;

    bool operator==(const DeviceQuirks&) const = default;

    // The bTag and the data of the leftover transfer.
    static constexpr std::uint8_t kLeftoverTag = 0xA5;
    static constexpr const char* kLeftoverReply =
        "leftover: the reply to an earlier program's query, never read\n";
};

// Small enough to copy by value (no -Wrange-loop-construct in loops over it).
static_assert(sizeof(DeviceQuirks) <= 64);

}  // namespace sgsim
