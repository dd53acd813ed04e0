// An in-memory instrument for tests of the VISA front end: a Transport that
// records every message it receives and answers from a script or a callback.
//
// Constructing a MemoryInstrument registers an opener for its vendor ID,
// product ID and serial number (compared case-insensitively) with
// add_transport_opener; destroying it removes the opener. Transports opened
// before that keep working on the instrument's shared state. Registering
// before fork() makes the instrument available in the child as well.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "visa.h"

namespace sgtest {

// Like an IEEE 488.2 instrument, it drops a reply left unread when a new
// message begins.

// One Transport::write call as the instrument saw it.
struct ReceivedWrite {
    std::string bytes;
    bool end = false;
};

// A reply: delivered as separate transfers, one per part (a read returns at
// most one part, or less when its buffer is smaller), END on the last byte of
// the last part.
struct Reply {
    std::vector<std::string> parts;

    Reply() = default;
    // The whole reply in one transfer.
    Reply(std::string whole) { parts.push_back(std::move(whole)); }  // NOLINT: implicit
    Reply(const char* whole) : Reply(std::string(whole)) {}          // NOLINT: implicit

    static Reply in_parts(std::vector<std::string> parts) {
        Reply r;
        r.parts = std::move(parts);
        return r;
    }
};

class MemoryInstrument {
  public:
    // Called with each complete message (the bytes of the writes up to the
    // one with END); returns the reply, or nothing for a command that has none.
    using Responder = std::function<std::optional<Reply>(const std::string& message)>;

    MemoryInstrument(std::uint16_t vendor_id, std::uint16_t product_id, std::string serial);
    ~MemoryInstrument();
    MemoryInstrument(const MemoryInstrument&) = delete;
    MemoryInstrument& operator=(const MemoryInstrument&) = delete;

    // "USB0::0x....::0x....::<serial>::INSTR"
    std::string resource_name() const;

    // Script entry: answers `message` (exact bytes, linefeed included) with
    // `reply`. Messages with neither a script entry nor a responder get no
    // reply: a read then waits until its deadline.
    void answer(const std::string& message, Reply reply);
    void set_responder(Responder responder);

    // Queues output as if the instrument had produced it now (any thread).
    void push_output(std::string bytes, bool end);

    // Makes the next opens fail with `status` (VI_SUCCESS: open normally).
    void fail_open(ViStatus status);

    // Makes the transports' relinquish() block until unblock_relinquish()
    // (or 5 s), as one that must abort a transfer with the instrument does.
    void block_relinquish();
    void unblock_relinquish();
    // Waits, at most `bound`, until a relinquish() is blocked.
    bool wait_for_blocked_relinquish(std::chrono::milliseconds bound) const;

    std::vector<ReceivedWrite> writes() const;
    std::vector<std::string> messages() const;  // complete messages, in order
    int opens() const;                          // transports opened
    int open_transports() const;                // transports open now
    // Waits, at most `bound`, until no transport is open (a closed session's
    // asynchronous job may still hold its connection for a moment).
    bool wait_for_closed_transports(std::chrono::milliseconds bound) const;
    int clears() const;
    int reads_waiting() const;  // reads blocked for output right now
    // Waits, at most `bound`, until a read is blocked waiting for output.
    bool wait_for_blocked_read(std::chrono::milliseconds bound) const;

    struct State;

  private:
    std::shared_ptr<State> state_;
    int opener_id_ = 0;
};

}  // namespace sgtest
