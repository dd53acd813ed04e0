// Fuzz target: the USBTMC host's reassembly of replies from a device that
// bends every rule its bytes can bend: headers with any MsgID, bTag, bTag
// inverse, TransferSize and attributes; transfers cut into packets of any
// size, with zero-length packets before them or missing after them, bytes
// past TransferSize, the tail of transfers nobody asked for; transfers for
// requests this host never made, or made long ago, between the ones it
// waits for; silence. Time is virtual (virtual_clock.h): each call on the
// link takes a millisecond, silence lasts until the call's deadline. The
// host's bTags start at the same place for every input
// (replay_tag_seeds), so an input plays the same way every time.
//
// What must hold, or the target aborts:
// - no call on the transport returns later than its deadline plus two
//   recovery bounds (an abort after the stale-halt retry, at most);
// - a read stores at most its buffer's size, and nothing past it;
// - a read's bytes are never those of a transfer whose bTag this host
//   never sent in a request (such transfers carry 'A'..'Z', and transfers
//   with a broken header '#'; answers carry 'a'..'z', '0'..'9' and '\n').
//   A transfer tagged with a bTag the host had not used yet, still wholly
//   unread when the host sends a request with that bTag, is that request's
//   answer as far as any host can tell: its letters turn into an answer's
//   then (ReplyDevice::adopt).
//
// The input is one script read front to back (byte_script.h):
//   config byte: bit 0-1 max packet size (8, 64, 512, 512); bit 2 no
//     zero-length packet after a transfer that fills its last packet; bit 3
//     the link posts requests behind queries; bit 4 TermChar capability;
//     bit 5 the eom-never quirk; bit 6 a max-transfer quirk of
//     (next byte + 1) * 4 bytes
//   then at most 24 operations, each an op byte and a timeout byte
//   ((t + 1) * 8 ms):
//     op % 4: 0 query (write_query "Q?\n", then a read of the same size:
//             le16 size, op bit 2 a linefeed termination character);
//             1 read (le16 size, op bit 2 as above); 2 clear; 3 write
//             (length byte, bytes; op bit 2 END)
//   and, whenever the host calls the link, the device's side:
//     bulk-OUT: status byte (< 0xF4 taken; < 0xFA stalled; else silent)
//     bulk-IN with no packet queued: action byte, % 8:
//       0 the answer to the last request, 1 a transfer tagged with an
//       earlier request's bTag, 2 one with a bTag never requested, 3 a
//       transfer with a broken header; each followed by its shape: le16
//       data length (% 1500), attribute byte (bit 0 EOM, bit 1 TermChar
//       ended, bit 2 ends with '\n', bit 3 zero-length packet before it,
//       bits 4-5 TransferSize exact / smaller / larger / huge, for kinds
//       2-3 only, bit 6 no alignment bytes), bytes past TransferSize
//       (% 70), piece size (0: whole packets, else 1..packet size)
//       4 junk: length byte, bytes (>= 0x80, never a header)
//       5 a zero-length packet; 6, 7 silence until the deadline
//     control IN: status byte choosing the answer (SUCCESS, PENDING with or
//       without data to read, FAILED, TRANSFER_NOT_IN_PROGRESS, a stall)
//     clear halt: no byte
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <set>
#include <vector>

#include "byte_script.h"
#include "proto/usbtmc.h"
#include "usbtmc/usb488_status.h"
#include "usbtmc/usbtmc_host.h"
#include "usbtmc/usbtmc_recovery.h"
#include "virtual_clock.h"

namespace {

namespace tmc = sgproto::usbtmc;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

struct Config {
    std::uint16_t packet = 64;
    bool no_zlp = false;
    bool posting = false;
    bool term_char = false;
};

class ReplyDevice final : public sgvisa::usbtmc::UsbLink {
  public:
    ReplyDevice(sgfuzz::ByteScript& script, const Config& config)
        : script_(script), config_(config) {
        facts_.bulk_out_endpoint = 0x02;
        facts_.bulk_in_endpoint = 0x81;
        facts_.max_packet_size = config.packet;
    }

    ViStatus bulk_out(std::span<const std::uint8_t> data, sgvisa::Deadline deadline) override {
        if (expired(deadline))
            return VI_ERROR_TMO;
        sgfuzz::advance(1ms);
        const std::uint8_t status = script_.exhausted() ? 0 : script_.byte();
        if (status >= 0xFA)
            return silence(deadline);
        if (status >= 0xF4)
            return VI_ERROR_IO;  // stalled; the halt counts as cleared
        tmc::BulkHeader h;
        if (data.size() < tmc::kHeaderSize || data.size() % 4 != 0 || !tmc::decode_header(data, h))
            std::abort();  // the host always frames and pads its transfers
        if (h.msg_id == tmc::REQUEST_DEV_DEP_MSG_IN) {
            last_request_ = h.tag;
            requested_.insert(h.tag);
            adopt(h.tag);
        }
        return VI_SUCCESS;
    }

    ViStatus bulk_in(std::span<std::uint8_t> buf, std::size_t& got,
                     sgvisa::Deadline deadline) override {
        got = 0;
        if (expired(deadline))
            return VI_ERROR_TMO;
        if (buf.size() % config_.packet != 0)
            std::abort();  // the host asks for whole packets
        sgfuzz::advance(1ms);
        // As on the bus: packets fill the transfer until a short one ends it.
        for (;;) {
            if (packets_.empty() && !device_acts())
                return silence(deadline);
            Bytes& p = packets_.front().bytes;
            if (p.size() > buf.size() - got)
                return VI_ERROR_IO;  // babble: more than the host asked for
            std::copy(p.begin(), p.end(), buf.begin() + static_cast<std::ptrdiff_t>(got));
            got += p.size();
            const bool short_packet = p.size() < config_.packet;
            packets_.pop_front();
            if (short_packet || got == buf.size())
                return VI_SUCCESS;
        }
    }

    ViStatus bulk_out_posting(std::span<const std::uint8_t> data,
                              std::span<const std::uint8_t> request, std::size_t in_size,
                              sgvisa::Deadline deadline, bool& posted) override {
        posted = false;
        if (!config_.posting)
            return UsbLink::bulk_out_posting(data, request, in_size, deadline, posted);
        const ViStatus st = bulk_out(data, deadline);
        if (st != VI_SUCCESS)
            return st;
        posted_sent_ = bulk_out(request, deadline) == VI_SUCCESS;
        posted_in_size_ = in_size;
        posted = true;
        return VI_SUCCESS;
    }

    ViStatus collect_posted(std::span<std::uint8_t> buf, std::size_t& got,
                            sgvisa::Deadline deadline, bool& sent) override {
        got = 0;
        sent = posted_sent_;
        if (buf.size() != posted_in_size_)
            std::abort();  // collected with the size it was posted with
        posted_in_size_ = 0;
        return sent ? bulk_in(buf, got, deadline) : VI_ERROR_IO;
    }

    void drop_posted(bool& sent) override {
        sent = posted_sent_ && posted_in_size_ > 0;
        posted_in_size_ = 0;
    }

    ViStatus control_in(std::uint8_t request_type, std::uint8_t request, std::uint16_t,
                        std::uint16_t, std::span<std::uint8_t> buf, std::size_t& got,
                        sgvisa::Deadline deadline) override {
        got = 0;
        if (request_type != tmc::kRequestTypeInterfaceIn &&
            request_type != tmc::kRequestTypeEndpointIn)
            std::abort();
        if (expired(deadline))
            return VI_ERROR_TMO;
        sgfuzz::advance(1ms);
        Bytes answer;
        if (request == tmc::GET_CAPABILITIES) {
            answer.assign(tmc::kCapabilitiesLength, 0);
            answer[0] = tmc::STATUS_SUCCESS;
            answer[tmc::kCapsDevice] = config_.term_char ? tmc::kDeviceCapTermChar : 0;
        } else {
            const std::uint8_t choice = script_.exhausted() ? 0 : script_.byte() % 6;
            static constexpr std::uint8_t kStatus[] = {tmc::STATUS_SUCCESS, tmc::STATUS_PENDING,
                                                       tmc::STATUS_PENDING, tmc::STATUS_FAILED,
                                                       tmc::STATUS_TRANSFER_NOT_IN_PROGRESS};
            if (choice == 5)
                return VI_ERROR_IO;  // stalled
            answer = {kStatus[choice], static_cast<std::uint8_t>(choice == 2 ? 1 : 0)};
            answer.resize(8, 0);
        }
        got = std::min(answer.size(), buf.size());
        std::copy_n(answer.begin(), got, buf.begin());
        return VI_SUCCESS;
    }

    ViStatus clear_halt(std::uint8_t, sgvisa::Deadline deadline) override {
        if (expired(deadline))
            return VI_ERROR_TMO;
        sgfuzz::advance(1ms);
        return VI_SUCCESS;
    }

    const sgvisa::UsbDeviceFacts& facts() const override { return facts_; }

  private:
    static bool expired(sgvisa::Deadline deadline) { return sgvisa::Clock::now() >= deadline; }

    // Nothing comes: the call waits out its deadline.
    static ViStatus silence(sgvisa::Deadline deadline) {
        sgfuzz::advance(deadline - sgvisa::Clock::now());
        return VI_ERROR_TMO;
    }

    // The device does what the script says next; false for silence.
    bool device_acts() {
        if (script_.exhausted())
            return false;
        const int action = script_.byte() % 8;
        if (action < 4) {
            queue_transfer(action);
        } else if (action == 4) {
            const auto junk = script_.bytes(script_.byte() % (config_.packet + 1));
            Bytes p(junk.begin(), junk.end());
            for (auto& b : p)
                b |= 0x80;
            packets_.push_back({std::move(p)});
        } else if (action == 5) {
            packets_.emplace_back();
        } else {
            return false;
        }
        return !packets_.empty();
    }

    // A request tagged `tag` went out. A transfer carrying that bTag whose
    // first packet is still queued was never seen by the host, and nothing
    // in it tells it from the answer (the host chose its bTag without
    // knowing it, and a bTag, its inverse and a TransferSize within the
    // request are all USBTMC gives): its data becomes an answer's.
    void adopt(std::uint8_t tag) {
        std::set<int> unread;
        for (const Packet& p : packets_)
            if (p.transfer != 0 && p.tag == tag && p.first)
                unread.insert(p.transfer);
        for (Packet& p : packets_) {
            if (!unread.count(p.transfer))
                continue;
            for (std::size_t i = p.data_from; i < p.data_to; ++i)
                if (p.bytes[i] >= 'A' && p.bytes[i] <= 'Z')
                    p.bytes[i] = static_cast<std::uint8_t>(p.bytes[i] - 'A' + 'a');
            p.transfer = 0;
        }
    }

    // A bTag this host has sent in a request other than its last, or
    // never; 0 when there is none such.
    std::uint8_t earlier_tag(std::uint8_t pick) const {
        std::vector<std::uint8_t> earlier;
        for (std::uint8_t t : requested_)
            if (t != last_request_)
                earlier.push_back(t);
        return earlier.empty() ? 0 : earlier[pick % earlier.size()];
    }
    std::uint8_t never_requested_tag(std::uint8_t pick) const {
        for (int i = 0; i < 255; ++i) {
            const auto t = static_cast<std::uint8_t>((pick + i) % 255 + 1);
            if (!requested_.count(t))
                return t;
        }
        return 0;
    }

    void queue_transfer(int kind) {
        const std::size_t length = script_.le16() % 1500;
        const std::uint8_t attributes = script_.byte();
        const std::size_t past = script_.byte() % 70;
        const std::size_t piece = script_.byte() % (config_.packet + 1);
        const std::uint8_t pick = script_.byte();

        std::uint8_t tag = last_request_;
        char first = 'a';
        int span = 26;
        // Only a transfer the host must never take may announce a
        // TransferSize other than what it carries: the host reads on by
        // the TransferSize of any it takes.
        bool never_taken = false;
        bool fault = false;
        if (kind == 1 && earlier_tag(pick) != 0) {
            tag = earlier_tag(pick);
            first = '0';
            span = 10;
        } else if (kind == 2 && never_requested_tag(pick) != 0) {
            tag = never_requested_tag(pick);
            first = 'A';
            never_taken = true;
        } else if (kind == 3) {
            first = '#';
            span = 1;
            never_taken = fault = true;
        }
        Bytes data(length);
        for (std::size_t i = 0; i < length; ++i)
            data[i] = static_cast<std::uint8_t>(first + i % span);
        if ((attributes & 0x04) && length > 0)
            data.back() = '\n';

        tmc::BulkHeader h;
        h.msg_id = tmc::DEV_DEP_MSG_IN;
        h.tag = tag;
        h.transfer_size = static_cast<std::uint32_t>(length);
        h.attributes = attributes & (tmc::kAttrEom | tmc::kAttrTermCharEnded);
        if (never_taken) {
            switch ((attributes >> 4) & 3) {
                case 1:
                    h.transfer_size = static_cast<std::uint32_t>(length / 2);
                    break;
                case 2:
                    h.transfer_size = static_cast<std::uint32_t>(length + 1 + pick);
                    break;
                case 3:
                    h.transfer_size = 0xFFFFFFF0u + (pick & 0xF);
                    break;
                default:
                    break;
            }
        }
        Bytes transfer(tmc::kHeaderSize);
        tmc::encode_header(
            h, std::span<std::uint8_t, tmc::kHeaderSize>(transfer.data(), tmc::kHeaderSize));
        if (fault) {
            // A broken header: the inverse, the MsgID, or a size past the request.
            switch (pick % 3) {
                case 0:
                    transfer[2] ^= 0x5A;
                    break;
                case 1:
                    transfer[0] = static_cast<std::uint8_t>(pick | 0x40);
                    break;
                default:
                    transfer[4] = 0xFF;
                    transfer[5] = 0xFF;
                    transfer[6] = 0xFF;
                    break;
            }
        }
        transfer.insert(transfer.end(), data.begin(), data.end());
        if (!(attributes & 0x40))
            transfer.resize(transfer.size() + tmc::padding_for(length), 0);
        transfer.resize(transfer.size() + past, 0xEE);

        if (attributes & 0x08)
            packets_.emplace_back();
        const std::size_t size = piece == 0 ? config_.packet : piece;
        const int id = first == 'A' ? ++unasked_transfers_ : 0;
        for (std::size_t at = 0; at < transfer.size(); at += size) {
            const std::size_t end = std::min(at + size, transfer.size());
            Packet p{Bytes(transfer.begin() + static_cast<std::ptrdiff_t>(at),
                           transfer.begin() + static_cast<std::ptrdiff_t>(end)),
                     id, tag, at == 0};
            // Where the data lies in this packet (between header and padding).
            const auto clamp = [&](std::size_t i) { return std::clamp(i, at, end) - at; };
            p.data_from = clamp(tmc::kHeaderSize);
            p.data_to = clamp(tmc::kHeaderSize + length);
            packets_.push_back(std::move(p));
        }
        if (transfer.size() % config_.packet == 0 && piece == 0 && !config_.no_zlp)
            packets_.emplace_back();
    }

    sgfuzz::ByteScript& script_;
    Config config_;
    sgvisa::UsbDeviceFacts facts_;
    struct Packet {
        Bytes bytes;
        int transfer = 0;  // a transfer tagged with a bTag never requested: its number
        std::uint8_t tag = 0;
        bool first = false;  // the transfer's first packet
        std::size_t data_from = 0, data_to = 0;
    };
    std::deque<Packet> packets_;
    int unasked_transfers_ = 0;
    std::set<std::uint8_t> requested_;
    std::uint8_t last_request_ = 0;
    bool posted_sent_ = false;
    std::size_t posted_in_size_ = 0;
};

// The stored bytes may only be those of answers.
void check_read(const Bytes& buf, std::size_t size, ViStatus st, const sgvisa::ReadResult& r) {
    if (r.count > size)
        std::abort();
    for (std::size_t i = size; i < buf.size(); ++i)
        if (buf[i] != 0xA5)
            std::abort();  // written past the caller's buffer
    if (st < 0)
        return;
    for (std::size_t i = 0; i < r.count; ++i) {
        const std::uint8_t b = buf[i];
        const bool answer = (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '\n';
        if (!answer)
            std::abort();  // bytes of a transfer this host never asked for
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sgfuzz::set_virtual_now(std::chrono::hours(1000));
    if (sgvisa::Clock::now().time_since_epoch() != sgfuzz::virtual_now())
        std::abort();  // the library would not run on the virtual clock
    // The host's bTags start where they did for every input before.
    sgvisa::usbtmc::replay_tag_seeds(0);
    sgfuzz::ByteScript script(data, size);
    const std::uint8_t bits = script.byte();
    constexpr std::uint16_t kPackets[] = {8, 64, 512, 512};
    Config config;
    config.packet = kPackets[bits & 3];
    config.no_zlp = (bits & 0x04) != 0;
    config.posting = (bits & 0x08) != 0;
    config.term_char = (bits & 0x10) != 0;
    sgvisa::usbtmc::HostQuirks quirks;
    quirks.eom_never = (bits & 0x20) != 0;
    if (bits & 0x40)
        quirks.max_transfer = (script.byte() + 1u) * 4;

    std::unique_ptr<sgvisa::Transport> transport;
    if (sgvisa::usbtmc::make_usbtmc_transport(std::make_unique<ReplyDevice>(script, config),
                                              transport, quirks) != VI_SUCCESS ||
        transport->acquire(sgvisa::deadline_after_ms(1000)) != VI_SUCCESS)
        return 0;

    // Every call returns by its deadline plus the recovery bounds of a
    // stale-halt retry and an abort.
    const auto bounded = [](std::chrono::nanoseconds started, std::uint32_t timeout_ms) {
        const auto took = sgfuzz::virtual_now() - started;
        if (took > std::chrono::milliseconds(timeout_ms) + 2 * sgvisa::usbtmc::kRecoveryTime + 50ms)
            std::abort();
    };
    const auto read = [&](std::size_t want, bool linefeed, std::uint32_t timeout_ms) {
        Bytes buf(want + 16, 0xA5);
        sgvisa::ReadStop stop;
        stop.term_char_enabled = linefeed;
        sgvisa::ReadResult r;
        const auto started = sgfuzz::virtual_now();
        const ViStatus st = transport->read(std::span(buf.data(), want), stop,
                                            sgvisa::deadline_after_ms(timeout_ms), r);
        bounded(started, timeout_ms);
        check_read(buf, want, st, r);
    };

    static const std::uint8_t kQuery[] = {'Q', '?', '\n'};
    for (int ops = 0; ops < 24 && !script.exhausted(); ++ops) {
        const std::uint8_t op = script.byte();
        const std::uint32_t timeout_ms = (script.byte() + 1u) * 8;
        const bool flag = (op & 0x04) != 0;
        switch (op % 4) {
            case 0: {
                const std::size_t want = std::max<std::size_t>(1, script.le16());
                sgvisa::ReadStop stop;
                stop.term_char_enabled = flag;
                const auto started = sgfuzz::virtual_now();
                const ViStatus st = transport->write_query(kQuery, want, stop,
                                                           sgvisa::deadline_after_ms(timeout_ms));
                bounded(started, timeout_ms);
                if (st == VI_SUCCESS)
                    read(want, flag, timeout_ms);
                break;
            }
            case 1:
                read(std::max<std::size_t>(1, script.le16()), flag, timeout_ms);
                break;
            case 2: {
                const auto started = sgfuzz::virtual_now();
                transport->clear(sgvisa::deadline_after_ms(timeout_ms));
                bounded(started, timeout_ms);
                break;
            }
            default: {
                const auto bytes = script.bytes(script.byte());
                const Bytes message(bytes.begin(), bytes.end());
                const auto started = sgfuzz::virtual_now();
                transport->write(message, flag, sgvisa::deadline_after_ms(timeout_ms));
                bounded(started, timeout_ms);
                break;
            }
        }
    }
    return 0;
}
