#include "call_log.h"

#include <cstdio>
#include <utility>

#include "clock.h"
#include "status_names.h"

namespace torture {

CallLog::CallLog(std::string label, std::int64_t start_ns, std::size_t capacity)
    : label_(std::move(label)), start_ns_(start_ns), ring_(capacity) {}

CallLog::Entry& CallLog::add(std::string text, bool is_call) {
    Entry& e = ring_[next_ % ring_.size()];
    e.serial = next_++;
    e.at_ms = (now_ns() - start_ns_) / 1'000'000;
    e.text = std::move(text);
    e.is_call = is_call;
    e.done = false;
    e.status = VI_SUCCESS;
    e.elapsed_ms = 0;
    return e;
}

std::uint64_t CallLog::begin(std::string text) {
    std::lock_guard lock(mutex_);
    return add(std::move(text), true).serial;
}

void CallLog::end(std::uint64_t entry, ViStatus status, std::int64_t elapsed_ms) {
    std::lock_guard lock(mutex_);
    Entry& e = ring_[entry % ring_.size()];
    if (e.serial != entry)
        return;  // overwritten meanwhile (notes in between)
    e.done = true;
    e.status = status;
    e.elapsed_ms = elapsed_ms;
}

void CallLog::note(std::string text) {
    std::lock_guard lock(mutex_);
    add(std::move(text), false);
}

std::string CallLog::dump() const {
    std::lock_guard lock(mutex_);
    std::string out;
    const std::uint64_t first = next_ > ring_.size() ? next_ - ring_.size() : 0;
    for (std::uint64_t i = first; i < next_; ++i) {
        const Entry& e = ring_[i % ring_.size()];
        char head[48];
        std::snprintf(head, sizeof head, "    %9.3f s  ", static_cast<double>(e.at_ms) / 1000.0);
        out += head;
        out += e.text;
        if (e.is_call) {
            if (e.done) {
                out +=
                    " -> " + status_name(e.status) + " in " + std::to_string(e.elapsed_ms) + " ms";
            } else {
                out += " -> (still running)";
            }
        }
        out += '\n';
    }
    return out;
}

}  // namespace torture
