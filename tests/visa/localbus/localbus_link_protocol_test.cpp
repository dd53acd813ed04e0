// LocalbusLink against a scripted device end on a socket pair: the test
// writes the device's answers itself, so late, oversized and malformed
// answers come exactly when wanted.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <utility>

#include "in_process_sim.h"
#include "localbus/frame_socket.h"
#include "localbus/localbus_link.h"
#include "proto/localbus_frames.h"

namespace {

namespace lb = sgproto::localbus;
using namespace std::chrono_literals;
using sgtest::in;
using Bytes = std::vector<std::uint8_t>;

class ScriptedDeviceEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        lb::DeviceHello hello{};
        hello.interface_number = 0;
        hello.bulk_out_endpoint = 0x02;
        hello.bulk_in_endpoint = 0x81;
        hello.max_packet_size = 64;
        link_ = std::make_unique<sgvisa::localbus::LocalbusLink>(
            sv[0], sgvisa::localbus::facts_from_hello(hello, "X"), 2);
        device_ = sv[1];
    }
    void TearDown() override {
        if (device_ >= 0)
            ::close(device_);
    }

    // The device's answer to request `seq`.
    void answer(std::uint8_t type, std::uint8_t status, std::uint32_t seq, const Bytes& payload) {
        auto frame = lb::encode_frame(type, 0, seq, 0, payload);
        frame[1] = status;
        std::size_t sent = 0;
        ASSERT_EQ(sgvisa::localbus::send_all(device_, frame, in(2s), sent), VI_SUCCESS);
    }

    // The next request the link sent (its payload in `payload`).
    lb::FrameHeader request(Bytes* payload = nullptr) {
        lb::FrameHeader h{};
        Bytes bytes;
        EXPECT_EQ(sgvisa::localbus::receive_frame(device_, rx_, in(2s), h, bytes), VI_SUCCESS);
        if (payload)
            *payload = bytes;
        return h;
    }

    std::unique_ptr<sgvisa::localbus::LocalbusLink> link_;
    int device_ = -1;
    Bytes rx_;
};

TEST_F(ScriptedDeviceEnd, LateDataOfACancelledBulkInIsDropped) {
    std::uint8_t buf[64];
    std::size_t got = 99;
    EXPECT_EQ(link_->bulk_in(buf, got, in(50ms)), VI_ERROR_TMO);
    EXPECT_EQ(got, 0u);
    const auto bulk = request();
    EXPECT_EQ(bulk.type, lb::BULK_IN);
    EXPECT_EQ(bulk.param, 64u) << "asks for at most the buffer";
    const auto cancel = request();
    EXPECT_EQ(cancel.type, lb::CANCEL);
    EXPECT_EQ(cancel.param, bulk.seq) << "cancels that very request";

    // The device had already sent its data when the cancel arrived.
    answer(lb::BULK_IN, lb::STATUS_OK, bulk.seq, Bytes{'o', 'l', 'd'});
    answer(lb::BULK_IN, lb::STATUS_OK, cancel.seq + 1, Bytes{'n', 'e', 'w'});
    ASSERT_EQ(link_->bulk_in(buf, got, in(2s)), VI_SUCCESS);
    ASSERT_EQ(got, 3u);
    EXPECT_EQ(std::memcmp(buf, "new", 3), 0);
}

TEST_F(ScriptedDeviceEnd, RefusalsAndOversizedAnswersAreIoErrors) {
    // Answers to seq 2 (bulk-OUT, stalled), 3 (the link's clear of that
    // halt), 4 (bulk-OUT, refused as unclaimed), 5 (the link's claim), 6 (the
    // same bulk-OUT again, refused again), 7 (bulk-IN), 8 (control).
    answer(lb::BULK_OUT, lb::STATUS_STALL, 2, {});
    answer(lb::CLEAR_HALT, lb::STATUS_OK, 3, {});
    answer(lb::BULK_OUT, lb::STATUS_NOT_CLAIMED, 4, {});
    answer(lb::CLAIM, lb::STATUS_OK, 5, {});
    answer(lb::BULK_OUT, lb::STATUS_NOT_CLAIMED, 6, {});
    answer(lb::BULK_IN, lb::STATUS_OK, 7, Bytes(9, 'x'));
    answer(lb::CONTROL_IN, lb::STATUS_OK, 8, Bytes(5, 'y'));
    const Bytes data{1, 2, 3, 4};
    EXPECT_EQ(link_->bulk_out(data, in(2s)), VI_ERROR_IO);
    EXPECT_EQ(link_->bulk_out(data, in(2s)), VI_ERROR_IO);

    std::uint8_t buf[12];
    std::memset(buf, 0xEE, sizeof buf);
    std::size_t got = 0;
    EXPECT_EQ(link_->bulk_in(std::span<std::uint8_t>(buf, 8), got, in(2s)), VI_ERROR_IO);
    EXPECT_EQ(buf[8], 0xEE) << "nothing stored past the buffer";
    EXPECT_EQ(link_->control_in(0xA1, 7, 0, 0, std::span<std::uint8_t>(buf, 4), got, in(2s)),
              VI_ERROR_IO);
    EXPECT_EQ(buf[4], 0xEE);

    // The stall was cleared on the bulk-OUT endpoint at once; a transfer
    // refused as unclaimed was claimed (taking over) and sent once more.
    EXPECT_EQ(request().type, lb::BULK_OUT);
    const auto clear = request();
    EXPECT_EQ(clear.type, lb::CLEAR_HALT);
    EXPECT_EQ(clear.param, link_->bulk_out_endpoint());
    EXPECT_EQ(request().type, lb::BULK_OUT);
    const auto claim = request();
    EXPECT_EQ(claim.type, lb::CLAIM);
    EXPECT_EQ(claim.param, 1u);
    EXPECT_EQ(request().type, lb::BULK_OUT);
    EXPECT_EQ(request().type, lb::BULK_IN);

    // The stream is still in step.
    answer(lb::CLEAR_HALT, lb::STATUS_OK, 9, {});
    EXPECT_EQ(link_->clear_halt(0x02, in(2s)), VI_SUCCESS);
}

TEST_F(ScriptedDeviceEnd, OversizedFrameEndsTheConnection) {
    auto frame = lb::encode_frame(lb::BULK_OUT, 0, 2, 0, {});
    const std::uint32_t length = lb::kMaxPayload + 1;
    for (int i = 0; i < 4; ++i)
        frame[lb::kLengthOffset + i] = static_cast<std::uint8_t>(length >> (8 * i));
    std::size_t sent = 0;
    ASSERT_EQ(sgvisa::localbus::send_all(device_, frame, in(2s), sent), VI_SUCCESS);
    const Bytes data{1, 2, 3, 4};
    EXPECT_EQ(link_->bulk_out(data, in(2s)), VI_ERROR_CONN_LOST);
    answer(lb::BULK_OUT, lb::STATUS_OK, 3, {});
    EXPECT_EQ(link_->bulk_out(data, in(2s)), VI_ERROR_CONN_LOST) << "and every later call";
}

TEST_F(ScriptedDeviceEnd, DeviceClosingIsConnectionLostWithoutSigpipe) {
    ::close(device_);
    device_ = -1;
    const Bytes data(100000, 'z');  // more than a socket buffer
    const auto t0 = sgvisa::Clock::now();
    EXPECT_EQ(link_->bulk_out(data, in(10s)), VI_ERROR_CONN_LOST);
    std::uint8_t buf[64];
    std::size_t got = 0;
    EXPECT_EQ(link_->bulk_in(buf, got, in(10s)), VI_ERROR_CONN_LOST);
    EXPECT_LT(sgvisa::Clock::now() - t0, 2s);
}

// The three frames of a query go out before the message is answered: the
// device has the request for the reply and the BULK_IN that takes it at once.
TEST_F(ScriptedDeviceEnd, PostedRequestGoesWithTheMessageAndIsCollectedOrTakenBack) {
    const Bytes message(12, 1);
    const Bytes ask(12, 2);
    const auto post = [&] {
        return std::async(std::launch::async, [&] {
            bool posted = false;
            const ViStatus st = link_->bulk_out_posting(message, ask, 64, in(2s), posted);
            return std::make_pair(st, posted);
        });
    };
    auto posting = post();
    Bytes payload;
    const auto m = request(&payload);
    EXPECT_EQ(m.type, lb::BULK_OUT);
    EXPECT_EQ(payload, message);
    const auto r = request(&payload);
    EXPECT_EQ(r.type, lb::BULK_OUT);
    EXPECT_EQ(payload, ask);
    const auto b = request();
    EXPECT_EQ(b.type, lb::BULK_IN);
    EXPECT_EQ(b.param, 64u);
    answer(lb::BULK_OUT, lb::STATUS_OK, m.seq, {});
    EXPECT_EQ(posting.get(), std::make_pair(VI_SUCCESS, true));

    answer(lb::BULK_OUT, lb::STATUS_OK, r.seq, {});
    answer(lb::BULK_IN, lb::STATUS_OK, b.seq, Bytes{'r', 'e', 'p', 'l', 'y'});
    std::uint8_t buf[64];
    std::size_t got = 0;
    bool sent = false;
    ASSERT_EQ(link_->collect_posted(buf, got, in(2s), sent), VI_SUCCESS);
    EXPECT_TRUE(sent);
    ASSERT_EQ(got, 5u);
    EXPECT_EQ(std::memcmp(buf, "reply", 5), 0);

    // Posted again and dropped: the BULK_IN is cancelled and both answers
    // consumed, so the next call's answer is its own.
    posting = post();
    const auto m2 = request();
    const auto r2 = request();
    const auto b2 = request();
    answer(lb::BULK_OUT, lb::STATUS_OK, m2.seq, {});
    ASSERT_EQ(posting.get(), std::make_pair(VI_SUCCESS, true));
    auto dropping = std::async(std::launch::async, [&] {
        bool request_sent = false;
        link_->drop_posted(request_sent);
        return request_sent;
    });
    const auto cancel = request();
    EXPECT_EQ(cancel.type, lb::CANCEL);
    EXPECT_EQ(cancel.param, b2.seq);
    answer(lb::BULK_OUT, lb::STATUS_OK, r2.seq, {});
    answer(lb::BULK_IN, lb::STATUS_CANCELLED, b2.seq, {});
    EXPECT_TRUE(dropping.get()) << "the device had the request";
    answer(lb::CLEAR_HALT, lb::STATUS_OK, cancel.seq + 1, {});
    EXPECT_EQ(link_->clear_halt(0x02, in(2s)), VI_SUCCESS);
    EXPECT_FALSE(link_->collect_posted(buf, got, in(2s), sent) == VI_SUCCESS)
        << "nothing is posted any more";
}

TEST_F(ScriptedDeviceEnd, StalledMessageTakesItsPostedRequestBack) {
    const Bytes message(12, 1);
    auto posting = std::async(std::launch::async, [&] {
        bool posted = true;
        const ViStatus st = link_->bulk_out_posting(message, Bytes(12, 2), 64, in(2s), posted);
        return std::make_pair(st, posted);
    });
    const auto m = request();
    const auto r = request();
    const auto b = request();
    answer(lb::BULK_OUT, lb::STATUS_STALL, m.seq, {});
    answer(lb::BULK_OUT, lb::STATUS_STALL, r.seq, {});
    const auto cancel = request();
    EXPECT_EQ(cancel.type, lb::CANCEL);
    EXPECT_EQ(cancel.param, b.seq);
    answer(lb::BULK_IN, lb::STATUS_CANCELLED, b.seq, {});
    const auto clear = request();
    EXPECT_EQ(clear.type, lb::CLEAR_HALT);
    EXPECT_EQ(clear.param, link_->bulk_out_endpoint());
    answer(lb::CLEAR_HALT, lb::STATUS_OK, clear.seq, {});
    EXPECT_EQ(posting.get(), std::make_pair(VI_ERROR_IO, false));
}

TEST_F(ScriptedDeviceEnd, AClaimGivenUpOnIsTakenBackSoThatTheNextOneIsANewRequest) {
    // The device answers only the first of a connection's waiting CLAIMs:
    // one left waiting would leave the next unanswered.
    for (const bool cancelled : {true, false}) {
        SCOPED_TRACE(cancelled ? "cancelled" : "timed out");
        auto claiming = std::async(std::launch::async,
                                   [&] { return link_->acquire(in(cancelled ? 10s : 100ms)); });
        const auto claim = request();
        EXPECT_EQ(claim.type, lb::CLAIM);
        if (cancelled)
            link_->cancel();
        const auto release = request();
        EXPECT_EQ(release.type, lb::RELEASE) << "the waiting CLAIM goes back";
        answer(lb::CLAIM, lb::STATUS_NOT_CLAIMED, claim.seq, {});
        answer(lb::RELEASE, lb::STATUS_OK, release.seq, {});
        // Unanswered, the claim is a device that does not answer, not a lock.
        EXPECT_EQ(claiming.get(), cancelled ? VI_ERROR_ABORT : VI_ERROR_TMO);
        link_->resume();
    }
}

TEST_F(ScriptedDeviceEnd, RequestAndBulkInRefusedAsUnclaimedAreClaimedAndSentAgain) {
    const Bytes ask(12, 2);
    std::uint8_t buf[64];
    auto asking = std::async(std::launch::async, [&] {
        std::size_t got = 0;
        bool sent = false;
        const ViStatus st = link_->bulk_out_in(ask, buf, got, in(2s), sent);
        return std::make_tuple(st, got, sent);
    });
    const auto r = request();
    const auto b = request();
    EXPECT_EQ(r.type, lb::BULK_OUT);
    EXPECT_EQ(b.type, lb::BULK_IN);
    answer(lb::BULK_OUT, lb::STATUS_NOT_CLAIMED, r.seq, {});
    answer(lb::BULK_IN, lb::STATUS_NOT_CLAIMED, b.seq, {});
    const auto cancel = request();  // the refused BULK_IN taken back (no answer: unclaimed)
    EXPECT_EQ(cancel.type, lb::CANCEL);
    const auto claim = request();
    EXPECT_EQ(claim.type, lb::CLAIM);
    answer(lb::CLAIM, lb::STATUS_OK, claim.seq, {});
    const auto r2 = request();
    const auto b2 = request();
    EXPECT_EQ(r2.type, lb::BULK_OUT);
    EXPECT_EQ(b2.type, lb::BULK_IN);
    answer(lb::BULK_OUT, lb::STATUS_OK, r2.seq, {});
    answer(lb::BULK_IN, lb::STATUS_OK, b2.seq, Bytes{'o', 'k'});
    EXPECT_EQ(asking.get(), std::make_tuple(VI_SUCCESS, std::size_t{2}, true));
    EXPECT_EQ(std::memcmp(buf, "ok", 2), 0);
}

}  // namespace
