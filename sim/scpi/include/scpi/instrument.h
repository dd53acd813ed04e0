// The instrument behind the simulated generator's USBTMC device: it executes
// complete program messages and answers queries, takes device triggers, and
// keeps the IEEE 488.2 status reporting that the interface reads (serial
// poll) and announces (service requests).
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "scpi/status_registers.h"

namespace sgsim {

// How a response becomes available to the host.
struct ResponseDelivery {
    // Available this long after its message was executed.
    std::chrono::milliseconds delay{0};
    // While available, the instrument requests service on its own.
    bool request_service = false;
};

class Instrument {
  public:
    virtual ~Instrument() = default;

    // Executes one complete program message: the bytes the host sent up to
    // END, its final linefeed included when sent. Returns the response
    // message, or an empty string when the message held no query.
    virtual std::string execute(std::string_view message) = 0;

    // How the response of the latest execute() becomes available.
    virtual ResponseDelivery response_delivery() const { return {}; }

    // Device clear: drop any partial input and pending output.
    virtual void clear() = 0;

    // A device trigger (USB488 TRIGGER): what *TRG does.
    virtual void trigger() = 0;

    // The interface dropped a response that was never read because a new
    // message came first (IEEE 488.2's interrupted query, which HiSLIP's
    // synchronized mode detects): the instrument reports -410.
    virtual void query_interrupted() {}

    // The status registers; the interface tells them when a response waits
    // to be read (MAV) and takes their service requests.
    virtual StatusRegisters& status() = 0;

    // The current settings as human-readable lines (each ending in '\n').
    virtual std::string describe_settings() const = 0;

    // What the latest execute() set, in order: one entry per command that
    // took effect, naming the setting and its value as describe_settings()
    // does ("RF frequency 1 GHz"), also when the value was already so.
    // Queries and refused commands set nothing. None by default.
    virtual std::vector<std::string> settings_set() const { return {}; }
};

}  // namespace sgsim
