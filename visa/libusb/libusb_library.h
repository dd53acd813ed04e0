// libusb-1.0, loaded when the first USB instrument is opened or listed and
// not before: programs that never touch USB never load it (nor what it
// loads in turn), and the library and sgdemo do not link it. The functions
// this component calls are resolved once into one table, typed by libusb's
// own declarations.
#pragma once

#include <libusb.h>

namespace sgvisa {

// X(name): libusb_<name>, every function this component calls.
#define SGVISA_LIBUSB_FUNCTIONS(X)  \
    X(init)                         \
    X(wrap_sys_device)              \
    X(close)                        \
    X(get_device)                   \
    X(get_device_descriptor)        \
    X(get_active_config_descriptor) \
    X(free_config_descriptor)       \
    X(claim_interface)              \
    X(release_interface)            \
    X(kernel_driver_active)         \
    X(detach_kernel_driver)         \
    X(attach_kernel_driver)         \
    X(alloc_transfer)               \
    X(free_transfer)                \
    X(submit_transfer)              \
    X(cancel_transfer)              \
    X(handle_events_timeout_completed)

struct LibusbApi {
#define SGVISA_LIBUSB_POINTER(name) decltype(&::libusb_##name) name = nullptr;
    SGVISA_LIBUSB_FUNCTIONS(SGVISA_LIBUSB_POINTER)
#undef SGVISA_LIBUSB_POINTER
};

// The process's libusb, loaded (libusb-1.0.so.0) on the first call; nullptr
// when it is not installed or lacks a function. Never unloaded. Safe to
// call from any thread.
const LibusbApi* libusb_api();

// Loads `soname` and resolves every function into `out`; false (and `out`
// untouched) when the library or any one function is missing.
bool load_libusb_api(const char* soname, LibusbApi& out);

}  // namespace sgvisa
