// What every C entry point of the library shares: it is exported from the
// shared object (everything else is hidden), and no C++ exception crosses it.
#pragma once

#include <new>

#include "trace_switch.h"
#include "visa.h"

#define SGVISA_EXPORT extern "C" __attribute__((visibility("default")))

namespace sgvisa {

namespace call_trace {
// Keeps `status` for the call's trace line (traced_call.h).
void returned(ViStatus status) noexcept;
}  // namespace call_trace

// Runs `body` and returns its status; an exception that escapes it becomes
// VI_ERROR_ALLOC (out of memory) or VI_ERROR_SYSTEM_ERROR (anything else).
template <typename Body>
ViStatus guarded(Body&& body) noexcept {
    ViStatus status;
    try {
        status = body();
    } catch (const std::bad_alloc&) {
        status = VI_ERROR_ALLOC;
    } catch (...) {
        status = VI_ERROR_SYSTEM_ERROR;
    }
    if (trace::calls_on()) [[unlikely]]
        call_trace::returned(status);
    return status;
}

}  // namespace sgvisa
