// run_gadget without a FunctionFS mount: it must give up with status 1 and
// never report the gadget ready (the VM test covers the real mount).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "attach/gadget_attachment.h"
#include "attach/gadget_descriptors.h"
#include "device/usbtmc_device.h"
#include "temp_dir.h"

namespace {

class SilentInstrument : public sgsim::Instrument {
  public:
    std::string execute(std::string_view) override { return ""; }
    void clear() override {}
    void trigger() override {}
    sgsim::StatusRegisters& status() override { return status_; }
    std::string describe_settings() const override { return ""; }

  private:
    sgsim::StatusRegisters status_;
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
    EXPECT_EQ(sgsim::run_gadget(dir.path() + "/absent", device, "Test", stop, count_ready), 1);
    EXPECT_EQ(g_ready_calls, 0);
}

TEST_F(GadgetAttachment, AnEp0WithoutEndpointFilesFailsWithoutReportingReady) {
    // A plain file takes the descriptors, but no endpoint files appear.
    const std::string ep0 = dir.path() + "/ep0";
    const int fd = ::open(ep0.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(sgsim::run_gadget(dir.path(), device, "IO test", stop, count_ready), 1);
    EXPECT_EQ(g_ready_calls, 0);
    // What was written is a descriptors blob followed by a strings blob that
    // names the interface as told.
    const int in = ::open(ep0.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(in, 0);
    std::vector<unsigned char> written(4096);
    const ssize_t n = ::read(in, written.data(), written.size());
    ::close(in);
    ASSERT_GT(n, 8);
    written.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(written[0], 3) << "FunctionFS descriptors magic (v2)";
    const std::size_t descriptors =
        written[4] | written[5] << 8 | written[6] << 16 | written[7] << 24;
    ASSERT_LT(descriptors, written.size());
    const std::vector<unsigned char> strings(written.begin() + static_cast<long>(descriptors),
                                             written.end());
    EXPECT_EQ(strings, sgsim::gadget::strings_blob("IO test"));
}

}  // namespace
