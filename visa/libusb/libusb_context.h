// The process's libusb context, created when the first USB instrument is
// opened (never at program start).
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

#include "libusb_library.h"

namespace sgvisa {

struct LibusbRuntime {
    const LibusbApi& api;
    libusb_context* context;
};

// libusb loaded and this process's context made, or nullptr when libusb is
// not installed or cannot start here (no USB at all); a later call tries the
// context again. Never torn down; a fork child makes its own. Safe to call
// from any thread.
const LibusbRuntime* libusb_runtime();

}  // namespace sgvisa
