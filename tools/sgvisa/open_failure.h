// How sgvisa words a failed open, the same for query and info: the status's
// name, then the reason the library's trace gives for it (the lock's
// holders, the instruments found instead, the kinds of resource served),
// else the status's description.
#pragma once

#include <string>

#include "visa.h"

namespace sgvisa_tool {

// "cannot open RESOURCE: VI_ERROR_RSRC_LOCKED: the instrument is locked by ..."
std::string open_failure(const std::string& resource, ViStatus status);

}  // namespace sgvisa_tool
