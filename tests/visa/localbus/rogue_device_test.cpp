// The faults a device written apart from the project found, played by
// tests/support/rogue_device.h through the C API. A wait stuck on the device
// fails the test and is ended by stopping the device, instead of hanging.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <ostream>
#include <thread>

#include "proto/localbus_frames.h"
#include "rogue_device.h"
#include "temp_dir.h"
#include "visa.h"

namespace sgtest {
namespace {

namespace lb = sgproto::localbus;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kTimeout = 300ms;
// A wait's due past its timeout: bounded take-backs, a loaded machine.
constexpr auto kSlack = 1500ms;

class Rogue : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1), 0);
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
    }
    void TearDown() override {
        device_->stop();
        viClose(rm_);
    }
    void start(Misdeed misdeed) { device_ = std::make_unique<RogueDevice>("ROGUE", misdeed); }
    ViStatus open(ViAccessMode mode = VI_NULL) {
        const ViStatus st = viOpen(rm_, device_->resource_name().c_str(), mode,
                                   static_cast<ViUInt32>(kTimeout.count()), &vi_);
        if (st >= VI_SUCCESS)
            viSetAttribute(vi_, VI_ATTR_TMO_VALUE, static_cast<ViAttrState>(kTimeout.count()));
        return st;
    }
    void bounded(const std::function<void()>& step, Clock::duration bound) {
        auto done = std::async(std::launch::async, step);
        if (done.wait_for(bound) != std::future_status::ready) {
            ADD_FAILURE() << "still waiting after " << (bound / 1ms) << " ms";
            device_->stop();
        }
        done.get();
    }

    TempDir dir_;
    std::unique_ptr<RogueDevice> device_;
    ViSession rm_ = VI_NULL;
    ViSession vi_ = VI_NULL;
};

enum class Flooded { read, close_during_read, capabilities, interrupt_reader };
struct FloodCase {
    const char* name;
    Flooded what;
};

void PrintTo(const FloodCase& row, std::ostream* os) {
    *os << row.name;
}

class Flood : public Rogue, public ::testing::WithParamInterface<FloodCase> {};

TEST_P(Flood, EveryWaitEndsByItsDeadlineOrAtOnceOnClose) {
    const Flooded what = GetParam().what;
    start(what == Flooded::capabilities ? Misdeed::flood_answers : Misdeed::none);
    bounded(
        [&] {
            ASSERT_EQ(open(), VI_SUCCESS);
            char buf[64];
            ViUInt32 got = 0;
            switch (what) {
                case Flooded::read: {
                    device_->set_misdeed(Misdeed::flood_answers);
                    const auto t0 = Clock::now();
                    EXPECT_EQ(viRead(vi_, reinterpret_cast<ViBuf>(buf), sizeof buf, &got),
                              VI_ERROR_TMO);
                    EXPECT_LT(Clock::now() - t0, kTimeout + kSlack);
                    break;
                }
                case Flooded::close_during_read: {
                    viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 60000);
                    device_->set_misdeed(Misdeed::flood_answers);
                    const std::size_t asked = device_->requests(lb::BULK_IN);
                    auto read = std::async(std::launch::async, [&] {
                        return viRead(vi_, reinterpret_cast<ViBuf>(buf), sizeof buf, &got);
                    });
                    ASSERT_TRUE(device_->wait_requests(lb::BULK_IN, asked + 1, 2s));
                    const auto t0 = Clock::now();
                    EXPECT_EQ(viClose(vi_), VI_SUCCESS);
                    ASSERT_EQ(read.wait_for(kSlack), std::future_status::ready);
                    EXPECT_EQ(read.get(), VI_ERROR_ABORT);
                    EXPECT_LT(Clock::now() - t0, kSlack);
                    vi_ = VI_NULL;
                    break;
                }
                case Flooded::capabilities: {  // junk with their seqs met them
                    ViUInt16 stb = 0xFFFF;
                    EXPECT_EQ(viReadSTB(vi_, &stb), VI_SUCCESS);
                    break;
                }
                case Flooded::interrupt_reader: {
                    device_->set_misdeed(Misdeed::flood_interrupt);
                    ASSERT_EQ(viEnableEvent(vi_, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL),
                              VI_SUCCESS);
                    ASSERT_TRUE(device_->wait_requests(lb::INTERRUPT_IN, 1, 2s));
                    const auto t0 = Clock::now();
                    EXPECT_EQ(viClose(vi_), VI_SUCCESS);
                    EXPECT_LT(Clock::now() - t0, kSlack);
                    vi_ = VI_NULL;
                    break;
                }
            }
        },
        2 * (kTimeout + kSlack) + 2s);
}

INSTANTIATE_TEST_SUITE_P(
    Rogue, Flood,
    ::testing::Values(FloodCase{"ReadEndsByItsTimeout", Flooded::read},
                      FloodCase{"CloseFromAnotherThreadEndsTheRead", Flooded::close_during_read},
                      FloodCase{"CapabilitiesAreNotTakenFromJunk", Flooded::capabilities},
                      FloodCase{"CloseEndsTheFloodedInterruptReader", Flooded::interrupt_reader}),
    [](const auto& row) { return std::string(row.param.name); });

// Service requested without pause, for a handler of 20 ms a call.
enum class Stop { disable, uninstall, storm_ends };
struct StormCase {
    const char* name;
    Stop stop;
};

void PrintTo(const StormCase& row, std::ostream* os) {
    *os << row.name;
}

class RequestStorm : public Rogue, public ::testing::WithParamInterface<StormCase> {
  protected:
    static ViStatus _VI_FUNCH handler(ViSession, ViEventType, ViEvent, ViAddr user) {
        auto* self = static_cast<RequestStorm*>(user);
        {
            std::lock_guard lock(self->mutex_);
            ++self->calls_;
            if (self->stopped_)
                ++self->late_;
            self->called_.notify_all();
        }
        std::this_thread::sleep_for(20ms);  // the handler's own work
        return VI_SUCCESS;
    }
    bool calls_reach(int n, Clock::duration within) {
        std::unique_lock lock(mutex_);
        return called_.wait_for(lock, within, [&] { return calls_ >= n; });
    }

    std::mutex mutex_;
    std::condition_variable called_;
    int calls_ = 0;
    int late_ = 0;  // calls that started after the stop returned
    bool stopped_ = false;
};

TEST_P(RequestStorm, TheBacklogIsBoundedAndNoCallStartsAfterTheStop) {
    constexpr int kBacklog = 5;
    start(Misdeed::request_storm);
    ASSERT_EQ(open(), VI_SUCCESS);
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_MAX_QUEUE_LENGTH, kBacklog), VI_SUCCESS);
    ASSERT_EQ(viInstallHandler(vi_, VI_EVENT_SERVICE_REQ, handler, this), VI_SUCCESS);
    ASSERT_EQ(viEnableEvent(vi_, VI_EVENT_SERVICE_REQ, VI_HNDLR, VI_NULL), VI_SUCCESS);
    ASSERT_TRUE(calls_reach(3, 2s));
    switch (GetParam().stop) {
        case Stop::disable:
            EXPECT_EQ(viDisableEvent(vi_, VI_EVENT_SERVICE_REQ, VI_HNDLR), VI_SUCCESS);
            break;
        case Stop::uninstall:
            EXPECT_EQ(viUninstallHandler(vi_, VI_EVENT_SERVICE_REQ, handler, this), VI_SUCCESS);
            break;
        case Stop::storm_ends:
            device_->set_misdeed(Misdeed::none);
            break;
    }
    int at_stop = 0;
    {
        std::lock_guard lock(mutex_);
        stopped_ = GetParam().stop != Stop::storm_ends;
        at_stop = calls_;
    }
    // What is left (backlog, the call in progress, one in flight) runs in
    // (backlog + 3) x 20 ms; a backlog without bound goes on far longer.
    const int most = GetParam().stop == Stop::storm_ends ? kBacklog + 2 : 0;
    EXPECT_FALSE(calls_reach(at_stop + most + 1, (kBacklog + 3) * 20ms + 200ms))
        << "calls after the stop: " << calls_ - at_stop;
    std::lock_guard lock(mutex_);
    EXPECT_EQ(late_, 0);
}

INSTANTIATE_TEST_SUITE_P(Rogue, RequestStorm,
                         ::testing::Values(StormCase{"DisableEvent", Stop::disable},
                                           StormCase{"UninstallHandler", Stop::uninstall},
                                           StormCase{"StormEnds", Stop::storm_ends}),
                         [](const auto& row) { return std::string(row.param.name); });

// A device that never answers its claim is not a lock another session holds.
TEST_F(Rogue, AnExclusiveOpenOfADeviceThatNeverAnswersItsClaimTimesOut) {
    start(Misdeed::silent_claim);
    bounded([&] { EXPECT_EQ(open(VI_EXCLUSIVE_LOCK), VI_ERROR_TMO); }, kTimeout + kSlack);
}

}  // namespace
}  // namespace sgtest
