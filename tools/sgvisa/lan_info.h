// sgvisa info for a LAN resource (TCPIP INSTR or SOCKET): there is nothing
// to list it from, so it is opened as any program would, and shows what the
// library knows of the connection and the instrument's identification.
#pragma once

#include <cstdio>
#include <string>

#include "commands.h"

namespace sgvisa_tool {

// Exit status 0, or 1 with the open's failure worded as query words it.
int run_lan_info(const Options& options, const std::string& text, std::FILE* out, std::FILE* err);

}  // namespace sgvisa_tool
