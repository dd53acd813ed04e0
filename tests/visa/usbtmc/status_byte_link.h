// A USB488 interface with an interrupt-IN endpoint that answers
// GET_CAPABILITIES and READ_STATUS_BYTE (successfully) and fails every other
// transfer: what becomes of each READ_STATUS_BYTE's notification, and what
// the interrupt-IN reads bring, is the test's.
#pragma once

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <utility>

#include "proto/usbtmc.h"
#include "usbtmc/usb_link.h"

namespace sgtest {

class StatusByteLink final : public sgvisa::usbtmc::UsbLink {
  public:
    // `asked` is called with the tag of each READ_STATUS_BYTE before it is
    // answered; `source` makes the interrupt-IN source.
    StatusByteLink(std::function<void(std::uint8_t tag)> asked,
                   std::function<std::unique_ptr<sgvisa::usbtmc::InterruptSource>()> source)
        : asked_(std::move(asked)), source_(std::move(source)) {
        facts_.interface_protocol = 1;
        facts_.bulk_out_endpoint = 0x01;
        facts_.bulk_in_endpoint = 0x82;
        facts_.max_packet_size = 64;
    }
    ViStatus bulk_out(std::span<const std::uint8_t>, sgvisa::Deadline) override {
        return VI_ERROR_IO;
    }
    ViStatus bulk_in(std::span<std::uint8_t>, std::size_t& got, sgvisa::Deadline) override {
        got = 0;
        return VI_ERROR_IO;
    }
    ViStatus control_in(std::uint8_t, std::uint8_t request, std::uint16_t value, std::uint16_t,
                        std::span<std::uint8_t> buf, std::size_t& got, sgvisa::Deadline) override {
        using namespace sgproto::usbtmc;
        std::array<std::uint8_t, 0x18> answer{};
        answer[0] = STATUS_SUCCESS;
        std::size_t size = answer.size();
        if (request == USB488_READ_STATUS_BYTE) {
            answer[1] = static_cast<std::uint8_t>(value);  // the tag
            size = 3;
            if (fifo_full && fifo_full())
                answer[0] = STATUS_INTERRUPT_IN_BUSY;
            else
                asked_(answer[1]);
        } else if (request != GET_CAPABILITIES) {
            return VI_ERROR_IO;
        }
        got = std::min(size, buf.size());
        std::copy_n(answer.begin(), got, buf.begin());
        return VI_SUCCESS;
    }
    ViStatus clear_halt(std::uint8_t, sgvisa::Deadline) override { return VI_SUCCESS; }
    std::unique_ptr<sgvisa::usbtmc::InterruptSource> open_interrupt_source() override {
        return source_();
    }
    const sgvisa::UsbDeviceFacts& facts() const override { return facts_; }

    // When set and true, READ_STATUS_BYTE finds the interrupt-IN FIFO full:
    // STATUS_INTERRUPT_IN_BUSY, and nothing is queued.
    std::function<bool()> fifo_full;

  private:
    std::function<void(std::uint8_t)> asked_;
    std::function<std::unique_ptr<sgvisa::usbtmc::InterruptSource>()> source_;
    sgvisa::UsbDeviceFacts facts_;
};

}  // namespace sgtest
