// The local bus server's claim between connections, in raw frames: waiting
// claims, take-overs, RELEASE, and what a connection that lost the claim is
// answered. The device's message log shows what reached the instrument.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "attach/raw_connection.h"
#include "in_process_sim.h"
#include "localbus_frames.h"
#include "temp_dir.h"

namespace {

namespace lb = sgproto::localbus;
using simtest::RawConnection;

std::string read_file(const std::string& path) {
    std::string s;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return s;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        s.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return s;
}

class LocalbusClaim : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", tmp_.make_subdir("run").c_str(), 1);
        sim_ = std::make_unique<sgtest::InProcessSim>("SIM001", sgsim::DeviceFaults{}, log_);
    }

    // A connection that has taken its HELLO.
    std::unique_ptr<RawConnection> connect() {
        auto c = std::make_unique<RawConnection>(sim_->socket_path());
        EXPECT_TRUE(c->ok());
        return c;
    }

    // A connection holding the claim.
    std::unique_ptr<RawConnection> holder() {
        auto c = connect();
        c->send(lb::CLAIM, 1, lb::kClaimWait);
        c->expect(lb::CLAIM, 1, lb::STATUS_OK);
        return c;
    }

    std::string received() const { return read_file(log_); }

    sgtest::TempDir tmp_;
    const std::string log_ = tmp_.path() + "/received.log";
    std::unique_ptr<sgtest::InProcessSim> sim_;
};

TEST_F(LocalbusClaim, TakeOverIsGrantedAtOnceAndTheLoserIsRefusedUntilItClaimsAgain) {
    auto a = holder();
    auto b = connect();
    b->send(lb::CLAIM, 7, lb::kClaimTakeOver);
    b->expect(lb::CLAIM, 7, lb::STATUS_OK);

    // A lost the claim: refused, not carried out.
    a->write_message(2, "OUTP ON\n", lb::STATUS_NOT_CLAIMED);
    a->send(lb::CONTROL_IN, 3, 0);
    a->expect(lb::CONTROL_IN, 3, lb::STATUS_NOT_CLAIMED);
    EXPECT_EQ(b->query(8, "OUTP?\n"), "0\n");

    // A claims back the same way; now B is refused.
    a->send(lb::CLAIM, 4, lb::kClaimTakeOver);
    a->expect(lb::CLAIM, 4, lb::STATUS_OK);
    b->write_message(9, "OUTP ON\n", lb::STATUS_NOT_CLAIMED);
    EXPECT_EQ(a->query(5, "OUTP?\n"), "0\n");
    // Claiming what one holds is granted at once, either way.
    a->send(lb::CLAIM, 6, lb::kClaimWait);
    a->expect(lb::CLAIM, 6, lb::STATUS_OK);
    a->send(lb::CLAIM, 7, lb::kClaimTakeOver);
    a->expect(lb::CLAIM, 7, lb::STATUS_OK);
    EXPECT_EQ(received(), "OUTP?\nOUTP?\n");
}

TEST_F(LocalbusClaim, TakeOverWaitsUntilTheHoldersBulkInIsAnsweredOrCancelled) {
    auto a = holder();
    a->request_reply(2);  // nothing to read yet: the BULK_IN stays pending
    a->sync(10);
    auto b = connect();
    b->send(lb::CLAIM, 1, lb::kClaimTakeOver);
    b->sync(10);
    b->expect_nothing();

    // The query's reply answers A's BULK_IN; then B has the claim.
    a->write_message(3, "*OPC?\n");
    EXPECT_EQ(a->reply_data(2), "1\n");
    b->expect(lb::CLAIM, 1, lb::STATUS_OK);
    a->write_message(4, "*CLS\n", lb::STATUS_NOT_CLAIMED);

    // B's BULK_IN is pending in turn; A's take-over waits until B cancels it.
    b->request_reply(2);
    b->sync(11);
    a->send(lb::CLAIM, 5, lb::kClaimTakeOver);
    a->sync(11);
    a->expect_nothing();
    b->send(lb::CANCEL, 3, 2);
    b->expect(lb::BULK_IN, 2, lb::STATUS_CANCELLED);
    a->expect(lb::CLAIM, 5, lb::STATUS_OK);
    b->write_message(4, "*CLS\n", lb::STATUS_NOT_CLAIMED);
    EXPECT_EQ(received(), "*OPC?\n");
}

TEST_F(LocalbusClaim, ReleaseHandsTheClaimToTheWaiterAndLeavesTheDeviceAsItIs) {
    auto a = holder();
    auto b = connect();
    b->send(lb::CLAIM, 1, lb::kClaimWait);
    b->sync(10);
    b->expect_nothing();

    // A leaves a reply unread, then releases.
    a->write_message(2, "*IDN?\n");
    a->send(lb::RELEASE, 3, 0);
    a->expect(lb::RELEASE, 3, lb::STATUS_OK);
    b->expect(lb::CLAIM, 1, lb::STATUS_OK);
    a->write_message(4, "*RST\n", lb::STATUS_NOT_CLAIMED);

    b->request_reply(2);
    EXPECT_EQ(b->reply_data(2), "Simulated Signal Sources,SG-4040,SIM001,1.0\n")
        << "the reply A left is still there";

    // Releasing what one does not hold is answered OK and changes nothing.
    a->send(lb::RELEASE, 5, 0);
    a->expect(lb::RELEASE, 5, lb::STATUS_OK);
    auto never_claimed = connect();
    never_claimed->send(lb::RELEASE, 1, 0);
    never_claimed->expect(lb::RELEASE, 1, lb::STATUS_OK);
    EXPECT_EQ(b->query(3, "*OPC?\n"), "1\n");

    // B leaves a message half sent; A, claiming again, ends it.
    b->write_message(4, "OUTP ", lb::STATUS_OK, false);
    b->send(lb::RELEASE, 5, 0);
    b->expect(lb::RELEASE, 5, lb::STATUS_OK);
    a->send(lb::CLAIM, 6, lb::kClaimWait);
    a->expect(lb::CLAIM, 6, lb::STATUS_OK);
    a->write_message(7, "ON\n");
    EXPECT_EQ(a->query(8, "OUTP?\n"), "1\n");
    EXPECT_EQ(received(), "*IDN?\n*OPC?\nOUTP ON\nOUTP?\n");
}

TEST_F(LocalbusClaim, ReleaseWithdrawsAWaitingClaimAndCancelsAPendingBulkIn) {
    auto a = holder();
    auto b = connect();
    b->send(lb::CLAIM, 5, lb::kClaimWait);
    b->sync(10);
    b->expect_nothing();
    b->send(lb::RELEASE, 6, 0);
    b->expect(lb::CLAIM, 5, lb::STATUS_NOT_CLAIMED);
    b->expect(lb::RELEASE, 6, lb::STATUS_OK);

    a->request_reply(9);
    a->send(lb::RELEASE, 10, 0);
    a->expect(lb::BULK_IN, 9, lb::STATUS_CANCELLED);
    a->expect(lb::RELEASE, 10, lb::STATUS_OK);
    b->expect_nothing(std::chrono::milliseconds(100));  // its claim was withdrawn

    // Nobody holds the claim now: a waiting claim is granted at once.
    b->send(lb::CLAIM, 7, lb::kClaimWait);
    b->expect(lb::CLAIM, 7, lb::STATUS_OK);
    EXPECT_EQ(b->query(8, "*OPC?\n"), "1\n");
}

TEST_F(LocalbusClaim, TakeOversGoFirstInTheOrderTheyCameThenTheWaiters) {
    auto a = holder();
    auto waiter = connect();
    waiter->send(lb::CLAIM, 1, lb::kClaimWait);
    waiter->sync(10);
    a->request_reply(2);  // pending: the take-overs must wait
    a->sync(10);
    auto c = connect();
    auto d = connect();
    c->send(lb::CLAIM, 1, lb::kClaimTakeOver);
    c->sync(10);
    d->send(lb::CLAIM, 1, lb::kClaimTakeOver);
    d->sync(10);
    c->expect_nothing(std::chrono::milliseconds(100));
    d->expect_nothing(std::chrono::milliseconds(100));

    a->send(lb::CANCEL, 3, 2);
    a->expect(lb::BULK_IN, 2, lb::STATUS_CANCELLED);
    c->expect(lb::CLAIM, 1, lb::STATUS_OK);
    d->expect(lb::CLAIM, 1, lb::STATUS_OK);  // and takes it from C at once
    c->write_message(2, "*RST\n", lb::STATUS_NOT_CLAIMED);
    waiter->expect_nothing(std::chrono::milliseconds(100));

    // The holder closes: the claim goes to the connection that waited.
    d->close();
    waiter->expect(lb::CLAIM, 1, lb::STATUS_OK);
    EXPECT_EQ(waiter->query(2, "*OPC?\n"), "1\n");
    a->write_message(4, "*RST\n", lb::STATUS_NOT_CLAIMED);
}

TEST_F(LocalbusClaim, RepeatedAndMalformedClaims) {
    auto a = holder();
    // A second CLAIM while the first one waits is ignored: one answer only.
    auto b = connect();
    b->send(lb::CLAIM, 1, lb::kClaimWait);
    b->send(lb::CLAIM, 2, lb::kClaimTakeOver);
    b->sync(10);
    b->expect_nothing();
    a->send(lb::RELEASE, 2, 0);
    a->expect(lb::RELEASE, 2, lb::STATUS_OK);
    b->expect(lb::CLAIM, 1, lb::STATUS_OK);
    b->expect_nothing(std::chrono::milliseconds(100));

    // A CLAIM of an unknown kind ends that connection, and only that one.
    auto bad = connect();
    bad->send(lb::CLAIM, 1, 2);
    lb::FrameHeader h{};
    std::vector<std::uint8_t> payload;
    EXPECT_EQ(bad->receive(h, payload), VI_ERROR_CONN_LOST);
    EXPECT_EQ(b->query(2, "*OPC?\n"), "1\n");
}

}  // namespace
