// The operations of the C binding that apply to no resource this library
// serves (register access, shared memory, the GPIB, VXI and PXI buses): each
// is exported, so that a program linked against another VISA's exports
// loads, and each answers VI_ERROR_NSUP_OPER on a session, VI_ERROR_INV_OBJECT
// on anything else, as every operation does, and touches nothing else. The
// trace names the operation and says in words why it is not served.
#pragma once

#include <string>

#include "entry_point.h"
#include "session/session_table.h"
#include "trace/trace_reason.h"
#include "visa.h"

namespace sgvisa::api {

// Runs the unserved operation `op` on `vi`; `describe` adds its arguments
// after the session to the trace line, `why` is its reason there.
template <typename Describe>
ViStatus unserved(const char* op, const char* why, ViSession vi, Describe describe) noexcept {
    const CallTrace traced(op, [&](CallArgs& a) {
        a.obj("vi", vi);
        describe(a);
    });
    return guarded([&]() -> ViStatus {
        const auto& table = session::SessionTable::global();
        // A resource manager session is a session too: it serves these no more.
        if (!table.instrument(vi) && !table.is_resource_manager(vi))
            return VI_ERROR_INV_OBJECT;
        trace::note_reason([why] { return std::string(why); });
        return VI_ERROR_NSUP_OPER;
    });
}

}  // namespace sgvisa::api
