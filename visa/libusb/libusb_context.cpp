#include "libusb_context.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace sgvisa {
namespace {

struct State {
    std::mutex mutex;
    // Never destroyed: links left open at exit outlive static teardown.
    const LibusbRuntime* runtime = nullptr;
};

// Atomic: the fork handlers read it in whichever thread forks.
std::atomic<State*> g_state{nullptr};

State& state() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_state = new State;
        // A fork child makes a context of its own at its first need: the
        // parent's shares its event descriptors with the parent.
        ::pthread_atfork([] { g_state.load()->mutex.lock(); },
                         [] { g_state.load()->mutex.unlock(); },
                         [] {
                             g_state.load()->runtime = nullptr;
                             g_state.load()->mutex.unlock();
                         });
    });
    return *g_state.load();
}

}  // namespace

const LibusbRuntime* libusb_runtime() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.runtime)
        return s.runtime;
    const LibusbApi* api = libusb_api();
    if (!api)
        return nullptr;
    libusb_context* context = nullptr;
    if (api->init(&context) != LIBUSB_SUCCESS)
        return nullptr;
    s.runtime = new LibusbRuntime{*api, context};
    return s.runtime;
}

}  // namespace sgvisa
