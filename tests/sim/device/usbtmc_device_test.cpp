// The simulated generator's USBTMC device side at the transfer level, with a
// small scripted instrument behind it.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "device/usbtmc_device.h"
#include "proto/usbtmc.h"
#include "scripted_instrument.h"
#include "usbtmc_transfers.h"

namespace {

namespace tmc = sgproto::usbtmc;
using sgsim::Clock;
using sgsim::DeviceFaults;
using sgsim::UsbtmcDevice;
using simtest::Bytes;
using simtest::header;
using simtest::InPiece;
using simtest::msg_out;
using simtest::parse_in;
using simtest::request_in;
using simtest::ScriptedInstrument;

class DeviceTest : public ::testing::Test {
  protected:
    ScriptedInstrument inst;

    std::unique_ptr<UsbtmcDevice> make(DeviceFaults faults = {}) {
        return std::make_unique<UsbtmcDevice>(inst, faults, nullptr);
    }

    // Asks for the reply with requests of `size` until EOM; returns the pieces.
    std::vector<InPiece> read_all(UsbtmcDevice& dev, std::uint32_t size, std::size_t max = 4096) {
        std::vector<InPiece> pieces;
        for (std::uint8_t tag = 10; tag < 100; ++tag) {
            EXPECT_TRUE(dev.bulk_out(request_in(tag, size)));
            const auto t = dev.bulk_in(max, Clock::now());
            if (!t) {
                ADD_FAILURE() << "no reply to request " << int(tag);
                break;
            }
            pieces.push_back(parse_in(*t));
            EXPECT_EQ(pieces.back().h.tag, tag);
            if (pieces.back().h.attributes & tmc::kAttrEom)
                break;
        }
        return pieces;
    }

    std::vector<std::uint8_t> control(UsbtmcDevice& dev, std::uint8_t type, std::uint8_t req,
                                      std::uint16_t value, std::uint16_t index,
                                      std::uint16_t length = 64) {
        const auto r = dev.control_in(type, req, value, index, length);
        EXPECT_TRUE(r.has_value()) << "request " << int(req) << " stalled";
        return r.value_or(Bytes{});
    }
};

TEST_F(DeviceTest, QueryRoundTripEchoesTagSetsEomAndPads) {
    auto dev = make();
    ASSERT_TRUE(dev->bulk_out(msg_out(1, "*IDN?\n")));
    ASSERT_EQ(inst.received, std::vector<std::string>{"*IDN?\n"});
    EXPECT_FALSE(dev->bulk_in(4096, Clock::now())) << "no data before the host asks";

    inst.reply = "ABCDEFG\n";  // takes effect for the next query only
    ASSERT_TRUE(dev->bulk_out(request_in(7, 1000)));
    const auto t = dev->bulk_in(4096, Clock::now());
    ASSERT_TRUE(t);
    const InPiece p = parse_in(*t);
    EXPECT_EQ(p.h.tag, 7);
    EXPECT_EQ(p.data, "REPLY\n");
    EXPECT_TRUE(p.h.attributes & tmc::kAttrEom);
    EXPECT_EQ(p.total % 4, 0u);
    EXPECT_EQ(p.total, tmc::kHeaderSize + 8);
    EXPECT_FALSE(dev->bulk_in(4096, Clock::now())) << "one request, one transfer";
}

TEST_F(DeviceTest, MessageAssembledFromTransfersAndPieces) {
    auto dev = make();
    // Two transfers, EOM only on the second: one message.
    ASSERT_TRUE(dev->bulk_out(msg_out(1, "FREQ ", false)));
    EXPECT_TRUE(inst.received.empty());
    ASSERT_TRUE(dev->bulk_out(msg_out(2, "1 GHz\n")));
    ASSERT_EQ(inst.received, std::vector<std::string>{"FREQ 1 GHz\n"});

    // One transfer arriving in small pieces after its header, as a gadget
    // may read it.
    const Bytes t = msg_out(3, "POW -10\n");
    ASSERT_TRUE(dev->bulk_out(Bytes(t.begin(), t.begin() + 13)));
    for (std::size_t at = 13; at < t.size(); at += 5)
        ASSERT_TRUE(dev->bulk_out(Bytes(t.begin() + at, t.begin() + std::min(at + 5, t.size()))));
    ASSERT_EQ(inst.received.size(), 2u);
    EXPECT_EQ(inst.received[1], "POW -10\n");
    // A transfer whose padding comes in the next piece.
    const Bytes t2 = msg_out(4, "OUTP ON\n\n");  // 9 bytes: 3 padding bytes
    ASSERT_TRUE(dev->bulk_out(Bytes(t2.begin(), t2.begin() + 12 + 9)));
    ASSERT_TRUE(dev->bulk_out(Bytes(t2.begin() + 12 + 9, t2.end())));
    ASSERT_TRUE(dev->bulk_out(msg_out(5, "X\n")));
    ASSERT_EQ(inst.received.size(), 4u);
    EXPECT_EQ(inst.received[2], "OUTP ON\n\n");
    EXPECT_EQ(inst.received[3], "X\n");
}

TEST_F(DeviceTest, ReplyLongerThanRequestComesInPiecesWithEomOnLast) {
    auto dev = make();
    inst.reply = "0123456789ABCDEFGHIJ\n";
    ASSERT_TRUE(dev->bulk_out(msg_out(1, "Q?\n")));
    const auto pieces = read_all(*dev, 8);
    ASSERT_EQ(pieces.size(), 3u);
    std::string all;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        all += pieces[i].data;
        EXPECT_EQ((pieces[i].h.attributes & tmc::kAttrEom) != 0, i + 1 == pieces.size());
        EXPECT_EQ(pieces[i].total % 4, 0u);
    }
    EXPECT_EQ(all, inst.reply);
}

TEST_F(DeviceTest, TransferFitsHostBuffer) {
    auto dev = make();
    inst.reply = std::string(100, 'x');
    ASSERT_TRUE(dev->bulk_out(msg_out(1, "Q?\n")));
    ASSERT_TRUE(dev->bulk_out(request_in(2, 1000)));
    const auto t = dev->bulk_in(32, Clock::now());
    ASSERT_TRUE(t);
    EXPECT_LE(t->size(), 32u);
    const InPiece p = parse_in(*t);
    EXPECT_EQ(p.data.size(), 20u);
    EXPECT_FALSE(p.h.attributes & tmc::kAttrEom);
}

TEST_F(DeviceTest, TermCharEndsEachTransferAfterItsFirstTermCharByte) {
    auto dev = make();
    std::uint8_t tag = 1;
    // One request for `size` bytes with TermChar `term` (none: disabled) into
    // a host buffer of `max`: its data, "|T" for TermChar, "E" for EOM.
    auto read = [&](std::optional<char> term, std::uint32_t size = 100, std::size_t max = 4096) {
        const auto t_char = static_cast<std::uint8_t>(term.value_or('\n'));
        EXPECT_TRUE(dev->bulk_out(request_in(++tag, size, term.has_value(), t_char)));
        const auto t = dev->bulk_in(max, Clock::now());
        if (!t)
            return std::string("nothing");
        const InPiece p = parse_in(*t);
        return p.data + (p.term_char_ended() ? "|T" : "|") + (p.eom() ? "E" : "");
    };
    inst.reply = std::string("te\rst\r\n\0\xff!\n", 11);
    ASSERT_TRUE(dev->bulk_out(msg_out(++tag, "Q?\n")));
    EXPECT_EQ(read('\r'), "te\r|T");
    EXPECT_EQ(read('\r', 2), "st|") << "the size ends it before the TermChar";
    EXPECT_EQ(read('\r'), "\r|T");
    EXPECT_EQ(read('\xff'), std::string("\n\0\xff|T", 5)) << "any byte value";
    EXPECT_EQ(read('\n'), "!\n|TE") << "the last byte: both bits";
    EXPECT_EQ(read('\n'), "nothing");

    inst.reply = "0123456789ABCDEF\rG\n";
    ASSERT_TRUE(dev->bulk_out(msg_out(++tag, "Q?\n")));
    EXPECT_EQ(read('\r', 100, 24), "0123456789AB|") << "the host buffer ends it first";
    EXPECT_EQ(read('\r'), "CDEF\r|T");
    EXPECT_EQ(read(std::nullopt), "G\n|E") << "the TermChar field counts only when enabled";
}

TEST_F(DeviceTest, ReplyDelayHoldsTheReplyUntilDue) {
    auto dev = make({.reply_delay = std::chrono::hours(1)});
    ASSERT_TRUE(dev->bulk_out(msg_out(1, "Q?\n")));
    ASSERT_TRUE(dev->bulk_out(request_in(2, 100)));
    EXPECT_FALSE(dev->bulk_in(4096, Clock::now()));
    const auto due = dev->next_ready();
    ASSERT_TRUE(due);
    EXPECT_GT(*due, Clock::now() + std::chrono::minutes(59));
    const auto t = dev->bulk_in(4096, *due);
    ASSERT_TRUE(t);
    EXPECT_EQ(parse_in(*t).data, "REPLY\n");
}

TEST_F(DeviceTest, NoReplyExecutesButNeverAnswers) {
    auto dev = make({.no_reply = true});
    ASSERT_TRUE(dev->bulk_out(msg_out(1, "*IDN?\n")));
    EXPECT_EQ(inst.received.size(), 1u);
    ASSERT_TRUE(dev->bulk_out(request_in(2, 100)));
    EXPECT_FALSE(dev->bulk_in(4096, Clock::now() + std::chrono::hours(1)));
    EXPECT_FALSE(dev->next_ready());
}

TEST_F(DeviceTest, NewMessageDiscardsUnreadReply) {
    auto dev = make();
    inst.reply = std::string(50, 'a');
    ASSERT_TRUE(dev->bulk_out(msg_out(1, "Q?\n")));
    ASSERT_TRUE(dev->bulk_out(request_in(2, 10)));
    ASSERT_TRUE(dev->bulk_in(4096, Clock::now()));  // 10 of 50 bytes read
    inst.reply = "0,\"No error\"\n";
    ASSERT_TRUE(dev->bulk_out(msg_out(3, "SYST:ERR?\n")));
    const auto pieces = read_all(*dev, 1000);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].data, inst.reply);
}

TEST_F(DeviceTest, MalformedTransfersHaltUntilCleared) {
    auto dev = make();
    Bytes bad = msg_out(1, "*RST\n");
    bad[2] = 0;  // bTag inverse wrong
    EXPECT_FALSE(dev->bulk_out(bad));
    EXPECT_FALSE(dev->bulk_out(msg_out(2, "*RST\n"))) << "halted until CLEAR_FEATURE";
    dev->clear_halt(UsbtmcDevice::kBulkOutEndpoint);
    EXPECT_TRUE(dev->bulk_out(msg_out(3, "OK\n")));
    EXPECT_EQ(inst.received, std::vector<std::string>{"OK\n"});

    const std::vector<Bytes> malformed = {
        Bytes{1, 2, 0xFD},                                           // shorter than a header
        header(tmc::VENDOR_SPECIFIC_OUT, 4, 4, 0),                   // unsupported MsgID
        header(0x55, 4, 4, 0),                                       // unknown MsgID
        header(tmc::DEV_DEP_MSG_OUT, 4, 0, tmc::kAttrEom),           // empty transfer
        header(tmc::REQUEST_DEV_DEP_MSG_IN, 4, 0, 0),                // asks for nothing
        header(tmc::DEV_DEP_MSG_OUT, 4, 0xFFFFFFFF, tmc::kAttrEom),  // beyond any message
    };
    for (const auto& m : malformed) {
        EXPECT_FALSE(dev->bulk_out(m));
        dev->clear_halt(UsbtmcDevice::kBulkOutEndpoint);
    }
    EXPECT_EQ(inst.received.size(), 1u);
}

TEST_F(DeviceTest, MessageSizeIsBounded) {
    auto dev = make();
    const std::string chunk(256 * 1024, 'x');
    bool ok = true;
    int sent = 0;
    for (; sent < 8 && ok; ++sent)
        ok = dev->bulk_out(msg_out(1, chunk, false));
    EXPECT_FALSE(ok) << "a message past 1 MiB is refused";
    EXPECT_LE(sent, 5);
    EXPECT_TRUE(inst.received.empty());
    dev->clear_halt(UsbtmcDevice::kBulkOutEndpoint);
    EXPECT_TRUE(dev->bulk_out(msg_out(2, "*RST\n")));
    EXPECT_EQ(inst.received, std::vector<std::string>{"*RST\n"});
}

TEST_F(DeviceTest, AbortBulkInStatuses) {
    const std::uint8_t in_ep = UsbtmcDevice::kBulkInEndpoint;
    auto dev = make({.reply_delay = std::chrono::hours(1)});
    // Nothing in progress.
    auto r = control(*dev, tmc::kRequestTypeEndpointIn, tmc::INITIATE_ABORT_BULK_IN, 9, in_ep, 2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], tmc::STATUS_FAILED);
    EXPECT_EQ(r[1], 9);

    ASSERT_TRUE(dev->bulk_out(msg_out(1, "Q?\n")));
    ASSERT_TRUE(dev->bulk_out(request_in(9, 100)));
    r = control(*dev, tmc::kRequestTypeEndpointIn, tmc::INITIATE_ABORT_BULK_IN, 8, in_ep, 2);
    EXPECT_EQ(r.at(0), tmc::STATUS_TRANSFER_NOT_IN_PROGRESS);
    r = control(*dev, tmc::kRequestTypeEndpointIn, tmc::INITIATE_ABORT_BULK_IN, 9, in_ep, 2);
    EXPECT_EQ(r.at(0), tmc::STATUS_SUCCESS);
    EXPECT_EQ(r.at(1), 9);
    r = control(*dev, tmc::kRequestTypeEndpointIn, tmc::CHECK_ABORT_BULK_IN_STATUS, 0, in_ep, 8);
    ASSERT_EQ(r.size(), tmc::kCheckAbortLength);
    EXPECT_EQ(r[0], tmc::STATUS_SUCCESS);
    EXPECT_EQ(r[1] & 1, 0) << "nothing left to read";

    // The aborted reply is gone, and the next query gets its own.
    ASSERT_TRUE(dev->bulk_out(request_in(10, 100)));
    EXPECT_FALSE(dev->bulk_in(4096, Clock::now() + std::chrono::hours(2)));
    EXPECT_FALSE(dev->next_ready());
}

TEST_F(DeviceTest, AbortBulkOutDropsThePartialTransfer) {
    const std::uint8_t out_ep = UsbtmcDevice::kBulkOutEndpoint;
    auto dev = make();
    auto r = control(*dev, tmc::kRequestTypeEndpointIn, tmc::INITIATE_ABORT_BULK_OUT, 3, out_ep, 2);
    EXPECT_EQ(r.at(0), tmc::STATUS_FAILED);

    const Bytes t = msg_out(3, "FREQ 1 GHz\n");
    ASSERT_TRUE(dev->bulk_out(Bytes(t.begin(), t.begin() + 12 + 4)));
    r = control(*dev, tmc::kRequestTypeEndpointIn, tmc::INITIATE_ABORT_BULK_OUT, 4, out_ep, 2);
    EXPECT_EQ(r.at(0), tmc::STATUS_TRANSFER_NOT_IN_PROGRESS);
    r = control(*dev, tmc::kRequestTypeEndpointIn, tmc::INITIATE_ABORT_BULK_OUT, 3, out_ep, 2);
    EXPECT_EQ(r.at(0), tmc::STATUS_SUCCESS);
    EXPECT_EQ(r.at(1), 3);
    r = control(*dev, tmc::kRequestTypeEndpointIn, tmc::CHECK_ABORT_BULK_OUT_STATUS, 0, out_ep, 8);
    ASSERT_EQ(r.size(), tmc::kCheckAbortLength);
    EXPECT_EQ(r[0], tmc::STATUS_SUCCESS);
    EXPECT_EQ(r[4], 4) << "NBYTES_RXD";

    ASSERT_TRUE(dev->bulk_out(msg_out(4, "*RST\n")));
    EXPECT_EQ(inst.received, std::vector<std::string>{"*RST\n"});
}

TEST_F(DeviceTest, ClearDropsInputAndOutput) {
    auto dev = make();
    ASSERT_TRUE(dev->bulk_out(msg_out(1, "Q?\n")));
    ASSERT_TRUE(dev->bulk_out(msg_out(2, "PARTIAL", false)));
    auto r = control(*dev, tmc::kRequestTypeInterfaceIn, tmc::INITIATE_CLEAR, 0, 0, 1);
    EXPECT_EQ(r, Bytes{tmc::STATUS_SUCCESS});
    EXPECT_EQ(inst.clears, 1);
    r = control(*dev, tmc::kRequestTypeInterfaceIn, tmc::CHECK_CLEAR_STATUS, 0, 0, 2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], tmc::STATUS_SUCCESS);
    EXPECT_EQ(r[1] & 1, 0);

    ASSERT_TRUE(dev->bulk_out(request_in(3, 100)));
    EXPECT_FALSE(dev->bulk_in(4096, Clock::now())) << "the reply was cleared";
    ASSERT_TRUE(dev->bulk_out(msg_out(4, "END\n")));
    EXPECT_EQ(inst.received.back(), "END\n") << "the partial message was cleared";
}

TEST_F(DeviceTest, ResetDropsEverythingButTheSettings) {
    auto dev = make();
    ASSERT_TRUE(dev->bulk_out(msg_out(1, "Q?\n")));
    ASSERT_TRUE(dev->bulk_out(msg_out(2, "HALF", false)));
    ASSERT_TRUE(dev->bulk_out(request_in(3, 100)));
    dev->reset();
    EXPECT_FALSE(dev->bulk_in(4096, Clock::now()));
    EXPECT_EQ(inst.clears, 0);
    ASSERT_TRUE(dev->bulk_out(msg_out(4, "Q2?\n")));
    EXPECT_EQ(inst.received.back(), "Q2?\n");
    EXPECT_FALSE(dev->bulk_in(4096, Clock::now())) << "the request was dropped too";
    const auto pieces = read_all(*dev, 100);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].data, "REPLY\n");
}

}  // namespace
