// A copy of the layout of /sys/bus/usb/devices in a temporary directory:
// devices and interfaces as directories of attribute files, the device's
// driver as a symbolic link named after it.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "temp_dir.h"

namespace sgtest {

class FakeSysfs {
  public:
    using Attributes = std::initializer_list<std::pair<const char*, const char*>>;

    // Readable by every user, as sysfs is.
    FakeSysfs();

    const std::string& root() const { return dir_.path(); }

    // A device directory "NAME" with its attribute files (each written with
    // a trailing newline, as the kernel does) and, unless `driver` is
    // empty, a driver link ending in /DRIVER.
    void device(const std::string& name, Attributes attributes, const std::string& driver = "usb");
    // An interface directory "DEVICE:C.I" with its attribute files.
    void interface(const std::string& name, Attributes attributes);

    // A configured device as the kernel shows it, with interfaces added by
    // usbtmc_interface() and other_interface().
    void configured_device(const std::string& name, const char* vendor, const char* product,
                           const char* serial, const char* bus, const char* address,
                           const std::string& driver = "usb");
    void usbtmc_interface(const std::string& name, const char* number, const char* protocol);
    void other_interface(const std::string& name, const char* number, const char* cls,
                         const char* subclass);

  private:
    void write_attributes(const std::string& dir, Attributes attributes);
    TempDir dir_;
};

}  // namespace sgtest
