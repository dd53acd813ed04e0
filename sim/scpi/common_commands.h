// The IEEE 488.2 common commands as every simulated instrument answers them,
// with the status registers and the SCPI error queue behind them:
//   *CLS *ESE[?] *ESR? *IDN? *OPC[?] *RST *SRE[?] *STB? *TST? *WAI
// What *IDN? answers and what *RST resets belong to the instrument that owns
// them; the rest is the same everywhere.
#pragma once

#include <functional>
#include <string>

#include "error_queue.h"
#include "scpi_parser.h"
#include "status_registers.h"

namespace sgsim {

class CommonCommands {
  public:
    // `identification` is what *IDN? answers (without terminator); `reset`
    // runs on *RST and puts the owner's settings back to their defaults.
    CommonCommands(std::string identification, std::function<void()> reset);

    // Runs one common command unit (unit.common is set). Returns 0, or the
    // SCPI error code; a query's response goes to `out` only on success.
    int run(const ProgramUnit& unit, std::string& out);

    // Queues the error `code` (0: nothing) and sets its event status bit.
    void report(int code);

    // SYSTem:ERRor[:NEXT]?: the oldest error as <code>,"<text>", removed
    // from the queue; 0,"No error" when it is empty.
    std::string next_error();

    const std::string& identification() const { return identification_; }

  private:
    int run_register(const ProgramUnit& unit, bool event_enable, std::string& out);

    std::string identification_;
    std::function<void()> reset_;
    ErrorQueue errors_;
    StatusRegisters status_;
};

}  // namespace sgsim
