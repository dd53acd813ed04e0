// The connection's service request listeners, one per session, on a
// transport whose "interrupt thread" the test plays: a listener taken away
// is not called once unsubscribe has returned, a call in progress is waited
// for, and nothing is waited for under a lock the calls need. Where the transport hears requests
// only while it holds the instrument, subscribing takes a free instrument and never waits for a
// busy one.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "lock/lock_file.h"
#include "session/device_connection.h"
#include "temp_dir.h"

namespace sgtest {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// How long something that must not happen is given to happen.
constexpr auto kQuiet = milliseconds(200);

// A transport that only listens: fire() calls the listener as the
// transport's interrupt thread would.
class ListeningTransport final : public sgvisa::Transport {
  public:
    ViStatus acquire(sgvisa::Deadline) override {
        ++acquires;
        return VI_SUCCESS;
    }
    void relinquish() override {}
    ViStatus send(std::span<const std::uint8_t>, bool, sgvisa::Deadline) override {
        return VI_ERROR_NSUP_OPER;
    }
    ViStatus receive(std::span<std::uint8_t>, const sgvisa::ReadStop&, sgvisa::Deadline,
                     sgvisa::ReadResult&) override {
        return VI_ERROR_NSUP_OPER;
    }
    ViStatus clear_device(sgvisa::Deadline) override { return VI_ERROR_NSUP_OPER; }
    ViStatus read_status_byte(sgvisa::Deadline, std::uint8_t&) override {
        return VI_ERROR_NSUP_OPER;
    }
    ViStatus listen_for_service_requests(std::function<void(std::uint8_t)> listener) override {
        std::lock_guard lock(mutex_);
        listener_ = std::move(listener);
        return VI_SUCCESS;
    }
    void cancel() override {}
    void resume() override {}
    bool lost() const override { return false; }
    const sgvisa::InterfaceFacts& facts() const override { return facts_; }
    bool hears_service_requests_only_when_acquired() const override { return only_when_acquired; }

    void fire(std::uint8_t status_byte) {
        std::function<void(std::uint8_t)> listener;
        {
            std::lock_guard lock(mutex_);
            listener = listener_;
        }
        if (listener)
            listener(status_byte);
    }
    bool listening() {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(listener_);
    }

    bool only_when_acquired = false;
    std::atomic<int> acquires{0};

  private:
    std::mutex mutex_;
    std::function<void(std::uint8_t)> listener_;
    sgvisa::InterfaceFacts facts_;
};

// Records the calls of one listener; with `hold`, each call waits until
// released.
struct Listener {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::uint8_t> heard;
    bool hold = false;
    bool inside = false;

    std::function<void(std::uint8_t)> function() {
        return [this](std::uint8_t b) {
            std::unique_lock lock(mutex);
            heard.push_back(b);
            inside = true;
            changed.notify_all();
            changed.wait(lock, [&] { return !hold; });
            inside = false;
        };
    }
    bool wait_inside() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, seconds(5), [&] { return inside; });
    }
    void release() {
        std::lock_guard lock(mutex);
        hold = false;
        changed.notify_all();
    }
    std::vector<std::uint8_t> calls() {
        std::lock_guard lock(mutex);
        return heard;
    }
};

class ServiceRequestListeners : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1), 0);
        std::unique_ptr<sgvisa::lock::LockFile> file;
        ASSERT_EQ(sgvisa::lock::LockFile::open({0x4d19, 0x0040, "LISTEN"}, file), VI_SUCCESS);
        auto transport = std::make_unique<ListeningTransport>();
        transport_ = transport.get();
        connection_ = std::make_unique<sgvisa::session::DeviceConnection>(std::move(transport),
                                                                          std::move(file));
    }

    TempDir dir_;
    ListeningTransport* transport_ = nullptr;
    std::unique_ptr<sgvisa::session::DeviceConnection> connection_;
    // Two sessions, as the connection knows them: by address.
    const int owner_a_ = 1;
    const int owner_b_ = 2;
};

TEST_F(ServiceRequestListeners, UnsubscribeWaitsForACallInProgressAndNoneComesAfter) {
    Listener a;
    Listener b;
    a.hold = true;
    ASSERT_EQ(connection_->subscribe_service_requests(&owner_a_, a.function()), VI_SUCCESS);
    ASSERT_EQ(connection_->subscribe_service_requests(&owner_b_, b.function()), VI_SUCCESS);
    auto reader = std::async(std::launch::async, [&] { transport_->fire(0x40); });
    ASSERT_TRUE(a.wait_inside());
    auto unsubscribe = std::async(std::launch::async,
                                  [&] { connection_->unsubscribe_service_requests(&owner_a_); });
    EXPECT_EQ(unsubscribe.wait_for(kQuiet), std::future_status::timeout)
        << "returned while its listener was still running";
    a.release();
    ASSERT_EQ(unsubscribe.wait_for(seconds(5)), std::future_status::ready);
    ASSERT_EQ(reader.wait_for(seconds(5)), std::future_status::ready);

    transport_->fire(0x41);
    EXPECT_EQ(a.calls(), std::vector<std::uint8_t>{0x40});
    EXPECT_EQ(b.calls(), (std::vector<std::uint8_t>{0x40, 0x41}));
    EXPECT_TRUE(transport_->listening());
    connection_->unsubscribe_service_requests(&owner_b_);
    EXPECT_FALSE(transport_->listening()) << "listened for nobody";
}

// Over a link whose interrupt endpoint only the claiming process may read,
// subscribing takes the instrument when it is free (and keeps it, nobody
// waiting), so that requests are heard at once; when another process has
// it, subscribing neither waits nor fails: requests come from the next
// operation on.
TEST_F(ServiceRequestListeners, WhereOnlyTheHolderHearsThemSubscribingTakesAFreeInstrument) {
    transport_->only_when_acquired = true;
    std::unique_ptr<sgvisa::lock::LockFile> other;
    ASSERT_EQ(sgvisa::lock::LockFile::open({0x4d19, 0x0040, "LISTEN"}, other), VI_SUCCESS);
    ASSERT_TRUE(other->try_lock(sgvisa::lock::LockFile::access, F_WRLCK));
    Listener a;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connection_->subscribe_service_requests(&owner_a_, a.function()), VI_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(500));
    EXPECT_EQ(transport_->acquires, 0);
    connection_->unsubscribe_service_requests(&owner_a_);

    other->unlock(sgvisa::lock::LockFile::access);
    EXPECT_EQ(connection_->subscribe_service_requests(&owner_a_, a.function()), VI_SUCCESS);
    EXPECT_EQ(transport_->acquires, 1);
    EXPECT_EQ(other->held_by_others(sgvisa::lock::LockFile::access), F_WRLCK) << "not kept";
}

}  // namespace
}  // namespace sgtest
