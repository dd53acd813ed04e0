// Hosts in turn on one USB488 interface whose interrupt-IN packets reach
// whichever host reads next (as on the local bus, where every waiting
// connection sees each one): the answer to a READ_STATUS_BYTE that one host
// gave up on comes to the next host ahead of the answer to its own request,
// and must not be taken for it. And a device whose interrupt-IN FIFO is
// full answers STATUS_INTERRUPT_IN_BUSY until a host reads a packet out.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "status_byte_link.h"
#include "transport/transport.h"
#include "usbtmc/usb_link.h"
#include "usbtmc/usbtmc_host.h"

namespace sgtest {
namespace {

using sgvisa::Deadline;

// The interface the hosts share: the notifications it has made and no host
// has read yet, oldest first, and the status byte it reports now.
struct SharedInterface {
    std::mutex mutex;
    std::condition_variable made;
    std::deque<std::vector<std::uint8_t>> unread;
    bool held = false;  // the unread packets are not read out yet
    std::uint8_t status_byte = 0;
    std::vector<std::uint8_t> tags;  // of the READ_STATUS_BYTE requests, in order
};

// One host's interrupt-IN reads: the oldest unread notification, or, for a
// host that `hears_nothing`, none (its reads end only when cancelled).
class SharedSource final : public sgvisa::usbtmc::InterruptSource {
  public:
    SharedSource(SharedInterface& i, bool hears_nothing) : i_(i), deaf_(hears_nothing) {}
    ViStatus read(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) override {
        got = 0;
        std::unique_lock lock(i_.mutex);
        if (!i_.made.wait_until(lock, deadline, [&] {
                return cancelled_ || (!deaf_ && !i_.held && !i_.unread.empty());
            }))
            return VI_ERROR_TMO;
        if (cancelled_)
            return VI_ERROR_ABORT;
        got = std::min(buf.size(), i_.unread.front().size());
        std::copy_n(i_.unread.front().begin(), got, buf.begin());
        i_.unread.pop_front();
        return VI_SUCCESS;
    }
    void cancel() override {
        std::lock_guard lock(i_.mutex);
        cancelled_ = true;
        i_.made.notify_all();
    }
    void resume() override {
        std::lock_guard lock(i_.mutex);
        cancelled_ = false;
    }

  private:
    SharedInterface& i_;
    bool deaf_;
    bool cancelled_ = false;
};

// `one_slot`: the interface's FIFO holds one packet (READ_STATUS_BYTE finds
// it full while one is unread), and what is in it when the host first asks
// is read out only after that request.
std::unique_ptr<sgvisa::Transport> host_on(SharedInterface& i, bool hears_nothing,
                                           bool one_slot = false) {
    std::unique_ptr<sgvisa::Transport> t;
    auto link = std::make_unique<StatusByteLink>(
        [&i](std::uint8_t tag) {
            std::lock_guard lock(i.mutex);
            i.tags.push_back(tag);
            i.unread.push_back({static_cast<std::uint8_t>(0x80 | tag), i.status_byte});
            i.made.notify_all();
        },
        [&i, hears_nothing] { return std::make_unique<SharedSource>(i, hears_nothing); });
    if (one_slot) {
        link->fifo_full = [&i] {
            std::lock_guard lock(i.mutex);
            i.held = false;
            i.made.notify_all();
            return !i.unread.empty();
        };
    }
    EXPECT_EQ(sgvisa::usbtmc::make_usbtmc_transport(std::move(link), t), VI_SUCCESS);
    if (t) {
        EXPECT_EQ(t->acquire(sgvisa::deadline_after_ms(5000)), VI_SUCCESS);
    }
    return t;
}

TEST(StaleStatusAnswer, TheAnswerToAnotherHostsRequestIsNotTakenForOurs) {
    SharedInterface device;
    std::uint8_t status = 0xFF;
    {
        // The first host gives up before its answer comes; the status byte
        // that answer carries is the one from before the change below.
        const auto first = host_on(device, true);
        ASSERT_TRUE(first);
        EXPECT_EQ(first->read_status_byte(sgvisa::deadline_after_ms(50), status), VI_ERROR_TMO);
    }
    {
        std::lock_guard lock(device.mutex);
        device.status_byte = 0x60;  // a request for service, with the event summary bit
    }
    // The next host (a connection of this process or of another) gets the
    // left-over answer first.
    const auto next = host_on(device, false);
    ASSERT_TRUE(next);
    status = 0;
    EXPECT_EQ(next->read_status_byte(sgvisa::deadline_after_ms(2000), status), VI_SUCCESS);
    EXPECT_EQ(status, 0x60) << "the answer left over from the first host was taken";
    std::lock_guard lock(device.mutex);
    ASSERT_EQ(device.tags.size(), 2u);
    EXPECT_NE(device.tags[0], device.tags[1]);
}

// Whatever fills the FIFO, a packet read out makes room: the host asks again
// and gets the status byte well within its deadline.
TEST(StaleStatusAnswer, AFullInterruptFifoIsAskedAgainOnceAnyPacketIsReadOut) {
    const struct {
        const char* fifo_holds;
        std::vector<std::uint8_t> packet;
    } rows[] = {
        {"a service request", {0x81, 0x40}},
        {"a vendor's notification", {0x41, 0x07}},
        {"a short packet", {0x81}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fifo_holds);
        SharedInterface device;
        device.status_byte = 0x10;
        device.unread.push_back(row.packet);
        device.held = true;
        const auto host = host_on(device, false, true);
        ASSERT_TRUE(host);
        std::uint8_t status = 0;
        const auto started = sgvisa::Clock::now();
        EXPECT_EQ(host->read_status_byte(sgvisa::deadline_after_ms(2000), status), VI_SUCCESS);
        EXPECT_EQ(status, 0x10);
        EXPECT_LT(sgvisa::Clock::now() - started, std::chrono::milliseconds(1000));
        std::lock_guard lock(device.mutex);
        EXPECT_EQ(device.tags.size(), 1u) << "asked once more, after the BUSY answer";
    }
}

}  // namespace
}  // namespace sgtest
