#include "trace/trace_switch.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "trace/trace_sink.h"

namespace sgvisa::trace::detail {

Level read_environment() noexcept {
    // Once per process; a child after fork inherits the answer (and the
    // sink's descriptor) with the parent's memory.
    static std::once_flag once;
    std::call_once(once, [] {
        Level chosen = Level::off;
        const char* target = std::getenv("SGVISA_TRACE");
        if (target != nullptr && *target != '\0' && open_sink(target)) {
            const char* wanted = std::getenv("SGVISA_TRACE_LEVEL");
            chosen = wanted != nullptr && std::strcmp(wanted, "transfers") == 0 ? Level::transfers
                                                                                : Level::calls;
        }
        level.store(static_cast<int>(chosen), std::memory_order_relaxed);
    });
    return static_cast<Level>(level.load(std::memory_order_relaxed));
}

namespace {

// Read when the library is loaded (before main in a program that carries it
// inside), while the loading thread is the only one in it: no first reading
// is then left half done by a fork in another thread. The lazy reading in
// level() remains for a load that skips constructors.
__attribute__((constructor)) void read_at_load() {
    read_environment();
}

}  // namespace

}  // namespace sgvisa::trace::detail
