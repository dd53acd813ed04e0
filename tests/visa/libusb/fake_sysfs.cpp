#include "fake_sysfs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

namespace sgtest {

FakeSysfs::FakeSysfs() {
    if (::chmod(root().c_str(), 0755) != 0)
        throw std::runtime_error("chmod " + root());
}

void FakeSysfs::write_attributes(const std::string& dir, Attributes attributes) {
    if (::mkdir(dir.c_str(), 0755) != 0)
        throw std::runtime_error("mkdir " + dir);
    for (const auto& [file, text] : attributes) {
        std::ofstream out(dir + "/" + file);
        out << text << '\n';
    }
}

void FakeSysfs::device(const std::string& name, Attributes attributes, const std::string& driver) {
    const std::string dir = root() + "/" + name;
    write_attributes(dir, attributes);
    if (!driver.empty()) {
        const std::string target = "../../../bus/usb/drivers/" + driver;
        if (::symlink(target.c_str(), (dir + "/driver").c_str()) != 0)
            throw std::runtime_error("symlink " + dir);
    }
}

void FakeSysfs::interface(const std::string& name, Attributes attributes) {
    write_attributes(root() + "/" + name, attributes);
}

void FakeSysfs::configured_device(const std::string& name, const char* vendor, const char* product,
                                  const char* serial, const char* bus, const char* address,
                                  const std::string& driver) {
    device(name,
           {{"idVendor", vendor},
            {"idProduct", product},
            {"serial", serial},
            {"busnum", bus},
            {"devnum", address},
            {"bConfigurationValue", "1"}},
           driver);
}

void FakeSysfs::usbtmc_interface(const std::string& name, const char* number,
                                 const char* protocol) {
    interface(name, {{"bInterfaceClass", "fe"},
                     {"bInterfaceSubClass", "03"},
                     {"bInterfaceProtocol", protocol},
                     {"bInterfaceNumber", number},
                     {"bAlternateSetting", " 0"}});
}

void FakeSysfs::other_interface(const std::string& name, const char* number, const char* cls,
                                const char* subclass) {
    interface(name, {{"bInterfaceClass", cls},
                     {"bInterfaceSubClass", subclass},
                     {"bInterfaceProtocol", "00"},
                     {"bInterfaceNumber", number},
                     {"bAlternateSetting", " 0"}});
}

}  // namespace sgtest
