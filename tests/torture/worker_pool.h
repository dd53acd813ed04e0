// The worker processes of a run: forks them, each the leader of a process
// group of its own (a kill takes the children it forked with it), watches
// for their ends, sends them commands and waits for the answers, kills and
// reaps them. A worker that ends unasked, or does not answer in time, is a
// failure of the run.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "worker.h"

namespace torture {

class WorkerPool {
  public:
    using Fail = std::function<void(const std::string&)>;

    // `setup`: what each worker gets (its incarnation and pipes filled in);
    // `foreign_fds`: descriptors of this process a worker must not keep.
    WorkerPool(WorkerSetup setup, std::vector<int> foreign_fds, int size, Fail fail, bool verbose);
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // A new worker (the next incarnation) in place `index`.
    void spawn(int index);
    // SIGKILL to the worker's group, in the middle of whatever it does; the
    // board knows of it first.
    void kill(int index);
    // Watches the live workers until `deadline_ns`; a worker's end ends
    // the watch early.
    void watch_until(std::int64_t deadline_ns);
    // Sends `command` to every live worker and waits for `answer` from
    // each, `bound_ms` in all.
    void command_all(char command, const std::string& answer, int bound_ms);
    // Kills every live worker (the run ends on a failure).
    void kill_all();
    // Reaps the workers that were told to finish.
    void reap_all();

    bool alive(int index) const { return workers_[index].alive; }
    int size() const { return static_cast<int>(workers_.size()); }
    std::uint32_t incarnations() const { return next_incarnation_; }
    int kills() const { return kills_; }
    // The pipe ends this process keeps, which no other child may keep.
    std::vector<int> descriptors() const;

  private:
    struct Process {
        pid_t pid = -1;
        std::uint32_t incarnation = 0;
        int command_fd = -1;
        int reply_fd = -1;
        std::string replies;
        bool alive = false;
    };
    // Waits for the worker's exit (it is known to be ending), reaps its
    // group, and notes how it ended.
    void reap(int index, bool killed);

    WorkerSetup setup_;
    std::vector<int> foreign_fds_;
    std::vector<Process> workers_;
    Fail fail_;
    bool verbose_;
    std::uint32_t next_incarnation_ = 0;
    int kills_ = 0;
};

// "ended on a violation" and the like, for an exit status of wait().
std::string describe_exit(int status);

// On SIGINT and SIGTERM, every worker's group is killed before the run
// ends.
void end_workers_on_interrupt();

}  // namespace torture
