// The one libusb context of the process, created on first use.
#pragma once

#include "visa.h"

struct libusb_context;

namespace sgvisa {

// The process-wide libusb context, or nullptr when libusb cannot start here
// (for instance no /dev/bus/usb in a container); a later call tries again.
// Safe to call from any thread.
libusb_context* shared_libusb_context();

// The VISA status for a libusb error code: LIBUSB_ERROR_NO_DEVICE is
// VI_ERROR_CONN_LOST, LIBUSB_ERROR_TIMEOUT VI_ERROR_TMO, LIBUSB_ERROR_ACCESS
// VI_ERROR_NPERMISSION, LIBUSB_ERROR_BUSY VI_ERROR_RSRC_BUSY,
// LIBUSB_ERROR_NO_MEM VI_ERROR_ALLOC, anything else (a stall included) VI_ERROR_IO.
ViStatus status_from_libusb(int error);

}  // namespace sgvisa
