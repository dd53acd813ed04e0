// The I/O test instrument behind the USBTMC device core, driven as PyVISA's
// message-based tests drive it: RECEIVE, the data in messages of their own,
// SEND, then reads that may stop at a TermChar and leave the rest unread.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "device/usbtmc_transfers.h"
#include "io_test_instrument.h"
#include "usbtmc.h"
#include "usbtmc_device.h"

namespace {

namespace u = sgproto::usbtmc;
using sgsim::Clock;
using sgsim::IoTestInstrument;
using sgsim::UsbtmcDevice;
using simtest::InPiece;
using simtest::msg_out;
using simtest::parse_in;
using simtest::request_in;

class IoTestDevice : public ::testing::Test {
  protected:
    // One message in one transfer.
    void write(std::string_view message) {
        ASSERT_TRUE(device->bulk_out(msg_out(next_tag(), message)));
    }

    // One DEV_DEP_MSG_IN for at most `size` bytes, stopping at `term` when
    // given; nullopt when the device has nothing to send.
    std::optional<InPiece> read_transfer(std::uint32_t size, std::optional<char> term = {}) {
        EXPECT_TRUE(device->bulk_out(request_in(next_tag(), size, term.has_value(),
                                                static_cast<std::uint8_t>(term.value_or(0)))));
        const auto transfer = device->bulk_in(std::size_t{1} << 21, Clock::now());
        if (!transfer)
            return std::nullopt;
        return parse_in(*transfer);
    }

    // The whole response, in transfers of at most `size` bytes.
    std::string read_response(std::uint32_t size = 1000) {
        std::string all;
        for (int i = 0; i < 10000; ++i) {
            const auto piece = read_transfer(size);
            if (!piece) {
                ADD_FAILURE() << "no response after " << all.size() << " bytes";
                break;
            }
            all += piece->data;
            if (piece->eom())
                break;
        }
        return all;
    }

    std::uint8_t next_tag() { return tag_ = static_cast<std::uint8_t>(tag_ % 255 + 1); }

    IoTestInstrument instrument;
    std::unique_ptr<UsbtmcDevice> device =
        std::make_unique<UsbtmcDevice>(instrument, sgsim::DeviceFaults{}, nullptr);

  private:
    std::uint8_t tag_ = 0;
};

TEST_F(IoTestDevice, ReadsThatBreakOnTheTermCharThenOneByte) {
    write("RECEIVE\n");
    write("te\rst\r\n");
    write("SEND\n");
    auto piece = read_transfer(100, '\r');
    ASSERT_TRUE(piece);
    EXPECT_EQ(piece->data, "te\r");
    EXPECT_TRUE(piece->term_char_ended());
    EXPECT_FALSE(piece->eom());
    piece = read_transfer(100, '\r');
    ASSERT_TRUE(piece);
    EXPECT_EQ(piece->data, "st\r");
    piece = read_transfer(1);
    ASSERT_TRUE(piece);
    EXPECT_EQ(piece->data, "\n");
    EXPECT_TRUE(piece->eom());
}

TEST_F(IoTestDevice, AnUnreadRestIsDroppedByTheNextMessage) {
    // The host's read stops at "\n" and leaves the final "\n" on the device.
    write("RECEIVE\n");
    write("test\r\n\n");
    write("SEND\n");
    auto piece = read_transfer(100, '\n');
    ASSERT_TRUE(piece);
    EXPECT_EQ(piece->data, "test\r\n");
    EXPECT_FALSE(piece->eom());

    write("RECEIVE\n");
    write("1,2,3,4,5\n");
    write("SEND\n");
    EXPECT_EQ(read_response(), "1,2,3,4,5\n");

    // The same with a query of the common commands after the unread rest.
    write("RECEIVE\n");
    write("a\nb\n");
    write("SEND\n");
    piece = read_transfer(100, '\n');
    ASSERT_TRUE(piece);
    EXPECT_EQ(piece->data, "a\n");
    write("*IDN?\n");
    EXPECT_EQ(read_response(), "Simulated Signal Sources,IO-TEST,SIM001,1.0\n");
    write("SYST:ERR?\n");
    EXPECT_EQ(read_response(), "0,\"No error\"\n");
}

TEST_F(IoTestDevice, SplitMessagesAndTransfersComeBackAsSent) {
    // A message without a linefeed, then the linefeed as a message of its own.
    write("RECEIVE\n");
    write("test\r\r");
    write("\n");
    write("SEND\n");
    EXPECT_EQ(read_response(), "test\r\r\n");

    // One message in three transfers, EOM on the last only: every byte of
    // it is kept, the linefeeds inside and the NULs included.
    std::string binary;
    for (int b = 255; b >= 0; --b)
        binary.push_back(static_cast<char>(b));
    write("RECEIVE\n");
    ASSERT_TRUE(device->bulk_out(msg_out(next_tag(), binary.substr(0, 100), false)));
    ASSERT_TRUE(device->bulk_out(msg_out(next_tag(), binary.substr(100, 101), false)));
    ASSERT_TRUE(device->bulk_out(msg_out(next_tag(), binary.substr(201) + "\n")));
    write("SEND\n");
    EXPECT_EQ(read_response(7), binary + "\n");
}

TEST_F(IoTestDevice, MoreThanOneMebibyteIsCutAndReported) {
    write("RECEIVE\n");
    const std::string part(768 * 1024, 'p');
    write(part);
    write(part);
    write("\n");
    write("SEND\n");
    const std::string back = read_response(64 * 1024);
    EXPECT_EQ(back.size(), IoTestInstrument::kMaxKeptBytes);
    EXPECT_EQ(back.find_first_not_of('p'), std::string::npos);
    write("SYST:ERR?\n");
    EXPECT_EQ(read_response(), "-223,\"Too much data\"\n");
}

TEST_F(IoTestDevice, DeviceClearEndsAReceive) {
    write("RECEIVE\n");
    write("half");
    const auto r = device->control_in(u::kRequestTypeInterfaceIn, u::INITIATE_CLEAR, 0,
                                      UsbtmcDevice::kInterfaceNumber, 1);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->at(0), u::STATUS_SUCCESS);
    write("*OPC?\n");
    EXPECT_EQ(read_response(), "1\n") << "a command again, not kept bytes";
    write("SEND\n");
    EXPECT_FALSE(read_transfer(100)) << "nothing kept";
}

}  // namespace
