#include "libusb/sysfs_usbtmc_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <optional>
#include <string_view>

#include "proto/usbtmc.h"

namespace sgvisa::libusb {
namespace {

// The longest attribute read: a string descriptor holds at most 126 UTF-16
// units, which the kernel writes as at most 378 bytes of UTF-8.
constexpr std::size_t kMaxAttribute = 512;

// The text of attribute file `path` without the trailing newline; nullopt
// when it cannot be read.
std::optional<std::string> read_attribute(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    std::array<char, kMaxAttribute> buf{};
    std::size_t used = 0;
    bool failed = false;
    while (used < buf.size()) {
        const ssize_t n = ::read(fd, buf.data() + used, buf.size() - used);
        if (n == 0)
            break;
        if (n < 0) {
            failed = true;
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (failed)
        return std::nullopt;
    std::string_view text(buf.data(), used);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.remove_suffix(1);
    return std::string(text);
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// A number attribute in `base` (16 for IDs and classes, 10 for bus and
// device numbers) not above `max`.
std::optional<unsigned> number_attribute(const std::string& path, int base, unsigned max) {
    const auto text = read_attribute(path);
    if (!text)
        return std::nullopt;
    const std::string_view digits = trimmed(*text);
    unsigned value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() ||
        value > max)
        return std::nullopt;
    return value;
}

// The device-level driver bound to the device, "" when none.
std::string driver_of(const std::string& device_dir) {
    std::array<char, 256> target{};
    const ssize_t n = ::readlink((device_dir + "/driver").c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size())
        return {};
    const std::string_view link(target.data(), static_cast<std::size_t>(n));
    const auto slash = link.rfind('/');
    return std::string(slash == std::string_view::npos ? link : link.substr(slash + 1));
}

// The names in `root`: devices ("1-1.2") and interfaces ("1-1.2:1.0") apart.
struct Listing {
    std::vector<std::string> devices;
    std::multimap<std::string, std::string> interfaces;  // device name -> interface name
};

Listing list_entries(const std::string& root) {
    Listing listing;
    DIR* dir = ::opendir(root.c_str());
    if (!dir)
        return listing;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        const auto colon = name.find(':');
        if (colon == std::string::npos)
            listing.devices.push_back(name);
        else
            listing.interfaces.emplace(name.substr(0, colon), name);
    }
    ::closedir(dir);
    std::sort(listing.devices.begin(), listing.devices.end());
    return listing;
}

// The identity and strings of `device`; false when it has no active
// configuration or lacks an attribute every configured device has.
bool read_device(const std::string& dir, UsbtmcInterfaceInfo& out, unsigned& configuration) {
    const auto config = number_attribute(dir + "/bConfigurationValue", 10, 255);
    const auto vendor = number_attribute(dir + "/idVendor", 16, 0xFFFF);
    const auto product = number_attribute(dir + "/idProduct", 16, 0xFFFF);
    const auto bus = number_attribute(dir + "/busnum", 10, 999);
    const auto address = number_attribute(dir + "/devnum", 10, 999);
    if (!config || *config == 0 || !vendor || !product || !bus || !address)
        return false;
    configuration = *config;
    out.vendor_id = static_cast<std::uint16_t>(*vendor);
    out.product_id = static_cast<std::uint16_t>(*product);
    out.bus = *bus;
    out.address = *address;
    out.serial = read_attribute(dir + "/serial").value_or("");
    out.manufacturer = read_attribute(dir + "/manufacturer").value_or("");
    out.product = read_attribute(dir + "/product").value_or("");
    return true;
}

// Fills the interface's numbers when `dir` is a USBTMC interface.
bool read_usbtmc_interface(const std::string& dir, UsbtmcInterfaceInfo& out) {
    using namespace sgproto::usbtmc;
    const auto cls = number_attribute(dir + "/bInterfaceClass", 16, 0xFF);
    const auto subclass = number_attribute(dir + "/bInterfaceSubClass", 16, 0xFF);
    if (cls != kInterfaceClass || subclass != kInterfaceSubclass)
        return false;
    const auto number = number_attribute(dir + "/bInterfaceNumber", 16, 0xFF);
    const auto alt = number_attribute(dir + "/bAlternateSetting", 10, 0xFF);
    const auto protocol = number_attribute(dir + "/bInterfaceProtocol", 16, 0xFF);
    if (!number || !alt || !protocol)
        return false;
    out.interface_number = static_cast<std::uint8_t>(*number);
    out.alt_setting = static_cast<std::uint8_t>(*alt);
    out.interface_protocol = static_cast<std::uint8_t>(*protocol);
    return true;
}

// The configuration an interface name "DEV:C.I" belongs to; nullopt when
// the name is not of that form.
std::optional<unsigned> configuration_of(std::string_view interface_name) {
    const auto colon = interface_name.find(':');
    const auto dot = interface_name.find('.', colon);
    if (colon == std::string_view::npos || dot == std::string_view::npos)
        return std::nullopt;
    unsigned config = 0;
    const char* first = interface_name.data() + colon + 1;
    const char* last = interface_name.data() + dot;
    const auto [end, error] = std::from_chars(first, last, config);
    if (first == last || error != std::errc{} || end != last)
        return std::nullopt;
    return config;
}

}  // namespace

std::vector<UsbtmcInterfaceInfo> scan_usbtmc_interfaces(const std::string& root,
                                                        Deadline deadline) {
    std::vector<UsbtmcInterfaceInfo> found;
    const Listing listing = list_entries(root);
    for (const std::string& name : listing.devices) {
        if (Clock::now() >= deadline)
            break;
        const auto [first, last] = listing.interfaces.equal_range(name);
        if (first == last)
            continue;  // a device without interfaces: unconfigured, or a root hub's name
        const std::string dir = root + "/" + name;
        const std::string driver = driver_of(dir);
        if (!driver.empty() && driver != "usb")
            continue;  // held whole by another driver, e.g. exported with usbip-host
        UsbtmcInterfaceInfo device;
        unsigned configuration = 0;
        if (!read_device(dir, device, configuration))
            continue;
        device.device = name;
        const std::size_t before = found.size();
        for (auto it = first; it != last; ++it) {
            if (configuration_of(it->second) != configuration)
                continue;
            UsbtmcInterfaceInfo iface = device;
            iface.interface = it->second;
            if (read_usbtmc_interface(root + "/" + it->second, iface))
                found.push_back(std::move(iface));
        }
        std::sort(found.begin() + static_cast<std::ptrdiff_t>(before), found.end(),
                  [](const UsbtmcInterfaceInfo& a, const UsbtmcInterfaceInfo& b) {
                      return a.interface_number < b.interface_number;
                  });
    }
    return found;
}

std::vector<UsbtmcInterfaceInfo> interfaces_named(const std::vector<UsbtmcInterfaceInfo>& all,
                                                  const UsbResourceName& name) {
    std::vector<UsbtmcInterfaceInfo> chosen;
    const std::string* last_device = nullptr;
    for (const UsbtmcInterfaceInfo& iface : all) {
        if (iface.vendor_id != name.vendor_id || iface.product_id != name.product_id ||
            !serial_equal(iface.serial, name.serial))
            continue;
        if (name.interface_number >= 0) {
            if (iface.interface_number == name.interface_number)
                chosen.push_back(iface);
            continue;
        }
        // The scan lists a device's interfaces together, lowest number first.
        if (!last_device || *last_device != iface.device) {
            chosen.push_back(iface);
            last_device = &iface.device;
        }
    }
    return chosen;
}

std::vector<UsbResourceName> resource_names_of(const std::vector<UsbtmcInterfaceInfo>& all) {
    std::vector<UsbResourceName> names;
    for (const UsbtmcInterfaceInfo& iface : all) {
        UsbResourceName name;
        name.vendor_id = iface.vendor_id;
        name.product_id = iface.product_id;
        name.serial = iface.serial;
        name.interface_number = iface.interface_number;
        // Listed only when the name reads back as itself.
        UsbResourceName parsed;
        if (parse_usb_resource_name(canonical_name(name), parsed) == VI_SUCCESS)
            names.push_back(std::move(name));
    }
    return names;
}

}  // namespace sgvisa::libusb
