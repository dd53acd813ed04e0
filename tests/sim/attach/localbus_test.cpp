// The simulator's local bus end to end: the server and the device core in
// this process (or sgsim as a child), reached through the library's own
// opener and USBTMC host code, in a private XDG_RUNTIME_DIR.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <future>

#include "device/usbtmc_device.h"
#include "in_process_sim.h"
#include "localbus/frame_socket.h"
#include "localbus/localbus_link.h"
#include "localbus/localbus_opener.h"
#include "proto/localbus_frames.h"
#include "sim_process.h"
#include "temp_dir.h"
#include "transport_read.h"
#include "visa.h"

namespace {

namespace lb = sgproto::localbus;
using namespace std::chrono_literals;
using sgvisa::Clock;
using sgvisa::Deadline;

using sgtest::in;
using sgtest::InProcessSim;
using sgtest::raw_connect;

sgvisa::UsbResourceName resource(const std::string& text) {
    sgvisa::UsbResourceName n;
    EXPECT_EQ(sgvisa::parse_usb_resource_name(text, n), VI_SUCCESS) << text;
    return n;
}

ViStatus open(const std::string& name, std::chrono::milliseconds timeout,
              std::unique_ptr<sgvisa::Transport>& out) {
    return sgvisa::localbus::open_localbus_transport(resource(name), in(timeout), out);
}

// Sends `command` as one message and reads the whole reply.
ViStatus query(sgvisa::Transport& t, const std::string& command, std::string& reply,
               std::chrono::milliseconds timeout = 5s) {
    reply.clear();
    const auto* p = reinterpret_cast<const std::uint8_t*>(command.data());
    ViStatus st = t.write({p, command.size()}, true, in(timeout));
    if (st != VI_SUCCESS)
        return st;
    for (int i = 0; i < 100; ++i) {
        std::uint8_t buf[64];
        std::size_t count = 0;
        bool end = false;
        st = sgtest::read_from(t, buf, in(timeout), count, end);
        if (st != VI_SUCCESS)
            return st;
        reply.append(reinterpret_cast<const char*>(buf), count);
        if (end)
            return VI_SUCCESS;
    }
    return VI_ERROR_IO;
}

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

// A socket file at `path` that nobody listens on any more.
void make_stale_socket(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ::close(fd);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
}

class LocalbusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        runtime_ = tmp_.make_subdir("run");
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        bus_ = runtime_ + "/sgvisa";
    }

    sgtest::TempDir tmp_;
    std::string runtime_;
    std::string bus_;
};

TEST_F(LocalbusTest, IdnRoundTripThroughUsbtmcHost) {
    const std::string log = tmp_.path() + "/received.log";
    InProcessSim sim("SIM001", {}, log);
    std::unique_ptr<sgvisa::Transport> t;
    // The serial number compares case-insensitively; the interface is optional.
    ASSERT_EQ(open("USB0::0x4D19::0x0040::sim001::INSTR", 2s, t), VI_SUCCESS);
    std::string reply;
    ASSERT_EQ(query(*t, "*IDN?\n", reply), VI_SUCCESS);
    EXPECT_NE(reply.find(",SIM001,"), std::string::npos) << reply;
    EXPECT_EQ(reply.back(), '\n');
    ASSERT_EQ(query(*t, "FREQ 1 GHz;:FREQ?\n", reply), VI_SUCCESS);
    EXPECT_EQ(reply, "1000000000\n");
    EXPECT_EQ(read_file(log), "*IDN?\nFREQ 1 GHz;:FREQ?\n");

    std::unique_ptr<sgvisa::Transport> other;
    EXPECT_EQ(open("USB0::0x4d19::0x0040::SIM002::INSTR", 500ms, other), VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(open("USB0::0x4d19::0x0041::SIM001::INSTR", 500ms, other), VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(open("USB0::0x4d19::0x0040::SIM001::1::INSTR", 500ms, other), VI_ERROR_RSRC_NFOUND);
}

TEST_F(LocalbusTest, ViOpenAndViQueryfReachTheSimulator) {
    InProcessSim sim("SIM001");
    ViSession rm = VI_NULL, vi = VI_NULL, vi2 = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    ASSERT_EQ(viOpen(rm, "USB0::0x4d19::0x0040::SIM001::INSTR", VI_NULL, 2000, &vi), VI_SUCCESS);
    char idn[256] = {};
    ASSERT_EQ(viQueryf(vi, "*IDN?\n", "%T", idn), VI_SUCCESS);
    EXPECT_NE(std::string(idn).find(",SIM001,"), std::string::npos) << idn;

    // Without a lock, sessions share the instrument: a second one opens at
    // once and both talk to it.
    ASSERT_EQ(viOpen(rm, "USB0::0x4d19::0x0040::SIM001::0::INSTR", VI_NULL, 100, &vi2), VI_SUCCESS);
    char opc[16] = {};
    ASSERT_EQ(viQueryf(vi2, "*OPC?\n", "%T", opc), VI_SUCCESS);
    EXPECT_STREQ(opc, "1\n");
    ASSERT_EQ(viQueryf(vi, "*IDN?\n", "%T", idn), VI_SUCCESS);
    EXPECT_NE(std::string(idn).find(",SIM001,"), std::string::npos) << idn;
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
    ASSERT_EQ(viQueryf(vi2, "*OPC?\n", "%T", opc), VI_SUCCESS);
    EXPECT_EQ(viClose(rm), VI_SUCCESS);
}

// Connections to one simulated instrument take its claim over from each
// other between operations (the session layer keeps operations of
// different processes apart): each one's messages reach the device in turn.
TEST_F(LocalbusTest, ConnectionsTakeTheClaimOverBetweenOperations) {
    const std::string log = tmp_.path() + "/received.log";
    InProcessSim sim("SIM001", {}, log);
    const std::string name = "USB0::0x4d19::0x0040::SIM001::0::INSTR";
    std::unique_ptr<sgvisa::Transport> first;
    ASSERT_EQ(open(name, 2s, first), VI_SUCCESS);
    std::string reply;
    ASSERT_EQ(query(*first, "*OPC?\n", reply), VI_SUCCESS);
    EXPECT_EQ(reply, "1\n");

    std::unique_ptr<sgvisa::Transport> second;
    const auto t0 = Clock::now();
    ASSERT_EQ(open(name, 2s, second), VI_SUCCESS);
    EXPECT_LT(Clock::now() - t0, 1s) << "taken over, not waited for";
    ASSERT_EQ(query(*second, "*IDN?\n", reply), VI_SUCCESS);
    EXPECT_NE(reply.find(",SIM001,"), std::string::npos) << reply;
    ASSERT_EQ(query(*first, "*OPC?\n", reply), VI_SUCCESS);
    EXPECT_EQ(reply, "1\n");
    EXPECT_EQ(read_file(log), "*OPC?\n*IDN?\n*OPC?\n");
}

TEST_F(LocalbusTest, TimedOutQueryRecoversForTheNextOne) {
    InProcessSim sim("SIM001", {.reply_delay = 1500ms});
    std::unique_ptr<sgvisa::Transport> t;
    ASSERT_EQ(open("USB0::0x4d19::0x0040::SIM001::INSTR", 2s, t), VI_SUCCESS);
    std::string reply;
    const auto t0 = Clock::now();
    EXPECT_EQ(query(*t, "*IDN?\n", reply, 200ms), VI_ERROR_TMO);
    EXPECT_LT(Clock::now() - t0, 1400ms) << "the timeout, not the reply, ended the read";
    // The aborted reply must not be taken as the answer to the next query.
    ASSERT_EQ(query(*t, "*OPC?\n", reply, 10s), VI_SUCCESS);
    EXPECT_EQ(reply, "1\n");
}

TEST_F(LocalbusTest, UntrustedSocketOrDirectoryIsIgnored) {
    InProcessSim sim("SIM001");
    const std::string name = "USB0::0x4d19::0x0040::SIM001::INSTR";
    std::unique_ptr<sgvisa::Transport> t;

    ASSERT_EQ(::chmod(sim.socket_path().c_str(), 0666), 0);
    EXPECT_EQ(open(name, 500ms, t), VI_ERROR_RSRC_NFOUND) << "socket open to others";
    ASSERT_EQ(::chmod(sim.socket_path().c_str(), 0600), 0);

    ASSERT_EQ(::chmod(bus_.c_str(), 0755), 0);
    EXPECT_EQ(open(name, 500ms, t), VI_ERROR_RSRC_NFOUND) << "directory open to others";
    ASSERT_EQ(::chmod(bus_.c_str(), 0700), 0);

    EXPECT_EQ(open(name, 500ms, t), VI_SUCCESS);
}

TEST_F(LocalbusTest, StaleSocketIsSkippedQuickly) {
    InProcessSim sim("SIM001");
    make_stale_socket(bus_ + "/4d19-0040-AAA.sock");  // scanned before the live one
    std::unique_ptr<sgvisa::Transport> t;
    const auto t0 = Clock::now();
    EXPECT_EQ(open("USB0::0x4d19::0x0040::SIM001::INSTR", 5s, t), VI_SUCCESS);
    EXPECT_LT(Clock::now() - t0, 2s);
}

TEST_F(LocalbusTest, MalformedFrameEndsOnlyItsConnection) {
    InProcessSim sim("SIM001");
    std::unique_ptr<sgvisa::Transport> t;
    ASSERT_EQ(open("USB0::0x4d19::0x0040::SIM001::INSTR", 2s, t), VI_SUCCESS);

    const int fd = raw_connect(sim.socket_path());
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> rx, payload;
    lb::FrameHeader h{};
    ASSERT_EQ(sgvisa::localbus::receive_frame(fd, rx, in(2s), h, payload), VI_SUCCESS);
    EXPECT_EQ(h.type, lb::HELLO);
    lb::DeviceHello hello{};
    ASSERT_TRUE(lb::decode_hello(payload, hello));
    EXPECT_EQ(hello.vendor_id, 0x4d19);
    EXPECT_EQ(hello.product_id, 0x0040);
    std::string serial, manufacturer, product;
    lb::decode_hello_strings(std::span(payload).subspan(lb::kDeviceHelloSize), serial, manufacturer,
                             product);
    EXPECT_EQ(serial, "SIM001");
    EXPECT_EQ(manufacturer, "Simulated Signal Sources");
    EXPECT_EQ(product, "SG-4040");

    // Unclaimed: transfers are refused, not carried out.
    std::size_t sent = 0;
    const std::uint8_t junk[4] = {1, 2, 3, 4};
    ASSERT_EQ(
        sgvisa::localbus::send_all(fd, lb::encode_frame(lb::BULK_OUT, 0, 7, 0, junk), in(2s), sent),
        VI_SUCCESS);
    ASSERT_EQ(sgvisa::localbus::receive_frame(fd, rx, in(2s), h, payload), VI_SUCCESS);
    EXPECT_EQ(h.type, lb::BULK_OUT);
    EXPECT_EQ(h.seq, 7u);
    EXPECT_EQ(h.status, lb::STATUS_NOT_CLAIMED);

    // A frame longer than any allowed closes this connection.
    auto huge = lb::encode_frame(lb::BULK_OUT, 0, 8, 0, {});
    const std::uint32_t too_long = lb::kMaxPayload + 1;
    for (int i = 0; i < 4; ++i)
        huge[lb::kLengthOffset + i] = static_cast<std::uint8_t>(too_long >> (8 * i));
    ASSERT_EQ(sgvisa::localbus::send_all(fd, huge, in(2s), sent), VI_SUCCESS);
    EXPECT_EQ(sgvisa::localbus::receive_frame(fd, rx, in(5s), h, payload), VI_ERROR_CONN_LOST);
    ::close(fd);

    std::string reply;
    ASSERT_EQ(query(*t, "*OPC?\n", reply), VI_SUCCESS);
    EXPECT_EQ(reply, "1\n");
}

TEST_F(LocalbusTest, ManyConnectionsEachGetHelloUpToALimit) {
    InProcessSim sim("SIM001");
    constexpr int kServed = 64;  // the server's limit; later ones wait in the backlog
    std::vector<int> fds;
    std::vector<std::uint8_t> rx, payload;
    lb::FrameHeader h{};
    for (int i = 0; i < kServed + 1; ++i) {
        fds.push_back(raw_connect(sim.socket_path()));
        ASSERT_GE(fds.back(), 0);
    }
    for (int i = 0; i < kServed; ++i) {
        rx.clear();
        ASSERT_EQ(sgvisa::localbus::receive_frame(fds[i], rx, in(5s), h, payload), VI_SUCCESS) << i;
        EXPECT_EQ(h.type, lb::HELLO);
    }
    rx.clear();
    EXPECT_EQ(sgvisa::localbus::receive_frame(fds[kServed], rx, in(200ms), h, payload),
              VI_ERROR_TMO);
    ::close(fds[0]);
    ASSERT_EQ(sgvisa::localbus::receive_frame(fds[kServed], rx, in(5s), h, payload), VI_SUCCESS)
        << "taken once another closed";
    EXPECT_EQ(h.type, lb::HELLO);
    for (std::size_t i = 1; i < fds.size(); ++i)
        ::close(fds[i]);
}

TEST_F(LocalbusTest, SgsimServesLogsAndReportsItsSettings) {
    sgtest::SimProcess sim(runtime_, "SIM007", {"--split", "3"});
    ASSERT_TRUE(sim.ready());
    EXPECT_NE(sim.ready_line().find("USB0::0x4d19::0x0040::SIM007::0::INSTR"), std::string::npos);

    // Another with the same serial refuses to start.
    sgtest::SimProcess twin(runtime_, "SIM007");
    EXPECT_FALSE(twin.ready());
    twin.stop();
    EXPECT_EQ(twin.exit_status(), 1);

    std::unique_ptr<sgvisa::Transport> t;
    ASSERT_EQ(open("USB0::0x4d19::0x0040::SIM007::INSTR", 2s, t), VI_SUCCESS);
    std::string reply;
    ASSERT_EQ(query(*t, "*IDN?\n", reply), VI_SUCCESS);
    EXPECT_NE(reply.find("SIM007"), std::string::npos);
    const std::string command = "OUTPut:STATe ON\r\n";
    ASSERT_EQ(t->write({reinterpret_cast<const std::uint8_t*>(command.data()), command.size()},
                       true, in(2s)),
              VI_SUCCESS);
    ASSERT_EQ(query(*t, "*OPC?\n", reply), VI_SUCCESS);
    EXPECT_EQ((sim.received()),
              (std::vector<std::string>{"*IDN?", "OUTPut:STATe ON\\x0D", "*OPC?"}));

    const std::string settings = sim.stop();
    EXPECT_EQ(sim.exit_status(), 0);
    EXPECT_NE(settings.find("RF output: ON"), std::string::npos) << settings;
    struct stat st {};
    EXPECT_NE(::lstat((bus_ + "/4d19-0040-SIM007.sock").c_str(), &st), 0) << "socket removed";
}

TEST_F(LocalbusTest, SimulatorGoneMidSessionIsConnectionLost) {
    sgtest::SimProcess sim(runtime_, "SIM001");
    ASSERT_TRUE(sim.ready());
    std::unique_ptr<sgvisa::Transport> t;
    ASSERT_EQ(open("USB0::0x4d19::0x0040::SIM001::INSTR", 2s, t), VI_SUCCESS);
    std::string reply;
    ASSERT_EQ(query(*t, "*IDN?\n", reply), VI_SUCCESS);
    sim.stop();

    const auto t0 = Clock::now();
    EXPECT_EQ(query(*t, "*IDN?\n", reply, 10s), VI_ERROR_CONN_LOST);
    EXPECT_EQ(query(*t, "*IDN?\n", reply, 10s), VI_ERROR_CONN_LOST);
    std::uint8_t buf[8];
    std::size_t count = 0;
    bool end = false;
    EXPECT_EQ(sgtest::read_from(*t, buf, in(10s), count, end), VI_ERROR_CONN_LOST);
    EXPECT_LT(Clock::now() - t0, 3s) << "at once, not after the timeout";
}

TEST_F(LocalbusTest, StaleSocketOfTheSameDeviceIsTakenOver) {
    ASSERT_EQ(::mkdir(bus_.c_str(), 0700), 0);
    make_stale_socket(bus_ + "/4d19-0040-SIM001.sock");
    sgtest::SimProcess sim(runtime_, "SIM001");
    ASSERT_TRUE(sim.ready());
    std::unique_ptr<sgvisa::Transport> t;
    EXPECT_EQ(open("USB0::0x4d19::0x0040::SIM001::INSTR", 2s, t), VI_SUCCESS);
}

}  // namespace
