// The tool's commands. Each writes its result to `out` (text, or one JSON
// document with --json) and its failures to `err` as "sgvisa: ..." lines,
// and returns the exit status: 0 on success, 1 when it failed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "system_paths.h"

namespace sgvisa_tool {

struct Options {
    std::string command;            // list, info, query
    std::vector<std::string> args;  // what follows the command
    bool json = false;
    std::uint32_t timeout_ms = 2000;                // of each I/O operation, and of an open's wait
    std::size_t max_reply = std::size_t{64} << 20;  // query: the longest reply kept, in bytes
    bool help = false;
    bool version = false;  // --version
    SystemPaths paths;
};

// `sgvisa list`: every instrument, with whether this user may open it.
int run_list(const Options& options, std::FILE* out, std::FILE* err);
// `sgvisa info RESOURCE`: capabilities, quirk switches, locks and holders.
int run_info(const Options& options, std::FILE* out, std::FILE* err);
// `sgvisa query RESOURCE CMD...`: each command sent, each query's reply printed.
int run_query(const Options& options, std::FILE* out, std::FILE* err);
// `sgvisa --version`: the library's version (VI_ATTR_RSRC_IMPL_VERSION) and
// the VISA specification it follows (VI_ATTR_RSRC_SPEC_VERSION).
int run_version(std::FILE* out, std::FILE* err);

}  // namespace sgvisa_tool
