// A simulated instrument (sgsim) the run talks to, started on the run's
// private bus directory.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "child_process.h"

namespace torture {

// Whether `sgsim --help` of the simulator `binary` lists the quirk `name`.
bool sim_offers_quirk(const std::string& binary, const std::string& name);

class SimInstance {
  public:
    // Starts `binary` with `args`; ready() once it printed its resource name
    // (within 10 s). One still running at the end is killed and reaped.
    SimInstance(const std::string& binary, const std::vector<std::string>& args);

    bool ready() const { return !resource_.empty(); }
    const std::string& resource() const { return resource_; }
    // With --lan: the ports of its line "sgsim: LAN ...", 0 without.
    int portmap_port() const { return portmap_port_; }
    int socket_port() const { return socket_port_; }
    int hislip_port() const { return hislip_port_; }
    pid_t pid() const { return child_.pid(); }
    int stdout_fd() const { return child_.output(); }
    // Still running (not exited, not reaped).
    bool alive() { return child_.running(); }
    // SIGTERM, then its exit status within 5 s (what it printed goes to `out`).
    int stop(std::string& out);

  private:
    sgtest::ChildProcess child_;
    std::string resource_;
    std::string pending_;
    int portmap_port_ = 0;
    int socket_port_ = 0;
    int hislip_port_ = 0;
};

}  // namespace torture
