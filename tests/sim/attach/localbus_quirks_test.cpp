// sgsim --quirk on the local bus, in raw frames: the bytes, transfers and
// packet boundaries a host's BULK_IN reads get from a device with each
// quirk, and its answers to class requests.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "attach/raw_connection.h"
#include "proto/localbus_frames.h"
#include "sim_process.h"
#include "temp_dir.h"
#include "usbtmc_transfers.h"

namespace {

namespace lb = sgproto::localbus;
namespace tmc = sgproto::usbtmc;
using namespace std::chrono_literals;
using simtest::Bytes;
using simtest::describe_in;
using simtest::msg_out;
using simtest::RawConnection;
using simtest::request_in;
using Descriptions = std::vector<std::string>;

class LocalbusQuirk : public ::testing::Test {
  protected:
    // sgsim with `args`, *IDN? answering `idn` and a linefeed.
    void start(std::vector<std::string> args, const std::string& idn = "0123456789") {
        args.insert(args.end(), {"--idn", idn});
        sim_ = std::make_unique<sgtest::SimProcess>(runtime_, "SIM001", args);
        ASSERT_TRUE(sim_->ready());
    }
    std::unique_ptr<RawConnection> holder() {
        auto c = std::make_unique<RawConnection>(runtime_ + "/sgvisa/4d19-0040-SIM001.sock");
        c->send(lb::CLAIM, ++seq_, lb::kClaimWait);
        c->expect(lb::CLAIM, seq_, lb::STATUS_OK);
        return c;
    }
    void out(RawConnection& c, const Bytes& transfer, std::uint8_t status = lb::STATUS_OK) {
        c.send(lb::BULK_OUT, ++seq_, 0, transfer);
        c.expect(lb::BULK_OUT, seq_, status);
    }
    // *IDN? with bTag `tag`, and its REQUEST_DEV_DEP_MSG_IN with `tag` + 1.
    void ask(RawConnection& c, std::uint8_t tag, std::uint32_t size = 4096, char term = 0) {
        out(c, msg_out(tag, "*IDN?\n"));
        out(c, request_in(tag + 1, size, term != 0, static_cast<std::uint8_t>(term)));
    }
    // A BULK_IN of at most `max` bytes, answered OK: what it got.
    Bytes bulk_in(RawConnection& c, std::uint32_t max = 4608) {
        c.send(lb::BULK_IN, ++seq_, max);
        return c.expect(lb::BULK_IN, seq_, lb::STATUS_OK);
    }
    Bytes control(RawConnection& c, std::uint8_t request, std::uint8_t status = lb::STATUS_OK) {
        std::array<std::uint8_t, lb::kControlSetupSize> setup{};
        lb::encode_setup({tmc::kRequestTypeInterfaceIn, request, 1, 0, 64}, setup);
        c.send(lb::CONTROL_IN, ++seq_, 0, setup);
        return c.expect(lb::CONTROL_IN, seq_, status);
    }

    sgtest::TempDir tmp_;
    const std::string runtime_ = tmp_.make_subdir("run");
    std::unique_ptr<sgtest::SimProcess> sim_;
    std::uint32_t seq_ = 0;
};

TEST_F(LocalbusQuirk, WithoutQuirksABulkInGetsItsWholeTransferAndAZeroLengthPacketStaysWhenFull) {
    start({}, std::string(499, 'x'));  // a reply of 500 bytes: a transfer of one full packet
    auto c = holder();
    ask(*c, 1);
    const Bytes whole = bulk_in(*c);
    EXPECT_EQ(whole.size(), 512u);
    EXPECT_EQ(describe_in(whole), "tag 2 size 500 E- " + std::string(499, 'x') + "\n (512)");
    ask(*c, 3);
    EXPECT_EQ(bulk_in(*c, 512).size(), 512u);
    EXPECT_EQ(bulk_in(*c).size(), 0u) << "the zero-length packet after it";
    ask(*c, 5);
    EXPECT_EQ(describe_in(bulk_in(*c)).substr(0, 15), "tag 6 size 500 ");
}

TEST_F(LocalbusQuirk, Packet64SendsShortPacketsOfAHighSpeedEndpoint) {
    start({"--quirk", "packet64"}, std::string(149, 'x'));  // a transfer of 164 bytes
    auto c = holder();
    lb::DeviceHello hello;
    ASSERT_TRUE(lb::decode_hello(c->hello(), hello));
    EXPECT_EQ(hello.max_packet_size, 512) << "the endpoint still says 512";
    ask(*c, 1);
    Bytes all;
    for (const std::size_t expected : {64u, 64u, 36u}) {
        const Bytes piece = bulk_in(*c);
        EXPECT_EQ(piece.size(), expected);
        all.insert(all.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(describe_in(all), "tag 2 size 150 E- " + std::string(149, 'x') + "\n (164)");
}

TEST_F(LocalbusQuirk, NoZlpLeavesTheReadOpenUntilTheNextReplyEndsIt) {
    start({"--quirk", "no-zlp"}, std::string(499, 'x'));
    auto c = holder();
    ask(*c, 1);
    c->send(lb::BULK_IN, 50, 4608);
    c->expect_nothing();
    out(*c, msg_out(3, "*OPC?\n"));
    out(*c, request_in(4, 4096));
    const Bytes both = c->expect(lb::BULK_IN, 50, lb::STATUS_OK);
    ASSERT_EQ(both.size(), 512u + 16u) << "one read, two transfers";
    EXPECT_EQ(describe_in(Bytes(both.begin(), both.begin() + 512)).substr(0, 15),
              "tag 2 size 500 ");
    EXPECT_EQ(describe_in(Bytes(both.begin() + 512, both.end())), "tag 4 size 2 E- 1\n (16)");

    // A host that gives up gets the packets with its cancelled BULK_IN.
    ask(*c, 5);
    c->send(lb::BULK_IN, 51, 4608);
    c->expect_nothing(100ms);
    c->send(lb::CANCEL, 52, 51);
    EXPECT_EQ(describe_in(c->expect(lb::BULK_IN, 51, lb::STATUS_CANCELLED)).substr(0, 15),
              "tag 6 size 500 ");
    out(*c, msg_out(7, "*OPC?\n"));
    out(*c, request_in(8, 4096));
    EXPECT_EQ(describe_in(bulk_in(*c)), "tag 8 size 2 E- 1\n (16)");
}

TEST_F(LocalbusQuirk, LeadingEmptyPacketBeforeEachTransfer) {
    start({"--quirk", "leading-empty"});
    auto c = holder();
    for (std::uint8_t tag = 1; tag < 5; tag += 2) {
        ask(*c, tag);
        EXPECT_EQ(bulk_in(*c).size(), 0u);
        EXPECT_EQ(describe_in(bulk_in(*c)),
                  "tag " + std::to_string(tag + 1) + " size 11 E- 0123456789\n (24)");
    }
}

TEST_F(LocalbusQuirk, TransferQuirksOnTheWire) {
    struct Case {
        std::string quirks;
        std::uint32_t size;
        char term;
        Descriptions expected;
    };
    const std::vector<Case> cases = {
        {"split:4",
         4096,
         0,
         {"tag 2 size 4 -- 0123 (16)", "tag 3 size 4 -- 4567 (16)", "tag 4 size 3 E- 89\n (16)"}},
        {"eom-always:8", 4096, 0, {"tag 2 size 8 E- 01234567 (20)", "tag 3 size 3 E- 89\n (16)"}},
        {"eom-never", 4096, 0, {"tag 2 size 11 -- 0123456789\n (24)"}},
        {"size-skew", 4096, 0, {"tag 2 size 10 E- 0123456789\n (24)"}},
        {"tag-repeat", 6, 0, {"tag 2 size 6 -- 012345 (20)", "tag 2 size 5 E- 6789\n (20)"}},
        {"ignore-termchar", 4096, '4', {"tag 2 size 11 E- 0123456789\n (24)"}},
    };
    for (const Case& k : cases) {
        start({"--quirk", k.quirks});
        auto c = holder();
        ask(*c, 1, k.size, k.term);
        Descriptions got{describe_in(bulk_in(*c))};
        for (std::uint8_t tag = 3; got.size() < k.expected.size(); ++tag) {
            out(*c, request_in(tag, k.size, k.term != 0, static_cast<std::uint8_t>(k.term)));
            got.push_back(describe_in(bulk_in(*c)));
        }
        EXPECT_EQ(got, k.expected) << k.quirks;
        out(*c, request_in(9, k.size));
        c->send(lb::BULK_IN, 60, 4608);
        c->expect_nothing(100ms);  // the reply is over
        sim_.reset();
    }
}

TEST_F(LocalbusQuirk, EmptyWhenIdleAnswersARequestWithoutAResponseAtOnce) {
    start({"--quirk", "empty-when-idle"});
    auto c = holder();
    out(*c, request_in(1, 4096));
    EXPECT_EQ(describe_in(bulk_in(*c)), "tag 1 size 0 --  (12)");
    ask(*c, 2);
    EXPECT_EQ(describe_in(bulk_in(*c)), "tag 3 size 11 E- 0123456789\n (24)");
}

TEST_F(LocalbusQuirk, LeftoverIsTheFirstConnectionsFirstRead) {
    start({"--quirk", "leftover"});
    auto first = holder();
    ask(*first, 1);
    EXPECT_EQ(describe_in(bulk_in(*first)),
              "tag 165 size 62 E- leftover: the reply to an earlier program's query, never read\n "
              "(76)");
    EXPECT_EQ(describe_in(bulk_in(*first)), "tag 2 size 11 E- 0123456789\n (24)");
    first.reset();
    auto second = holder();
    ask(*second, 1);
    EXPECT_EQ(describe_in(bulk_in(*second)), "tag 2 size 11 E- 0123456789\n (24)");
}

TEST_F(LocalbusQuirk, LateReplyOutlivesItsAbortAndComesBeforeTheNextQuerysReply) {
    start({"--quirk", "late:400"});
    auto c = holder();
    const auto asked = std::chrono::steady_clock::now();
    ask(*c, 1);
    c->send(lb::BULK_IN, 50, 4608);
    c->expect_nothing(200ms);
    // The host gives up: it takes its BULK_IN back and aborts the request.
    c->send(lb::CANCEL, 51, 50);
    c->expect(lb::BULK_IN, 50, lb::STATUS_CANCELLED);
    std::array<std::uint8_t, lb::kControlSetupSize> setup{};
    lb::encode_setup({tmc::kRequestTypeEndpointIn, tmc::INITIATE_ABORT_BULK_IN, 2, 0x82, 2}, setup);
    c->send(lb::CONTROL_IN, 52, 0, setup);
    EXPECT_EQ(c->expect(lb::CONTROL_IN, 52, lb::STATUS_OK),
              (Bytes{tmc::STATUS_TRANSFER_NOT_IN_PROGRESS, 2}));
    // Its next query gets the abandoned one's reply first, with its bTag.
    out(*c, msg_out(3, "*OPC?\n"));
    const auto asked_again = std::chrono::steady_clock::now();
    out(*c, request_in(4, 4096));
    EXPECT_EQ(describe_in(bulk_in(*c)), "tag 2 size 11 E- 0123456789\n (24)");
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 400ms);
    EXPECT_EQ(describe_in(bulk_in(*c)), "tag 4 size 2 E- 1\n (16)");
    EXPECT_GE(std::chrono::steady_clock::now() - asked_again, 400ms);
}

TEST_F(LocalbusQuirk, HaltAfterCloseStallsTheNextHostUntilItClearsBothHalts) {
    start({"--quirk", "halt-after-close"});
    auto first = holder();
    ask(*first, 1);
    EXPECT_EQ(describe_in(bulk_in(*first)), "tag 2 size 11 E- 0123456789\n (24)");
    first.reset();

    auto second = holder();
    out(*second, msg_out(1, "*IDN?\n"), lb::STATUS_STALL);
    second->send(lb::BULK_IN, 70, 4608);
    second->expect(lb::BULK_IN, 70, lb::STATUS_STALL);
    second->send(lb::CLEAR_HALT, 71, 0x01);
    second->expect(lb::CLEAR_HALT, 71, lb::STATUS_OK);
    ask(*second, 3);
    second->send(lb::BULK_IN, 72, 4608);
    second->expect(lb::BULK_IN, 72, lb::STATUS_STALL);  // bulk-IN is still halted
    second->send(lb::CLEAR_HALT, 73, 0x82);
    second->expect(lb::CLEAR_HALT, 73, lb::STATUS_OK);
    EXPECT_EQ(describe_in(bulk_in(*second)), "tag 4 size 11 E- 0123456789\n (24)");
    second.reset();

    auto third = holder();  // after a host that cleared them: halted again
    out(*third, msg_out(1, "*IDN?\n"), lb::STATUS_STALL);
}

TEST_F(LocalbusQuirk, StallRemoteAndClearPendingAnswers) {
    start({"--quirk", "stall-remote,clear-pending"});
    auto c = holder();
    const Bytes caps = control(*c, tmc::GET_CAPABILITIES);
    ASSERT_EQ(caps.size(), tmc::kCapabilitiesLength);
    EXPECT_TRUE(caps[tmc::kCapsUsb488Interface] & tmc::kUsb488CapRemoteLocal);
    for (const std::uint8_t r :
         {tmc::USB488_REN_CONTROL, tmc::USB488_LOCAL_LOCKOUT, tmc::USB488_GO_TO_LOCAL})
        control(*c, r, lb::STATUS_STALL);
    EXPECT_EQ(control(*c, tmc::INITIATE_CLEAR), Bytes{tmc::STATUS_SUCCESS});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(control(*c, tmc::CHECK_CLEAR_STATUS), (Bytes{tmc::STATUS_PENDING, 0}));
    ask(*c, 1);
    EXPECT_EQ(describe_in(bulk_in(*c)), "tag 2 size 11 E- 0123456789\n (24)");
}

}  // namespace
