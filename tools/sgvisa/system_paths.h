// Where the tool looks at the machine: the kernel's USB devices in sysfs,
// their device nodes, the processes, and the udev rule directories. The
// real ones by default; a test points them at a fake tree.
#pragma once

#include <string>
#include <vector>

namespace sgvisa_tool {

struct SystemPaths {
    std::string sysfs_usb_devices = "/sys/bus/usb/devices";
    std::string usb_device_nodes = "/dev/bus/usb";
    std::string proc = "/proc";
    // Where udev reads rules, the administrator's first.
    std::vector<std::string> udev_rule_dirs = {"/etc/udev/rules.d", "/usr/local/lib/udev/rules.d",
                                               "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
};

// The file name of the udev rule the library installs.
inline constexpr const char* kUdevRuleName = "70-sgvisa-usbtmc.rules";

}  // namespace sgvisa_tool
