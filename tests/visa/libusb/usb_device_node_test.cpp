// Opening device nodes and waiting for their close: statuses for an absent
// or forbidden node and a node that is no USB device, listing without
// opening, and the wait's three ends.
#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "fake_sysfs.h"
#include "libusb/libusb_device.h"
#include "libusb/libusb_library.h"
#include "libusb/sysfs_usbtmc_scan.h"
#include "libusb/usb_device_node.h"
#include "temp_dir.h"
#include "transport/process_descriptors.h"

namespace sgtest {
namespace {

constexpr uid_t kNobody = 65534;

void make_node(const std::string& path) {
    std::ofstream(path) << "not a USB device\n";
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
}

// VI_SUCCESS when `path` opened (and closed again), else the status.
ViStatus open_status(const std::string& path) {
    int fd = -1;
    const ViStatus st = sgvisa::libusb::open_usb_device_node(path, fd);
    if (st == VI_SUCCESS)
        sgvisa::close_process_descriptor(fd);
    return st;
}

// Becomes user nobody (when root, who may open anything) or takes the
// node's permissions away (when not): either way the node is forbidden.
bool forbid(const std::string& node) {
    if (::geteuid() == 0)
        return ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0;
    return ::chmod(node.c_str(), 0) == 0;
}

TEST(UsbDeviceNode, OpenedOnlyWhenPresentAllowedAndAUsbDeviceButListedAnyway) {
    EXPECT_EQ(sgvisa::libusb::usb_device_node_path("/dev/bus/usb", 1, 5), "/dev/bus/usb/001/005");
    const sgvisa::libusb::LibusbRuntime* runtime = sgvisa::libusb::libusb_runtime();
    ASSERT_NE(runtime, nullptr) << "libusb-1.0 is a build dependency and starts without USB";

    FakeSysfs sys;
    sys.configured_device("1-1", "4d19", "0040", "SIM001", "1", "5");
    sys.usbtmc_interface("1-1:1.0", "00", "01");
    TempDir nodes;
    const std::string node = nodes.path() + "/001/005";
    ASSERT_EQ(::mkdir((nodes.path() + "/001").c_str(), 0755), 0);
    make_node(node);  // a file: no USB device behind it
    const auto later = [] { return sgvisa::Clock::now() + std::chrono::seconds(10); };
    const auto found = sgvisa::libusb::scan_usbtmc_interfaces(sys.root(), later());
    ASSERT_EQ(found.size(), 1u);

    EXPECT_EQ(open_status(node), VI_SUCCESS);
    EXPECT_EQ(open_status(nodes.path() + "/001/006"), VI_ERROR_RSRC_NFOUND);
    std::unique_ptr<sgvisa::libusb::LibusbDevice> device;
    EXPECT_EQ(sgvisa::libusb::LibusbDevice::open(*runtime, nodes.path(), found[0], device),
              VI_ERROR_RSRC_NFOUND);
    EXPECT_FALSE(device);

    EXPECT_EXIT(
        {
            if (!forbid(node))
                _exit(2);
            if (open_status(node) != VI_ERROR_NPERMISSION)
                _exit(3);
            const auto seen = sgvisa::libusb::scan_usbtmc_interfaces(sys.root(), later());
            if (sgvisa::libusb::resource_names_of(seen).size() != 1)
                _exit(4);  // not listed for a user who may not open it
            std::unique_ptr<sgvisa::libusb::LibusbDevice> d;
            const ViStatus st =
                sgvisa::libusb::LibusbDevice::open(*runtime, nodes.path(), seen[0], d);
            _exit(st == VI_ERROR_NPERMISSION ? 0 : 5);
        },
        testing::ExitedWithCode(0), "");
}

TEST(NodeCloseWatch, WakesAtACloseACancelOrTheDeadline) {
    TempDir dir;
    const std::string node = dir.path() + "/005";
    make_node(node);
    using Wake = sgvisa::libusb::NodeCloseWatch::Wake;
    const auto later = [] { return sgvisa::Clock::now() + std::chrono::seconds(10); };

    sgvisa::libusb::NodeCloseWatch watch(node);
    std::thread other([&] { std::ifstream{node}; });  // another holder lets go
    other.join();
    const auto started = sgvisa::Clock::now();
    EXPECT_EQ(watch.wait(later(), -1), Wake::closed);
    EXPECT_LT(sgvisa::Clock::now() - started, std::chrono::seconds(1));

    // The close was consumed: now only the deadline ends the wait.
    const auto deadline = sgvisa::Clock::now() + std::chrono::milliseconds(100);
    EXPECT_EQ(watch.wait(deadline, -1), Wake::deadline);
    EXPECT_GE(sgvisa::Clock::now(), deadline);
    EXPECT_LT(sgvisa::Clock::now() - deadline, std::chrono::seconds(1));

    const int cancel = ::eventfd(1, EFD_CLOEXEC);
    ASSERT_GE(cancel, 0);
    EXPECT_EQ(watch.wait(later(), cancel), Wake::cancelled);
    ::close(cancel);

    // Without a node to watch, only a cancel or the deadline ends it.
    sgvisa::libusb::NodeCloseWatch blind(dir.path() + "/absent");
    EXPECT_EQ(blind.wait(sgvisa::Clock::now() + std::chrono::milliseconds(20), -1), Wake::deadline);
}

}  // namespace
}  // namespace sgtest
