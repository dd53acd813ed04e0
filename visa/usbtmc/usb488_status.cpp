#include "usb488_status.h"

#include <unistd.h>

#include <atomic>

#include "proto/usbtmc.h"
#include "transport/deadline.h"

namespace sgvisa::usbtmc {

namespace {

std::atomic<std::uint64_t> g_seed_calls{0};
// Set by replay_tag_seeds(): the seed every draw derives from instead of
// the process, the clock and the draw's number alone.
std::atomic<bool> g_replaying{false};
std::atomic<std::uint64_t> g_replay_seed{0};

}  // namespace

std::uint64_t tag_seed() {
    const std::uint64_t n = g_seed_calls.fetch_add(1, std::memory_order_relaxed);
    std::uint64_t x = g_replaying.load(std::memory_order_relaxed)
                          ? g_replay_seed.load(std::memory_order_relaxed)
                          : static_cast<std::uint64_t>(::getpid()) << 32 ^
                                static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
    x ^= n * 0x9E3779B97F4A7C15u;
    // splitmix64's finaliser: every input bit moves the result.
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

}  // namespace sgvisa::usbtmc

namespace sgvisa::usbtmc {
namespace {

// The process the sequence is of (bits 8 and up) and its last tag (bits 0-7),
// so that a fork child, which finds its parent's, starts one of its own.
std::atomic<std::uint64_t> g_sequence{0};

std::uint8_t random_tag() {
    return static_cast<std::uint8_t>(kFirstStatusTag +
                                     usbtmc::tag_seed() % (kLastStatusTag - kFirstStatusTag + 1));
}

}  // namespace

void replay_tag_seeds(std::uint64_t seed) {
    g_replay_seed.store(seed, std::memory_order_relaxed);
    g_replaying.store(true, std::memory_order_relaxed);
    g_seed_calls.store(0, std::memory_order_relaxed);
    g_sequence.store(0);
}

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

std::uint8_t next_status_tag(std::uint8_t tag) {
    return tag < kFirstStatusTag || tag >= kLastStatusTag ? kFirstStatusTag
                                                          : static_cast<std::uint8_t>(tag + 1);
}

StatusAnswer parse_status_answer(std::span<const std::uint8_t> answer, std::uint8_t tag) {
    StatusAnswer out;
    if (answer.size() < kReadStatusByteLength || answer[0] != sgproto::usbtmc::STATUS_SUCCESS ||
        answer[1] != tag)
        return out;
    out.valid = true;
    out.status_byte = answer[2];
    return out;
}

Notification parse_notification(std::span<const std::uint8_t> packet) {
    Notification n;
    if (packet.size() < 2 || (packet[0] & 0x80) == 0)
        return n;
    const std::uint8_t tag = packet[0] & 0x7F;
    n.status_byte = packet[1];
    if (packet[0] == kServiceRequest) {
        n.kind = Notification::Kind::service_request;
    } else if (tag >= kFirstStatusTag && tag <= kLastStatusTag) {
        n.kind = Notification::Kind::status_byte;
        n.tag = tag;
    }
    return n;
}

}  // namespace sgvisa::usbtmc
