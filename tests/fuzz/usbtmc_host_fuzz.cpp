// Fuzz target: the USBTMC host's handling of whatever a device sends back.
// The input is one script read front to back (byte_script.h):
//   config byte: bit 0-1 max packet size (8, 16, 64, 512)
//   then operations until the input ends:
//     op byte % 4: 0 write <len byte> <bytes> <end byte>; 1 read <le16 buffer
//                  size>; 2 clear; 3 write "*IDN?\n" with END
//   and, whenever the host calls its link, the device's side of that call:
//     bulk-OUT:   status byte (< 0xF0 success, else TMO / IO / CONN_LOST)
//     bulk-IN:    status byte (as above), then le16 length and that many
//                 bytes, cut to the host's buffer; a bTag in the first
//                 three bytes counts from the host's first one (1), so that
//                 scripts read alike wherever the host starts its bTags
//     control IN: status byte (as above), length byte and that many bytes
//     clear halt: status byte
// The device can therefore answer with any sequence of transfers: headers
// with wrong tags, sizes or IDs, short pieces, zero-length packets, junk.
// Time is virtual (virtual_clock.h), each call on the link taking a
// millisecond, and the host's bTags start at the same place for every
// input, so that an input plays the same way every time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "byte_script.h"
#include "transport_read.h"
#include "usbtmc/usb488_status.h"
#include "usbtmc/usbtmc_host.h"
#include "virtual_clock.h"

namespace {

ViStatus status_of(std::uint8_t b) {
    if (b < 0xF0)
        return VI_SUCCESS;
    switch (b % 3) {
        case 0:
            return VI_ERROR_TMO;
        case 1:
            return VI_ERROR_IO;
        default:
            return VI_ERROR_CONN_LOST;
    }
}

class ScriptedLink final : public sgvisa::usbtmc::UsbLink {
  public:
    ScriptedLink(sgfuzz::ByteScript& script, std::uint16_t mps) : script_(script) {
        facts_.bulk_out_endpoint = 0x02;
        facts_.bulk_in_endpoint = 0x81;
        facts_.max_packet_size = mps;
    }

    ViStatus bulk_out(std::span<const std::uint8_t> data, sgvisa::Deadline) override {
        sgfuzz::advance(std::chrono::milliseconds(1));
        if (data.size() < 12 || data.size() % 4 != 0)
            std::abort();  // the host always frames and pads its transfers
        if (first_tag_ == 0)
            first_tag_ = data[1];
        return script_.exhausted() ? VI_ERROR_TMO : status_of(script_.byte());
    }

    ViStatus bulk_in(std::span<std::uint8_t> buf, std::size_t& got, sgvisa::Deadline) override {
        sgfuzz::advance(std::chrono::milliseconds(1));
        got = 0;
        if (script_.exhausted())
            return VI_ERROR_TMO;
        const ViStatus st = status_of(script_.byte());
        if (st != VI_SUCCESS)
            return st;
        const auto bytes = script_.bytes(std::min<std::size_t>(script_.le16(), buf.size()));
        std::copy(bytes.begin(), bytes.end(), buf.begin());
        got = bytes.size();
        if (got >= 3 && first_tag_ > 1) {
            // bTag + d and its inverse - d: the pair stays valid or invalid.
            const auto d = static_cast<std::uint8_t>(first_tag_ - 1);
            buf[1] = static_cast<std::uint8_t>(buf[1] + d);
            buf[2] = static_cast<std::uint8_t>(buf[2] - d);
        }
        return VI_SUCCESS;
    }

    ViStatus control_in(std::uint8_t request_type, std::uint8_t, std::uint16_t, std::uint16_t,
                        std::span<std::uint8_t> buf, std::size_t& got, sgvisa::Deadline) override {
        sgfuzz::advance(std::chrono::milliseconds(1));
        got = 0;
        if (request_type != 0xA1 && request_type != 0xA2)
            std::abort();
        if (script_.exhausted())
            return VI_ERROR_IO;  // stalled
        const ViStatus st = status_of(script_.byte());
        if (st != VI_SUCCESS)
            return st;
        const auto bytes = script_.bytes(std::min<std::size_t>(script_.byte(), buf.size()));
        std::copy(bytes.begin(), bytes.end(), buf.begin());
        got = bytes.size();
        return VI_SUCCESS;
    }

    ViStatus clear_halt(std::uint8_t, sgvisa::Deadline) override {
        sgfuzz::advance(std::chrono::milliseconds(1));
        return script_.exhausted() ? VI_SUCCESS : status_of(script_.byte());
    }

    const sgvisa::UsbDeviceFacts& facts() const override { return facts_; }

  private:
    sgfuzz::ByteScript& script_;
    sgvisa::UsbDeviceFacts facts_;
    std::uint8_t first_tag_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sgfuzz::set_virtual_now(std::chrono::hours(1000));
    sgvisa::usbtmc::replay_tag_seeds(0);
    sgfuzz::ByteScript script(data, size);
    constexpr std::uint16_t kPacketSizes[] = {8, 16, 64, 512};
    const std::uint16_t mps = kPacketSizes[script.byte() & 3];
    // The link never blocks, and a call takes a millisecond: no deadline
    // is reached in practice.
    const auto later = [] { return sgvisa::deadline_after_ms(60000); };

    std::unique_ptr<sgvisa::Transport> transport;
    if (sgvisa::usbtmc::make_usbtmc_transport(std::make_unique<ScriptedLink>(script, mps),
                                              transport) != VI_SUCCESS ||
        transport->acquire(later()) != VI_SUCCESS)
        return 0;
    static const std::uint8_t kIdn[] = {'*', 'I', 'D', 'N', '?', '\n'};
    for (int ops = 0; ops < 64 && !script.exhausted(); ++ops) {
        switch (script.byte() % 4) {
            case 0: {
                const auto bytes = script.bytes(script.byte());
                const std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
                transport->write(copy, (script.byte() & 1) != 0, later());
                break;
            }
            case 1: {
                const std::size_t want = std::max<std::size_t>(1, script.le16());
                // Guard bytes after the buffer catch a read that stores too much.
                std::vector<std::uint8_t> buf(want + 16, 0xA5);
                std::size_t count = 0;
                bool end = false;
                const ViStatus st =
                    sgtest::read_from(*transport, std::span(buf.data(), want), later(), count, end);
                if (count > want || (st != VI_SUCCESS && end))
                    std::abort();
                for (std::size_t i = want; i < buf.size(); ++i)
                    if (buf[i] != 0xA5)
                        std::abort();
                break;
            }
            case 2:
                transport->clear(later());
                break;
            default:
                transport->write(kIdn, true, later());
                break;
        }
    }
    return 0;
}
