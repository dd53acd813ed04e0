// libusb-1.0 as this library uses it: loaded when the first USB instrument
// is opened or listed and not before, the process's one context, and the
// VISA statuses for what libusb reports.
//
// Programs that never touch USB never load libusb (nor what it loads in
// turn), and the library and sgdemo do not link it. The functions this
// component calls are resolved once into one table, typed by libusb's own
// declarations.
//
// libusb_init is called without options. libusb 1.0.26 can skip its device
// discovery and hotplug monitor (LIBUSB_OPTION_NO_DEVICE_DISCOVERY), but on
// Linux that option sets one flag for the whole process, whichever context
// it is given: every context created later in the process, such as pyusb's
// when pyvisa-py is loaded into the same program, would then find no
// devices. Instruments are found through sysfs here and opened by their
// device node, so libusb's own device list is never used; its discovery is
// left as it is for the process's other users.
#pragma once

#include <libusb.h>

#include "visa.h"

namespace sgvisa::libusb {

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

struct LibusbRuntime {
    const LibusbApi& api;
    libusb_context* context;
};

// libusb loaded and this process's context made, or nullptr when libusb is
// not installed or cannot start here (no USB at all); a later call tries the
// context again. Never torn down; a fork child makes its own. Safe to call
// from any thread.
const LibusbRuntime* libusb_runtime();

// A libusb error code: LIBUSB_ERROR_NO_DEVICE is VI_ERROR_CONN_LOST,
// LIBUSB_ERROR_TIMEOUT VI_ERROR_TMO, LIBUSB_ERROR_ACCESS VI_ERROR_NPERMISSION,
// LIBUSB_ERROR_BUSY VI_ERROR_RSRC_BUSY, LIBUSB_ERROR_NO_MEM VI_ERROR_ALLOC,
// anything else (a stall included) VI_ERROR_IO.
ViStatus status_from_libusb(int error);

// How a transfer ended that was not cancelled: LIBUSB_TRANSFER_COMPLETED is
// VI_SUCCESS, LIBUSB_TRANSFER_NO_DEVICE VI_ERROR_CONN_LOST,
// LIBUSB_TRANSFER_TIMED_OUT VI_ERROR_TMO, anything else (a stall, an error,
// babble) VI_ERROR_IO.
ViStatus status_from_transfer(libusb_transfer_status status);

}  // namespace sgvisa::libusb
