#include "transport/transport_openers.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>

namespace sgvisa {
namespace {

struct Registry {
    std::mutex mutex;
    int next_id = 1;
    std::vector<std::pair<int, TransportBackend>> backends;
};

// Atomic: the fork handlers read it in whichever thread forks.
std::atomic<Registry*> g_registry{nullptr};

Registry& registry() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Never destroyed: a session may still be opened while statics go away.
        g_registry = new Registry;
        // Whole across a fork from any thread: a child opens instruments too.
        ::pthread_atfork([] { g_registry.load()->mutex.lock(); },
                         [] { g_registry.load()->mutex.unlock(); },
                         [] { g_registry.load()->mutex.unlock(); });
    });
    return *g_registry.load();
}

// A copy, so that no backend runs under the registry's lock: an open may
// wait for a long time.
std::vector<TransportBackend> backends() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<TransportBackend> out;
    for (auto& e : r.backends)
        out.push_back(e.second);
    return out;
}

bool same_usb_resource(const UsbResourceName& a, const UsbResourceName& b) {
    return a.vendor_id == b.vendor_id && a.product_id == b.product_id &&
           a.interface_number == b.interface_number && serial_equal(a.serial, b.serial);
}

}  // namespace

int register_transport_backend(TransportBackend backend) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    const int id = r.next_id++;
    r.backends.emplace_back(id, std::move(backend));
    return id;
}

void unregister_transport_backend(int id) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.backends, [id](const auto& e) { return e.first == id; });
}

TransportOpener usb_opener(UsbTransportOpener open) {
    return [open = std::move(open)](const ResourceName& name, Deadline deadline,
                                    std::unique_ptr<Transport>& out) {
        const auto* usb = std::get_if<UsbResourceName>(&name);
        return usb != nullptr ? open(*usb, deadline, out) : VI_ERROR_RSRC_NFOUND;
    };
}

ViStatus open_transport(const ResourceName& name, Deadline deadline,
                        std::unique_ptr<Transport>& out) {
    for (auto& backend : backends()) {
        const ViStatus st = backend.open(name, deadline, out);
        if (st != VI_ERROR_RSRC_NFOUND)
            return st;
    }
    return VI_ERROR_RSRC_NFOUND;
}

std::vector<UsbResourceName> list_transport_resources(Deadline deadline) {
    std::vector<UsbResourceName> all;
    for (auto& backend : backends()) {
        if (!backend.list)
            continue;
        std::vector<UsbResourceName> found;
        backend.list(deadline, found);
        for (auto& name : found) {
            const bool seen = std::any_of(all.begin(), all.end(), [&](const UsbResourceName& n) {
                return same_usb_resource(n, name);
            });
            if (!seen)
                all.push_back(std::move(name));
        }
    }
    return all;
}

std::vector<ResourceName> find_transport_resources(Deadline deadline, bool on_networks) {
    std::vector<ResourceName> all;
    for (auto& name : list_transport_resources(deadline))
        all.emplace_back(std::move(name));
    if (!on_networks)
        return all;
    for (auto& backend : backends()) {
        if (!backend.discover)
            continue;
        std::vector<ResourceName> found;
        backend.discover(deadline, found);
        for (auto& name : found) {
            const bool seen = std::any_of(all.begin(), all.end(), [&](const ResourceName& n) {
                return same_resource(n, name);
            });
            if (!seen)
                all.push_back(std::move(name));
        }
    }
    return all;
}

}  // namespace sgvisa
