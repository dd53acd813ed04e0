#include "libusb_context.h"

#include <mutex>

namespace sgvisa {

const LibusbRuntime* libusb_runtime() {
    static std::mutex mutex;
    // Never destroyed: links left open at exit outlive static teardown.
    static const LibusbRuntime* runtime = nullptr;
    std::lock_guard lock(mutex);
    if (runtime)
        return runtime;
    const LibusbApi* api = libusb_api();
    if (!api)
        return nullptr;
    libusb_context* context = nullptr;
    if (api->init(&context) != LIBUSB_SUCCESS)
        return nullptr;
    runtime = new LibusbRuntime{*api, context};
    return runtime;
}

}  // namespace sgvisa
