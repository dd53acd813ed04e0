// The IEEE 488.2 common commands as every simulated instrument answers them,
// with the status registers and the SCPI error queue behind them:
//   *CLS *ESE[?] *ESR? *IDN? *OPC[?] *RST *SRE[?] *STB? *TRG *TST? *WAI
// What *IDN? answers and what *RST and *TRG do belong to the instrument that
// owns them; the rest is the same everywhere. Every operation completes
// before the next command is parsed, so *OPC sets OPC at once, *OPC?
// answers 1 at once and *WAI has nothing to wait for.
#pragma once

#include <functional>
#include <string>

#include "scpi/error_queue.h"
#include "scpi/scpi_parser.h"
#include "scpi/status_registers.h"

namespace sgsim {

class CommonCommands {
  public:
    // `identification` is what *IDN? answers (without terminator); `reset`
    // runs on *RST and puts the owner's settings back to their defaults;
    // `trigger` runs on *TRG (and on a device trigger from the interface).
    CommonCommands(std::string identification, std::function<void()> reset,
                   std::function<void()> trigger);
    CommonCommands(const CommonCommands&) = delete;
    CommonCommands& operator=(const CommonCommands&) = delete;

    // Runs one common command unit (unit.common is set). Returns 0, or the
    // SCPI error code; a query's response goes to `out` only on success.
    // `output_pending`: earlier units of the program message have answered
    // (*STB? shows MAV for them).
    int run(const ProgramUnit& unit, bool output_pending, std::string& out);

    // A device trigger (IEEE 488.1 GET, USB488 TRIGGER): as *TRG.
    void trigger() { trigger_(); }

    // Queues the error `code` (0: nothing) and sets its event status bit.
    void report(int code);

    // SYSTem:ERRor[:NEXT]?: the oldest error as <code>,"<text>", removed
    // from the queue; 0,"No error" when it is empty.
    std::string next_error();

    const std::string& identification() const { return identification_; }
    StatusRegisters& status() { return status_; }
    const StatusRegisters& status() const { return status_; }

  private:
    int run_register(const ProgramUnit& unit, bool event_enable, std::string& out);

    std::string identification_;
    std::function<void()> reset_;
    std::function<void()> trigger_;
    ErrorQueue errors_;
    StatusRegisters status_;
};

}  // namespace sgsim
