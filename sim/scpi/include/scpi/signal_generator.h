// The simulated RF signal generator: an IEEE 488.2 / SCPI instrument with an
// RF output (frequency, level, state) and an LF generator (shape, frequency,
// amplitude, state), its status registers and its error queue.
//
// Commands (long and short forms, any case, [optional] nodes):
//   *CLS *ESE[?] *ESR? *IDN? *OPC[?] *RST *SRE[?] *STB? *TRG *TST? *WAI
//   [SOURce:]FREQuency[:CW|:FIXed][?]                     <frequency>[Hz|kHz|MHz|GHz]
//   [SOURce:]POWer[:LEVel][:IMMediate][:AMPLitude][?]     <level>[dBm]
//   OUTPut[:STATe][?]                                     ON|OFF|1|0
//   [SOURce:]LFOutput:FUNCtion:SHAPe[?]                   SINE|SQUare|TRIangle
//   [SOURce:]LFOutput:FUNCtion:FREQuency[?]               <frequency>[Hz|kHz|MHz|GHz]
//   [SOURce:]LFOutput:AMPlitude|AMPLitude[?]              <amplitude>[V|mV|uV]
//   [SOURce:]LFOutput[:STATe][?]                          ON|OFF|1|0
//   SYSTem:ERRor[:NEXT]?   SYSTem:VERSion?
// Numeric settings also take MINimum, MAXimum and DEFault, and their queries
// answer those limits when given one of the words.
//
// A linefeed ends a program message; a message may hold several units
// separated by ';' (program_message.h says how they run and are answered).
// A trigger (*TRG, or the interface's) has nothing to start in this
// generator: it is counted, and the count is shown with the settings.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scpi/common_commands.h"
#include "scpi/generator_settings.h"
#include "scpi/instrument.h"
#include "scpi/program_message.h"
#include "scpi/scpi_parser.h"

namespace sgsim {

struct GeneratorConfig {
    std::string serial_number = "SIM001";
    // When set, *IDN? answers this text instead of the generator's own
    // identification (the response terminator is still added).
    std::optional<std::string> identification;
    // Responses are not ended with a linefeed.
    bool no_newline = false;
};

class SignalGenerator final : public Instrument {
  public:
    // Upper bound on the response to one execute() call; a query that would
    // go beyond it is not answered and reports -225 "Out of memory".
    static constexpr std::size_t kMaxResponseBytes = 64 * 1024;

    explicit SignalGenerator(GeneratorConfig config = {});
    // *RST reaches back into this object: it stays where it was made.
    SignalGenerator(const SignalGenerator&) = delete;
    SignalGenerator& operator=(const SignalGenerator&) = delete;

    std::string execute(std::string_view message) override;
    // Device clear. Partial input and unread output are kept by the USBTMC
    // device side, not here, and a device clear leaves the settings, the
    // status registers and the error queue as they are: nothing to do.
    void clear() override {}
    void trigger() override { common_.trigger(); }
    void query_interrupted() override { common_.report(scpi_error::kQueryInterrupted); }
    StatusRegisters& status() override { return common_.status(); }
    std::string describe_settings() const override;
    std::vector<std::string> settings_set() const override { return settings_set_; }

    const GeneratorSettings& settings() const { return settings_; }
    // Triggers received since power-on (*RST does not reset the count).
    unsigned long triggers() const { return triggers_; }

    // The identification *IDN? answers, without its terminator.
    std::string identification() const;

  private:
    // Returns 0, or the SCPI error code of a failed unit; a query's response
    // is appended to `out` only on success.
    int run_subsystem(const ProgramUnit& unit, std::string& out);

    GeneratorConfig config_;
    GeneratorSettings settings_;
    unsigned long triggers_ = 0;
    std::vector<std::string> settings_set_;  // by the latest execute()
    CommonCommands common_;
};

}  // namespace sgsim
