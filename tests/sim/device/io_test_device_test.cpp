// The I/O test instrument behind the USBTMC device core, driven as PyVISA's
// message-based tests drive it: RECEIVE, the data in messages of their own,
// SEND, then reads that stop at a TermChar and leave the rest unread.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "device/usbtmc_transfers.h"
#include "io_test_instrument.h"
#include "usbtmc_device.h"

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

}  // namespace
