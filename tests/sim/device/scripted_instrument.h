// A small instrument for device core tests: it answers every message that
// contains '?' with `reply` and records every message it is given.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "instrument.h"

namespace simtest {

class ScriptedInstrument : public sgsim::Instrument {
  public:
    std::string reply = "REPLY\n";
    std::vector<std::string> received;
    int clears = 0;

    std::string execute(std::string_view message) override {
        received.emplace_back(message);
        return message.find('?') != std::string_view::npos ? reply : std::string();
    }
    void clear() override { ++clears; }
    std::string describe_settings() const override { return "none\n"; }
};

}  // namespace simtest
