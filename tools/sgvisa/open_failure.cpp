#include "open_failure.h"

#include "inspect/inspection.h"

namespace sgvisa_tool {

std::string open_failure(const std::string& resource, ViStatus status) {
    std::string reason = sgvisa::inspect::open_failure_reason(resource, status);
    if (reason.empty()) {
        ViChar desc[VI_FIND_BUFLEN] = {};
        viStatusDesc(VI_NULL, status, desc);
        reason = desc;
        // The description begins with the name: "VI_ERROR_TMO: ...".
        return "cannot open " + resource + ": " + reason;
    }
    return "cannot open " + resource + ": " + sgvisa::inspect::status_name(status) + ": " + reason;
}

}  // namespace sgvisa_tool
