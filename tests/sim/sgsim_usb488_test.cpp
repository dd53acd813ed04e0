// sgsim as a program, over raw local bus frames: the USB488 requests and
// TRIGGER reach the final printout and the log, --no-interrupt-in takes the
// endpoint away, and the I/O test instrument's slow reply is announced by a
// service request on interrupt-IN.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "attach/raw_connection.h"
#include "device/usbtmc_transfers.h"
#include "localbus_frames.h"
#include "sim_process.h"
#include "temp_dir.h"
#include "usbtmc.h"

namespace {

namespace lb = sgproto::localbus;
namespace u = sgproto::usbtmc;
using Bytes = std::vector<std::uint8_t>;

TEST(SgsimUsb488, RemoteStateAndTriggersAreShownAtExitWithoutInterruptIn) {
    sgtest::TempDir tmp;
    const std::string runtime = tmp.make_subdir("run");
    sgtest::SimProcess sim(runtime, "USB001", {"--no-interrupt-in"});
    ASSERT_TRUE(sim.ready());
    simtest::RawConnection c(runtime + "/sgvisa/4d19-0040-USB001.sock");
    lb::DeviceHello hello;
    ASSERT_TRUE(lb::decode_hello(c.hello(), lb::device_hello_size(c.hello_param()), hello));
    EXPECT_EQ(hello.interrupt_in_endpoint, 0);

    c.send(lb::CLAIM, 1, lb::kClaimWait);
    c.expect(lb::CLAIM, 1, lb::STATUS_OK);
    EXPECT_EQ(c.control_in(2, u::USB488_REN_CONTROL, 1, 1), Bytes{u::STATUS_SUCCESS});
    c.write(3, "*RST;*ESE 1;*SRE 32\n");
    EXPECT_EQ(c.control_in(4, u::USB488_LOCAL_LOCKOUT, 0, 1), Bytes{u::STATUS_SUCCESS});
    c.send(lb::BULK_OUT, 5, 0, simtest::header(u::USB488_TRIGGER, 9, 0, 0));
    c.expect(lb::BULK_OUT, 5, lb::STATUS_OK);
    c.write(6, "*OPC\n");
    EXPECT_EQ(c.control_in(7, u::USB488_READ_STATUS_BYTE, 2, 3),
              (Bytes{u::STATUS_SUCCESS, 2, 0x60}));

    const std::string settings = sim.stop();
    EXPECT_EQ(sim.exit_status(), 0);
    EXPECT_NE(settings.find("LF output: OFF\nTriggers: 1\nRemote state: REMOTE WITH LOCKOUT\n"),
              std::string::npos)
        << settings;
    EXPECT_EQ(sim.received(), (std::vector<std::string>{"*RST;*ESE 1;*SRE 32", "*TRG", "*OPC"}));
}

TEST(SgsimUsb488, IoTestSlowReplyIsAnnouncedOnInterruptIn) {
    using Clock = std::chrono::steady_clock;
    sgtest::TempDir tmp;
    const std::string runtime = tmp.make_subdir("run");
    sgtest::SimProcess sim(runtime, "IOT001", {"--io-test"});
    ASSERT_TRUE(sim.ready());
    simtest::RawConnection c(runtime + "/sgvisa/4d19-0040-IOT001.sock");
    c.send(lb::CLAIM, 1, lb::kClaimWait);
    c.expect(lb::CLAIM, 1, lb::STATUS_OK);
    c.send(lb::INTERRUPT_IN, 2, 2);
    c.write(3, "RCVSLOWSRQ\n");
    c.write(4, "1\n");
    const Clock::time_point before = Clock::now();
    c.write(5, "SENDSLOWSRQ\n");
    EXPECT_EQ(c.expect(lb::INTERRUPT_IN, 2, lb::STATUS_OK), (Bytes{0x81, 0x50}));
    EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(100)) << "announced when ready";
    c.request_reply(6);
    EXPECT_EQ(c.reply(6), "1\n");
    EXPECT_EQ(sim.stop(), "Kept bytes: 0\nReceiving: no\nTriggers: 0\nRemote state: LOCAL\n");
    EXPECT_EQ(sim.received(), (std::vector<std::string>{"RCVSLOWSRQ", "1", "SENDSLOWSRQ"}));
}

}  // namespace
