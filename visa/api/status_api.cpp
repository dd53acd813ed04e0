// viStatusDesc: words for a status.
#include <cstdio>

#include "entry_point.h"
#include "status_text.h"
#include "traced_call.h"
#include "visa.h"

SGVISA_EXPORT ViStatus viStatusDesc(ViObject /*vi*/, ViStatus status, ViChar* desc) {
    const sgvisa::CallTrace traced("viStatusDesc", [&](sgvisa::CallArgs& a) {
        a.hex("status", static_cast<ViUInt32>(status)).out_str("desc", desc);
    });
    return sgvisa::guarded([&]() -> ViStatus {
        if (desc == nullptr)
            return VI_ERROR_USER_BUF;
        if (const auto* t = sgvisa::find_status_text(status)) {
            std::snprintf(desc, VI_FIND_BUFLEN, "%s: %s", t->name, t->description);
            return VI_SUCCESS;
        }
        std::snprintf(desc, VI_FIND_BUFLEN, "Unknown status 0x%08X.",
                      static_cast<unsigned>(status));
        return VI_WARN_UNKNOWN_STATUS;
    });
}
