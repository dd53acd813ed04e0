// The local bus server's claim between connections, in raw frames: waiting
// claims, take-overs, RELEASE, and what a connection that lost the claim is
// answered. The device's message log shows what reached the instrument.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "attach/raw_connection.h"
#include "in_process_sim.h"
#include "proto/localbus_frames.h"
#include "temp_dir.h"

namespace {

namespace lb = sgproto::localbus;
using simtest::RawConnection;
constexpr std::uint8_t kNotClaimed = lb::STATUS_NOT_CLAIMED;

class LocalbusClaim : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", tmp_.make_subdir("run").c_str(), 1);
        sim_ = std::make_unique<sgtest::InProcessSim>("SIM001", sgsim::DeviceFaults{}, log_);
    }

    std::unique_ptr<RawConnection> connect() {
        return std::make_unique<RawConnection>(sim_->socket_path());
    }
    // A connection whose CLAIM (seq 1) the device has seen and left waiting.
    std::unique_ptr<RawConnection> waiting_claimer(std::uint32_t how) {
        auto c = connect();
        c->send(lb::CLAIM, 1, how);
        c->sync(2, kNotClaimed);
        return c;
    }
    std::unique_ptr<RawConnection> holder() {
        auto c = connect();
        c->send(lb::CLAIM, 1, lb::kClaimWait);
        c->expect(lb::CLAIM, 1, lb::STATUS_OK);
        return c;
    }
    std::string received() const {
        std::stringstream s;
        s << std::ifstream(log_).rdbuf();
        return s.str();
    }

    sgtest::TempDir tmp_;
    const std::string log_ = tmp_.path() + "/received.log";
    std::unique_ptr<sgtest::InProcessSim> sim_;
};

TEST_F(LocalbusClaim, TakeOverIsAtOnceUnlessTheHolderWaitsForABulkIn) {
    auto a = holder();
    auto b = connect();
    b->send(lb::CLAIM, 1, lb::kClaimTakeOver);
    b->expect(lb::CLAIM, 1, lb::STATUS_OK);
    a->write(2, "OUTP ON\n", kNotClaimed);  // refused, not carried out

    // B waits for a reply: A's take-over waits until it is answered.
    b->request_reply(2);
    b->sync(3, lb::STATUS_OK);
    a->send(lb::CLAIM, 3, lb::kClaimTakeOver);
    a->sync(4, kNotClaimed);
    a->expect_nothing();
    b->write(4, "OUTP?\n");
    EXPECT_EQ(b->reply(2), "0\n");
    a->expect(lb::CLAIM, 3, lb::STATUS_OK);
    b->write(5, "OUTP ON\n", kNotClaimed);

    // ... or cancelled.
    a->request_reply(5);
    a->sync(6, lb::STATUS_OK);
    auto c = waiting_claimer(lb::kClaimTakeOver);
    c->expect_nothing();
    a->send(lb::CANCEL, 7, 5);
    a->expect(lb::BULK_IN, 5, lb::STATUS_CANCELLED);
    c->expect(lb::CLAIM, 1, lb::STATUS_OK);
    EXPECT_EQ(c->query(3, "*OPC?\n"), "1\n");
    EXPECT_EQ(received(), "OUTP?\n*OPC?\n");
}

TEST_F(LocalbusClaim, ReleaseHandsTheClaimOnAndLeavesTheDeviceAsItIs) {
    auto a = holder();
    auto b = waiting_claimer(lb::kClaimWait);
    b->expect_nothing();
    a->write(2, "*IDN?\n");  // its reply is left unread
    a->send(lb::RELEASE, 3, 0);
    a->expect(lb::RELEASE, 3, lb::STATUS_OK);
    b->expect(lb::CLAIM, 1, lb::STATUS_OK);
    a->write(4, "*RST\n", kNotClaimed);
    a->send(lb::RELEASE, 5, 0);  // holding nothing
    a->expect(lb::RELEASE, 5, lb::STATUS_OK);
    b->request_reply(3);
    EXPECT_EQ(b->reply(3), "Simulated Signal Sources,SG-4040,SIM001,1.0\n");

    // A message half sent by one holder is ended by the next.
    b->write(4, "OUTP ", lb::STATUS_OK, false);
    b->send(lb::RELEASE, 5, 0);
    b->expect(lb::RELEASE, 5, lb::STATUS_OK);
    a->send(lb::CLAIM, 6, lb::kClaimWait);
    a->expect(lb::CLAIM, 6, lb::STATUS_OK);
    a->write(7, "ON\n");
    EXPECT_EQ(a->query(8, "OUTP?\n"), "1\n");
    EXPECT_EQ(received(), "*IDN?\nOUTP ON\nOUTP?\n");
}

TEST_F(LocalbusClaim, ReleaseWithdrawsAClaimOrABulkInAndTakeOversGoBeforeWaiters) {
    auto a = holder();
    auto b = waiting_claimer(lb::kClaimWait);
    b->send(lb::CLAIM, 3, lb::kClaimTakeOver);  // ignored: its CLAIM 1 waits
    b->send(lb::RELEASE, 4, 0);
    b->expect(lb::CLAIM, 1, kNotClaimed);
    b->expect(lb::RELEASE, 4, lb::STATUS_OK);
    a->request_reply(2);
    a->send(lb::RELEASE, 3, 0);
    a->expect(lb::BULK_IN, 2, lb::STATUS_CANCELLED);
    a->expect(lb::RELEASE, 3, lb::STATUS_OK);
    b->send(lb::CLAIM, 5, lb::kClaimWait);  // nobody holds it
    b->expect(lb::CLAIM, 5, lb::STATUS_OK);

    auto waiter = waiting_claimer(lb::kClaimWait);
    auto d = connect();
    d->send(lb::CLAIM, 1, lb::kClaimTakeOver);
    d->expect(lb::CLAIM, 1, lb::STATUS_OK);
    waiter->expect_nothing();
    d->close();  // a holder that closes hands the claim to the waiter
    waiter->expect(lb::CLAIM, 1, lb::STATUS_OK);
    b->write(6, "*RST\n", kNotClaimed);

    auto bad = connect();
    bad->send(lb::CLAIM, 1, 2);  // no such kind of claim
    bad->expect_closed();
    EXPECT_EQ(waiter->query(3, "*OPC?\n"), "1\n");
}

}  // namespace
