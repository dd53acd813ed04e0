// A status byte read that waits for its interrupt-IN notification ends at
// once when the operation is cancelled (its session closed by another
// thread), not at its deadline; the next operation after resume() reads again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

#include "status_byte_link.h"
#include "transport/transport.h"
#include "usbtmc/usb_link.h"
#include "usbtmc/usbtmc_host.h"

namespace sgtest {
namespace {

using namespace sgproto::usbtmc;
using sgvisa::Deadline;
using std::chrono::milliseconds;

// An interrupt-IN endpoint that brings nothing: its reads end only when
// cancelled (or at their deadline).
class SilentSource final : public sgvisa::usbtmc::InterruptSource {
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

TEST(StatusByteCancel, AWaitForTheNotificationEndsAtOnceWhenCancelled) {
    // The device accepts READ_STATUS_BYTE and then never sends the
    // notification that answers it.
    std::promise<void> asked;
    std::atomic<int> requests{0};
    auto link = std::make_unique<StatusByteLink>(
        [&](std::uint8_t) {
            if (requests++ == 0)
                asked.set_value();
        },
        [] { return std::make_unique<SilentSource>(); });
    std::unique_ptr<sgvisa::Transport> transport;
    ASSERT_EQ(sgvisa::usbtmc::make_usbtmc_transport(std::move(link), transport), VI_SUCCESS);
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
    const int asked_before = requests.load();
    EXPECT_EQ(transport->read_status_byte(sgvisa::deadline_after_ms(100), status), VI_ERROR_TMO);
    EXPECT_EQ(requests.load(), asked_before + 1);
}

}  // namespace
}  // namespace sgtest
