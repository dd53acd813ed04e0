#include "open_failure.h"

#include "inspect/inspection.h"
#include "json_writer.h"

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

int report_open_failure(const Options& options, const std::string& resource, ViStatus status,
                        std::FILE* out, std::FILE* err) {
    const std::string error = open_failure(resource, status);
    std::fprintf(err, "sgvisa: %s\n", error.c_str());
    if (options.json) {
        JsonWriter json;
        json.begin_object();
        json.key("resource").string(resource);
        json.key("error").string(error);
        json.end_object();
        std::fprintf(out, "%s\n", json.text().c_str());
    }
    return 1;
}

}  // namespace sgvisa_tool
