// A query with the request for its reply posted right behind its message
// (Transport::write_query on a link that keeps transfers in flight): the
// read that follows takes that request; anything else takes it back, and a
// request the device had received is aborted so that the next reply is the
// right one.
#include "transport_read.h"
#include "usbtmc_fixture.h"

namespace sgtest {
namespace {

using Events = std::vector<std::string>;

class PostedRequest : public UsbtmcHostTest {
  protected:
    PostedRequest() { device->posting = true; }

    ViStatus write_query(const std::string& text, std::size_t reply_size,
                         sgvisa::ReadStop stop = {}) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        return transport->write_query({bytes, text.size()}, reply_size, stop, later());
    }

    ViStatus read_into(std::size_t size, std::string& out) {
        std::vector<std::uint8_t> buf(size);
        std::size_t count = 0;
        bool end = false;
        const ViStatus st = read_from(*transport, buf, later(), count, end);
        out.assign(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(count));
        return st;
    }
};

TEST_F(PostedRequest, ReadOfTheSameSizeTakesTheRequestPostedWithTheQuery) {
    open();
    ASSERT_EQ(write_query("A?\n", 256), VI_SUCCESS);
    std::string answer;
    ASSERT_EQ(read_into(256, answer), VI_SUCCESS);
    EXPECT_EQ(answer, "A?=ANSWER\n");
    const Events expected{"out MSG tag=1 size=3 eom=1", "out REQ tag=2 size=256", "posted",
                          "collected", "in 24"};
    EXPECT_EQ(device->events, expected);

    // A message longer than one transfer posts behind its last transfer.
    device->events.clear();
    const std::string query = std::string(5000, 'x') + "?\n";
    ASSERT_EQ(write_query(query, 64), VI_SUCCESS);
    ASSERT_EQ(read_into(64, answer), VI_SUCCESS);
    EXPECT_EQ(answer.size(), 64u);
    const Events longer{"out MSG tag=3 size=4096 eom=0", "out MSG tag=4 size=906 eom=1",
                        "out REQ tag=5 size=64", "posted", "collected"};
    EXPECT_EQ(Events(device->events.begin(), device->events.begin() + 5), longer);
}

TEST_F(PostedRequest, AnythingButThatReadTakesTheRequestBackAndAbortsIt) {
    device->capabilities[5] = 0x01;  // TermChar: a request can ask to stop at one
    open();
    // Another message comes first: the posted request is dropped and, as the
    // device had it, its reply aborted before the message goes out.
    ASSERT_EQ(write_query("A?\n", 256), VI_SUCCESS);
    ASSERT_EQ(write("B\n"), VI_SUCCESS);
    EXPECT_EQ(device->count_events("dropped"), 1);
    EXPECT_EQ(device->count_events("ctrl INITIATE_ABORT_BULK_IN value=2"), 1);
    EXPECT_LT(
        std::find(device->events.begin(), device->events.end(),
                  "ctrl INITIATE_ABORT_BULK_IN value=2 index=0x81"),
        std::find(device->events.begin(), device->events.end(), "out MSG tag=3 size=2 eom=1"));
    expect_next_query_works();

    // A read that asks for something else: its own request after the abort.
    device->events.clear();
    ASSERT_EQ(write_query("C?\n", 256), VI_SUCCESS);
    std::string answer;
    ASSERT_EQ(read_into(4, answer), VI_ERROR_TMO) << "the reply was aborted: nothing comes";
    EXPECT_EQ(device->count_events("dropped"), 1);
    EXPECT_EQ(device->count_events("out REQ tag=7 size=256"), 1);
    EXPECT_EQ(device->count_events("ctrl INITIATE_ABORT_BULK_IN value=7"), 1);
    EXPECT_EQ(device->count_events("out REQ tag=8 size=4"), 1);
    expect_next_query_works();

    // A term char the posted request did not ask for makes it another request too.
    device->events.clear();
    ASSERT_EQ(write_query("D?\n", 256), VI_SUCCESS);
    sgvisa::ReadStop stop;
    stop.term_char_enabled = true;
    std::vector<std::uint8_t> buf(256);
    sgvisa::ReadResult r;
    EXPECT_EQ(transport->read(buf, stop, later(), r), VI_ERROR_TMO);
    EXPECT_EQ(device->count_events("dropped"), 1);
    EXPECT_EQ(device->count_events("collected"), 0);
}

TEST_F(PostedRequest, UnansweredPostedRequestTimesOutAndIsAbortedByItsTag) {
    device->never_answer = true;
    open();
    ASSERT_EQ(write_query("SLOW?\n", 64), VI_SUCCESS);  // bTags 1 and 2
    std::string answer;
    EXPECT_EQ(read_into(64, answer), VI_ERROR_TMO);
    EXPECT_EQ(device->count_events("collected"), 1);
    EXPECT_EQ(device->count_events("ctrl INITIATE_ABORT_BULK_IN value=2"), 1);
    device->never_answer = false;
    expect_next_query_works();
}

TEST_F(PostedRequest, LinkThatCannotPostSendsTheMessageAloneAndTheReadAsksLater) {
    device->posting = false;
    open();
    ASSERT_EQ(write_query("A?\n", 256), VI_SUCCESS);
    EXPECT_EQ(device->events, Events{"out MSG tag=1 size=3 eom=1"});
    std::string answer;
    ASSERT_EQ(read_into(256, answer), VI_SUCCESS);
    EXPECT_EQ(answer, "A?=ANSWER\n");
    EXPECT_EQ(device->count_events("out REQ tag=3 size=256"), 1);
}

}  // namespace
}  // namespace sgtest
