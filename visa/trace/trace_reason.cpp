#include "trace/trace_reason.h"

#include <utility>

namespace sgvisa::trace {
namespace {

thread_local std::string current_reason;
thread_local unsigned current_timeout_ms = 0;

}  // namespace

void set_reason(std::string reason) {
    current_reason = std::move(reason);
}

const std::string& reason() {
    return current_reason;
}

void clear_reason() {
    current_reason.clear();
    current_timeout_ms = 0;
}

void set_operation_timeout(unsigned ms) {
    current_timeout_ms = ms;
}

unsigned operation_timeout() {
    return current_timeout_ms;
}

}  // namespace sgvisa::trace
