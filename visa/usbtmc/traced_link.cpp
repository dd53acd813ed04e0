#include "traced_link.h"

#include <string>

#include "trace/trace_sink.h"
#include "trace/trace_text.h"
#include "transfer_text.h"

namespace sgvisa::usbtmc {
namespace {

void outcome(std::string& line, ViStatus st) {
    if (st == VI_SUCCESS)
        return;
    line += " -> failed, status ";
    trace::append_hex(line, static_cast<std::uint32_t>(st));
}

class TracedSource : public InterruptSource {
  public:
    explicit TracedSource(std::unique_ptr<InterruptSource> inner) : inner_(std::move(inner)) {}
    ViStatus read(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) override {
        const ViStatus st = inner_->read(buf, got, deadline);
        if (st == VI_SUCCESS)
            trace::transfer_line(
                [&](std::string& line) { describe_notification(line, buf.first(got)); });
        return st;
    }
    void cancel() override { inner_->cancel(); }
    void resume() override { inner_->resume(); }

  private:
    std::unique_ptr<InterruptSource> inner_;
};

class TracedLink : public UsbLink {
  public:
    explicit TracedLink(std::unique_ptr<UsbLink> inner) : inner_(std::move(inner)) {}

    ViStatus acquire(Deadline deadline) override { return inner_->acquire(deadline); }
    void relinquish() override { inner_->relinquish(); }

    ViStatus bulk_out(std::span<const std::uint8_t> data, Deadline deadline) override {
        const ViStatus st = inner_->bulk_out(data, deadline);
        out_line(data, st);
        return st;
    }
    ViStatus bulk_in(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) override {
        const ViStatus st = inner_->bulk_in(buf, got, deadline);
        in_line(buf, got, st);
        return st;
    }
    ViStatus bulk_out_in(std::span<const std::uint8_t> out, std::span<std::uint8_t> buf,
                         std::size_t& got, Deadline deadline, bool& sent) override {
        const ViStatus st = inner_->bulk_out_in(out, buf, got, deadline, sent);
        out_line(out, sent ? VI_SUCCESS : st);
        if (sent)
            in_line(buf, got, st);
        return st;
    }
    ViStatus bulk_out_posting(std::span<const std::uint8_t> data,
                              std::span<const std::uint8_t> request, std::size_t in_size,
                              Deadline deadline, bool& posted) override {
        const ViStatus st = inner_->bulk_out_posting(data, request, in_size, deadline, posted);
        out_line(data, st);
        if (posted)
            out_line(request, VI_SUCCESS);
        return st;
    }
    ViStatus collect_posted(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline,
                            bool& sent) override {
        const ViStatus st = inner_->collect_posted(buf, got, deadline, sent);
        if (sent)
            in_line(buf, got, st);
        return st;
    }
    void drop_posted(bool& sent) override {
        inner_->drop_posted(sent);
        trace::transfer_line([&](std::string& line) {
            line += sent ? "posted request taken back after it went out"
                         : "posted request taken back unsent";
        });
    }
    ViStatus control_in(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                        std::uint16_t index, std::span<std::uint8_t> buf, std::size_t& got,
                        Deadline deadline) override {
        const ViStatus st =
            inner_->control_in(request_type, request, value, index, buf, got, deadline);
        trace::transfer_line([&](std::string& line) {
            describe_control_in(line, request_type, request, value, index,
                                buf.first(st == VI_SUCCESS ? got : 0));
            outcome(line, st);
        });
        return st;
    }
    ViStatus control_out(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                         std::uint16_t index, std::span<const std::uint8_t> data,
                         Deadline deadline) override {
        const ViStatus st =
            inner_->control_out(request_type, request, value, index, data, deadline);
        trace::transfer_line([&](std::string& line) {
            line += "control OUT type ";
            trace::append_hex(line, request_type);
            line += " request ";
            trace::append_hex(line, request);
            line += " value ";
            trace::append_hex(line, value);
            line += " index ";
            trace::append_hex(line, index);
            line += " length ";
            line += std::to_string(data.size());
            outcome(line, st);
        });
        return st;
    }
    ViStatus clear_halt(std::uint8_t endpoint, Deadline deadline) override {
        const ViStatus st = inner_->clear_halt(endpoint, deadline);
        trace::transfer_line([&](std::string& line) {
            line += "CLEAR_FEATURE(ENDPOINT_HALT) endpoint ";
            trace::append_hex(line, endpoint);
            outcome(line, st);
        });
        return st;
    }
    void cancel() override { inner_->cancel(); }
    void resume() override { inner_->resume(); }
    std::unique_ptr<InterruptSource> open_interrupt_source() override {
        auto source = inner_->open_interrupt_source();
        if (!source)
            return nullptr;
        return std::make_unique<TracedSource>(std::move(source));
    }
    bool interrupt_in_needs_claim() const override { return inner_->interrupt_in_needs_claim(); }
    const UsbDeviceFacts& facts() const override { return inner_->facts(); }

  private:
    void out_line(std::span<const std::uint8_t> data, ViStatus st) {
        trace::transfer_line([&](std::string& line) {
            describe_bulk_out(line, data);
            outcome(line, st);
        });
    }
    void in_line(std::span<std::uint8_t> buf, std::size_t got, ViStatus st) {
        trace::transfer_line([&](std::string& line) {
            if (st == VI_SUCCESS || got > 0)
                describe_bulk_in(line, buf.first(got < buf.size() ? got : buf.size()), reply_left_);
            else
                line += "bulk-IN";
            outcome(line, st);
        });
        if (st != VI_SUCCESS)
            reply_left_ = 0;  // whatever comes next starts over
    }

    std::unique_ptr<UsbLink> inner_;
    // What the reply in progress still owes: the next bulk-IN transfer
    // continues it rather than starting with a header.
    std::uint64_t reply_left_ = 0;
};

}  // namespace

std::unique_ptr<UsbLink> traced_link(std::unique_ptr<UsbLink> link) {
    return std::make_unique<TracedLink>(std::move(link));
}

}  // namespace sgvisa::usbtmc
