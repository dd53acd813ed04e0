// A simulated generator served on the local bus by a thread of the test
// process, plus small helpers for raw local bus connections.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "attach/localbus_server.h"
#include "device/message_log.h"
#include "device/usbtmc_device.h"
#include "scpi/signal_generator.h"
#include "transport/deadline.h"

namespace sgtest {

class InProcessSim {
  public:
    // Listens on the device's socket in the current bus directory
    // (XDG_RUNTIME_DIR must already point at the test's own directory).
    explicit InProcessSim(const std::string& serial, sgsim::DeviceFaults faults = {},
                          const std::string& log_path = {});
    ~InProcessSim();  // stops the server thread and removes the socket
    InProcessSim(const InProcessSim&) = delete;
    InProcessSim& operator=(const InProcessSim&) = delete;

    const std::string& socket_path() const { return server_->socket_path(); }

  private:
    sgsim::SignalGenerator generator_;
    sgsim::MessageLog log_;
    sgsim::UsbtmcDevice device_;
    std::unique_ptr<sgsim::LocalbusServer> server_;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

inline sgvisa::Deadline in(std::chrono::milliseconds d) {
    return sgvisa::Clock::now() + d;
}

// A raw connection to a device socket; -1 when nothing answers.
int raw_connect(const std::string& path);

}  // namespace sgtest
