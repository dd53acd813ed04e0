// The tool's command line: sgvisa [--json] [--timeout MS] COMMAND ARGS...
#pragma once

#include <string>

#include "commands.h"

namespace sgvisa_tool {

// Parses argv[1..argc-1]; options may come anywhere before a lone "--",
// after which everything is an argument (a command that begins with "-").
// False, with a one-line reason in `error`, on an unknown option, a bad
// value or a missing command.
bool parse_command_line(int argc, const char* const* argv, Options& out, std::string& error);

// The --help text.
std::string usage_text();

}  // namespace sgvisa_tool
