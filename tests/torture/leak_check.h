// The no-leak invariant: when a worker has closed every session and its
// resource manager, the process has no more threads and descriptors than
// after its warm-up (its steady state: what the library keeps for the
// process, if anything, is there by then).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace torture {

class LeakCheck {
  public:
    struct Counts {
        int threads = 0;
        int descriptors = 0;
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
    std::optional<Counts> steady_;
};

}  // namespace torture
