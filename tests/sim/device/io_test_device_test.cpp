// The I/O test instrument behind the USBTMC device core, driven as PyVISA's
// message-based tests drive it: RECEIVE, the data in messages of their own,
// SEND, then reads that stop at a TermChar and leave the rest unread; and
// RCVSLOWSRQ / SENDSLOWSRQ, whose reply comes later, announced by a service
// request.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "device/usbtmc_device.h"
#include "scpi/io_test_instrument.h"
#include "usbtmc_transfers.h"

namespace {

using simtest::msg_out;

TEST(IoTestThroughTheDeviceCore, TermCharReadsAnUnreadRestAndMessagesInPieces) {
    sgsim::IoTestInstrument io;
    sgsim::UsbtmcDevice device(io, {}, nullptr);
    std::uint8_t tag = 0;
    auto write = [&](std::string_view message, bool eom = true) {
        EXPECT_TRUE(device.bulk_out(msg_out(++tag, message, eom)));
    };
    auto read = [&](std::optional<char> term) {
        const auto t_char = static_cast<std::uint8_t>(term.value_or('\n'));
        EXPECT_TRUE(device.bulk_out(simtest::request_in(++tag, 4096, term.has_value(), t_char)));
        const auto t = device.bulk_in(8192, sgsim::Clock::now());
        return t ? simtest::parse_in(*t).data : std::string("nothing");
    };

    write("RECEIVE\n");
    write("te\rst\r\n");
    write("SEND\n");
    EXPECT_EQ(read('\r'), "te\r");
    EXPECT_EQ(read('\r'), "st\r");  // "\n" is left unread

    // The next message drops it. A message in two transfers, then one that
    // ends in another byte than a linefeed, then the linefeed alone.
    const std::string block("#212\x01\x00\n\x00\x03\x00\x04\x00\x05\x00\x06\x00\r\r", 18);
    write("RECEIVE\n");
    write(block.substr(0, 7), false);
    write(block.substr(7));
    write("\n");
    write("SEND\n");
    EXPECT_EQ(read(std::nullopt), block + "\n");
    write("*IDN?\n");
    EXPECT_EQ(read('\n'), "Simulated Signal Sources,IO-TEST,SIM001,1.0\n");
    EXPECT_EQ(read('\n'), "nothing");
}

TEST(IoTestThroughTheDeviceCore, SlowSrqReplyComesAfterItsDelayWithAServiceRequest) {
    using namespace std::chrono_literals;
    using sgsim::Clock;
    namespace tmc = sgproto::usbtmc;
    sgsim::IoTestInstrument io;
    sgsim::UsbtmcDevice device(io, {}, nullptr);
    std::uint8_t tag = 0;
    auto write = [&](std::string_view message) {
        EXPECT_TRUE(device.bulk_out(msg_out(++tag, message)));
    };
    auto interrupts = [&] {
        std::vector<int> out;
        while (const auto p = device.take_interrupt())
            out.push_back((*p)[0] << 8 | (*p)[1]);
        return out;
    };

    // As PyVISA's event tests do it, three times, with a device clear between
    // and never a serial poll: each time a new service request.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        write("RCVSLOWSRQ\n");
        write("1\n");
        const Clock::time_point before = Clock::now();
        write("SENDSLOWSRQ\n");
        const Clock::time_point after = Clock::now();
        EXPECT_TRUE(device.bulk_out(simtest::request_in(++tag, 4096)));
        const auto due = device.next_ready();
        ASSERT_TRUE(due);
        EXPECT_GE(*due - before, sgsim::IoTestInstrument::kSlowResponseDelay);
        EXPECT_FALSE(device.bulk_in(8192, before + 99ms)) << "not before its delay";
        EXPECT_TRUE(interrupts().empty());
        EXPECT_EQ(io.status().status_byte(), 0) << "nothing to read yet, no request";

        device.advance(after + 100ms);
        EXPECT_EQ(interrupts(), std::vector<int>{0x8150}) << "SRQ with MAV and RQS";
        EXPECT_EQ(io.status().status_byte(), 0x50) << "MSS although SRE is 0";
        const auto t = device.bulk_in(8192, after + 100ms);
        ASSERT_TRUE(t);
        EXPECT_EQ(simtest::parse_in(*t).data, "1\n");
        EXPECT_EQ(io.status().status_byte(), 0) << "read: the request is withdrawn";
        EXPECT_FALSE(io.status().service_requested());
        EXPECT_TRUE(device.control_in(tmc::kRequestTypeInterfaceIn, tmc::INITIATE_CLEAR, 0, 0, 1));
    }

    // SEND stays immediate and requests nothing.
    write("RECEIVE\n");
    write("2\n");
    write("SEND\n");
    EXPECT_FALSE(device.next_ready());
    EXPECT_EQ(io.status().status_byte(), 0x10) << "MAV alone";
    EXPECT_TRUE(interrupts().empty());
}

}  // namespace
