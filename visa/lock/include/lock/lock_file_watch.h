// Changes of instrument lock files for what acts on them by itself, such as
// a connection keeping the access lock between operations: told through one
// inotify instance that the process keeps open, read by one thread of the
// library, both made at the first need and kept until the process ends
// (tearing an inotify instance down waits for a kernel grace period, several
// milliseconds on a busy machine, so none is ever closed out of viClose). A
// fork child gets an instance and thread of its own at its first need; the
// parent's are left to the parent. (A thread that waits for a lock blocks on
// an instance of its own instead: wait_instances.h.)
//
// A change is a write to the file (a waiter announcing itself, a releaser
// waking the waiters) or the close of a descriptor of it. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace sgvisa::lock {

class LockFileWatch {
  public:
    // Calls `changed` on the library's watch thread after each batch of
    // changes to the file at `path`, until destroyed. Armed when this returns. Null when the
    // system refuses: no inotify instance (the user's limit is reached), no
    // watch, no thread. `changed` must not block for long: it delays every
    // other watch of the process.
    static std::unique_ptr<LockFileWatch> start(const std::string& path,
                                                std::function<void()> changed);

    // After it `changed` is not running and is not called again. From within
    // `changed` it only stops later calls.
    ~LockFileWatch();
    LockFileWatch(const LockFileWatch&) = delete;
    LockFileWatch& operator=(const LockFileWatch&) = delete;

    struct Hub;

  private:
    LockFileWatch(Hub* hub, int wd, std::uint64_t id) : hub_(hub), wd_(wd), id_(id) {}
    Hub* hub_;
    int wd_;
    std::uint64_t id_;
};

}  // namespace sgvisa::lock
