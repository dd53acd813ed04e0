// The instrument behind the simulated generator's USBTMC device: it executes
// complete program messages and answers queries.
#pragma once

#include <string>
#include <string_view>

namespace sgsim {

class Instrument {
  public:
    virtual ~Instrument() = default;

    // Executes one complete program message: the bytes the host sent up to
    // END, its final linefeed included when sent. Returns the response
    // message, or an empty string when the message held no query.
    virtual std::string execute(std::string_view message) = 0;

    // Device clear: drop any partial input and pending output.
    virtual void clear() = 0;

    // The current settings as human-readable lines (each ending in '\n').
    virtual std::string describe_settings() const = 0;
};

}  // namespace sgsim
