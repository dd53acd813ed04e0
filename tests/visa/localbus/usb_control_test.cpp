// viUsbControlIn and viUsbControlOut against sgsim on the local bus: what a
// session may send reaches the device and its answer comes back; what it may
// not is refused before anything is sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_process.h"
#include "temp_dir.h"
#include "visa.h"

namespace sgtest {
namespace {

constexpr char kName[] = "USB0::0x4d19::0x0040::UCTL::INSTR";

struct ControlCase {
    const char* name;
    bool in;
    ViInt16 type, request;
    ViUInt16 value, index, length;
    ViStatus status;
    int got;  // bytes of the data stage; -1: not checked
};

class UsbControl : public ::testing::TestWithParam<ControlCase> {
  protected:
    static void SetUpTestSuite() {
        tmp_ = new TempDir;
        const std::string runtime = tmp_->make_subdir("run");
        ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1), 0);
        sim_ = new SimProcess(runtime, "UCTL", {});
        ASSERT_TRUE(sim_->ready());
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
        ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &vi_), VI_SUCCESS);
    }
    static void TearDownTestSuite() {
        viClose(rm_);
        delete sim_;
        delete tmp_;
    }
    static TempDir* tmp_;
    static SimProcess* sim_;
    static ViSession rm_, vi_;
};
TempDir* UsbControl::tmp_ = nullptr;
SimProcess* UsbControl::sim_ = nullptr;
ViSession UsbControl::rm_ = VI_NULL;
ViSession UsbControl::vi_ = VI_NULL;

TEST_P(UsbControl, RequestGoesOrIsRefused) {
    const ControlCase& c = GetParam();
    std::vector<ViByte> buf(c.length + 1u, 0xEE);
    ViUInt16 got = 0xFFFF;
    const ViStatus st =
        c.in ? viUsbControlIn(vi_, c.type, c.request, c.value, c.index, c.length, buf.data(), &got)
             : viUsbControlOut(vi_, c.type, c.request, c.value, c.index, c.length, buf.data());
    EXPECT_EQ(st, c.status);
    if (c.got >= 0) {
        EXPECT_EQ(got, c.got);
    }
    if (c.in && st == VI_SUCCESS) {
        EXPECT_EQ(buf[c.length], 0xEE);  // nothing past wLength
    }
    // The session still works after each.
    char idn[128];
    EXPECT_EQ(viQueryf(vi_, "*IDN?\n", "%127t", idn), VI_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, UsbControl,
    ::testing::Values(
        ControlCase{"GetCapabilities", true, 0xA1, 7, 0, 0, 0x18, VI_SUCCESS, 0x18},
        ControlCase{"ReadStatusByte", true, 0xA1, 128, 2, 0, 3, VI_SUCCESS, 3},
        ControlCase{"DeviceDescriptorShortened", true, 0x80, 6, 0x0100, 0, 8, VI_SUCCESS, 8},
        ControlCase{"DeviceStatus", true, 0x80, 0, 0, 0, 2, VI_SUCCESS, 2},
        ControlCase{"BulkInEndpointStatus", true, 0x82, 0, 0, 0x82, 2, VI_SUCCESS, 2},
        ControlCase{"StalledClassRequest", true, 0xA1, 99, 0, 0, 1, VI_ERROR_IO, 0},
        ControlCase{"StalledVendorOut", false, 0x41, 1, 0, 0, 2, VI_ERROR_IO, -1},
        ControlCase{"AnotherInterface", true, 0xA1, 7, 0, 1, 0x18, VI_ERROR_INV_PARAMETER, 0},
        ControlCase{"AnotherEndpoint", true, 0xA2, 2, 0, 0x85, 2, VI_ERROR_INV_PARAMETER, 0},
        ControlCase{"SetConfiguration", false, 0x00, 9, 1, 0, 0, VI_ERROR_INV_PARAMETER, -1},
        ControlCase{"SetAddress", false, 0x00, 5, 9, 0, 0, VI_ERROR_INV_PARAMETER, -1},
        ControlCase{"SetInterface", false, 0x01, 11, 1, 0, 0, VI_ERROR_INV_PARAMETER, -1},
        ControlCase{"ClearHalt", false, 0x02, 1, 0, 0x82, 0, VI_ERROR_INV_PARAMETER, -1},
        ControlCase{"ClassToDevice", true, 0xA0, 7, 0, 0, 2, VI_ERROR_INV_PARAMETER, 0},
        ControlCase{"WrongDirection", true, 0x21, 7, 0, 0, 2, VI_ERROR_INV_PARAMETER, 0},
        ControlCase{"TooLong", true, 0xC0, 1, 0, 0, 5000, VI_ERROR_INV_PARAMETER, 0}),
    [](const ::testing::TestParamInfo<ControlCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace sgtest
