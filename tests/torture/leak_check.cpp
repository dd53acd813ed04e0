#include "leak_check.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <thread>

#include "clock.h"

namespace torture {
namespace {

template <typename Each>
int for_each_entry(const char* dir, Each each) {
    DIR* d = ::opendir(dir);
    if (d == nullptr)
        return -1;
    int n = 0;
    const int own = ::dirfd(d);
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        if (std::atoi(e->d_name) == own && std::string(dir) == "/proc/self/fd")
            continue;  // the listing's own descriptor
        ++n;
        each(e->d_name);
    }
    ::closedir(d);
    return n;
}

}  // namespace

LeakCheck::Counts LeakCheck::count() {
    Counts c;
    c.threads = for_each_entry("/proc/self/task", [&](const char* tid) {
        std::ifstream comm(std::string("/proc/self/task/") + tid + "/comm");
        std::string name;
        std::getline(comm, name);
        c.listing += std::string("    thread ") + tid + " " + name + "\n";
    });
    c.descriptors = for_each_entry("/proc/self/fd", [&](const char* fd) {
        char target[512];
        const ssize_t n =
            ::readlink((std::string("/proc/self/fd/") + fd).c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        const std::string_view what = target;
        if (what == "anon_inode:inotify" || what == "anon_inode:[eventfd]")
            ++c.pooled;
        c.listing += std::string("    fd ") + fd + " -> " + target + "\n";
    });
    return c;
}

bool LeakCheck::settled(const Counts& now, int extra_threads) const {
    return now.threads <= steady_->threads + extra_threads &&
           now.descriptors - now.pooled <= steady_->descriptors - steady_->pooled &&
           now.pooled <= steady_->pooled + pool_allowance_;
}

std::string LeakCheck::check(std::int64_t settle_ms) {
    Counts now = count();
    if (!steady_) {
        steady_ = now;
        return "";
    }
    const std::int64_t start = now_ns();
    for (int wait_ms = 1;; wait_ms *= 2) {
        if (settled(now, 0))
            return "";
        if (ms_since(start) >= settle_ms)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
        now = count();
    }
    // Settled but for one thread the library keeps from now on (checked
    // only now, so that a thread still ending is not taken for it).
    if (!kept_thread_seen_ && settled(now, 1)) {
        kept_thread_seen_ = true;
        steady_->threads = now.threads;
        return "";
    }
    return std::to_string(now.threads) + " threads and " + std::to_string(now.descriptors) +
           " descriptors after closing everything, against " + std::to_string(steady_->threads) +
           " and " + std::to_string(steady_->descriptors) + " after the warm-up (" +
           std::to_string(settle_ms) +
           " ms allowed to settle; inotify instances and eventfds: " + std::to_string(now.pooled) +
           " against " + std::to_string(steady_->pooled) + " and up to " +
           std::to_string(pool_allowance_) + " more). Now:\n" + now.listing +
           "  After the warm-up:\n" + steady_->listing;
}

}  // namespace torture
