#include "slot.h"

namespace torture {

Target Slot::target(std::uint32_t incarnation, int index) const {
    Target t;
    t.slot = index;
    std::lock_guard lock(mutex);  // the session and its generation together
    t.generation = generation.load();
    t.vi = vi.load();
    t.instrument = instrument.load();
    t.id = session_id(incarnation, index, t.generation);
    return t;
}

void Slot::raise_timeout_max(std::uint32_t ms) {
    std::uint32_t seen = timeout_max_ms.load();
    while (seen < ms && !timeout_max_ms.compare_exchange_weak(seen, ms)) {
    }
}

}  // namespace torture
