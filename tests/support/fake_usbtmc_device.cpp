// Event log format:
//   "out MSG tag=T size=N eom=E"   a DEV_DEP_MSG_OUT transfer
//   "out REQ tag=T size=N"         a REQUEST_DEV_DEP_MSG_IN transfer
//   "out timeout"                  a bulk-OUT transfer that timed out
//   "in N" / "in timeout" / "in lost" / "in stuck"
//                                  a bulk-IN transfer: bytes delivered, or why none
//   "out stall" / "in stall"      a transfer on a halted endpoint
//   "ctrl NAME value=V index=0xII" a class request
//   "halt 0xEE"                    CLEAR_FEATURE(ENDPOINT_HALT)
//   "lost"                         any call after the device went away
//   "posted" / "collected" / "dropped"
//                                  a request posted behind a message, then
//                                  collected or taken back
#include "fake_usbtmc_device.h"

#include <algorithm>
#include <cstdio>

#include "proto/usbtmc.h"

namespace sgtest {

using namespace sgvisa;
using namespace sgvisa::usbtmc;
using namespace sgproto::usbtmc;

namespace {

std::string hex2(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", v & 0xFFu);
    return text;
}

bool is_endpoint_request(std::uint8_t request) {
    return request >= INITIATE_ABORT_BULK_OUT && request <= CHECK_ABORT_BULK_IN_STATUS;
}

class FakeLink final : public UsbLink {
  public:
    explicit FakeLink(std::shared_ptr<FakeUsbtmcDevice> device) : d_(std::move(device)) {}

    ViStatus bulk_out(std::span<const std::uint8_t> data, Deadline) override {
        if (d_->gone)
            return lost();
        BulkHeader h;
        const bool valid = decode_header(data, h);
        if (valid && d_->first_host_tag == 0) {
            d_->first_host_tag = h.tag;
            for (const auto& [relative, text] : d_->leftovers)
                d_->queue_transfer(d_->absolute_tag(relative), text, true);
            d_->leftovers.clear();
        }
        if (d_->bulk_out_timeouts > 0) {
            --d_->bulk_out_timeouts;
            if (valid)
                d_->last_out_tag = h.tag;
            d_->events.push_back("out timeout");
            return VI_ERROR_TMO;
        }
        if (d_->halted_out) {
            d_->events.push_back("out stall");
            return stalled(d_->bulk_out_endpoint);
        }
        d_->out_frames.emplace_back(data.begin(), data.end());
        if (!valid) {
            d_->events.push_back("out bad");
            return VI_ERROR_IO;
        }
        if (h.msg_id == DEV_DEP_MSG_OUT) {
            const bool eom = (h.attributes & kAttrEom) != 0;
            d_->events.push_back("out MSG tag=" + std::to_string(d_->relative_tag(h.tag)) +
                                 " size=" + std::to_string(h.transfer_size) +
                                 " eom=" + (eom ? "1" : "0"));
            d_->last_out_tag = h.tag;
            const std::size_t n = std::min<std::size_t>(h.transfer_size, data.size() - kHeaderSize);
            d_->partial.append(data.begin() + kHeaderSize, data.begin() + kHeaderSize + n);
            if (eom) {
                d_->messages.push_back(d_->partial);
                if (d_->respond) {
                    if (auto answer = d_->respond(d_->partial))
                        d_->pending_reply += *answer;
                }
                d_->partial.clear();
            }
        } else if (h.msg_id == REQUEST_DEV_DEP_MSG_IN) {
            d_->events.push_back("out REQ tag=" + std::to_string(d_->relative_tag(h.tag)) +
                                 " size=" + std::to_string(h.transfer_size));
            d_->last_request_tag = h.tag;
            d_->request_outstanding = true;
            const bool ready = !d_->pending_reply.empty() && d_->not_ready == 0;
            if (d_->not_ready > 0)
                --d_->not_ready;
            if (!d_->never_answer && ready) {
                answer(h.tag, h.transfer_size);
            } else {
                if (d_->pending_reply.empty())
                    d_->reply_tag = 0;
                if (d_->empty_when_idle) {
                    d_->queue_transfer(h.tag, "", false, h.transfer_size);
                    d_->request_outstanding = false;
                }
            }
        } else {
            d_->events.push_back("out msgid=" + std::to_string(h.msg_id));
        }
        return VI_SUCCESS;
    }

    ViStatus bulk_in(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) override {
        got = 0;
        if (d_->gone)
            return lost();
        if (d_->vanish_after_in && *d_->vanish_after_in <= 0) {
            d_->gone = true;
            return lost();
        }
        if (buf.size() % d_->max_packet_size != 0)
            d_->events.push_back("in unaligned");
        if (d_->halted_in) {
            d_->events.push_back("in stall");
            return stalled(d_->bulk_in_endpoint);
        }
        if (d_->flood && d_->fifo.empty())
            d_->queue_transfer(static_cast<std::uint8_t>(d_->last_request_tag + 100), "FLOOD\n",
                               true);
        // Silence is an immediate timeout: the fake never blocks.
        if (d_->fifo.empty() || Clock::now() >= deadline) {
            d_->events.push_back("in timeout");
            return VI_ERROR_TMO;
        }
        // As on the bus: packets fill `buf` until a short packet ends the
        // transfer or `buf` is full.
        while (!d_->fifo.empty()) {
            auto& run = d_->fifo.front();
            const std::size_t n = std::min(buf.size() - got, run.size());
            std::copy_n(run.begin(), n, buf.begin() + static_cast<std::ptrdiff_t>(got));
            got += n;
            if (n < run.size()) {
                run.erase(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(n));
                break;
            }
            const bool short_run = run.empty() || run.size() % d_->max_packet_size != 0;
            d_->fifo.pop_front();
            if (short_run || got == buf.size())
                break;
            if (d_->fifo.empty()) {
                // Full packets and then nothing: a real host would wait on.
                d_->events.push_back("in stuck");
                return VI_ERROR_TMO;
            }
        }
        if (d_->vanish_after_in)
            --*d_->vanish_after_in;
        d_->events.push_back("in " + std::to_string(got));
        return VI_SUCCESS;
    }

    // Posting, as the device sees it: the message, then the request.
    ViStatus bulk_out_posting(std::span<const std::uint8_t> data,
                              std::span<const std::uint8_t> request, std::size_t in_size,
                              Deadline deadline, bool& posted) override {
        posted = false;
        if (!d_->posting)
            return UsbLink::bulk_out_posting(data, request, in_size, deadline, posted);
        const ViStatus st = bulk_out(data, deadline);
        if (st != VI_SUCCESS || bulk_out(request, deadline) != VI_SUCCESS)
            return st;
        d_->events.push_back("posted");
        posted_in_size_ = in_size;
        posted_ = posted = true;
        return VI_SUCCESS;
    }

    ViStatus collect_posted(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline,
                            bool& sent) override {
        got = 0;
        sent = posted_;
        if (!posted_)
            return VI_ERROR_SYSTEM_ERROR;
        posted_ = false;
        d_->events.push_back("collected");
        if (buf.size() != posted_in_size_)
            d_->events.push_back("in size differs from the posted one");
        return bulk_in(buf, got, deadline);
    }

    void drop_posted(bool& sent) override {
        sent = posted_;
        if (posted_)
            d_->events.push_back("dropped");
        posted_ = false;
    }

    ViStatus control_in(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                        std::uint16_t index, std::span<std::uint8_t> buf, std::size_t& got,
                        Deadline) override {
        got = 0;
        if (d_->gone)
            return lost();
        // The aborts' wValue is a bTag: logged as the others are.
        const bool tagged = request == INITIATE_ABORT_BULK_OUT || request == INITIATE_ABORT_BULK_IN;
        const int shown = tagged ? d_->relative_tag(static_cast<std::uint8_t>(value)) : value;
        d_->events.push_back(std::string("ctrl ") +
                             (request_name(request) ? request_name(request) : "OTHER") +
                             " value=" + std::to_string(shown) + " index=" + hex2(index));
        if (d_->control_silent)
            return VI_ERROR_TMO;
        const bool to_endpoint = is_endpoint_request(request);
        const std::uint8_t endpoint =
            request <= CHECK_ABORT_BULK_OUT_STATUS ? d_->bulk_out_endpoint : d_->bulk_in_endpoint;
        const bool addressed =
            to_endpoint ? request_type == kRequestTypeEndpointIn && index == endpoint
                        : request_type == kRequestTypeInterfaceIn && index == d_->interface_number;
        if (!addressed) {
            d_->events.push_back("stall misaddressed");
            return VI_ERROR_IO;
        }
        std::vector<std::uint8_t> reply;
        switch (request) {
            case GET_CAPABILITIES:
                ++d_->capability_requests;
                if (d_->stall_capabilities)
                    return VI_ERROR_IO;
                reply.assign(d_->capabilities.begin(), d_->capabilities.end());
                break;
            case INITIATE_ABORT_BULK_IN: {
                const bool active =
                    value == d_->last_request_tag && (d_->request_outstanding || !d_->fifo.empty());
                const std::uint8_t status = d_->initiate_abort_in_status.value_or(
                    active ? STATUS_SUCCESS : STATUS_TRANSFER_NOT_IN_PROGRESS);
                if (status == STATUS_SUCCESS) {
                    d_->pending_reply.clear();
                    d_->reply_tag = 0;
                    d_->request_outstanding = false;
                    d_->checks_left = d_->abort_pending_checks;
                }
                if (d_->fifo_bytes_on_abort > 0)
                    d_->fifo.emplace_back(d_->fifo_bytes_on_abort, std::uint8_t{0xAB});
                reply = {status, d_->last_request_tag};
                break;
            }
            case CHECK_ABORT_BULK_IN_STATUS:
                if (d_->abort_pending_forever) {
                    reply = {STATUS_PENDING, 0};
                } else if (!d_->fifo.empty()) {
                    reply = {STATUS_PENDING, 1};
                } else if (d_->checks_left > 0) {
                    --d_->checks_left;
                    reply = {STATUS_PENDING, 0};
                } else {
                    reply = {STATUS_SUCCESS, 0};
                }
                reply.resize(kCheckAbortLength, 0);
                break;
            case INITIATE_ABORT_BULK_OUT: {
                const std::uint8_t status =
                    value == d_->last_out_tag ? STATUS_SUCCESS : STATUS_TRANSFER_NOT_IN_PROGRESS;
                if (status == STATUS_SUCCESS) {
                    d_->partial.clear();
                    d_->checks_left = d_->abort_pending_checks;
                }
                reply = {status, d_->last_out_tag};
                break;
            }
            case CHECK_ABORT_BULK_OUT_STATUS:
                if (d_->abort_pending_forever || d_->checks_left > 0) {
                    if (d_->checks_left > 0)
                        --d_->checks_left;
                    reply = {STATUS_PENDING};
                } else {
                    reply = {STATUS_SUCCESS};
                }
                reply.resize(kCheckAbortLength, 0);
                break;
            case INITIATE_CLEAR: {
                const std::uint8_t status = d_->initiate_clear_status.value_or(STATUS_SUCCESS);
                if (status == STATUS_SUCCESS) {
                    d_->partial.clear();
                    d_->pending_reply.clear();
                    d_->reply_tag = 0;
                    d_->request_outstanding = false;
                    d_->checks_left = d_->clear_pending_checks;
                }
                reply = {status};
                break;
            }
            case CHECK_CLEAR_STATUS:
                if (!d_->fifo.empty()) {
                    reply = {STATUS_PENDING, 1};
                } else if (d_->checks_left > 0) {
                    --d_->checks_left;
                    reply = {STATUS_PENDING, 0};
                } else {
                    reply = {STATUS_SUCCESS, 0};
                }
                break;
            default:
                return VI_ERROR_IO;
        }
        got = std::min(reply.size(), buf.size());
        std::copy_n(reply.begin(), got, buf.begin());
        return VI_SUCCESS;
    }

    ViStatus clear_halt(std::uint8_t endpoint, Deadline) override {
        if (d_->gone)
            return lost();
        d_->events.push_back("halt " + hex2(endpoint));
        if (endpoint == d_->bulk_out_endpoint)
            d_->halted_out = false;
        if (endpoint == d_->bulk_in_endpoint)
            d_->halted_in = false;
        return VI_SUCCESS;
    }

    const UsbDeviceFacts& facts() const override {
        facts_.interface_number = d_->interface_number;
        facts_.bulk_out_endpoint = d_->bulk_out_endpoint;
        facts_.bulk_in_endpoint = d_->bulk_in_endpoint;
        facts_.max_packet_size = d_->max_packet_size;
        return facts_;
    }

  private:
    mutable UsbDeviceFacts facts_;
    bool posted_ = false;
    std::size_t posted_in_size_ = 0;

    ViStatus lost() {
        d_->events.push_back("lost");
        return VI_ERROR_CONN_LOST;
    }

    // A stalled transfer, as a link reports it: the halt cleared, VI_ERROR_IO.
    ViStatus stalled(std::uint8_t endpoint) {
        clear_halt(endpoint, Clock::now());
        return VI_ERROR_IO;
    }

    // Answers the request tagged `tag` with what the reply has left.
    void answer(std::uint8_t tag, std::uint32_t requested) {
        std::size_t n = std::min<std::size_t>(requested, d_->pending_reply.size());
        if (d_->max_data_per_transfer > 0)
            n = std::min(n, d_->max_data_per_transfer);
        const bool last = n == d_->pending_reply.size();
        if (d_->reply_tag == 0)
            d_->reply_tag = tag;
        const std::uint8_t carried = d_->repeat_tag ? d_->reply_tag : tag;
        d_->queue_transfer(carried, d_->pending_reply.substr(0, n), last, requested);
        d_->pending_reply.erase(0, n);
        d_->request_outstanding = false;
        if (last)
            d_->reply_tag = 0;
    }

    std::shared_ptr<FakeUsbtmcDevice> d_;
};

}  // namespace

void FakeUsbtmcDevice::clear_faults() {
    max_data_per_transfer = 0;
    piece = 0;
    zlp_before = false;
    zlp_between = false;
    junk_after = 0;
    unpadded = false;
    no_zlp = false;
    eom_always = false;
    eom_never = false;
    repeat_tag = false;
    flood = false;
    empty_when_idle = false;
    not_ready = 0;
    tag_offset = 0;
    bad_inverse = false;
    msg_id.reset();
    claim_extra = 0;
    claim_size.reset();
    never_answer = false;
}

void FakeUsbtmcDevice::queue_transfer(std::uint8_t tag, const std::string& data, bool eom,
                                      std::uint32_t requested) {
    const std::size_t n = data.size();
    BulkHeader h;
    h.msg_id = msg_id.value_or(DEV_DEP_MSG_IN);
    h.tag = static_cast<std::uint8_t>(tag + tag_offset);
    h.transfer_size = claim_size.value_or(static_cast<std::uint32_t>(n) + claim_extra);
    h.attributes = (eom || eom_always) && !eom_never ? kAttrEom : 0;
    const std::size_t aligned = kHeaderSize + n + (unpadded ? 0 : padding_for(n));
    std::vector<std::uint8_t> transfer(aligned + junk_after, 0xEE);
    std::fill_n(transfer.begin(), aligned, std::uint8_t{0});
    encode_header(h, std::span<std::uint8_t, kHeaderSize>(transfer.data(), kHeaderSize));
    if (bad_inverse)
        transfer[2] ^= 0x10;
    std::copy(data.begin(), data.end(), transfer.begin() + kHeaderSize);

    if (zlp_before)
        fifo.emplace_back();
    if (piece == 0) {
        // A transfer that fills its last packet ends with a zero-length one
        // when the device sends less than asked.
        const bool needs_zlp = transfer.size() % max_packet_size == 0 && n < requested;
        fifo.push_back(std::move(transfer));
        if (needs_zlp && !no_zlp)
            fifo.emplace_back();
        return;
    }
    for (std::size_t at = 0; at < transfer.size(); at += piece) {
        if (at > 0 && zlp_between)
            fifo.emplace_back();
        const std::size_t len = std::min(piece, transfer.size() - at);
        fifo.emplace_back(transfer.begin() + static_cast<std::ptrdiff_t>(at),
                          transfer.begin() + static_cast<std::ptrdiff_t>(at + len));
    }
}

void FakeUsbtmcDevice::queue_leftover(int relative_tag, std::string data) {
    leftovers.emplace_back(relative_tag, std::move(data));
}

int FakeUsbtmcDevice::relative_tag(std::uint8_t tag) const {
    if (first_host_tag == 0 || tag == 0)
        return tag;
    return (tag - first_host_tag + 255) % 255 + 1;
}

std::uint8_t FakeUsbtmcDevice::absolute_tag(int relative) const {
    const int first = first_host_tag == 0 ? 1 : first_host_tag;
    return static_cast<std::uint8_t>(((first - 1 + relative - 1) % 255 + 255) % 255 + 1);
}

int FakeUsbtmcDevice::count_events(const std::string& prefix) const {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const std::string& e) {
        return e.compare(0, prefix.size(), prefix) == 0;
    }));
}

std::unique_ptr<UsbLink> make_fake_link(std::shared_ptr<FakeUsbtmcDevice> device) {
    return std::make_unique<FakeLink>(std::move(device));
}

std::optional<std::string> echo_queries(const std::string& message) {
    if (message.size() < 2 || message.compare(message.size() - 2, 2, "?\n") != 0)
        return std::nullopt;
    return message.substr(0, message.size() - 1) + "=ANSWER\n";
}

}  // namespace sgtest
