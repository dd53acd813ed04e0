#include "libusb/libusb_library.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <mutex>

namespace sgvisa::libusb {

bool load_libusb_api(const char* soname, LibusbApi& out) {
    void* library = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return false;
    LibusbApi api;
    bool complete = true;
    // A symbol is a void*; the table's type is the one libusb.h declares.
#define SGVISA_LIBUSB_RESOLVE(name)                              \
    if (void* symbol = ::dlsym(library, "libusb_" #name))        \
        api.name = reinterpret_cast<decltype(api.name)>(symbol); \
    else                                                         \
        complete = false;
    SGVISA_LIBUSB_FUNCTIONS(SGVISA_LIBUSB_RESOLVE)
#undef SGVISA_LIBUSB_RESOLVE
    if (!complete) {
        ::dlclose(library);
        return false;
    }
    out = api;
    return true;
}

const LibusbApi* libusb_api() {
    // Loaded once; a static local's initialisation is thread-safe.
    static const LibusbApi* const api = []() -> const LibusbApi* {
        static LibusbApi loaded;
        return load_libusb_api("libusb-1.0.so.0", loaded) ? &loaded : nullptr;
    }();
    return api;
}

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

ViStatus status_from_libusb(int error) {
    switch (error) {
        case LIBUSB_SUCCESS:
            return VI_SUCCESS;
        case LIBUSB_ERROR_NO_DEVICE:
            return VI_ERROR_CONN_LOST;
        case LIBUSB_ERROR_TIMEOUT:
            return VI_ERROR_TMO;
        case LIBUSB_ERROR_ACCESS:
            return VI_ERROR_NPERMISSION;
        case LIBUSB_ERROR_BUSY:
            return VI_ERROR_RSRC_BUSY;
        case LIBUSB_ERROR_NO_MEM:
            return VI_ERROR_ALLOC;
        default:
            return VI_ERROR_IO;
    }
}

ViStatus status_from_transfer(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return VI_SUCCESS;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return VI_ERROR_CONN_LOST;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return VI_ERROR_TMO;
        default:
            return VI_ERROR_IO;
    }
}

}  // namespace sgvisa::libusb
