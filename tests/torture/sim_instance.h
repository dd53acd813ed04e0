// A simulated instrument (sgsim) the run talks to, started on the run's
// private bus directory.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace torture {

// Whether `sgsim --help` of the simulator `binary` lists the quirk `name`.
bool sim_offers_quirk(const std::string& binary, const std::string& name);

class SimInstance {
  public:
    // Starts `binary` with `args`; ready() once it printed its resource name
    // (within 10 s).
    SimInstance(const std::string& binary, const std::vector<std::string>& args);
    ~SimInstance();
    SimInstance(const SimInstance&) = delete;
    SimInstance& operator=(const SimInstance&) = delete;

    bool ready() const { return !resource_.empty(); }
    const std::string& resource() const { return resource_; }
    pid_t pid() const { return pid_; }
    int stdout_fd() const { return stdout_fd_; }
    // Still running (not exited, not reaped).
    bool alive();
    // SIGTERM, then its exit status within 5 s (what it printed goes to `out`).
    int stop(std::string& out);

  private:
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    std::string resource_;
    std::string pending_;
    int exit_status_ = -1;
};

}  // namespace torture
