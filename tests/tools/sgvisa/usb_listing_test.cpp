// sgvisa's USB listing against a fake sysfs, device node and /proc tree:
// where each instrument is, the driver that holds its interface, and
// whether this user may open it, why not and what fixes it.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "fake_sysfs.h"
#include "instrument_listing.h"
#include "temp_dir.h"

namespace {

using sgvisa_tool::ListedInstrument;

class UsbListing : public ::testing::Test {
  protected:
    UsbListing() {
        paths_.sysfs_usb_devices = sys_.root();
        paths_.usb_device_nodes = dev_.path();
        paths_.proc = proc_.path();
        paths_.udev_rule_dirs = {rules_.path()};
        // Everything readable by an unprivileged user, as on a real machine.
        for (const std::string& dir : {dev_.path(), proc_.path(), rules_.path()})
            ::chmod(dir.c_str(), 0755);
        ::setenv("XDG_RUNTIME_DIR", run_.make_subdir("run").c_str(), 1);
    }

    // An instrument at bus 1, device `devnum`, interface 0 bound to `driver`.
    void instrument(const std::string& name, const char* serial, const char* devnum,
                    const std::string& driver, mode_t node_mode) {
        sys_.configured_device(name, "4d19", "0040", serial, "1", devnum);
        sys_.usbtmc_interface(name + ":1.0", "00", "01");
        if (!driver.empty()) {
            ASSERT_EQ(::symlink(("../../../bus/usb/drivers/" + driver).c_str(),
                                (sys_.root() + "/" + name + ":1.0/driver").c_str()),
                      0);
        }
        if (node_mode == 0)
            return;  // no node
        const std::string bus = dev_.path() + "/001";
        ::mkdir(bus.c_str(), 0755);
        const std::string node = node_path(devnum);
        std::ofstream(node).put('\0');
        ASSERT_EQ(::chmod(node.c_str(), node_mode), 0);
    }

    std::string node_path(const std::string& devnum) const {
        return dev_.path() + "/001/" + std::string(3 - devnum.size(), '0') + devnum;
    }

    // A process `pid` named `command` with the device node `devnum` open.
    void process_holding(const std::string& pid, const char* command, const std::string& devnum) {
        const std::string dir = proc_.path() + "/" + pid;
        ::mkdir(dir.c_str(), 0755);
        ::mkdir((dir + "/fd").c_str(), 0755);
        std::ofstream(dir + "/comm") << command << "\n";
        ASSERT_EQ(::symlink(node_path(devnum).c_str(), (dir + "/fd/7").c_str()), 0);
    }

    std::vector<ListedInstrument> list() {
        return sgvisa_tool::list_instruments(
            paths_, sgvisa::Clock::now() + std::chrono::seconds(10), false);
    }

    sgtest::FakeSysfs sys_;
    sgtest::TempDir dev_;
    sgtest::TempDir proc_;
    sgtest::TempDir rules_;
    sgtest::TempDir run_;
    sgvisa_tool::SystemPaths paths_;
};

TEST_F(UsbListing, WhereEachIsAndTheDriverThatHoldsIt) {
    instrument("1-1", "FREE01", "5", "", 0666);
    instrument("1-2", "TMC002", "6", "usbtmc", 0666);
    instrument("1-3", "GONE03", "7", "", 0);
    const auto found = list();
    ASSERT_EQ(found.size(), 3u);

    EXPECT_EQ(found[0].resource, "USB0::0x4D19::0x0040::FREE01::0::INSTR");
    EXPECT_TRUE(found[0].on_usb);
    EXPECT_EQ(found[0].usb_bus, 1u);
    EXPECT_EQ(found[0].usb_device, 5u);
    EXPECT_EQ(found[0].device_node, dev_.path() + "/001/005");
    EXPECT_EQ(found[0].driver, "");
    EXPECT_TRUE(found[0].access.may_open);
    EXPECT_EQ(found[0].access.reason, "");

    EXPECT_EQ(found[1].driver, "usbtmc");
    EXPECT_TRUE(found[1].access.may_open) << "the library detaches the kernel driver";
    EXPECT_NE(found[1].access.reason.find("usbtmc driver holds the interface"), std::string::npos);

    EXPECT_FALSE(found[2].access.may_open);
    EXPECT_NE(found[2].access.reason.find(dev_.path() + "/001/007 is missing"), std::string::npos);
}

TEST_F(UsbListing, AnInterfaceClaimedByAnotherProgramNamesIt) {
    instrument("1-1", "HELD01", "5", "usbfs", 0666);
    process_holding("4242", "othertool", "5");
    process_holding("4243", "bystander", "9");
    const auto found = list();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].driver, "usbfs");
    ASSERT_EQ(found[0].access.holders.size(), 1u);
    EXPECT_EQ(found[0].access.holders[0].pid, 4242);
    EXPECT_EQ(found[0].access.holders[0].command, "othertool");
    EXPECT_NE(found[0].access.reason.find("claimed by process 4242 (othertool)"), std::string::npos)
        << found[0].access.reason;
    EXPECT_NE(found[0].access.fix, "");
}

// Run as an unprivileged user in a child (root may open any node).
TEST_F(UsbListing, NoPermissionSaysOnWhatAndTheUdevRule) {
    instrument("1-1", "ROOT01", "5", "", 0600);
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr),
             ::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0))
            ::_exit(3);
        const auto found = list();
        std::string report = found.size() == 1 ? (found[0].access.may_open ? "open" : "denied") +
                                                     std::string("\n") + found[0].access.reason +
                                                     "\n" + found[0].access.fix
                                               : "count " + std::to_string(found.size());
        [[maybe_unused]] const auto n = ::write(pipe_fds[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string report;
    sgtest::read_to_end(pipe_fds[0], sgtest::Clock::now() + std::chrono::seconds(10), report);
    ::close(pipe_fds[0]);
    ASSERT_EQ(sgtest::wait_for_exit(child, std::chrono::seconds(10)), 0);
    EXPECT_EQ(report.rfind("denied\n", 0), 0u) << report;
    EXPECT_NE(report.find("no permission to read and write " + dev_.path() + "/001/005"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("mode 0600"), std::string::npos) << report;
    EXPECT_NE(report.find("install the library's udev rule 70-sgvisa-usbtmc.rules"),
              std::string::npos)
        << report;
}

}  // namespace
