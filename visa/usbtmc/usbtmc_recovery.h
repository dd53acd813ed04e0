// USBTMC recovery sequences on a UsbLink: aborting a bulk transfer after a
// timeout, the device clear, and draining what the device still has queued
// (USBTMC 1.0, 3.2.2 and 3.3.2; the requests are split transactions,
// 4.2.1.1). Every sequence is bounded both by a deadline and by a number of
// status checks.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "transport/deadline.h"
#include "usbtmc/usb_link.h"
#include "visa.h"

namespace sgvisa::usbtmc {

// How long a recovery after a timeout may take in all; the caller's own
// deadline has passed by then, so recovery brings its own.
constexpr std::chrono::milliseconds kRecoveryTime{1000};
// How long a final drain waits for bytes the device may still send.
constexpr std::chrono::milliseconds kDrainWindow{100};
// Most CHECK_*_STATUS requests (USBTMC 1.0, 4.2.1.1) sent while the device
// answers STATUS_PENDING (Table 16), paced: 1, 2, 4 ... 16 ms apart, and
// never past the sequence's deadline.
constexpr int kMaxStatusChecks = 100;

// USBTMC gives no event for a pending abort or clear to finish, nor for a
// response to become ready when a device answers a request with nothing:
// the host asks again (USBTMC 1.0, Tables 23, 29 and 35). Asking at once
// would flood the device, so before the n-th repeat (from 0) this waits 2^n
// ms (1, 2, 4, ... at most 16 ms), never past `until`.
void pace_repeat(int repeat, Deadline until);

// Reads bulk-IN until the current transfer ends with a short or zero-length
// packet (USBTMC 1.0, 3.3, rule 10), discarding the bytes: the aborts' and
// the clear's "read until a short packet" (Tables 26, 29 and 35).
// VI_SUCCESS when it ended; VI_ERROR_TMO when nothing (more) arrived by
// `deadline`; another link status otherwise.
ViStatus drain_bulk_in(UsbLink& link, Deadline deadline);

// After a timed-out bulk-IN transfer of the request tagged `tag`:
// INITIATE_ABORT_BULK_IN, CHECK_ABORT_BULK_IN_STATUS while pending (reading
// bulk-IN whenever the device says its FIFO holds data), then a final drain.
// Returns VI_ERROR_CONN_LOST when the device is gone, else VI_SUCCESS: a
// device that refuses the abort is drained and the session goes on.
// USBTMC 1.0, 4.2.1.4, Tables 24 to 26; 4.2.1.5, Tables 27 to 29.
ViStatus abort_bulk_in(UsbLink& link, std::uint8_t tag);

// After a timed-out bulk-OUT transfer tagged `tag`: INITIATE_ABORT_BULK_OUT,
// CHECK_ABORT_BULK_OUT_STATUS while pending, then CLEAR_FEATURE(ENDPOINT_HALT)
// on bulk-OUT. Returns VI_ERROR_CONN_LOST when the device is gone, else VI_SUCCESS.
// USBTMC 1.0, 4.2.1.2, Tables 18 to 20; 4.2.1.3, Tables 21 to 23.
ViStatus abort_bulk_out(UsbLink& link, std::uint8_t tag);

// Device clear: INITIATE_CLEAR, CHECK_CLEAR_STATUS while pending (reading
// bulk-IN when the device asks for it), then CLEAR_FEATURE(ENDPOINT_HALT) on
// bulk-OUT. VI_ERROR_IO when the device refuses; VI_ERROR_TMO when it is
// still pending after kMaxStatusChecks or at `deadline` (bulk-OUT's halt is
// cleared all the same); another link status (VI_ERROR_CONN_LOST...) when a
// request fails. USBTMC 1.0, 4.2.1.6, Tables 30 to 32; 4.2.1.7, Tables 33 to
// 35; on a USB488 interface this is the Selected Device Clear (USB488 1.0,
// 4.2.1).
ViStatus clear_device(UsbLink& link, Deadline deadline);

}  // namespace sgvisa::usbtmc
