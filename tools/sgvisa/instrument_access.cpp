#include "instrument_access.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>

namespace sgvisa_tool {
namespace {

std::string owner_and_mode(const struct stat& st) {
    const passwd* user = ::getpwuid(st.st_uid);
    const group* grp = ::getgrgid(st.st_gid);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return (user ? std::string(user->pw_name) : std::to_string(st.st_uid)) + ":" +
           (grp ? std::string(grp->gr_name) : std::to_string(st.st_gid)) + ", mode " + mode;
}

// The installed copy of the library's udev rule, "" when none is.
std::string installed_rule(const SystemPaths& paths) {
    for (const std::string& dir : paths.udev_rule_dirs) {
        const std::string path = dir + "/" + kUdevRuleName;
        if (::access(path.c_str(), F_OK) == 0)
            return path;
    }
    return {};
}

std::string permission_fix(const SystemPaths& paths, const sgvisa::inspect::UsbInterface& iface) {
    char ids[64];
    std::snprintf(ids, sizeof ids, "ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\"",
                  iface.vendor_id, iface.product_id);
    const std::string rule = installed_rule(paths);
    const std::string reload =
        "sudo udevadm control --reload && sudo udevadm trigger, then plug the instrument in "
        "again";
    if (rule.empty())
        return std::string("install the library's udev rule ") + kUdevRuleName +
               " into /etc/udev/rules.d (cmake --install puts it into <prefix>/lib/udev/rules.d), "
               "then " +
               reload;
    return "the udev rule " + rule +
           " gives the desktop session's user access to the instruments it names (a line "
           "SUBSYSTEM==\"usb\", " +
           ids +
           ", TAG+=\"uaccess\" for this one); a session without a seat (ssh) needs its GROUP "
           "line instead; after a change: " +
           reload;
}

}  // namespace

std::string interface_driver(const SystemPaths& paths, const std::string& interface) {
    std::array<char, 256> target{};
    const std::string link = paths.sysfs_usb_devices + "/" + interface + "/driver";
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size())
        return {};
    const std::string_view path(target.data(), static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

Access usb_access(const SystemPaths& paths, const sgvisa::inspect::UsbInterface& iface,
                  const std::string& driver, bool libusb_present) {
    Access access;
    const std::string node =
        sgvisa::inspect::usb_device_node_path(paths.usb_device_nodes, iface.bus, iface.address);
    if (iface.serial.empty()) {
        access = {
            false, "the device has no serial number, so no VISA resource name can name it", "", {}};
        return access;
    }
    if (!libusb_present) {
        access = {false,
                  "libusb-1.0 cannot be loaded: the library reaches USB devices through it",
                  "sudo apt-get install libusb-1.0-0",
                  {}};
        return access;
    }
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0) {
        access = {false,
                  "its device node " + node + " is missing",
                  "check that udev is running, and plug the instrument in again",
                  {}};
        return access;
    }
    if (::faccessat(AT_FDCWD, node.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
        access = {false,
                  "no permission to read and write " + node + " (" + owner_and_mode(st) + ")",
                  permission_fix(paths, iface),
                  {}};
        return access;
    }
    if (driver == "usbfs") {
        // A program holds the interface through its device node (the
        // library's own programs do so while they talk to it).
        access.holders = named(paths.proc, processes_with_open(paths.proc, node));
        const std::string who = access.holders.empty()
                                    ? std::string("another program (not one of this user's)")
                                    : describe_processes(access.holders);
        access.reason = "the interface is claimed by " + who +
                        "; programs of this library hand it over between their operations, "
                        "others keep it until they close it";
        access.fix = "if the open fails with the instrument busy, close that program";
    } else if (driver == "usbtmc") {
        access.reason =
            "the kernel's usbtmc driver holds the interface (/dev/usbtmc*): the library detaches "
            "it while it has the instrument open and binds it again after";
    } else if (!driver.empty()) {
        access.reason = "the kernel driver " + driver +
                        " holds the interface: the library detaches it while it has the "
                        "instrument open";
    }
    return access;
}

void apply_locks(const SystemPaths& paths, const sgvisa::inspect::LockHolders& locks,
                 Access& access) {
    if (!access.may_open)
        return;
    if (!locks.known) {
        access.reason += std::string(access.reason.empty() ? "" : "; ") +
                         "its lock file cannot be read, so its locks are unknown";
        return;
    }
    if (!locks.exclusive.held)
        return;
    std::vector<pid_t> others;
    std::copy_if(locks.exclusive.pids.begin(), locks.exclusive.pids.end(),
                 std::back_inserter(others), [](pid_t p) { return p != ::getpid(); });
    access.may_open = false;
    access.holders = named(paths.proc, others);
    access.reason = "locked (exclusive VISA lock) by " +
                    (others.empty() ? std::string("a process this user cannot see")
                                    : describe_processes(access.holders));
    access.fix = "wait until it closes the instrument, or end that program";
}

}  // namespace sgvisa_tool
