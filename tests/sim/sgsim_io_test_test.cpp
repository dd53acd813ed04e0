// sgsim --io-test as a program: the I/O test instrument on the local bus
// under its own product name, its messages in the log, its state at exit;
// and, as PyVISA's event tests use it, the slow reply announced by a service
// request on interrupt-IN once it is ready.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "attach/raw_connection.h"
#include "device/message_log.h"
#include "proto/localbus_frames.h"
#include "sim_process.h"
#include "temp_dir.h"

namespace {

namespace lb = sgproto::localbus;
using Bytes = std::vector<std::uint8_t>;

TEST(SgsimIoTest, ServesTheIoTestInstrumentUnderItsOwnNames) {
    sgtest::TempDir tmp;
    const std::string runtime = tmp.make_subdir("run");
    sgtest::SimProcess sim(runtime, "IOT001", {"--io-test"});
    ASSERT_TRUE(sim.ready());
    EXPECT_NE(sim.ready_line().find("USB0::0x4d19::0x0040::IOT001::0::INSTR"), std::string::npos);

    simtest::RawConnection c(runtime + "/sgvisa/4d19-0040-IOT001.sock");
    ASSERT_GE(c.hello().size(), lb::kDeviceHelloSize);
    std::string names[3];
    lb::decode_hello_strings(std::span(c.hello()).subspan(lb::kDeviceHelloSize), names[0], names[1],
                             names[2]);
    EXPECT_EQ(names[0] + "|" + names[1] + "|" + names[2],
              "IOT001|Simulated Signal Sources|IO-TEST");

    c.send(lb::CLAIM, 1, lb::kClaimWait);
    c.expect(lb::CLAIM, 1, lb::STATUS_OK);
    EXPECT_EQ(c.query(2, "*IDN?\n"), "Simulated Signal Sources,IO-TEST,IOT001,1.0\n");
    const std::string binary("#14\x00\n\xff\r", 8);
    c.write(3, "RECEIVE\n");
    c.write(4, binary);
    c.write(5, "\n");
    EXPECT_EQ(c.query(6, "SEND\n"), binary + "\n");
    EXPECT_EQ(sim.received(),
              (std::vector<std::string>{"*IDN?", "RECEIVE", sgsim::log_line(binary), "", "SEND"}));
    c.write(7, "RECEIVE\nkept");
    EXPECT_EQ(sim.stop(), "Kept bytes: 4\nReceiving: yes\nTriggers: 0\nRemote state: LOCAL\n");
    EXPECT_EQ(sim.exit_status(), 0);
}

TEST(SgsimIoTest, SlowReplyIsAnnouncedOnInterruptInOnceReady) {
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
