#include "transport_openers.h"

#include <mutex>
#include <utility>
#include <vector>

namespace sgvisa {
namespace {

struct Registry {
    std::mutex mutex;
    int next_id = 1;
    std::vector<std::pair<int, TransportOpener>> openers;
};

Registry& registry() {
    // Never destroyed: a session may still be opened while statics go away.
    static Registry* const r = new Registry;
    return *r;
}

}  // namespace

int register_transport_opener(TransportOpener opener) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    const int id = r.next_id++;
    r.openers.emplace_back(id, std::move(opener));
    return id;
}

void unregister_transport_opener(int id) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.openers, [id](const auto& e) { return e.first == id; });
}

ViStatus open_transport(const UsbResourceName& name, Deadline deadline,
                        std::unique_ptr<Transport>& out) {
    // Called without the registry's lock: an open may wait for a long time.
    std::vector<TransportOpener> openers;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        for (auto& e : r.openers)
            openers.push_back(e.second);
    }
    for (auto& opener : openers) {
        const ViStatus st = opener(name, deadline, out);
        if (st != VI_ERROR_RSRC_NFOUND)
            return st;
    }
    return VI_ERROR_RSRC_NFOUND;
}

}  // namespace sgvisa
