// What the host does when a transfer times out: the USBTMC abort sequences,
// bounded, after which the next command works.
#include "proto/usbtmc.h"
#include "transport_read.h"
#include "usbtmc/usbtmc_recovery.h"
#include "usbtmc_fixture.h"

namespace sgtest {
namespace {

using Events = std::vector<std::string>;

// The events from the first one starting with `prefix` on.
Events from(const Events& all, const std::string& prefix) {
    for (std::size_t i = 0; i < all.size(); ++i)
        if (all[i].compare(0, prefix.size(), prefix) == 0)
            return Events(all.begin() + i, all.end());
    return {};
}

ViStatus read_once(sgvisa::Transport& t, std::size_t& count, bool& end) {
    std::vector<std::uint8_t> buf(64);
    return sgtest::read_from(t, buf, sgvisa::deadline_after_ms(10000), count, end);
}

TEST_F(UsbtmcHostTest, SilentDeviceGetsTheExactAbortBulkInSequence) {
    device->never_answer = true;
    device->abort_pending_checks = 2;
    open();
    ASSERT_EQ(write("SLOW?\n"), VI_SUCCESS);  // bTag 1
    std::size_t count = 99;
    bool end = true;
    EXPECT_EQ(read_once(*transport, count, end), VI_ERROR_TMO);  // request bTag 2
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(end);

    const Events expected{
        "out REQ tag=2 size=64",
        "in timeout",
        "ctrl INITIATE_ABORT_BULK_IN value=2 index=0x81",
        "ctrl CHECK_ABORT_BULK_IN_STATUS value=0 index=0x81",  // PENDING
        "ctrl CHECK_ABORT_BULK_IN_STATUS value=0 index=0x81",  // PENDING
        "ctrl CHECK_ABORT_BULK_IN_STATUS value=0 index=0x81",  // SUCCESS
        "in timeout",                                          // final drain: nothing left
    };
    EXPECT_EQ(from(device->events, "out REQ"), expected);

    device->never_answer = false;
    expect_next_query_works();
    EXPECT_EQ(device->relative_tag(device->out_frames.back()[1]), 4)
        << "bTags go on after the abort";
}

TEST_F(UsbtmcHostTest, AbortReadsWhatTheFifoStillHolds) {
    device->never_answer = true;
    device->fifo_bytes_on_abort = 300;  // stale bytes the host must read out
    open();
    ASSERT_EQ(write("SLOW?\n"), VI_SUCCESS);
    std::size_t count = 0;
    bool end = false;
    EXPECT_EQ(read_once(*transport, count, end), VI_ERROR_TMO);
    const Events tail = from(device->events, "ctrl INITIATE_ABORT_BULK_IN");
    ASSERT_GE(tail.size(), 4u);
    EXPECT_EQ(tail[1], "ctrl CHECK_ABORT_BULK_IN_STATUS value=0 index=0x81");  // PENDING, D0=1
    EXPECT_EQ(tail[2], "in 300");                                              // read until short
    EXPECT_EQ(tail[3], "ctrl CHECK_ABORT_BULK_IN_STATUS value=0 index=0x81");  // SUCCESS
    EXPECT_TRUE(device->fifo.empty());

    device->never_answer = false;
    expect_next_query_works();
}

TEST_F(UsbtmcHostTest, RefusedAbortIsDrainedAndTheSessionGoesOn) {
    open();
    for (const std::uint8_t refusal :
         {sgproto::usbtmc::STATUS_TRANSFER_NOT_IN_PROGRESS, sgproto::usbtmc::STATUS_FAILED}) {
        SCOPED_TRACE(static_cast<int>(refusal));
        device->events.clear();
        device->initiate_abort_in_status = refusal;
        device->fifo_bytes_on_abort = 100;           // bytes the device sends late all the same
        ASSERT_EQ(write("NOANSWER\n"), VI_SUCCESS);  // a read with nothing to answer
        std::size_t count = 0;
        bool end = false;
        EXPECT_EQ(read_once(*transport, count, end), VI_ERROR_TMO);
        EXPECT_EQ(device->count_events("ctrl CHECK_ABORT_BULK_IN_STATUS"), 0)
            << "no status checks after a refused abort";
        EXPECT_TRUE(device->fifo.empty()) << "the late bytes were read out";

        device->initiate_abort_in_status.reset();
        device->fifo_bytes_on_abort = 0;
        expect_next_query_works();
    }
}

TEST_F(UsbtmcHostTest, AbortThatStaysPendingIsBounded) {
    device->never_answer = true;
    device->abort_pending_forever = true;
    open();
    ASSERT_EQ(write("SLOW?\n"), VI_SUCCESS);
    std::size_t count = 0;
    bool end = false;
    const auto started = sgvisa::Clock::now();
    EXPECT_EQ(read_once(*transport, count, end), VI_ERROR_TMO);
    EXPECT_LT(sgvisa::Clock::now() - started, std::chrono::seconds(5));
    const int checks = device->count_events("ctrl CHECK_ABORT_BULK_IN_STATUS");
    EXPECT_GE(checks, 1);
    EXPECT_LE(checks, sgvisa::usbtmc::kMaxStatusChecks);
}

TEST_F(UsbtmcHostTest, DeviceIgnoringClassRequestsStillEndsInTimeout) {
    device->never_answer = true;
    open();
    device->control_silent = true;
    ASSERT_EQ(write("SLOW?\n"), VI_SUCCESS);
    std::size_t count = 0;
    bool end = false;
    EXPECT_EQ(read_once(*transport, count, end), VI_ERROR_TMO);
    EXPECT_EQ(device->count_events("ctrl INITIATE_ABORT_BULK_IN"), 1);
    EXPECT_EQ(device->count_events("ctrl CHECK_ABORT_BULK_IN_STATUS"), 0);
    EXPECT_EQ(device->events.back(), "in timeout") << "drained all the same";
}

TEST_F(UsbtmcHostTest, WriteTimeoutAbortsBulkOutAndClearsTheHalt) {
    device->bulk_out_endpoint = 0x05;  // addresses come from the link, never assumed
    device->bulk_in_endpoint = 0x86;
    device->abort_pending_checks = 1;
    open();
    device->bulk_out_timeouts = 1;
    EXPECT_EQ(write("*RST\n"), VI_ERROR_TMO);
    const Events expected{
        "out timeout",
        "ctrl INITIATE_ABORT_BULK_OUT value=1 index=0x05",
        "ctrl CHECK_ABORT_BULK_OUT_STATUS value=0 index=0x05",  // PENDING
        "ctrl CHECK_ABORT_BULK_OUT_STATUS value=0 index=0x05",  // SUCCESS
        "halt 0x05",
    };
    EXPECT_EQ(device->events, expected);
    expect_next_query_works();
}

TEST_F(UsbtmcHostTest, RequestTimeoutAbortsBulkOutWithTheRequestsTag) {
    open();
    ASSERT_EQ(write("Q?\n"), VI_SUCCESS);  // bTag 1
    device->bulk_out_timeouts = 1;
    std::size_t count = 0;
    bool end = false;
    EXPECT_EQ(read_once(*transport, count, end), VI_ERROR_TMO);
    EXPECT_EQ(from(device->events, "out timeout"),
              (Events{"out timeout", "ctrl INITIATE_ABORT_BULK_OUT value=2 index=0x02",
                      "ctrl CHECK_ABORT_BULK_OUT_STATUS value=0 index=0x02", "halt 0x02"}));
    // The answer to Q? is still with the device and comes with the next read.
    std::string answer;
    ASSERT_EQ(read_all(answer), VI_SUCCESS);
    EXPECT_EQ(answer, "Q?=ANSWER\n");
}

TEST_F(UsbtmcHostTest, ClearRunsInitiateCheckAndClearsTheBulkOutHalt) {
    device->interface_number = 2;
    device->clear_pending_checks = 1;
    open();
    ASSERT_EQ(write("Q?\n"), VI_SUCCESS);
    device->fifo.push_back(std::vector<std::uint8_t>(10, 0x11));  // stale bytes to read out
    ASSERT_EQ(transport->clear(later()), VI_SUCCESS);
    const Events expected{
        "ctrl INITIATE_CLEAR value=0 index=0x02",
        "ctrl CHECK_CLEAR_STATUS value=0 index=0x02",  // PENDING, bmClear.D0 = 1
        "in 10",
        "ctrl CHECK_CLEAR_STATUS value=0 index=0x02",  // PENDING
        "ctrl CHECK_CLEAR_STATUS value=0 index=0x02",  // SUCCESS
        "halt 0x02",
    };
    EXPECT_EQ(from(device->events, "ctrl INITIATE_CLEAR"), expected);
    EXPECT_TRUE(device->pending_reply.empty()) << "the device dropped the unread answer";
    expect_next_query_works();
}

// A device that does not come out of a clear: the host gives up within the
// call's bound and the session stays usable.
TEST_F(UsbtmcHostTest, ClearThatNeverCompletesGivesUpAndTheSessionGoesOn) {
    device->clear_pending_checks = 1000000;
    open();
    const auto started = sgvisa::Clock::now();
    EXPECT_EQ(transport->clear(later()), VI_ERROR_TMO);
    EXPECT_LT(sgvisa::Clock::now() - started, std::chrono::seconds(3));
    EXPECT_EQ(device->count_events("ctrl CHECK_CLEAR_STATUS"), sgvisa::usbtmc::kMaxStatusChecks);
    EXPECT_EQ(device->events.back(), "halt 0x02") << "bulk-OUT's halt cleared all the same";

    // Bounded by the caller's deadline too.
    device->events.clear();
    EXPECT_EQ(transport->clear(sgvisa::deadline_after_ms(50)), VI_ERROR_TMO);
    EXPECT_LT(device->count_events("ctrl CHECK_CLEAR_STATUS"), 10);
    expect_next_query_works();
}

TEST_F(UsbtmcHostTest, ClearRefusedByTheDeviceIsAnIoError) {
    device->initiate_clear_status = sgproto::usbtmc::STATUS_FAILED;
    open();
    EXPECT_EQ(transport->clear(later()), VI_ERROR_IO);
    EXPECT_EQ(device->count_events("ctrl CHECK_CLEAR_STATUS"), 0);
}

}  // namespace
}  // namespace sgtest
