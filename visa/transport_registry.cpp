#include <mutex>
#include <utility>
#include <vector>

#include "transport.h"

namespace sgvisa {
namespace {

struct Registry {
    std::mutex mutex;
    int next_id = 1;
    std::vector<std::pair<int, TransportOpener>> extra;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

int add_transport_opener(TransportOpener opener) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    const int id = r.next_id++;
    r.extra.emplace_back(id, std::move(opener));
    return id;
}

void remove_transport_opener(int id) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.extra, [id](const auto& e) { return e.first == id; });
}

ViStatus open_transport(const UsbResourceName& name, Deadline deadline,
                        std::unique_ptr<Transport>& out) {
    ViStatus st = open_localbus_transport(name, deadline, out);
    if (st != VI_ERROR_RSRC_NFOUND) return st;
    st = open_libusb_transport(name, deadline, out);
    if (st != VI_ERROR_RSRC_NFOUND) return st;

    std::vector<TransportOpener> extra;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        for (auto& e : r.extra) extra.push_back(e.second);
    }
    for (auto& opener : extra) {
        st = opener(name, deadline, out);
        if (st != VI_ERROR_RSRC_NFOUND) return st;
    }
    return VI_ERROR_RSRC_NFOUND;
}

}  // namespace sgvisa
