// What every C entry point of the library shares: it is exported from the
// shared object (everything else is hidden), and no C++ exception crosses it.
#pragma once

#include <new>

#include "visa.h"

#define SGVISA_EXPORT extern "C" __attribute__((visibility("default")))

namespace sgvisa {

// Runs `body` and returns its status; an exception that escapes it becomes
// VI_ERROR_ALLOC (out of memory) or VI_ERROR_SYSTEM_ERROR (anything else).
template <typename Body>
ViStatus guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return VI_ERROR_ALLOC;
    } catch (...) {
        return VI_ERROR_SYSTEM_ERROR;
    }
}

}  // namespace sgvisa
