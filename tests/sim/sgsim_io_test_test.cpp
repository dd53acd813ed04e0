// sgsim --io-test as a program: the I/O test instrument on the local bus
// under its own product name, its messages in the log, its state at exit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "attach/raw_connection.h"
#include "localbus_frames.h"
#include "message_log.h"
#include "sim_process.h"
#include "temp_dir.h"

namespace {

namespace lb = sgproto::localbus;

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

}  // namespace
