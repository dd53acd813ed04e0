// A thread that tells when another descriptor announces a wait on an
// instrument's lock file or wakes its waiters (both write to the file), so
// that a process keeping the access lock between its operations gives it up
// when somebody wants it, without being asked by a timer.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace sgvisa {

class LockFileWatch {
  public:
    // Watches the file at `path` and calls `changed` on the watch's thread
    // after each batch of changes, until destroyed. The watch is armed when
    // this returns. Null when the system refuses a watch or a thread.
    static std::unique_ptr<LockFileWatch> start(const std::string& path,
                                                std::function<void()> changed);

    // Stops the thread and waits for it: `changed` is not running afterwards.
    // Not to be called from `changed`.
    ~LockFileWatch();
    LockFileWatch(const LockFileWatch&) = delete;
    LockFileWatch& operator=(const LockFileWatch&) = delete;

  private:
    LockFileWatch(int watch, int stop, std::function<void()> changed);
    void run();

    int watch_;  // inotify
    int stop_;   // eventfd, readable once stopping
    std::function<void()> changed_;
    std::thread thread_;
};

}  // namespace sgvisa
