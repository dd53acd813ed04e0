#include "usbtmc_host.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "usbtmc.h"
#include "usbtmc_recovery.h"
#include "usbtmc_reply.h"

namespace sgvisa {
namespace {

using namespace usbtmc;
using namespace sgproto::usbtmc;

// Message bytes carried by one DEV_DEP_MSG_OUT transfer; longer messages are
// split into several transfers.
constexpr std::size_t kMaxOutPayload = 4096;
// TransferSize asked for in one REQUEST_DEV_DEP_MSG_IN.
constexpr std::size_t kMaxInPayload = 64 * 1024;

class UsbtmcTransport final : public Transport {
  public:
    explicit UsbtmcTransport(std::unique_ptr<UsbLink> link) : link_(std::move(link)) {}

    ViStatus write(std::span<const std::uint8_t> data, bool end, Deadline deadline) override {
        if (lost_)
            return VI_ERROR_CONN_LOST;
        // TransferSize may not be 0, so an empty write sends nothing.
        if (data.empty())
            return VI_SUCCESS;
        if (Clock::now() >= deadline)
            return VI_ERROR_TMO;

        std::vector<std::uint8_t> frame;
        for (std::size_t offset = 0; offset < data.size(); offset += kMaxOutPayload) {
            const std::size_t n = std::min(kMaxOutPayload, data.size() - offset);
            const bool last = offset + n == data.size();
            BulkHeader h;
            h.msg_id = DEV_DEP_MSG_OUT;
            h.tag = next_tag();
            h.transfer_size = static_cast<std::uint32_t>(n);
            h.attributes = end && last ? kAttrEom : 0;

            frame.assign(kHeaderSize + n + padding_for(n), 0);
            encode_header(h, std::span<std::uint8_t, kHeaderSize>(frame.data(), kHeaderSize));
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), n,
                        frame.begin() + kHeaderSize);
            const ViStatus st = send(frame, h.tag, deadline);
            if (st != VI_SUCCESS)
                return st;
        }
        return VI_SUCCESS;
    }

    ViStatus read(std::span<std::uint8_t> buf, Deadline deadline, std::size_t& count,
                  bool& end) override {
        count = 0;
        end = false;
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (buf.empty())
            return VI_SUCCESS;
        if (Clock::now() >= deadline)
            return VI_ERROR_TMO;

        BulkHeader h;
        h.msg_id = REQUEST_DEV_DEP_MSG_IN;
        h.tag = next_tag();
        h.transfer_size = static_cast<std::uint32_t>(std::min(buf.size(), kMaxInPayload));
        std::array<std::uint8_t, kHeaderSize> request{};
        encode_header(h, request);
        ViStatus st = send(request, h.tag, deadline);
        if (st != VI_SUCCESS)
            return st;

        st = receive_dev_dep_msg_in(*link_, h.tag, h.transfer_size, buf, deadline, count, end);
        if (st == VI_ERROR_TMO) {
            count = 0;
            end = false;
            st = note(abort_bulk_in(*link_, h.tag));
            return st == VI_ERROR_CONN_LOST ? st : VI_ERROR_TMO;
        }
        if (st != VI_SUCCESS) {
            count = 0;
            end = false;
        }
        return note(st);
    }

    ViStatus clear(Deadline deadline) override {
        if (lost_)
            return VI_ERROR_CONN_LOST;
        return note(clear_device(*link_, deadline));
    }

  private:
    // bTag runs 1..255 and never takes the value 0.
    std::uint8_t next_tag() {
        last_tag_ = last_tag_ == 255 ? 1 : static_cast<std::uint8_t>(last_tag_ + 1);
        return last_tag_;
    }

    // One bulk-OUT transfer; a timeout aborts it so that the device is ready
    // for the next one.
    ViStatus send(std::span<const std::uint8_t> frame, std::uint8_t tag, Deadline deadline) {
        // A refused message (stall) comes back as VI_ERROR_IO with the halt
        // already cleared by the link.
        const ViStatus st = note(link_->bulk_out(frame, deadline));
        if (st != VI_ERROR_TMO)
            return st;
        const ViStatus recovered = note(abort_bulk_out(*link_, tag));
        return recovered == VI_ERROR_CONN_LOST ? recovered : VI_ERROR_TMO;
    }

    // Remembers a lost device: every later call fails at once.
    ViStatus note(ViStatus st) {
        if (st == VI_ERROR_CONN_LOST)
            lost_ = true;
        return st;
    }

    std::unique_ptr<UsbLink> link_;
    std::uint8_t last_tag_ = 0;
    bool lost_ = false;
};

}  // namespace

ViStatus make_usbtmc_transport(std::unique_ptr<UsbLink> link, Deadline deadline,
                               std::unique_ptr<Transport>& out) {
    if (!link)
        return VI_ERROR_SYSTEM_ERROR;
    std::array<std::uint8_t, kCapabilitiesLength> caps{};
    std::size_t got = 0;
    const ViStatus st = link->control_in(kRequestTypeInterfaceIn, GET_CAPABILITIES, 0,
                                         link->interface_number(), caps, got, deadline);
    // A device that stalls GET_CAPABILITIES is used without optional features.
    // None is needed: requests never set TermChar (replies end at EOM), so
    // whether the device supports it (byte 5, bit 0) does not matter here.
    if (st != VI_SUCCESS && st != VI_ERROR_IO)
        return st;
    out = std::make_unique<UsbtmcTransport>(std::move(link));
    return VI_SUCCESS;
}

}  // namespace sgvisa
