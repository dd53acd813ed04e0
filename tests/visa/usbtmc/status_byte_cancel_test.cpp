// A status byte read that waits for its interrupt-IN notification ends at
// once when the operation is cancelled (its session closed by another
// thread), not at its deadline; the next operation after resume() reads again.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

#include "transport.h"
#include "usb_link.h"
#include "usbtmc.h"
#include "usbtmc_host.h"

namespace sgtest {
namespace {

using namespace sgproto::usbtmc;
using sgvisa::Deadline;
using std::chrono::milliseconds;

// An interrupt-IN endpoint that brings nothing: its reads end only when
// cancelled (or at their deadline).
class SilentSource final : public sgvisa::InterruptSource {
  public:
    ViStatus read(std::span<std::uint8_t>, std::size_t& got, Deadline deadline) override {
        got = 0;
        std::unique_lock lock(mutex_);
        if (!changed_.wait_until(lock, deadline, [this] { return cancelled_; }))
            return VI_ERROR_TMO;
        return VI_ERROR_ABORT;
    }
    void cancel() override {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }
    void resume() override {
        std::lock_guard lock(mutex_);
        cancelled_ = false;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool cancelled_ = false;
};

// A USB488 interface that accepts READ_STATUS_BYTE and then never sends the
// notification that answers it. `asked` counts the requests.
class NotificationLostLink final : public sgvisa::UsbLink {
  public:
    explicit NotificationLostLink(std::promise<void>& first_request) : first_(first_request) {
        facts_.interface_protocol = 1;
        facts_.bulk_out_endpoint = 0x01;
        facts_.bulk_in_endpoint = 0x82;
        facts_.max_packet_size = 64;
    }
    ViStatus bulk_out(std::span<const std::uint8_t>, Deadline) override { return VI_ERROR_IO; }
    ViStatus bulk_in(std::span<std::uint8_t>, std::size_t& got, Deadline) override {
        got = 0;
        return VI_ERROR_IO;
    }
    ViStatus control_in(std::uint8_t, std::uint8_t request, std::uint16_t value, std::uint16_t,
                        std::span<std::uint8_t> buf, std::size_t& got, Deadline) override {
        std::array<std::uint8_t, 0x18> answer{};
        answer[0] = STATUS_SUCCESS;
        std::size_t size = answer.size();
        if (request == USB488_READ_STATUS_BYTE) {
            answer[1] = static_cast<std::uint8_t>(value);  // the tag
            size = 3;
            if (asked++ == 0)
                first_.set_value();
        } else if (request != GET_CAPABILITIES) {
            return VI_ERROR_IO;
        }
        got = std::min(size, buf.size());
        std::copy_n(answer.begin(), got, buf.begin());
        return VI_SUCCESS;
    }
    ViStatus clear_halt(std::uint8_t, Deadline) override { return VI_SUCCESS; }
    std::unique_ptr<sgvisa::InterruptSource> open_interrupt_source() override {
        return std::make_unique<SilentSource>();
    }
    const sgvisa::UsbDeviceFacts& facts() const override { return facts_; }

    int asked = 0;

  private:
    std::promise<void>& first_;
    sgvisa::UsbDeviceFacts facts_;
};

TEST(StatusByteCancel, AWaitForTheNotificationEndsAtOnceWhenCancelled) {
    std::promise<void> asked;
    auto link = std::make_unique<NotificationLostLink>(asked);
    NotificationLostLink* device = link.get();
    std::unique_ptr<sgvisa::Transport> transport;
    ASSERT_EQ(sgvisa::make_usbtmc_transport(std::move(link), transport), VI_SUCCESS);
    ASSERT_EQ(transport->acquire(sgvisa::deadline_after_ms(5000)), VI_SUCCESS);

    const auto start = std::chrono::steady_clock::now();
    auto read = std::async(std::launch::async, [&] {
        std::uint8_t status = 0;
        return transport->read_status_byte(sgvisa::deadline_after_ms(10000), status);
    });
    // The request has been answered: from here on the read waits for the
    // notification (or is about to).
    ASSERT_EQ(asked.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    transport->cancel();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    EXPECT_EQ(read.get(), VI_ERROR_ABORT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2000));

    // Until resume() every later read gives up too; after it, it asks again
    // and waits out its own deadline for the lost notification.
    std::uint8_t status = 0;
    EXPECT_EQ(transport->read_status_byte(sgvisa::deadline_after_ms(2000), status), VI_ERROR_ABORT);
    transport->resume();
    const int asked_before = device->asked;
    EXPECT_EQ(transport->read_status_byte(sgvisa::deadline_after_ms(100), status), VI_ERROR_TMO);
    EXPECT_EQ(device->asked, asked_before + 1);
}

}  // namespace
}  // namespace sgtest
