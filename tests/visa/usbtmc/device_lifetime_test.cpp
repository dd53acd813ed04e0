// Opening (nothing sent), the first acquire (GET_CAPABILITIES, once) and
// losing the device.
#include "transport_read.h"
#include "usbtmc_fixture.h"

namespace sgtest {
namespace {

TEST_F(UsbtmcHostTest, CapabilitiesAreReadOnceAtTheFirstAcquireFromTheRightInterface) {
    device->interface_number = 3;  // not always 0
    ASSERT_EQ(sgvisa::usbtmc::make_usbtmc_transport(make_fake_link(device), transport), VI_SUCCESS);
    EXPECT_TRUE(device->events.empty()) << "an open waits for nobody: it sends nothing";
    // However little time the first operation has left.
    ASSERT_EQ(transport->acquire(sgvisa::Clock::now()), VI_SUCCESS);
    ASSERT_EQ(device->events.size(), 1u);
    EXPECT_EQ(device->events[0], "ctrl GET_CAPABILITIES value=0 index=0x03");
    ASSERT_EQ(transport->acquire(later()), VI_SUCCESS);
    std::string answer;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(query("Q?\n", answer), VI_SUCCESS);
    ASSERT_EQ(transport->clear(later()), VI_SUCCESS);
    EXPECT_EQ(device->capability_requests, 1);
}

TEST_F(UsbtmcHostTest, DeviceStallingCapabilitiesIsStillUsable) {
    device->stall_capabilities = true;
    open();
    expect_next_query_works();
}

TEST_F(UsbtmcHostTest, FirstAcquireFailsWhenTheDeviceIsGone) {
    device->gone = true;
    ASSERT_EQ(sgvisa::usbtmc::make_usbtmc_transport(make_fake_link(device), transport), VI_SUCCESS);
    EXPECT_EQ(transport->acquire(later()), VI_ERROR_CONN_LOST);
    EXPECT_TRUE(transport->lost());
}

TEST_F(UsbtmcHostTest, DisappearingMidReplyIsConnectionLostForEveryLaterCall) {
    device->piece = 6;
    device->vanish_after_in = 2;  // two pieces of the answer, then the device is unplugged
    open();
    ASSERT_EQ(write("GONE?\n"), VI_SUCCESS);
    std::vector<std::uint8_t> buf(64);
    std::size_t count = 99;
    bool end = true;
    EXPECT_EQ(sgtest::read_from(*transport, buf, later(), count, end), VI_ERROR_CONN_LOST);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(end);

    const std::size_t seen = device->events.size();
    EXPECT_EQ(write("*RST\n"), VI_ERROR_CONN_LOST);
    EXPECT_EQ(sgtest::read_from(*transport, buf, later(), count, end), VI_ERROR_CONN_LOST);
    EXPECT_EQ(transport->clear(later()), VI_ERROR_CONN_LOST);
    EXPECT_EQ(device->events.size(), seen) << "a lost device is not asked again";
}

TEST_F(UsbtmcHostTest, ConnectionLostDuringAbortIsReportedAsSuch) {
    device->never_answer = true;
    open();
    ASSERT_EQ(write("SLOW?\n"), VI_SUCCESS);
    device->vanish_after_in = 0;  // the bulk-IN that times out finds the device gone
    std::vector<std::uint8_t> buf(64);
    std::size_t count = 0;
    bool end = false;
    EXPECT_EQ(sgtest::read_from(*transport, buf, later(), count, end), VI_ERROR_CONN_LOST);
    EXPECT_EQ(write("X\n"), VI_ERROR_CONN_LOST);
}

TEST_F(UsbtmcHostTest, ConnectionLostOnWriteIsRemembered) {
    open();
    device->gone = true;
    EXPECT_EQ(write("*RST\n"), VI_ERROR_CONN_LOST);
    device->gone = false;  // even if the link came back, the session is over
    EXPECT_EQ(write("*RST\n"), VI_ERROR_CONN_LOST);
    EXPECT_TRUE(device->messages.empty());
}

}  // namespace
}  // namespace sgtest
