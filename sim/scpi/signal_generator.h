// The simulated RF signal generator: an IEEE 488.2 / SCPI instrument with an
// RF output (frequency, level, state) and an LF generator (shape, frequency,
// amplitude, state), its status registers and its error queue.
//
// Commands (long and short forms, any case, [optional] nodes):
//   *CLS *ESE[?] *ESR? *IDN? *OPC[?] *RST *SRE[?] *STB? *TST? *WAI
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
// separated by ';'. The responses to the queries of one message are joined
// by ';' and ended with a linefeed (unless configured otherwise). A syntax
// error ends the processing of its message; after any other error the
// message's next unit still runs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "error_queue.h"
#include "generator_settings.h"
#include "instrument.h"
#include "scpi_parser.h"
#include "status_registers.h"

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

    std::string execute(std::string_view message) override;
    // Device clear. Partial input and unread output are kept by the USBTMC
    // device side, not here, and a device clear leaves the settings, the
    // status registers and the error queue as they are: nothing to do.
    void clear() override {}
    std::string describe_settings() const override;

    const GeneratorSettings& settings() const { return settings_; }

    // The identification *IDN? answers, without its terminator.
    std::string identification() const;

  private:
    void run_program_message(std::string_view program_message, std::string& response);
    // Each returns 0, or the SCPI error code of a failed unit; a query's
    // response is appended to `out` only on success.
    int run_common(const ProgramUnit& unit, std::string& out);
    int run_subsystem(const ProgramUnit& unit, std::string& out);
    void report(int code);

    GeneratorConfig config_;
    GeneratorSettings settings_;
    ErrorQueue errors_;
    StatusRegisters status_;
};

}  // namespace sgsim
