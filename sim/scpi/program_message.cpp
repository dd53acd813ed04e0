#include "scpi/program_message.h"

#include <optional>

namespace sgsim {

void run_program_message(std::string_view program_message, CommonCommands& common,
                         const SubsystemRunner& run_subsystem, const ResponseRules& rules,
                         std::string& response) {
    ScpiParser parser(program_message);
    std::string answers;
    bool answered = false;
    while (std::optional<ProgramUnit> unit = parser.next()) {
        std::string answer;
        const bool output_pending = answered || !response.empty();
        const int code =
            unit->common ? common.run(*unit, output_pending, answer) : run_subsystem(*unit, answer);
        if (code != 0) {
            common.report(code);
            continue;
        }
        if (!unit->query) {
            continue;
        }
        if (response.size() + answers.size() + answer.size() + 2 > rules.max_bytes) {
            common.report(scpi_error::kOutOfMemory);
            continue;
        }
        if (answered) {
            answers += ';';
        }
        answers += answer;
        answered = true;
    }
    common.report(parser.error());
    if (answered) {
        response += answers;
        if (rules.newline) {
            response += '\n';
        }
    }
}

}  // namespace sgsim
