// The generator stalls an endpoint: sgsim halts its bulk-OUT endpoint when a
// message grows past what it accepts (1 MiB). The write fails, and the next
// query must work again: the host clears the halt.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "sim_child.h"
#include "temp_dir.h"
#include "visa.h"

namespace sgfault {
namespace {

class EnvRuntime {
  public:
    explicit EnvRuntime(const std::string& dir) {
        const char* old = ::getenv("XDG_RUNTIME_DIR");
        had_ = old != nullptr;
        saved_ = old ? old : "";
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    }
    ~EnvRuntime() {
        if (had_)
            ::setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }
    EnvRuntime(const EnvRuntime&) = delete;
    EnvRuntime& operator=(const EnvRuntime&) = delete;

  private:
    bool had_ = false;
    std::string saved_;
};

TEST(EndpointStall, OverlongMessageStallsBulkOutAndTheNextQueryWorks) {
    sgtest::TempDir tmp;
    const std::string runtime = tmp.make_subdir("run");
    EnvRuntime env(runtime);
    SimChild sim(runtime, tmp.path() + "/log");
    ASSERT_TRUE(sim.ready());

    ViSession rm = VI_NULL, vi = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    ASSERT_EQ(viOpen(rm, "USB0::0x4d19::0x0040::SIM001::0::INSTR", VI_EXCLUSIVE_LOCK, 5000, &vi),
              VI_SUCCESS);
    const std::string huge(2u << 20, 'A');
    ViUInt32 written = 0;
    EXPECT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>(huge.data()),
                      static_cast<ViUInt32>(huge.size()), &written),
              VI_ERROR_IO);
    EXPECT_LT(written, huge.size());

    char idn[64] = "";
    EXPECT_EQ(viQueryf(vi, "*IDN?\n", "%63T", idn), VI_SUCCESS);
    EXPECT_STREQ(idn, "Simulated Signal Sources,SG-4040,SIM001,1.0\n");
    viClose(vi);
    viClose(rm);
}

}  // namespace
}  // namespace sgfault
