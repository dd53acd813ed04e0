// One USB device opened by its node and handed to libusb
// (libusb_wrap_sys_device): the descriptor, libusb's handle on it, and the
// facts of the USBTMC interface used, its endpoints among them, read from
// the configuration descriptor the kernel keeps for the device (libusb
// reads it from the device node).
#pragma once

#include <libusb.h>

#include <cstdint>
#include <memory>
#include <string>

#include "libusb/libusb_library.h"
#include "libusb/sysfs_usbtmc_scan.h"
#include "transport/usb_device_facts.h"
#include "visa.h"

namespace sgvisa::libusb {

class LibusbDevice {
  public:
    // Opens the device of `iface` under `node_root` (kUsbDeviceNodes) and
    // reads the interface's endpoints from its configuration descriptor.
    // VI_ERROR_NPERMISSION when the user may not open it;
    // VI_ERROR_RSRC_NFOUND when it is gone, or its node now holds another
    // device, or the interface is not a usable USBTMC one.
    static ViStatus open(const LibusbRuntime& runtime, const std::string& node_root,
                         const UsbtmcInterfaceInfo& iface, std::unique_ptr<LibusbDevice>& out);

    // Closes libusb's handle, then the descriptor. No transfer may be in
    // flight.
    ~LibusbDevice();
    LibusbDevice(const LibusbDevice&) = delete;
    LibusbDevice& operator=(const LibusbDevice&) = delete;

    const LibusbRuntime& runtime() const { return runtime_; }
    const LibusbApi& api() const { return runtime_.api; }
    libusb_device_handle* handle() const { return handle_; }
    int fd() const { return fd_; }
    const std::string& node_path() const { return node_path_; }
    const UsbDeviceFacts& facts() const { return facts_; }

  private:
    LibusbDevice(const LibusbRuntime& runtime, int fd, std::string node_path)
        : runtime_(runtime), fd_(fd), node_path_(std::move(node_path)) {}

    const LibusbRuntime& runtime_;
    int fd_;
    std::string node_path_;
    libusb_device_handle* handle_ = nullptr;
    UsbDeviceFacts facts_;
};

// Fills the endpoint fields of `facts` (bulk-OUT, bulk-IN and its packet
// size, interrupt-IN and its packet size or 0 when there is none) from
// alternate setting `alt` of interface `interface_number` of `config`, and
// interface_number and interface_protocol. False when there is no such
// setting, or it is not USBTMC (class 0xFE, subclass 0x03), or it lacks a
// bulk endpoint in either direction.
bool usbtmc_endpoints(const libusb_config_descriptor& config, std::uint8_t interface_number,
                      std::uint8_t alt, UsbDeviceFacts& facts);

}  // namespace sgvisa::libusb
