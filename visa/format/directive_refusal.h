// A directive the format engines refuse (VI_ERROR_INV_FMT, VI_ERROR_NSUP_FMT)
// is named in the failing call's trace line: its text, where it starts in
// the format, and why, so that a program's author finds it in a long format.
#pragma once

#include <cstddef>

#include "visa.h"

namespace sgvisa::format {

// Notes the reason for the calling thread's trace line (when the trace is
// on) and returns `status`. `which` names the format ("read", "write"),
// `format` is the whole format, [start, end) the directive's characters.
ViStatus refuse_directive(ViStatus status, const char* which, const char* format, const char* start,
                          const char* end, const char* why);

}  // namespace sgvisa::format
