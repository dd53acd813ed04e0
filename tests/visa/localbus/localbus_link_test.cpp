// The host end of the local bus (LocalbusLink) against the simulator's
// server, at the transfer level, and the server's care for a host that does
// not read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "in_process_sim.h"
#include "localbus/frame_socket.h"
#include "localbus/localbus_link.h"
#include "proto/localbus_frames.h"
#include "proto/usbtmc.h"
#include "temp_dir.h"
#include "transport/transport.h"
#include "usbtmc_transfers.h"

namespace {

namespace lb = sgproto::localbus;
namespace tmc = sgproto::usbtmc;
using namespace std::chrono_literals;
using sgtest::in;
using simtest::Bytes;

// Connects, reads HELLO and takes the claim; the link then owns the socket.
std::unique_ptr<sgvisa::localbus::LocalbusLink> claimed_link(const std::string& path) {
    const int fd = sgtest::raw_connect(path);
    if (fd < 0)
        return nullptr;
    std::vector<std::uint8_t> rx, payload;
    lb::FrameHeader h{};
    lb::DeviceHello hello{};
    std::size_t sent = 0;
    if (sgvisa::localbus::receive_frame(fd, rx, in(2s), h, payload) != VI_SUCCESS ||
        !lb::decode_hello(payload, hello) ||
        sgvisa::localbus::send_all(fd, lb::encode_frame(lb::CLAIM, 0, 1, 0, {}), in(2s), sent) !=
            VI_SUCCESS ||
        sgvisa::localbus::receive_frame(fd, rx, in(2s), h, payload) != VI_SUCCESS ||
        h.type != lb::CLAIM || h.status != lb::STATUS_OK) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<sgvisa::localbus::LocalbusLink>(
        fd, sgvisa::localbus::facts_from_hello(hello, "SIM001"), 2);
}

class LocalbusLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string runtime = tmp_.make_subdir("run");
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    sgtest::TempDir tmp_;
};

TEST_F(LocalbusLinkTest, TransfersStallsAndDescriptorFacts) {
    sgtest::InProcessSim sim("SIM001");
    auto link = claimed_link(sim.socket_path());
    ASSERT_TRUE(link);
    EXPECT_EQ(link->interface_number(), 0);
    EXPECT_EQ(link->bulk_out_endpoint(), 0x01);
    EXPECT_EQ(link->bulk_in_endpoint(), 0x82);
    EXPECT_GT(link->max_packet_size(), 0);

    std::uint8_t caps[tmc::kCapabilitiesLength];
    std::size_t got = 0;
    ASSERT_EQ(link->control_in(tmc::kRequestTypeInterfaceIn, tmc::GET_CAPABILITIES, 0, 0, caps, got,
                               in(2s)),
              VI_SUCCESS);
    EXPECT_EQ(got, tmc::kCapabilitiesLength);
    EXPECT_EQ(caps[0], tmc::STATUS_SUCCESS);
    EXPECT_EQ(link->control_in(tmc::kRequestTypeInterfaceIn, 99, 0, 0, caps, got, in(2s)),
              VI_ERROR_IO)
        << "a stalled request";

    // Nothing asked of the device yet: the bulk-IN times out, and the link
    // stays in step for what follows.
    std::uint8_t buf[512];
    EXPECT_EQ(link->bulk_in(buf, got, in(100ms)), VI_ERROR_TMO);

    ASSERT_EQ(link->bulk_out(simtest::msg_out(1, "*OPC?\n"), in(2s)), VI_SUCCESS);
    ASSERT_EQ(link->bulk_out(simtest::request_in(2, 100), in(2s)), VI_SUCCESS);
    ASSERT_EQ(link->bulk_in(buf, got, in(2s)), VI_SUCCESS);
    ASSERT_EQ(got, tmc::kHeaderSize + 4);
    EXPECT_EQ(buf[1], 2) << "bTag echoed";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf) + tmc::kHeaderSize, 2), "1\n");

    // A malformed transfer halts bulk-OUT: the link reports the stall and
    // clears the halt, so the next transfer passes.
    Bytes bad = simtest::msg_out(3, "*RST\n");
    bad[2] ^= 0xFF;
    EXPECT_EQ(link->bulk_out(bad, in(2s)), VI_ERROR_IO);
    EXPECT_EQ(link->bulk_out(simtest::msg_out(4, "*RST\n"), in(2s)), VI_SUCCESS);
}

TEST_F(LocalbusLinkTest, CancelledBulkInKeepsTheReplyForTheNextRequest) {
    sgtest::InProcessSim sim("SIM001", {.reply_delay = 2s});
    auto link = claimed_link(sim.socket_path());
    ASSERT_TRUE(link);
    ASSERT_EQ(link->bulk_out(simtest::msg_out(1, "*OPC?\n"), in(2s)), VI_SUCCESS);
    ASSERT_EQ(link->bulk_out(simtest::request_in(2, 100), in(2s)), VI_SUCCESS);
    std::uint8_t buf[512];
    std::size_t got = 0;
    EXPECT_EQ(link->bulk_in(buf, got, in(50ms)), VI_ERROR_TMO);
    EXPECT_EQ(got, 0u);
    // The device still holds the request and the reply; a new bulk-IN gets it.
    ASSERT_EQ(link->bulk_in(buf, got, in(10s)), VI_SUCCESS);
    ASSERT_EQ(got, tmc::kHeaderSize + 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf) + tmc::kHeaderSize, 2), "1\n");
}

TEST_F(LocalbusLinkTest, HostThatDoesNotReadDoesNotStopTheServer) {
    sgtest::InProcessSim sim("SIM001");
    auto link = claimed_link(sim.socket_path());
    ASSERT_TRUE(link);

    // Another connection floods requests (each answered NOT_CLAIMED) and
    // never reads an answer.
    const int flood = sgtest::raw_connect(sim.socket_path());
    ASSERT_GE(flood, 0);
    Bytes frames;
    for (std::uint32_t i = 0; i < 4096; ++i) {
        const auto f = lb::encode_frame(lb::CLEAR_HALT, 0, i, 1, {});
        frames.insert(frames.end(), f.begin(), f.end());
    }
    ASSERT_EQ(::fcntl(flood, F_SETFL, O_NONBLOCK), 0);
    std::size_t total = 0;
    for (int round = 0; round < 200; ++round) {
        std::size_t sent = 0;
        const ViStatus st = sgvisa::localbus::send_all(flood, frames, in(20ms), sent);
        total += sent;
        if (st != VI_SUCCESS)
            break;  // the server stopped reading it: its answers are not collected
    }
    EXPECT_GT(total, 0u);

    // The holder of the claim is still served.
    ASSERT_EQ(link->bulk_out(simtest::msg_out(1, "*OPC?\n"), in(2s)), VI_SUCCESS);
    ASSERT_EQ(link->bulk_out(simtest::request_in(2, 100), in(2s)), VI_SUCCESS);
    std::uint8_t buf[512];
    std::size_t got = 0;
    ASSERT_EQ(link->bulk_in(buf, got, in(5s)), VI_SUCCESS);
    EXPECT_EQ(got, tmc::kHeaderSize + 4);
    ::close(flood);
}

TEST_F(LocalbusLinkTest, DeviceGoneIsConnectionLostOnEveryCall) {
    std::unique_ptr<sgvisa::localbus::LocalbusLink> link;
    {
        sgtest::InProcessSim sim("SIM001");
        link = claimed_link(sim.socket_path());
        ASSERT_TRUE(link);
    }
    std::uint8_t buf[64];
    std::size_t got = 0;
    const auto t0 = sgvisa::Clock::now();
    EXPECT_EQ(link->bulk_in(buf, got, in(10s)), VI_ERROR_CONN_LOST);
    EXPECT_EQ(link->bulk_out(simtest::msg_out(1, "*RST\n"), in(10s)), VI_ERROR_CONN_LOST);
    EXPECT_EQ(link->control_in(tmc::kRequestTypeInterfaceIn, tmc::GET_CAPABILITIES, 0, 0, buf, got,
                               in(10s)),
              VI_ERROR_CONN_LOST);
    EXPECT_EQ(link->clear_halt(0x01, in(10s)), VI_ERROR_CONN_LOST);
    EXPECT_LT(sgvisa::Clock::now() - t0, 2s);
}

}  // namespace
