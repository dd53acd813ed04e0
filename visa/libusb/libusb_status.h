// VISA statuses for what libusb reports.
#pragma once

#include <libusb.h>

#include "visa.h"

namespace sgvisa {

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

}  // namespace sgvisa
