// How sgvisa words a failed open, the same for query and info: the status's
// name, then the reason the library's trace gives for it (the lock's
// holders, the instruments found instead, the kinds of resource served),
// else the status's description.
#pragma once

#include <cstdio>
#include <string>

#include "commands.h"

#include "visa.h"

namespace sgvisa_tool {

// "cannot open RESOURCE: VI_ERROR_RSRC_LOCKED: the instrument is locked by ..."
std::string open_failure(const std::string& resource, ViStatus status);

// info's report of it: the line on `err`, and under --json one document
// with "resource" and "error" on `out`. Returns the exit status, 1.
int report_open_failure(const Options& options, const std::string& resource, ViStatus status,
                        std::FILE* out, std::FILE* err);

}  // namespace sgvisa_tool
