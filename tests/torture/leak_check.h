// The no-leak invariant: when a worker has closed every session and its
// resource manager, the process has no more threads and descriptors than
// after its warm-up (its steady state: what the library keeps for the
// process, if anything, is there by then). Inotify instances and eventfds
// are the exception: the library may keep some open for the process to lend
// to lock waits (closing an inotify instance waits for a kernel grace
// period), as many as waits have run at once. So they may grow past the
// steady state, up to a bound the caller gives; a leak of them passes that
// bound over a long run, a leak of anything else shows at the first pause.
// Threads: the library may also start one thread for the process at its
// first need (a watch of lock files), after the warm-up if the warm-up did
// not need it; so the count may rise by one, once, for the process's life.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace torture {

class LeakCheck {
  public:
    // `pool_allowance`: how many inotify and eventfd descriptors more than
    // in the steady state the library may keep.
    explicit LeakCheck(int pool_allowance) : pool_allowance_(pool_allowance) {}

    struct Counts {
        int threads = 0;
        int descriptors = 0;
        int pooled = 0;       // of the descriptors: inotify instances and eventfds
        std::string listing;  // each thread's name and each descriptor's target
    };
    static Counts count();

    // The first call records the steady state and returns "". Later calls
    // return "" when the counts are back to it, else what is left over.
    // viClose returns at once while a closed session's threads end on their
    // own, so the counts get `settle_ms` to come down (looked at after 1,
    // 2, 4 ... ms: no event tells that another thread has ended).
    std::string check(std::int64_t settle_ms);
    // Takes the next counts as the steady state: the library made
    // something it keeps for the process's life (libusb's context, after an
    // open searched the USB devices).
    void rebase() { steady_.reset(); }

  private:
    bool settled(const Counts& now, int extra_threads) const;

    int pool_allowance_;
    bool kept_thread_seen_ = false;
    std::optional<Counts> steady_;
};

}  // namespace torture
