#include "libusb_context.h"

#include <pthread.h>

#include <mutex>

namespace sgvisa {
namespace {

struct State {
    std::mutex mutex;
    // Never destroyed: links left open at exit outlive static teardown.
    const LibusbRuntime* runtime = nullptr;
};

State* g_state = nullptr;

State& state() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_state = new State;
        // A fork child makes a context of its own at its first need: the
        // parent's shares its event descriptors with the parent.
        ::pthread_atfork([] { g_state->mutex.lock(); }, [] { g_state->mutex.unlock(); },
                         [] {
                             g_state->runtime = nullptr;
                             g_state->mutex.unlock();
                         });
    });
    return *g_state;
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
