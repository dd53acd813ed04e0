// run_gadget without a FunctionFS mount: it must give up with status 1 and
// never report the gadget ready (the VM test covers the real mount).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "gadget_attachment.h"
#include "temp_dir.h"
#include "usbtmc_device.h"

namespace {

class SilentInstrument : public sgsim::Instrument {
  public:
    std::string execute(std::string_view) override { return ""; }
    void clear() override {}
    std::string describe_settings() const override { return ""; }
};

int g_ready_calls = 0;
void count_ready() {
    ++g_ready_calls;
}

class GadgetAttachment : public ::testing::Test {
  protected:
    SilentInstrument instrument;
    sgsim::UsbtmcDevice device{instrument, {}, nullptr};
    volatile std::sig_atomic_t stop = 0;
    sgtest::TempDir dir;

    void SetUp() override { g_ready_calls = 0; }
};

TEST_F(GadgetAttachment, AMissingDirectoryFailsWithoutReportingReady) {
    EXPECT_EQ(sgsim::run_gadget(dir.path() + "/absent", device, stop, count_ready), 1);
    EXPECT_EQ(g_ready_calls, 0);
}

TEST_F(GadgetAttachment, AnEp0WithoutEndpointFilesFailsWithoutReportingReady) {
    // A plain file takes the descriptors, but no endpoint files appear.
    const std::string ep0 = dir.path() + "/ep0";
    const int fd = ::open(ep0.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(sgsim::run_gadget(dir.path(), device, stop, count_ready), 1);
    EXPECT_EQ(g_ready_calls, 0);
    // What was written is a descriptors blob followed by a strings blob.
    const int in = ::open(ep0.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(in, 0);
    unsigned char head[8] = {};
    ASSERT_EQ(::read(in, head, sizeof head), 8);
    ::close(in);
    EXPECT_EQ(head[0], 3) << "FunctionFS descriptors magic (v2)";
}

}  // namespace
