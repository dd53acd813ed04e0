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

void Slot::note_timeout_set(int thread, std::uint32_t ms) {
    const std::uint64_t order = timeout_set_count.fetch_add(1);
    timeout_sets[order % kTimeoutSetsKept].store(
        order << 32 | static_cast<std::uint64_t>(thread & 0xFF) << 24 | (ms & 0xFFFFFF));
}

std::string Slot::last_timeout_sets() const {
    const std::uint32_t count = timeout_set_count.load();
    std::string text;
    for (std::uint32_t k = count > kTimeoutSetsKept ? count - kTimeoutSetsKept : 0; k < count;
         ++k) {
        const std::uint64_t set = timeout_sets[k % kTimeoutSetsKept].load();
        if ((set >> 32) != k)
            continue;  // overwritten meanwhile, or not stored yet
        text += (text.empty() ? "" : ", ") + std::to_string(set & 0xFFFFFF) + " by thread " +
                std::to_string((set >> 24) & 0xFF);
    }
    return text.empty() ? "none" : text;
}

}  // namespace torture
