// The trace's words for a failed call, for the library's own tools
// (visa/inspect): what its status means for the resource it was about, and
// what to do, as the call's trace line gives them (failure_reason.h).
#pragma once

#include <string>

#include "visa.h"

namespace sgvisa::api {

// Empty when there is nothing to add to the status. Looks at the buses and
// the lock files as the trace does (within a second or two).
std::string failure_words(const char* op, ViStatus status, const char* resource);

}  // namespace sgvisa::api
