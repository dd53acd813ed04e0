// The interrupt channel's reader against a source the test steers: never
// two reads of the source at once, whatever threads start and stop it; a
// service request that crosses a stop is kept for the next listener; a
// failing endpoint is not a lost device; a listener may stop listening from
// within.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "usbtmc/interrupt_channel.h"

namespace sgtest {
namespace {

using sgvisa::Deadline;
using sgvisa::usbtmc::InterruptChannel;
using std::chrono::milliseconds;
using Packet = std::vector<std::uint8_t>;

constexpr auto kBound = std::chrono::seconds(5);
// How long something that must not happen is given to happen.
constexpr auto kQuiet = milliseconds(200);

// Reads block until the test queues a packet or a failure, or the read is
// cancelled. A cancelled read may be held at a gate until the test opens
// it, and may bring a queued "crossing" packet instead of VI_ERROR_ABORT.
class SteeredSource final : public sgvisa::usbtmc::InterruptSource {
  public:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<Packet> packets;
        std::deque<ViStatus> failures;
        std::deque<Packet> crossing;  // given to a cancelled read
        bool cancelled = false;
        bool gate_closed = false;
        int held = 0;  // cancelled reads waiting at the gate
        int reading = 0;
        int most_reading = 0;
        int reads_started = 0;
        int reads_ended = 0;

        template <typename Pred>
        bool wait(Pred pred, std::chrono::milliseconds bound = kBound) {
            std::unique_lock lock(mutex);
            return changed.wait_for(lock, bound, pred);
        }
    };

    explicit SteeredSource(State& s) : s_(s) {}

    ViStatus read(std::span<std::uint8_t> buf, std::size_t& got, Deadline) override {
        got = 0;
        std::unique_lock lock(s_.mutex);
        ++s_.reads_started;
        s_.most_reading = std::max(s_.most_reading, ++s_.reading);
        s_.changed.notify_all();
        s_.changed.wait(
            lock, [&] { return s_.cancelled || !s_.packets.empty() || !s_.failures.empty(); });
        ViStatus st = VI_ERROR_ABORT;
        if (s_.cancelled) {
            ++s_.held;
            s_.changed.notify_all();
            s_.changed.wait(lock, [&] { return !s_.gate_closed; });
            --s_.held;
            if (!s_.crossing.empty()) {
                got = take(s_.crossing, buf);
                st = VI_SUCCESS;
            }
        } else if (!s_.failures.empty()) {
            st = s_.failures.front();
            s_.failures.pop_front();
        } else {
            got = take(s_.packets, buf);
            st = VI_SUCCESS;
        }
        --s_.reading;
        ++s_.reads_ended;
        s_.changed.notify_all();
        return st;
    }
    void cancel() override {
        std::lock_guard lock(s_.mutex);
        s_.cancelled = true;
        s_.changed.notify_all();
    }
    void resume() override {
        std::lock_guard lock(s_.mutex);
        s_.cancelled = false;
    }

  private:
    static std::size_t take(std::deque<Packet>& from, std::span<std::uint8_t> buf) {
        const Packet p = from.front();
        from.pop_front();
        const std::size_t n = std::min(p.size(), buf.size());
        std::copy_n(p.begin(), n, buf.begin());
        return n;
    }
    State& s_;
};

// Status bytes a listener was called with.
struct Heard {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::uint8_t> bytes;

    std::function<void(std::uint8_t)> listener() {
        return [this](std::uint8_t b) {
            std::lock_guard lock(mutex);
            bytes.push_back(b);
            changed.notify_all();
        };
    }
    bool wait_for(std::size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kBound, [&] { return bytes.size() >= n; });
    }
};

class InterruptChannelTest : public ::testing::Test {
  protected:
    void queue(Packet p) {
        std::lock_guard lock(s_.mutex);
        s_.packets.push_back(std::move(p));
        s_.changed.notify_all();
    }
    void fail_next(ViStatus st) {
        std::lock_guard lock(s_.mutex);
        s_.failures.push_back(st);
        s_.changed.notify_all();
    }
    void open_gate() {
        std::lock_guard lock(s_.mutex);
        s_.gate_closed = false;
        s_.changed.notify_all();
    }

    SteeredSource::State s_;
    InterruptChannel channel_{std::make_unique<SteeredSource>(s_)};
};

// A stop whose read has not ended yet, then a new need: the reader that is
// being stopped reads again, no second one starts beside it.
TEST_F(InterruptChannelTest, NeverTwoReadersWhateverTheThreadsDo) {
    Heard heard;
    s_.gate_closed = true;
    channel_.set_listener(heard.listener());
    ASSERT_TRUE(s_.wait([&] { return s_.reading == 1; }));
    std::thread stopper([&] { channel_.set_listener(nullptr); });
    ASSERT_TRUE(s_.wait([&] { return s_.held == 1; })) << "the read was never cancelled";
    channel_.expect(2);
    std::thread awaiter([&] {
        std::uint8_t status = 0;
        EXPECT_EQ(channel_.await(2, Deadline::max(), status), VI_SUCCESS);
        EXPECT_EQ(status, 0x10);
    });
    // A second reader, if one were started, would be reading by now.
    EXPECT_FALSE(s_.wait([&] { return s_.most_reading > 1; }, kQuiet));
    open_gate();
    stopper.join();
    ASSERT_TRUE(s_.wait([&] { return s_.reads_started == 2 && s_.reading == 1; }));
    queue({0x82, 0x10});
    awaiter.join();
    EXPECT_EQ(s_.most_reading, 1);
}

// A service request that the stopped read brings anyway is handled when
// reading resumes, by the listener then in force; the one stopped before
// never hears it.
TEST_F(InterruptChannelTest, AServiceRequestThatCrossesTheStopIsKept) {
    Heard first;
    Heard second;
    channel_.set_listener(first.listener());
    ASSERT_TRUE(s_.wait([&] { return s_.reading == 1; }));
    {
        std::lock_guard lock(s_.mutex);
        s_.crossing.push_back({0x81, 0x60});
    }
    channel_.set_listener(nullptr);
    ASSERT_TRUE(s_.wait([&] { return s_.reads_ended == 1; }));
    channel_.set_listener(second.listener());
    ASSERT_TRUE(second.wait_for(1));
    EXPECT_EQ(second.bytes, std::vector<std::uint8_t>{0x60});
    EXPECT_TRUE(first.bytes.empty());
}

// An endpoint that fails is that call's error; the next need reads again.
// Only a device that is gone is lost for good.
TEST_F(InterruptChannelTest, AFailingEndpointIsNotALostDevice) {
    std::uint8_t status = 0;
    fail_next(VI_ERROR_IO);
    channel_.expect(2);
    EXPECT_EQ(channel_.await(2, Deadline::max(), status), VI_ERROR_IO);
    channel_.expect(3);
    queue({0x83, 0x42});
    EXPECT_EQ(channel_.await(3, Deadline::max(), status), VI_SUCCESS);
    EXPECT_EQ(status, 0x42);
    fail_next(VI_ERROR_CONN_LOST);
    channel_.expect(4);
    EXPECT_EQ(channel_.await(4, Deadline::max(), status), VI_ERROR_CONN_LOST);
    channel_.expect(5);
    EXPECT_EQ(channel_.await(5, sgvisa::Clock::now() + kBound, status), VI_ERROR_CONN_LOST);
    EXPECT_EQ(s_.reads_started, 3) << "nothing is read once the device is gone";
}

// A listener may stop listening from within (the channel's own thread), and
// the channel still closes.
TEST_F(InterruptChannelTest, ListenerMayStopListeningFromWithin) {
    Heard heard;
    auto record = heard.listener();
    channel_.set_listener([&](std::uint8_t b) {
        channel_.set_listener(nullptr);
        record(b);
    });
    queue({0x81, 0x40});
    ASSERT_TRUE(heard.wait_for(1));
    queue({0x81, 0x41});
    EXPECT_FALSE(s_.wait([&] { return s_.reads_ended == 2; }, kQuiet)) << "read after the stop";
    EXPECT_EQ(heard.bytes, std::vector<std::uint8_t>{0x40});
}

}  // namespace
}  // namespace sgtest
