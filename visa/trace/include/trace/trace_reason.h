// Why the current VISA call failed, in words with what to do: the layer that
// meets a failure's cause (a refused device node, a held lock, a missing
// instrument) writes it for the calling thread, and the call's trace line
// carries it. A channel from below, so no lower layer knows the trace line.
#pragma once

#include <string>

#include "trace/trace_switch.h"

namespace sgvisa::trace {

// The calling thread's reason: set (replacing an earlier one), read, cleared.
void set_reason(std::string reason);
const std::string& reason();
void clear_reason();

// Sets the reason that `make()` returns, when the trace is on; costs a
// branch otherwise.
template <typename Make>
void note_reason(Make&& make) {
    if (calls_on())
        set_reason(make());
}

// The I/O timeout of the calling thread's current operation, in ms, for the
// reason of a timeout (0: none noted).
void set_operation_timeout(unsigned ms);
unsigned operation_timeout();

}  // namespace sgvisa::trace
