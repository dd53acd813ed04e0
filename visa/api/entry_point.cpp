#include "entry_point.h"

#include <cstdio>
#include <string>

#include "api/status_text.h"
#include "failure_reason.h"
#include "trace/trace_reason.h"
#include "trace/trace_sink.h"

namespace sgvisa::api::call_trace {
namespace {

thread_local int depth = 0;
thread_local ViStatus last_status = VI_SUCCESS;

}  // namespace

bool enter() noexcept {
    if (depth++ > 0)
        return false;
    trace::clear_reason();
    return true;
}

ViStatus leave() noexcept {
    --depth;
    return last_status;
}

void returned(ViStatus status) noexcept {
    last_status = status;
}

std::int64_t now_ns() noexcept {
    return trace::now_ns();
}

void finish(const char* op, std::int64_t start_ns, ViStatus status, const CallArgs& args) noexcept {
    try {
        const std::int64_t end_ns = trace::now_ns();
        std::string line;
        line.reserve(160 + args.text().size());
        trace::begin_line(line, start_ns);
        line += op;
        line += '(';
        line += args.text();
        line += ") -> ";
        const StatusText* text = find_status_text(status);
        line += text != nullptr ? text->name : "unknown status";
        char tail[64];
        std::snprintf(tail, sizeof tail, " (0x%08X) %lldus", static_cast<unsigned>(status),
                      static_cast<long long>((end_ns - start_ns) / 1000));
        line += tail;
        std::string reason = trace::reason();
        if (reason.empty() && status < 0)
            reason = failure_reason(op, status, args.session(), args.resource());
        if (!reason.empty()) {
            line += ": ";
            line += reason;
        }
        line += '\n';
        trace::write_line(line);
        trace::clear_reason();
    } catch (...) {
        // Out of memory: the line is lost, the call's status is not.
    }
}

}  // namespace sgvisa::api::call_trace
