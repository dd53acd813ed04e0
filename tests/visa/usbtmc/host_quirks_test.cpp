// What each quirk changes on the wire (eom-never is with the other
// message-end cases).
#include "proto/usbtmc.h"
#include "transport_read.h"
#include "usbtmc_fixture.h"

namespace sgtest {
namespace {

namespace tmc = sgproto::usbtmc;

class HostSwitch : public UsbtmcHostTest {
  protected:
    void open_with(const sgvisa::usbtmc::HostQuirks& quirks) {
        ASSERT_EQ(sgvisa::usbtmc::make_usbtmc_transport(make_fake_link(device), transport, quirks),
                  VI_SUCCESS);
        ASSERT_EQ(transport->acquire(later()), VI_SUCCESS);
    }
};

TEST_F(HostSwitch, MaxTransferCapsEveryTransferBothWays) {
    device->respond = [](const std::string&) { return std::string(50, 'r') + "\n"; };
    open_with({.max_transfer = 16});
    device->events.clear();
    std::string answer;
    ASSERT_EQ(query(std::string(40, 'q') + "?\n", answer), VI_SUCCESS);
    EXPECT_EQ(answer, std::string(50, 'r') + "\n");
    EXPECT_EQ(device->messages.back(), std::string(40, 'q') + "?\n");
    EXPECT_EQ(device->count_events("out MSG"), 3);  // 16 + 16 + 10
    for (const auto& e : device->events) {
        if (e.rfind("out ", 0) == 0) {
            EXPECT_TRUE(e.find("size=16") != std::string::npos ||
                        e.find("size=10") != std::string::npos)
                << e;
        }
    }
    EXPECT_EQ(device->count_events("out REQ"), 4);  // 51 bytes, 16 at a time
}

TEST_F(HostSwitch, NoTermcharNeverAsksTheDeviceToStopAtIt) {
    device->capabilities[tmc::kCapsDevice] = tmc::kDeviceCapTermChar;
    sgvisa::ReadStop stop;
    stop.term_char_enabled = true;
    std::vector<std::uint8_t> buf(64);
    sgvisa::ReadResult r;
    for (const bool off : {false, true}) {
        SCOPED_TRACE(off);
        device->out_frames.clear();
        open_with({.no_termchar = off});
        ASSERT_EQ(write("A?\n"), VI_SUCCESS);
        ASSERT_EQ(transport->read(buf, stop, later(), r), VI_SUCCESS);
        const auto& request = device->out_frames.back();
        ASSERT_EQ(request[0], tmc::REQUEST_DEV_DEP_MSG_IN);
        EXPECT_EQ(request[8], off ? 0 : tmc::kAttrTermCharEnabled);
    }
}

TEST_F(HostSwitch, ClearOnOpenClearsTheDeviceBeforeTheFirstMessage) {
    device->partial = "*RS";  // half a message an earlier program sent
    open_with({.clear_on_open = true});
    EXPECT_EQ(device->count_events("ctrl INITIATE_CLEAR"), 1);
    EXPECT_EQ(device->count_events("halt 0x02"), 1);
    expect_next_query_works();
    EXPECT_EQ(device->messages, std::vector<std::string>{"NEXT?\n"});

    // Not without the quirk.
    device = std::make_shared<FakeUsbtmcDevice>();
    open_with({});
    EXPECT_EQ(device->count_events("ctrl INITIATE_CLEAR"), 0);
}

}  // namespace
}  // namespace sgtest
