// A small instrument for tests of the simulated device core: it answers
// every message that contains '?' with `reply` and records every message.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "scpi/instrument.h"
#include "scpi/status_registers.h"

namespace simtest {

class ScriptedInstrument : public sgsim::Instrument {
  public:
    std::string reply = "REPLY\n";
    std::vector<std::string> received;
    int clears = 0;
    int triggers = 0;
    sgsim::StatusRegisters registers;

    std::string execute(std::string_view message) override {
        received.emplace_back(message);
        return message.find('?') != std::string_view::npos ? reply : std::string();
    }
    void clear() override { ++clears; }
    void trigger() override { ++triggers; }
    sgsim::StatusRegisters& status() override { return registers; }
    std::string describe_settings() const override { return "none\n"; }
};

}  // namespace simtest
