// What the library's own tools (sgvisa) may ask about the instruments of
// this machine, beyond the VISA operations: the instruments found on USB
// (from sysfs, no USB traffic) and on the local bus, who holds their locks,
// the quirks in force for them, and their USBTMC capabilities. Nothing here
// opens an instrument but read_capabilities(), which does it as any program
// of the library does. The one face of the library for such tools: its
// types are its own, copied from what the scan, the local bus and the lock
// holders return, so that a tool includes nothing else of the library but
// the resource names and deadlines, which are the transport's.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "transport/deadline.h"
#include "transport/usb_resource_name.h"
#include "visa.h"

namespace sgvisa::inspect {

// A USBTMC interface as the kernel shows it in sysfs.
struct UsbInterface {
    std::string device;     // the device's sysfs name, e.g. "1-1.2"
    std::string interface;  // the interface's, e.g. "1-1.2:1.0"
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string serial;        // "" when the device has none
    std::string manufacturer;  // "" when the device has none
    std::string product;       // "" when the device has none
    unsigned bus = 0;          // busnum and devnum: /dev/bus/usb/BBB/DDD
    unsigned address = 0;
    std::uint8_t interface_number = 0;
    std::uint8_t interface_protocol = 0;  // 1: USB488
};

// The USBTMC interfaces under `sysfs_devices` (/sys/bus/usb/devices), in
// scan order; looks at no more devices once `deadline` has passed.
std::vector<UsbInterface> usb_interfaces(const std::string& sysfs_devices, Deadline deadline);

// Whether libusb-1.0 can be loaded: the library reaches USB devices only
// through it.
bool libusb_present();

// The node of one USB device under `root` (/dev/bus/usb): "<root>/BBB/DDD".
std::string usb_device_node_path(const std::string& root, unsigned bus, unsigned address);

// A simulated instrument that answers on the local bus now.
struct SimulatedInstrument {
    UsbResourceName name;
    std::string manufacturer;
    std::string product;
    std::uint8_t interface_protocol = 0;  // 1: USB488
    std::string socket;                   // its socket's path
};

// The simulated instruments on this user's local bus, in socket name order;
// each is asked only for its greeting. Waits until `deadline` at most.
std::vector<SimulatedInstrument> simulated_instruments(Deadline deadline);

struct LockHolding {
    bool held = false;
    std::vector<pid_t> pids;  // ascending, each once; may be empty while held
};

// The locks on an instrument, read from outside (no lock taken, no lock
// file made). Only processes whose /proc entries this user may read are
// named.
struct LockHolders {
    bool known = true;      // false: the lock file exists but could not be read
    LockHolding exclusive;  // the exclusive VISA lock (viLock, viOpen's lock)
    LockHolding shared;     // the shared VISA lock, one pid per sharing process
    LockHolding access;     // the access lock of the process talking to it now
};

LockHolders lock_holders(std::uint16_t vendor_id, std::uint16_t product_id,
                         const std::string& serial);

// The quirks in force for a device now (the library's table, then the
// quirks files), as a quirks file writes them: "max-transfer=4096
// no-termchar"; "" when none is.
std::string quirk_words(std::uint16_t vendor_id, std::uint16_t product_id);

// The instrument's answer to GET_CAPABILITIES, read by opening it as any
// program of the library does (waiting for another process's operation
// until `deadline`). VI_SUCCESS with an empty answer: it stalled the
// request.
ViStatus read_capabilities(const UsbResourceName& name, Deadline deadline,
                           std::vector<std::uint8_t>& answer);

// A status as "NAME (description)", or its number when the library does not
// know it.
std::string status_words(ViStatus status);

// A status's name ("VI_ERROR_TMO"), or its number when the library does not
// know it.
std::string status_name(ViStatus status);

// Why viOpen of `resource` failed with `status`, worded as the library's
// trace words it (the lock's holders, the instruments found instead, the
// kinds of resource served); empty when the trace would add nothing.
std::string open_failure_reason(const std::string& resource, ViStatus status);

}  // namespace sgvisa::inspect
