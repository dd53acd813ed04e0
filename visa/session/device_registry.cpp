#include "session/device_registry.h"

#include <pthread.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

#include "transport/transport_openers.h"

namespace sgvisa::session {
namespace {

// The canonical name folded to upper case: serial numbers and host names
// compare without regard to case. (A USB name without an interface number
// keeps -1 apart from 0, as before: the first USBTMC interface.)
using Key = std::tuple<std::string, int>;

Key key_of(const ResourceName& name) {
    std::string folded;
    for (char c : canonical_name(name))
        folded += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    const auto* usb = std::get_if<UsbResourceName>(&name);
    return {folded, usb != nullptr ? usb->interface_number : 0};
}

struct Registry {
    std::mutex mutex;
    std::map<Key, std::weak_ptr<DeviceConnection>> connections;
    // The entries a fork child inherited, moved out of `connections` node by
    // node (which allocates and frees nothing) and never used again.
    std::multimap<Key, std::weak_ptr<DeviceConnection>> inherited;
};

// Atomic: the fork handlers read it in whichever thread forks.
std::atomic<Registry*> g_registry{nullptr};

Registry& registry() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Never destroyed: sessions left open at exit outlive static teardown.
        g_registry = new Registry;
        // A fork child opens connections of its own: the parent's stay the
        // parent's (the child's sessions table keeps them from destruction).
        ::pthread_atfork(
            [] { g_registry.load()->mutex.lock(); }, [] { g_registry.load()->mutex.unlock(); },
            [] {
                Registry* const r = g_registry.load();
                while (!r->connections.empty())
                    r->inherited.insert(r->connections.extract(r->connections.begin()));
                r->mutex.unlock();
            });
    });
    return *g_registry.load();
}

std::shared_ptr<DeviceConnection> find(Registry& r, const Key& key) {
    const auto it = r.connections.find(key);
    if (it == r.connections.end())
        return nullptr;
    auto connection = it->second.lock();
    if (!connection || connection->lost()) {
        r.connections.erase(it);
        return nullptr;
    }
    return connection;
}

}  // namespace

ViStatus connect_device(const ResourceName& name, Deadline deadline,
                        std::shared_ptr<DeviceConnection>& out) {
    auto& r = registry();
    const Key key = key_of(name);
    // A USB interface is claimed once, so this process's sessions share its
    // connection. A LAN instrument serves each session a link of its own, as
    // every VISA does: sessions sharing one stream would read each other's
    // replies on a socket, and wait for each other's calls on VXI-11.
    const bool shared = std::holds_alternative<UsbResourceName>(name);
    if (shared) {
        std::lock_guard lock(r.mutex);
        if (auto existing = find(r, key)) {
            out = std::move(existing);
            return VI_SUCCESS;
        }
    }
    // Opened without the registry's lock: reaching the device takes a moment.
    // The lock file comes after the device is found, so that looking for one
    // that is not there leaves no file (lock_file.h); the directory is checked
    // first, so that one unfit for lock files stops the open before it
    // reaches the device.
    ViStatus st = lock::LockFile::check_directory();
    if (st != VI_SUCCESS)
        return st;
    std::unique_ptr<Transport> transport;
    st = open_transport(name, deadline, transport);
    if (st != VI_SUCCESS)
        return st;
    if (!transport)
        return VI_ERROR_SYSTEM_ERROR;
    std::unique_ptr<lock::LockFile> file;
    st = lock::LockFile::open(lock::instrument_key(name), file);
    if (st != VI_SUCCESS)
        return st;

    auto fresh = std::make_shared<DeviceConnection>(std::move(transport), std::move(file));
    if (!shared) {
        out = std::move(fresh);
        return VI_SUCCESS;
    }
    std::lock_guard lock(r.mutex);
    if (auto existing = find(r, key)) {
        out = std::move(existing);  // another thread was quicker; ours closes
        return VI_SUCCESS;
    }
    r.connections[key] = fresh;
    out = std::move(fresh);
    return VI_SUCCESS;
}

}  // namespace sgvisa::session
