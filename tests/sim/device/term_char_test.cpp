// TermChar in the device core: a REQUEST_DEV_DEP_MSG_IN with TermCharEnabled
// ends its DEV_DEP_MSG_IN after the first TermChar byte and leaves the rest
// of the response for the next request.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "device/scripted_instrument.h"
#include "device/usbtmc_transfers.h"
#include "usbtmc.h"
#include "usbtmc_device.h"

namespace {

namespace u = sgproto::usbtmc;
using sgsim::Clock;
using sgsim::UsbtmcDevice;
using simtest::InPiece;
using simtest::msg_out;
using simtest::parse_in;
using simtest::request_in;

class TermCharTest : public ::testing::Test {
  protected:
    // Makes `reply` the response waiting to be read.
    void respond(const std::string& reply) {
        instrument.reply = reply;
        ASSERT_TRUE(device->bulk_out(msg_out(next_tag(), "Q?\n")));
    }

    // One REQUEST_DEV_DEP_MSG_IN for `size` bytes (TermChar `term` when
    // given) and the DEV_DEP_MSG_IN it gets, into a host buffer of `max`.
    std::optional<InPiece> read(std::uint32_t size, std::optional<char> term,
                                std::size_t max = 4096) {
        const std::uint8_t tag = next_tag();
        EXPECT_TRUE(device->bulk_out(
            request_in(tag, size, term.has_value(), static_cast<std::uint8_t>(term.value_or(0)))));
        const auto transfer = device->bulk_in(max, Clock::now());
        if (!transfer)
            return std::nullopt;
        InPiece piece = parse_in(*transfer);
        EXPECT_EQ(piece.h.tag, tag);
        EXPECT_EQ(piece.total % 4, 0u);
        return piece;
    }

    // Reads with `term` and expects `data` with the TermChar and EOM bits.
    void expect_piece(std::optional<char> term, const std::string& data, bool term_char_ended,
                      bool eom, std::uint32_t size = 1000) {
        SCOPED_TRACE(data);
        const auto piece = read(size, term);
        ASSERT_TRUE(piece);
        EXPECT_EQ(piece->data, data);
        EXPECT_EQ(piece->term_char_ended(), term_char_ended);
        EXPECT_EQ(piece->eom(), eom);
    }

    std::uint8_t next_tag() { return tag_ = static_cast<std::uint8_t>(tag_ % 255 + 1); }

    simtest::ScriptedInstrument instrument;
    std::unique_ptr<UsbtmcDevice> device =
        std::make_unique<UsbtmcDevice>(instrument, sgsim::DeviceFaults{}, nullptr);

  private:
    std::uint8_t tag_ = 0;
};

TEST_F(TermCharTest, EachTransferStopsAfterTheFirstTermCharAndTheRestWaits) {
    respond("te\rst\r\n");
    expect_piece('\r', "te\r", true, false);
    expect_piece('\r', "st\r", true, false);
    expect_piece(std::nullopt, "\n", false, true);
    EXPECT_FALSE(read(1000, std::nullopt)) << "the response was read to its end";

    // The rest waits for a request without TermChar just as well.
    respond("A\nB\nC\n");
    expect_piece('\n', "A\n", true, false);
    expect_piece(std::nullopt, "B\nC\n", false, true);
}

TEST_F(TermCharTest, ATermCharThatIsTheLastByteSetsBothBits) {
    respond("1,2,3\n");
    expect_piece('\n', "1,2,3\n", true, true);
    EXPECT_FALSE(read(1000, '\n'));

    respond("x\ny\n");
    expect_piece('\n', "x\n", true, false);
    expect_piece('\n', "y\n", true, true);
}

TEST_F(TermCharTest, WithoutATermCharInReachTheTransferEndsAsUsual) {
    respond("ABC\n");
    expect_piece('\r', "ABC\n", false, true);

    // The TermChar lies beyond the request's size: the size ends the
    // transfer, without either bit; the TermChar ends a later one.
    respond("0123456789\r!");
    expect_piece('\r', "0123", false, false, 4);
    expect_piece('\r', "4567", false, false, 4);
    expect_piece('\r', "89\r", true, false, 4);
    expect_piece('\r', "!", false, true, 4);
}

TEST_F(TermCharTest, TheTermCharFieldCountsOnlyWhenEnabled) {
    respond("AB\nCD\n");
    const std::uint8_t tag = next_tag();
    // TermChar '\n' in the header, TermCharEnabled clear.
    ASSERT_TRUE(device->bulk_out(simtest::header(u::REQUEST_DEV_DEP_MSG_IN, tag, 1000, 0, '\n')));
    const auto transfer = device->bulk_in(4096, Clock::now());
    ASSERT_TRUE(transfer);
    const InPiece piece = parse_in(*transfer);
    EXPECT_EQ(piece.data, "AB\nCD\n");
    EXPECT_FALSE(piece.term_char_ended());
    EXPECT_TRUE(piece.eom());
}

TEST_F(TermCharTest, AnyByteValueCanBeTheTermCharInBinaryData) {
    const std::string binary("\x01\x00\x02\r\n\x00\xff\x7f\n", 9);
    respond(binary);
    expect_piece('\0', std::string("\x01\x00", 2), true, false);
    expect_piece('\xff', std::string("\x02\r\n\x00\xff", 5), true, false);
    expect_piece('\n', "\x7f\n", true, true);
}

TEST_F(TermCharTest, TheHostBufferOrTheSplitCutsBeforeTheTermChar) {
    respond("0123456789ABCDEF\rG");
    // A 24-byte buffer holds the header and 12 data bytes.
    const auto cut = read(1000, '\r', 24);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->data, "0123456789AB");
    EXPECT_FALSE(cut->term_char_ended());
    EXPECT_FALSE(cut->eom());
    expect_piece('\r', "CDEF\r", true, false);
    expect_piece('\r', "G", false, true);

    device = std::make_unique<UsbtmcDevice>(instrument, sgsim::DeviceFaults{.split = 3}, nullptr);
    respond("abcd\ref\r");
    expect_piece('\r', "abc", false, false);
    expect_piece('\r', "d\r", true, false);
    expect_piece('\r', "ef\r", true, true);
}

TEST_F(TermCharTest, ANewMessageDropsWhatTheTermCharLeftUnread) {
    respond("test\r\n\n");
    expect_piece('\n', "test\r\n", true, false);
    respond("NEXT\n");
    expect_piece('\n', "NEXT\n", true, true);
    EXPECT_FALSE(read(1000, std::nullopt)) << "nothing of the first response is left";
}

}  // namespace
