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
    EXPECT_NE(sim.ready_line().find("USB0::0x4d19::0x0040::IOT001::0::INSTR"), std::string::npos)
        << sim.ready_line();

    simtest::RawConnection c(runtime + "/sgvisa/4d19-0040-IOT001.sock");
    ASSERT_TRUE(c.ok());
    const std::vector<std::uint8_t>& hello = c.hello_payload();
    ASSERT_GE(hello.size(), lb::kDeviceHelloSize);
    std::string serial, manufacturer, product;
    lb::decode_hello_strings(std::span(hello).subspan(lb::kDeviceHelloSize), serial, manufacturer,
                             product);
    EXPECT_EQ(serial, "IOT001");
    EXPECT_EQ(manufacturer, "Simulated Signal Sources");
    EXPECT_EQ(product, "IO-TEST");

    c.send(lb::CLAIM, 1, lb::kClaimWait);
    c.expect(lb::CLAIM, 1, lb::STATUS_OK);
    EXPECT_EQ(c.query(2, "*IDN?\n"), "Simulated Signal Sources,IO-TEST,IOT001,1.0\n");
    std::string binary;
    for (int b = 0; b < 256; ++b)
        binary.push_back(static_cast<char>(b));
    binary += "#14\r\n\r";  // ends in another byte than a linefeed
    c.write_message(3, "RECEIVE\n");
    c.write_message(4, binary);
    c.write_message(5, "\n");
    EXPECT_EQ(c.query(6, "SEND\n"), binary + "\n");

    EXPECT_EQ(sim.received(),
              (std::vector<std::string>{"*IDN?", "RECEIVE", sgsim::log_line(binary), "", "SEND"}));
    c.write_message(7, "RECEIVE\n");
    c.write_message(8, "kept");
    EXPECT_EQ(sim.stop(), "Kept bytes: 4\nReceiving: yes\n");
    EXPECT_EQ(sim.exit_status(), 0);
}

}  // namespace
