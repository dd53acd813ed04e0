// A failed call's trace line says why, in words with what to do: over the
// local bus and the in-memory instrument, and on a forbidden device node.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "child_process.h"
#include "in_process_sim.h"
#include "libusb/usb_device_node.h"
#include "trace/trace_reason.h"
#include "trace_file.h"
#include "visa_fixture.h"

namespace sgtest {
namespace {

using namespace std::chrono_literals;

class FailureReasonsTest : public VisaTest {
  protected:
    TraceFile trace_;
};

TEST_F(FailureReasonsTest, NotFoundNamesTheSerialAndTheInstrumentsThatAreThere) {
    InProcessSim sim("SIM001");
    ViSession vi = VI_NULL;
    EXPECT_EQ(viOpen(rm(), "USB0::0x4d19::0x0040::NOPE42::INSTR", VI_NULL, 2000, &vi),
              VI_ERROR_RSRC_NFOUND);
    const auto lines = trace_.lines_of("viOpen");
    ASSERT_EQ(lines.size(), 1u) << trace_.text();
    EXPECT_NE(lines[0].find("-> VI_ERROR_RSRC_NFOUND (0xBFFF0011)"), std::string::npos);
    EXPECT_NE(lines[0].find(": no instrument with serial number \"NOPE42\""), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("found: USB0::0x4D19::0x0040::SIM001::0::INSTR"), std::string::npos)
        << lines[0];
}

TEST_F(FailureReasonsTest, ALockedInstrumentNamesTheProcessThatHoldsIt) {
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const std::string resource = instrument().resource_name();
    const pid_t holder = fork();
    if (holder == 0) {
        close(release[1]);  // so that the parent's close ends the wait
        sgvisa::trace::detail::level.store(0);
        ViSession child_rm = VI_NULL;
        ViSession child_vi = VI_NULL;
        viOpenDefaultRM(&child_rm);
        const char ok =
            viOpen(child_rm, resource.c_str(), VI_EXCLUSIVE_LOCK, 1000, &child_vi) == VI_SUCCESS
                ? 'y'
                : 'n';
        (void)!write(ready[1], &ok, 1);
        pollfd p{release[0], POLLIN, 0};
        poll(&p, 1, 20000);
        _exit(0);
    }
    char ok = 'n';
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');

    ViSession vi = VI_NULL;
    EXPECT_EQ(viOpen(rm(), resource.c_str(), VI_EXCLUSIVE_LOCK, 300, &vi), VI_ERROR_RSRC_LOCKED);
    close(release[1]);
    EXPECT_EQ(wait_for_exit(holder, 10000ms), 0);
    const auto lines = trace_.lines_of("viOpen");
    ASSERT_EQ(lines.size(), 1u) << trace_.text();
    EXPECT_NE(lines[0].find(": the instrument is locked by process " + std::to_string(holder) +
                            " (an exclusive lock"),
              std::string::npos)
        << lines[0];
    for (int fd : {ready[0], ready[1], release[0]})
        close(fd);
}

TEST_F(FailureReasonsTest, ATimeoutSaysHowLongItWaited) {
    const ViSession vi = open_instrument();
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 150), VI_SUCCESS);
    char buf[16];
    ViUInt32 count = 0;
    EXPECT_EQ(viRead(vi, reinterpret_cast<ViPBuf>(buf), sizeof buf, &count), VI_ERROR_TMO);
    const auto lines = trace_.lines_of("viRead");
    ASSERT_EQ(lines.size(), 1u) << trace_.text();
    EXPECT_NE(lines[0].find("buf=0:\"\", cnt=16, retCnt=0) -> VI_ERROR_TMO"), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find(": the instrument did not answer within 150 ms"), std::string::npos)
        << lines[0];
}

// A resource of a kind no link serves: the reason names what is served and
// where the rest is, whatever the kind.
class NotServedReason : public FailureReasonsTest,
                        public ::testing::WithParamInterface<const char*> {};

TEST_P(NotServedReason, SaysWhatIsServedAndWhereTheRestIs) {
    ViSession vi = VI_NULL;
    EXPECT_EQ(viOpen(rm(), GetParam(), VI_NULL, 0, &vi), VI_ERROR_NSUP_OPER);
    const auto lines = trace_.lines_of("viOpen");
    ASSERT_EQ(lines.size(), 1u) << trace_.text();
    EXPECT_NE(lines[0].find(": this library does not serve "), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("it serves USB INSTR, TCPIP INSTR (VXI-11) and TCPIP SOCKET"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("pyvisa-py"), std::string::npos) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(Kinds, NotServedReason,
                         ::testing::Values("GPIB0::7::INSTR", "GPIB1::INTFC", "ASRL1::INSTR",
                                           "GPIB2::12::INSTR", "ASRL4::INSTR",
                                           "USB0::0x4D19::0x0040::SN::0::RAW"));

// Served kinds whose form is not: a secure connection, HiSLIP's or another's.
// Refused before any connection, whatever the host, with what to name instead.
TEST_F(FailureReasonsTest, HislipAndSecureNamesAreNotServedAndSayWhatIs) {
    const struct {
        const char* name;
        const char* words;
    } rows[] = {
        {"TCPIP::@127.0.0.1::hislip0::INSTR", "it never falls back to an insecure one"},
        {"TCPIP::@127.0.0.1::inst0::INSTR", "it never falls back to an insecure one"},
        {"TCPIP::user@127.0.0.1::5025::SOCKET", "it never falls back to an insecure one"},
    };
    for (const auto& row : rows) {
        ViSession vi = VI_NULL;
        EXPECT_EQ(viOpen(rm(), row.name, VI_NULL, 0, &vi), VI_ERROR_NSUP_OPER) << row.name;
        const auto lines = trace_.lines_of("viOpen");
        ASSERT_FALSE(lines.empty()) << trace_.text();
        EXPECT_NE(lines.back().find(row.words), std::string::npos) << lines.back();
    }
}

// The node's refusal is explained where it happens (root, who may open any
// node, becomes nobody in a child first).
TEST(NodePermissionReason, NamesTheNodeAndTheUdevRule) {
    TempDir nodes;
    const std::string node = nodes.path() + "/005";
    std::ofstream(node) << "node\n";
    ASSERT_EQ(::chmod(node.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(nodes.path().c_str(), 0755), 0);
    EXPECT_EXIT(
        {
            if (::geteuid() == 0 ? (::setgid(65534) != 0 || ::setuid(65534) != 0)
                                 : ::chmod(node.c_str(), 0) != 0)
                _exit(2);
            TraceFile trace;
            int fd = -1;
            if (sgvisa::libusb::open_usb_device_node(node, fd) != VI_ERROR_NPERMISSION)
                _exit(3);
            const std::string& why = sgvisa::trace::reason();
            if (why.find("no permission to open " + node) == std::string::npos)
                _exit(4);
            _exit(why.find("udev rule 70-sgvisa-usbtmc.rules") == std::string::npos ? 5 : 0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace sgtest
