// The words for a failed call whose lower layers left no reason: what its
// status means for the session or resource it was about, and what to do.
#pragma once

#include <string>

#include "visa.h"

namespace sgvisa::api {

// Empty when there is nothing to add to the status. `op` is the operation
// (viLock's and viOpen's timeouts are waits for a lock), `session` the
// call's session or VI_NULL, `resource` the resource name it opens or null.
// May list the buses and look at lock files (within a second or two).
std::string failure_reason(const char* op, ViStatus status, ViObject session, const char* resource);

}  // namespace sgvisa::api
