// Where a reply ends when the device's EOM bits do not say it as the class
// rules do: replies split into short transfers, EOM on none, empty answers,
// continuation transfers that repeat an earlier bTag. (EOM on every
// transfer is tested against sgsim --quirk eom-always.)
#include "transport_read.h"
#include "usbtmc_fixture.h"

namespace sgtest {
namespace {

using Events = std::vector<std::string>;

class MessageEnd : public UsbtmcHostTest {
  protected:
    // One read into `size` bytes; its bytes, and whether END came.
    ViStatus read_once(std::size_t size, std::string& out, bool& end, sgvisa::ReadStop stop = {}) {
        std::vector<std::uint8_t> buf(size);
        sgvisa::ReadResult r;
        const ViStatus st = transport->read(buf, stop, later(), r);
        out.assign(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(r.count));
        end = r.end;
        return st;
    }
};

TEST_F(MessageEnd, SplitReplyIsNeverEndedEarlyAtALinefeedInsideIt) {
    // The device cuts after a linefeed inside the message before it has ever
    // set EOM: the next request finds the rest, so the read goes on.
    device->respond = [](const std::string&) { return std::string("AB\nCD\n"); };
    device->max_data_per_transfer = 3;
    open();
    std::string answer;
    ASSERT_EQ(query("TWO?\n", answer), VI_SUCCESS);
    EXPECT_EQ(answer, "AB\nCD\n");
    // Now known to set EOM: a split reply is read on without asking first.
    device->events.clear();
    ASSERT_EQ(query("TWO?\n", answer), VI_SUCCESS);
    EXPECT_EQ(answer, "AB\nCD\n");
    EXPECT_EQ(device->count_events("out REQ"), 2);
    EXPECT_EQ(device->count_events("ctrl"), 0) << "nothing aborted";
}

TEST_F(MessageEnd, DeviceThatNeverSetsEomEndsItsRepliesAtTheLinefeed) {
    device->eom_never = true;
    open();
    // The first reply: the request after it finds nothing (aborted), so the
    // reply ended at its linefeed.
    std::string answer;
    bool end = false;
    ASSERT_EQ(write("*IDN?\n"), VI_SUCCESS);
    ASSERT_EQ(read_once(256, answer, end), VI_SUCCESS);
    EXPECT_EQ(answer, "*IDN?=ANSWER\n");
    EXPECT_TRUE(end);
    EXPECT_EQ(device->count_events("out REQ"), 2);
    EXPECT_EQ(device->count_events("ctrl INITIATE_ABORT_BULK_IN"), 1);

    // From then on each reply ends at once, and a reply longer than the
    // buffer still goes on.
    device->events.clear();
    ASSERT_EQ(write("NEXT?\n"), VI_SUCCESS);
    ASSERT_EQ(read_once(256, answer, end), VI_SUCCESS);
    EXPECT_EQ(answer, "NEXT?=ANSWER\n");
    EXPECT_TRUE(end);
    ASSERT_EQ(write("LONGER?\n"), VI_SUCCESS);
    ASSERT_EQ(read_once(8, answer, end), VI_SUCCESS);
    EXPECT_EQ(answer, "LONGER?=");
    EXPECT_FALSE(end);
    ASSERT_EQ(read_once(256, answer, end), VI_SUCCESS);
    EXPECT_EQ(answer, "ANSWER\n");
    EXPECT_TRUE(end);
    EXPECT_EQ(device->count_events("out REQ"), 3);
    EXPECT_EQ(device->count_events("ctrl"), 0);
}

TEST_F(MessageEnd, ReadThatStopsAtALinefeedNeedsNoAskingAndTheSwitchNoneEither) {
    device->eom_never = true;
    open();
    sgvisa::ReadStop stop;
    stop.term_char_enabled = true;  // the caller ends its read at the linefeed itself
    std::string answer;
    bool end = true;
    ASSERT_EQ(write("A?\n"), VI_SUCCESS);
    ASSERT_EQ(read_once(256, answer, end, stop), VI_SUCCESS);
    EXPECT_EQ(answer, "A?=ANSWER\n");
    EXPECT_FALSE(end);
    EXPECT_EQ(device->count_events("out REQ"), 1);

    // With the device with the quirk of one that never sets EOM.
    device = std::make_shared<FakeUsbtmcDevice>();
    device->respond = echo_queries;
    device->eom_never = true;
    sgvisa::usbtmc::HostQuirks quirks;
    quirks.eom_never = true;
    ASSERT_EQ(sgvisa::usbtmc::make_usbtmc_transport(make_fake_link(device), transport, quirks),
              VI_SUCCESS);
    ASSERT_EQ(transport->acquire(later()), VI_SUCCESS);
    ASSERT_EQ(write("B?\n"), VI_SUCCESS);
    ASSERT_EQ(read_once(256, answer, end), VI_SUCCESS);
    EXPECT_EQ(answer, "B?=ANSWER\n");
    EXPECT_TRUE(end);
    EXPECT_EQ(device->count_events("out REQ"), 1);
}

// A device that answers a request finding no response with an empty
// transfer: asked again, paced, until the response comes or the deadline.
TEST_F(MessageEnd, EmptyAnswersMeanNotYetAndAreAskedAgainPaced) {
    device->empty_when_idle = true;
    open();
    device->not_ready = 5;  // the response is ready at the sixth request
    const auto started = sgvisa::Clock::now();
    std::string answer;
    bool end = false;
    ASSERT_EQ(write("SLOW?\n"), VI_SUCCESS);
    ASSERT_EQ(read_once(256, answer, end), VI_SUCCESS);
    EXPECT_EQ(answer, "SLOW?=ANSWER\n");
    EXPECT_TRUE(end);
    EXPECT_EQ(device->count_events("out REQ"), 6);
    EXPECT_GE(sgvisa::Clock::now() - started, std::chrono::milliseconds(1 + 2 + 4 + 8 + 16))
        << "paced, not hammered";

    // No response at all: the read ends at its deadline, nothing to abort.
    device->events.clear();
    std::vector<std::uint8_t> buf(64);
    sgvisa::ReadResult r;
    const auto before = sgvisa::Clock::now();
    EXPECT_EQ(transport->read(buf, {}, sgvisa::deadline_after_ms(200), r), VI_ERROR_TMO);
    EXPECT_GE(sgvisa::Clock::now() - before, std::chrono::milliseconds(190));
    EXPECT_LT(device->count_events("out REQ"), 30);
    EXPECT_EQ(device->count_events("ctrl"), 0);
    expect_next_query_works();

    // Nor does it hide the end of a reply from a device that never sets EOM.
    device = std::make_shared<FakeUsbtmcDevice>();
    device->respond = echo_queries;
    device->empty_when_idle = true;
    device->eom_never = true;
    open();
    ASSERT_EQ(write("LAST?\n"), VI_SUCCESS);
    ASSERT_EQ(read_once(256, answer, end), VI_SUCCESS);
    EXPECT_EQ(answer, "LAST?=ANSWER\n");
    EXPECT_TRUE(end);
    EXPECT_EQ(device->count_events("out REQ"), 2);
}

// The continuation rule, accepted: a device that tags every transfer of a
// split reply with the bTag of the request the reply began with.
TEST_F(MessageEnd, ContinuationRepeatingTheFirstRequestsBtagIsTheReplysRest) {
    device->max_data_per_transfer = 4;
    device->repeat_tag = true;
    open();
    std::string answer;
    int reads = 0;
    ASSERT_EQ(write("REPEAT?\n"), VI_SUCCESS);
    ASSERT_EQ(read_all(answer, 256, &reads), VI_SUCCESS);
    EXPECT_EQ(answer, "REPEAT?=ANSWER\n");
    EXPECT_EQ(reads, 4);
    expect_next_query_works();
}

// The continuation rule, refused: a transfer with an earlier bTag after the
// reply it would continue ended (EOM) or was abandoned (a new message).
TEST_F(MessageEnd, EarlierBtagAfterTheReplyEndedOrWasAbandonedIsStale) {
    open();
    std::string answer;
    ASSERT_EQ(query("FIRST?\n", answer), VI_SUCCESS);
    device->queue_transfer(device->last_request_tag, "DUPLICATE\n", true);
    ASSERT_EQ(query("SECOND?\n", answer), VI_SUCCESS);
    EXPECT_EQ(answer, "SECOND?=ANSWER\n");

    device->max_data_per_transfer = 4;
    device->repeat_tag = true;
    bool end = true;
    ASSERT_EQ(write("THIRD?\n"), VI_SUCCESS);
    ASSERT_EQ(read_once(256, answer, end), VI_SUCCESS);
    EXPECT_EQ(answer, "THIR");
    EXPECT_FALSE(end);
    // The program sends its next message instead of reading on; the device
    // drops the unread rest, but a transfer of it was already on its way.
    const std::uint8_t first = device->last_request_tag;
    device->pending_reply.clear();
    device->reply_tag = 0;
    device->queue_transfer(first, "D?=A", false);
    device->max_data_per_transfer = 0;
    ASSERT_EQ(query("FOURTH?\n", answer), VI_SUCCESS);
    EXPECT_EQ(answer, "FOURTH?=ANSWER\n");
}

}  // namespace
}  // namespace sgtest
