#include "status_tags.h"

#include <unistd.h>

#include <atomic>

#include "tag_seed.h"
#include "usb488_messages.h"

namespace sgvisa::usb488 {
namespace {

// The process the sequence is of (bits 8 and up) and its last tag (bits 0-7),
// so that a fork child, which finds its parent's, starts one of its own.
std::atomic<std::uint64_t> g_sequence{0};

std::uint8_t random_tag() {
    return static_cast<std::uint8_t>(kFirstStatusTag +
                                     usbtmc::tag_seed() % (kLastStatusTag - kFirstStatusTag + 1));
}

}  // namespace

std::uint8_t take_status_tag() {
    const auto pid = static_cast<std::uint64_t>(::getpid());
    std::uint64_t seen = g_sequence.load();
    for (;;) {
        const std::uint8_t tag = (seen >> 8) == pid
                                     ? next_status_tag(static_cast<std::uint8_t>(seen & 0xFF))
                                     : random_tag();
        if (g_sequence.compare_exchange_weak(seen, (pid << 8) | tag))
            return tag;
    }
}

}  // namespace sgvisa::usb488
