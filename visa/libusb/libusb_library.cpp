#include "libusb_library.h"

#include <dlfcn.h>

namespace sgvisa {

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

}  // namespace sgvisa
