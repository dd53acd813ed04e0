#include "in_process_sim.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace sgtest {
namespace {

sgsim::GeneratorConfig config(const std::string& serial) {
    sgsim::GeneratorConfig c;
    c.serial_number = serial;
    return c;
}

}  // namespace

InProcessSim::InProcessSim(const std::string& serial, sgsim::DeviceFaults faults,
                           const std::string& log_path)
    : generator_(config(serial)), device_(generator_, faults, log_path.empty() ? nullptr : &log_) {
    std::string error;
    if (!log_path.empty()) {
        EXPECT_TRUE(log_.open(log_path, error)) << error;
    }
    sgsim::DeviceIdentity id;
    id.serial = serial;
    server_ = std::make_unique<sgsim::LocalbusServer>(device_, id);
    EXPECT_EQ(server_->start(error), sgsim::LocalbusServer::StartResult::kListening) << error;
    EXPECT_EQ(::pipe2(stop_, O_CLOEXEC), 0);
    thread_ = std::thread([this] {
        std::string e;
        EXPECT_TRUE(server_->run(stop_[0], e)) << e;
    });
}

InProcessSim::~InProcessSim() {
    const char b = 1;
    EXPECT_EQ(::write(stop_[1], &b, 1), 1);
    thread_.join();
    server_.reset();
    ::close(stop_[0]);
    ::close(stop_[1]);
}

int raw_connect(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace sgtest
