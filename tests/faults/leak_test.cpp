// Nothing leaks across faults: the library's descriptors are counted in
// /proc/self/fd before and after runs through every kind of fault, in
// process. (Memory is checked by LeakSanitizer when this binary runs in the
// sanitizer build, as scripts/check does.)
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "program_on_fake_device.h"
#include "sim_child.h"
#include "temp_dir.h"
#include "visa.h"

namespace sgfault {
namespace {

int open_descriptors() {
    DIR* d = ::opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    int n = 0;
    while (::readdir(d) != nullptr)
        ++n;
    ::closedir(d);
    return n;
}

std::shared_ptr<sgtest::FakeUsbtmcDevice> answering() {
    auto d = std::make_shared<sgtest::FakeUsbtmcDevice>();
    d->respond = sgtest::echo_queries;
    return d;
}

TEST(NoLeak, DescriptorsAfterProgramRunsThroughDeviceFaults) {
    run_program(answering());  // the first run sets up what lives for the process
    const int before = open_descriptors();
    ASSERT_GT(before, 0);
    for (int round = 0; round < 3; ++round) {
        for (int fault = 0; fault < 5; ++fault) {
            auto d = answering();
            switch (fault) {
                case 0:
                    d->never_answer = true;
                    break;
                case 1:
                    d->bad_inverse = true;
                    break;
                case 2:
                    d->tag_offset = -1;
                    break;
                case 3:
                    d->vanish_after_in = 0;
                    break;
                default:
                    d->claim_size = 0xFFFFFFFFu;
                    break;
            }
            const ProgramRun run = run_program(d);
            EXPECT_EQ(run.exit_status, 0);
        }
    }
    EXPECT_EQ(open_descriptors(), before);
}

TEST(NoLeak, DescriptorsAfterTheSimulatorVanishesMidSession) {
    sgtest::TempDir tmp;
    const std::string runtime = tmp.make_subdir("run");
    const char* old = ::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

    ViSession rm = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    const int before = open_descriptors();
    for (int round = 0; round < 3; ++round) {
        SimChild sim(runtime, tmp.path() + "/log");
        ASSERT_TRUE(sim.ready());
        ViSession vi = VI_NULL;
        ASSERT_EQ(
            viOpen(rm, "USB0::0x4d19::0x0040::SIM001::0::INSTR", VI_EXCLUSIVE_LOCK, 5000, &vi),
            VI_SUCCESS);
        char buf[64] = "";
        EXPECT_EQ(viQueryf(vi, "*IDN?\n", "%63T", buf), VI_SUCCESS);
        ASSERT_EQ(sim.kill_and_wait(SIGKILL), 128 + SIGKILL);
        EXPECT_EQ(viQueryf(vi, "*IDN?\n", "%63T", buf), VI_ERROR_CONN_LOST);
        viClose(vi);
    }
    EXPECT_EQ(open_descriptors(), before);
    viClose(rm);
    if (old)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace sgfault
