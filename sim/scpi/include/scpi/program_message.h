// Runs one IEEE 488.2 program message (the text between two message
// terminators) for an instrument: its units in order, the common commands
// through CommonCommands and the others through the instrument, every error
// reported to the error queue. The answers of the message's queries are
// joined by ';' and ended with a linefeed (unless told otherwise). A syntax
// error ends the processing of its message; after any other error the
// message's next unit still runs.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "scpi/common_commands.h"
#include "scpi/scpi_parser.h"

namespace sgsim {

struct ResponseRules {
    bool newline = true;  // end the answers of each message with a linefeed
    // Upper bound on the whole response: a query whose answer would go
    // beyond it is not answered and reports -225 "Out of memory".
    std::size_t max_bytes = 64 * 1024;
};

// Runs a unit that is not a common command: 0 or the SCPI error code; a
// query's answer goes to `out`.
using SubsystemRunner = std::function<int(const ProgramUnit& unit, std::string& out)>;

// Appends the message's answers, if it has any, to `response`.
void run_program_message(std::string_view program_message, CommonCommands& common,
                         const SubsystemRunner& run_subsystem, const ResponseRules& rules,
                         std::string& response);

}  // namespace sgsim
