// Bulk endpoints a host before left halted: cleared at the first transfer
// that meets them; a stall later is the failure of its call only.
#include "transport_read.h"
#include "usbtmc_fixture.h"

namespace sgtest {
namespace {

using Events = std::vector<std::string>;

Events first(const Events& all, std::size_t n) {
    return Events(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(n, all.size())));
}

// The last program left both bulk endpoints halted: the first transfer
// meets the halt, both halts are cleared and the transfer goes again.
TEST_F(UsbtmcHostTest, EndpointsHaltedBeforeTheFirstTransferAreClearedAndItGoesAgain) {
    for (const bool posting : {false, true}) {
        SCOPED_TRACE(posting);
        device = std::make_shared<FakeUsbtmcDevice>();
        device->respond = echo_queries;
        device->posting = posting;
        device->halted_out = true;
        device->halted_in = true;
        open();
        const std::string q = "*IDN?\n";
        ASSERT_EQ(
            transport->write_query({reinterpret_cast<const std::uint8_t*>(q.data()), q.size()}, 256,
                                   {}, later()),
            VI_SUCCESS);
        std::string answer;
        ASSERT_EQ(read_all(answer), VI_SUCCESS);
        EXPECT_EQ(answer, "*IDN?=ANSWER\n");
        EXPECT_EQ(first(device->events, 4),
                  (Events{"out stall", "halt 0x02", "halt 0x81", "out MSG tag=1 size=6 eom=1"}));
        EXPECT_EQ(device->messages, std::vector<std::string>{"*IDN?\n"}) << "sent once";
    }
}

TEST_F(UsbtmcHostTest, ReadAsTheFirstTransferMeetsTheHaltTooAndGoesAgain) {
    device->halted_out = true;
    device->halted_in = true;
    device->pending_reply = "WAITING\n";  // a reply the device has for whoever asks
    open();
    std::string answer;
    ASSERT_EQ(read_all(answer), VI_SUCCESS);
    EXPECT_EQ(answer, "WAITING\n");
    EXPECT_EQ(device->count_events("halt"), 2);
}

TEST_F(UsbtmcHostTest, StallLaterInTheSessionFailsThatTransferOnlyAndIsNotRepeated) {
    open();
    expect_next_query_works();
    device->halted_out = true;
    EXPECT_EQ(write("REFUSED\n"), VI_ERROR_IO);
    EXPECT_EQ(device->count_events("out stall"), 1);
    EXPECT_EQ(device->count_events("halt 0x81"), 0);
    EXPECT_TRUE(device->messages.back() != "REFUSED\n");
    expect_next_query_works();
}

}  // namespace
}  // namespace sgtest
