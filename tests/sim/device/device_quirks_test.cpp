// The device core's quirks at the transfer level: the DEV_DEP_MSG_IN
// transfers and class request answers a host gets from a device that bends
// the rules as device_quirks.h says.
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
using namespace std::chrono_literals;
using sgsim::Clock;
using sgsim::DeviceFaults;
using sgsim::DeviceQuirks;
using sgsim::UsbtmcDevice;
using simtest::Bytes;
using simtest::describe_in;
using simtest::msg_out;
using simtest::request_in;

class DeviceQuirk : public ::testing::Test {
  protected:
    simtest::ScriptedInstrument inst;
    std::unique_ptr<UsbtmcDevice> dev;
    std::uint8_t tag = 0;

    void make(DeviceQuirks quirks) {
        dev = std::make_unique<UsbtmcDevice>(inst, DeviceFaults{.quirks = quirks}, nullptr);
    }
    void query(std::string reply) {
        inst.reply = std::move(reply);
        ASSERT_TRUE(dev->bulk_out(msg_out(++tag, "Q?\n")));
    }
    // Requests of `size` (TermChar `term` when given) until one gets
    // nothing: each transfer described.
    std::vector<std::string> read_all(std::uint32_t size = 100, std::optional<char> term = {}) {
        std::vector<std::string> got;
        for (int i = 0; i < 10; ++i) {
            EXPECT_TRUE(dev->bulk_out(request_in(++tag, size, term.has_value(),
                                                 static_cast<std::uint8_t>(term.value_or(0)))));
            const auto t = dev->bulk_in(4096, Clock::now());
            if (!t)
                break;
            EXPECT_EQ(t->size() % 4, 0u);
            got.push_back(describe_in(*t));
        }
        return got;
    }
    // What the device has committed by `now`.
    std::optional<Bytes> take_committed(Clock::time_point now) {
        dev->advance(now);
        return dev->take_committed();
    }
    Bytes control(std::uint8_t request, std::uint16_t value = 0, std::uint16_t length = 64) {
        const bool to_in = request == tmc::INITIATE_ABORT_BULK_IN;
        const auto r = dev->control_in(
            to_in ? tmc::kRequestTypeEndpointIn : tmc::kRequestTypeInterfaceIn, request, value,
            to_in ? UsbtmcDevice::kBulkInEndpoint : UsbtmcDevice::kInterfaceNumber, length);
        return r.value_or(Bytes{0xEE});  // 0xEE: stalled
    }
};

TEST_F(DeviceQuirk, TransfersAsEachQuirkCutsThem) {
    const std::string r = "0123456789\n";
    struct Case {
        DeviceQuirks quirks;
        std::uint32_t size;
        std::optional<char> term;
        std::vector<std::string> expected;  // the first request's tag is 2
    };
    const std::vector<Case> cases = {
        {{}, 100, {}, {"tag 2 size 11 E- 0123456789\n (24)"}},
        {{.split = 4},
         100,
         {},
         {"tag 2 size 4 -- 0123 (16)", "tag 3 size 4 -- 4567 (16)", "tag 4 size 3 E- 89\n (16)"}},
        {{.eom_always = 4},
         100,
         {},
         {"tag 2 size 4 E- 0123 (16)", "tag 3 size 4 E- 4567 (16)", "tag 4 size 3 E- 89\n (16)"}},
        {{.eom_always = 8},
         3,
         {},
         {"tag 2 size 3 E- 012 (16)", "tag 3 size 3 E- 345 (16)", "tag 4 size 3 E- 678 (16)",
          "tag 5 size 2 E- 9\n (16)"}},
        {{.eom_never = true}, 100, {}, {"tag 2 size 11 -- 0123456789\n (24)"}},
        {{.split = 6, .eom_never = true},
         100,
         {},
         {"tag 2 size 6 -- 012345 (20)", "tag 3 size 5 -- 6789\n (20)"}},
        // The linefeed beyond TransferSize, in the padding's place or beyond.
        {{.size_skew = true}, 100, {}, {"tag 2 size 10 E- 0123456789\n (24)"}},
        {{.split = 4, .size_skew = true},
         100,
         {},
         {"tag 2 size 4 -- 0123 (16)", "tag 3 size 4 -- 4567 (16)", "tag 4 size 2 E- 89\n (16)"}},
        {{.split = 9, .size_skew = true},
         100,
         {},
         {"tag 2 size 9 -- 012345678 (24)", "tag 3 size 1 E- 9\n (16)"}},
        {{.split = 4, .tag_repeat = true},
         100,
         {},
         {"tag 2 size 4 -- 0123 (16)", "tag 2 size 4 -- 4567 (16)", "tag 2 size 3 E- 89\n (16)"}},
        {{.tag_repeat = true},
         6,
         {},
         {"tag 2 size 6 -- 012345 (20)", "tag 2 size 5 E- 6789\n (20)"}},
        {{}, 100, '5', {"tag 2 size 6 -T 012345 (20)", "tag 3 size 5 E- 6789\n (20)"}},
        {{.ignore_termchar = true}, 100, '5', {"tag 2 size 11 E- 0123456789\n (24)"}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        make(cases[i].quirks);
        tag = 0;
        query(r);
        EXPECT_EQ(read_all(cases[i].size, cases[i].term), cases[i].expected) << "case " << i;
    }

    // tag-repeat: the next reply starts with its own request's bTag.
    make({.split = 8, .tag_repeat = true});
    tag = 0;
    query(r);
    read_all();
    query("AB\n");
    EXPECT_EQ(read_all(), std::vector<std::string>{"tag 6 size 3 E- AB\n (16)"});
}

TEST_F(DeviceQuirk, LateReplyGoesOutWithItsOwnTagAfterAnAbortAndANewQuery) {
    make({.late = 1h});
    query("FIRST\n");
    ASSERT_TRUE(dev->bulk_out(request_in(2, 100)));
    EXPECT_FALSE(dev->bulk_in(4096, Clock::now())) << "late replies are committed, not pulled";
    EXPECT_FALSE(take_committed(Clock::now()));
    // The host times out and aborts: the device is still working on it.
    EXPECT_EQ(control(tmc::INITIATE_ABORT_BULK_IN, 2, 2),
              (Bytes{tmc::STATUS_TRANSFER_NOT_IN_PROGRESS, 2}));
    EXPECT_EQ(control(tmc::INITIATE_ABORT_BULK_IN, 9, 2),
              (Bytes{tmc::STATUS_TRANSFER_NOT_IN_PROGRESS, 9}));
    // The next query, and its request, which waits its own delay.
    tag = 2;
    query("SECOND\n");
    const Clock::time_point second_asked = Clock::now();
    ASSERT_TRUE(dev->bulk_out(request_in(4, 100)));

    const auto first_due = dev->next_ready();
    ASSERT_TRUE(first_due);
    EXPECT_FALSE(take_committed(*first_due - 1ms));
    const auto first = take_committed(*first_due);
    ASSERT_TRUE(first);
    EXPECT_EQ(describe_in(*first), "tag 2 size 6 E- FIRST\n (20)")
        << "the abandoned request's bTag";
    EXPECT_FALSE(take_committed(*first_due));
    const auto second_due = dev->next_ready();
    ASSERT_TRUE(second_due);
    EXPECT_GE(*second_due, second_asked + 1h);
    const auto second = take_committed(*second_due);
    ASSERT_TRUE(second);
    EXPECT_EQ(describe_in(*second), "tag 4 size 7 E- SECOND\n (20)");
    EXPECT_FALSE(dev->next_ready());
    EXPECT_EQ(control(tmc::INITIATE_ABORT_BULK_IN, 4, 2), (Bytes{tmc::STATUS_FAILED, 4}));

    // A request made before its query takes the reply once there is one; a
    // device clear drops a late reply that is not yet due.
    ASSERT_TRUE(dev->bulk_out(request_in(5, 100)));
    EXPECT_FALSE(dev->next_ready());
    query("THIRD\n");
    const auto third_due = dev->next_ready();
    ASSERT_TRUE(third_due);
    EXPECT_EQ(describe_in(take_committed(*third_due).value_or(Bytes{})),
              "tag 5 size 6 E- THIRD\n (20)");
    query("FOURTH\n");
    ASSERT_TRUE(dev->bulk_out(request_in(7, 100)));
    EXPECT_EQ(control(tmc::INITIATE_CLEAR), Bytes{tmc::STATUS_SUCCESS});
    EXPECT_FALSE(dev->next_ready());
    EXPECT_FALSE(take_committed(Clock::now() + 2h));
}

TEST_F(DeviceQuirk, LeftoverComesFirstOnceWhateverResetsCameBefore) {
    make({});
    EXPECT_FALSE(take_committed(Clock::now()));

    make({.leftover = true});
    dev->reset();  // a gadget is reset when the first host configures it
    query("OWN\n");
    ASSERT_TRUE(dev->bulk_out(request_in(2, 100)));
    const auto leftover = take_committed(Clock::now());
    ASSERT_TRUE(leftover);
    EXPECT_EQ(describe_in(*leftover),
              "tag 165 size 62 E- leftover: the reply to an earlier program's query, never "
              "read\n (76)");
    EXPECT_EQ((*leftover)[2], 0x5A) << "the bTag's inverse";
    EXPECT_FALSE(take_committed(Clock::now())) << "once";
    EXPECT_EQ(describe_in(dev->bulk_in(4096, Clock::now()).value_or(Bytes{})),
              "tag 2 size 4 E- OWN\n (16)");
}

TEST_F(DeviceQuirk, EmptyWhenIdleAnswersARequestThatFindsNoResponseAtOnce) {
    dev = std::make_unique<UsbtmcDevice>(
        inst, DeviceFaults{.reply_delay = 1h, .quirks = {.empty_when_idle = true}}, nullptr);
    ASSERT_TRUE(dev->bulk_out(request_in(1, 100)));
    EXPECT_EQ(describe_in(dev->bulk_in(4096, Clock::now()).value_or(Bytes{})),
              "tag 1 size 0 --  (12)");
    EXPECT_FALSE(dev->bulk_in(4096, Clock::now())) << "one request, one answer";
    query("LATER\n");
    ASSERT_TRUE(dev->bulk_out(request_in(3, 100)));
    EXPECT_EQ(describe_in(dev->bulk_in(4096, Clock::now()).value_or(Bytes{})),
              "tag 3 size 0 --  (12)")
        << "the response is not ready yet";
    ASSERT_TRUE(dev->bulk_out(request_in(4, 100)));
    const auto due = dev->next_ready();
    ASSERT_TRUE(due);
    EXPECT_EQ(describe_in(dev->bulk_in(4096, *due).value_or(Bytes{})),
              "tag 4 size 6 E- LATER\n (20)");
}

TEST_F(DeviceQuirk, StallRemoteClaimsTheRequestsButStallsThem) {
    make({.stall_remote = true});
    const Bytes caps = control(tmc::GET_CAPABILITIES, 0, tmc::kCapabilitiesLength);
    ASSERT_EQ(caps.size(), tmc::kCapabilitiesLength);
    EXPECT_TRUE(caps[tmc::kCapsUsb488Interface] & tmc::kUsb488CapRemoteLocal);
    EXPECT_TRUE(caps[tmc::kCapsUsb488Device] & tmc::kUsb488DeviceRl1);
    EXPECT_EQ(control(tmc::USB488_REN_CONTROL, 1), Bytes{0xEE});
    EXPECT_EQ(control(tmc::USB488_LOCAL_LOCKOUT), Bytes{0xEE});
    EXPECT_EQ(control(tmc::USB488_GO_TO_LOCAL), Bytes{0xEE});
    EXPECT_EQ(dev->remote_state(), sgsim::RemoteLocal::State::Local);
    EXPECT_EQ(control(tmc::USB488_READ_STATUS_BYTE, 2, 3).at(0), tmc::STATUS_SUCCESS);
    query("STILL\n");
    EXPECT_EQ(read_all(), std::vector<std::string>{"tag 2 size 6 E- STILL\n (20)"});
}

TEST_F(DeviceQuirk, ClearPendingNeverComesOutOfTheClear) {
    make({.clear_pending = true});
    EXPECT_EQ(control(tmc::CHECK_CLEAR_STATUS, 0, 2), (Bytes{tmc::STATUS_SUCCESS, 0}))
        << "no clear yet";
    query("DROPPED\n");
    EXPECT_EQ(control(tmc::INITIATE_CLEAR, 0, 1), Bytes{tmc::STATUS_SUCCESS});
    EXPECT_EQ(inst.clears, 1);
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(control(tmc::CHECK_CLEAR_STATUS, 0, 2), (Bytes{tmc::STATUS_PENDING, 0}));
    EXPECT_TRUE(read_all().empty()) << "the clear itself was done";
    query("WORKS\n");
    EXPECT_EQ(read_all(), std::vector<std::string>{"tag 4 size 6 E- WORKS\n (20)"});
    dev->reset();
    EXPECT_EQ(control(tmc::CHECK_CLEAR_STATUS, 0, 2), (Bytes{tmc::STATUS_SUCCESS, 0}));
}

TEST_F(DeviceQuirk, HaltAfterCloseHaltsBothBulkEndpointsUntilEachIsCleared) {
    make({});
    query("A\n");
    EXPECT_FALSE(dev->host_gone()) << "not without the quirk";

    make({.halt_after_close = true});
    EXPECT_FALSE(dev->host_gone()) << "no host used it yet";
    query("A\n");
    EXPECT_TRUE(dev->host_gone());
    dev->reset();  // the host's going away resets the device too: the halts stay
    EXPECT_TRUE(dev->bulk_in_halted());
    EXPECT_FALSE(dev->bulk_out(msg_out(++tag, "Q?\n")));
    EXPECT_FALSE(dev->host_gone()) << "a second host that got nothing through";
    dev->clear_halt(UsbtmcDevice::kBulkOutEndpoint);
    query("B\n");
    ASSERT_TRUE(dev->bulk_out(request_in(++tag, 100)));
    EXPECT_FALSE(dev->bulk_in(4096, Clock::now())) << "bulk-IN still halted";
    dev->clear_halt(UsbtmcDevice::kBulkInEndpoint);
    EXPECT_FALSE(dev->bulk_in_halted());
    EXPECT_EQ(describe_in(dev->bulk_in(4096, Clock::now()).value_or(Bytes{})),
              "tag 5 size 2 E- B\n (16)");
}

}  // namespace
