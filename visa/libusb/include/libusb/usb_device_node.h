// The kernel's node of a USB device, /dev/bus/usb/BBB/DDD: opened by this
// library itself (libusb is handed the open descriptor), and watched for
// closes (inotify), the sign that another process let go of the device, for
// a claim that waits for it.
#pragma once

#include <string>

#include "transport/deadline.h"
#include "visa.h"

namespace sgvisa::libusb {

// Where the kernel puts the USB device nodes.
inline constexpr const char* kUsbDeviceNodes = "/dev/bus/usb";

// "<root>/BBB/DDD".
std::string usb_device_node_path(const std::string& root, unsigned bus, unsigned address);

// Opens `path` for reading and writing (close-on-exec) into `fd`, which
// close_process_descriptor closes (a fork child does not keep it).
// VI_ERROR_NPERMISSION when the user may not; VI_ERROR_RSRC_NFOUND when the
// node is not there (the device went away); VI_ERROR_ALLOC or
// VI_ERROR_SYSTEM_ERROR when this process cannot open more files.
ViStatus open_usb_device_node(const std::string& path, int& fd);

class NodeCloseWatch {
  public:
    // Watches `path`. Without inotify (or the node) the watch sees nothing
    // and wait() only ends at its deadline or a cancel.
    explicit NodeCloseWatch(const std::string& path);
    ~NodeCloseWatch();
    NodeCloseWatch(const NodeCloseWatch&) = delete;
    NodeCloseWatch& operator=(const NodeCloseWatch&) = delete;

    enum class Wake { closed, cancelled, deadline };

    // Blocks until a process closes the node (events so far are consumed),
    // `cancel_fd` (-1: none) becomes readable, or `deadline` passes.
    Wake wait(Deadline deadline, int cancel_fd);

  private:
    int fd_ = -1;
};

}  // namespace sgvisa::libusb
