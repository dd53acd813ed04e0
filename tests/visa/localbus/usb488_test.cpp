// USB488 through our library against sgsim on the local bus: the status
// byte (through the interrupt-IN notification, or the control answer when
// the interface has no interrupt-IN endpoint), service requests as events,
// the TRIGGER message and remote/local control.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "sim_process.h"
#include "temp_dir.h"
#include "visa.h"

namespace sgtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kName[] = "USB0::0x4d19::0x0040::U488::INSTR";

class Usb488 : public ::testing::Test {
  protected:
    void start(const std::vector<std::string>& args = {}) {
        runtime_ = tmp_.make_subdir("run");
        ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1), 0);
        sim_ = std::make_unique<SimProcess>(runtime_, "U488", args);
        ASSERT_TRUE(sim_->ready());
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
        ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &vi_), VI_SUCCESS);
    }
    void TearDown() override { viClose(rm_); }

    ViUInt16 stb() {
        ViUInt16 status = 0xFFFF;
        EXPECT_EQ(viReadSTB(vi_, &status), VI_SUCCESS);
        return status;
    }
    void settle() {  // the instrument has executed what came before
        char reply[8];
        ASSERT_EQ(viQueryf(vi_, "*OPC?\n", "%7t", reply), VI_SUCCESS);
    }

    TempDir tmp_;
    std::string runtime_;
    std::unique_ptr<SimProcess> sim_;
    ViSession rm_ = VI_NULL;
    ViSession vi_ = VI_NULL;
};

TEST_F(Usb488, ServiceRequestReachesAWaitingSessionAndTheStatusByteTellsWhy) {
    start();
    ASSERT_EQ(viPrintf(vi_, "*CLS;*ESE 1;*SRE 32\n"), VI_SUCCESS);
    settle();
    EXPECT_EQ(stb(), 0x00);
    ASSERT_EQ(viEnableEvent(vi_, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL), VI_SUCCESS);
    EXPECT_EQ(viWaitOnEvent(vi_, VI_EVENT_SERVICE_REQ, 50, nullptr, VI_NULL), VI_ERROR_TMO);
    const auto start_time = Clock::now();
    ASSERT_EQ(viPrintf(vi_, "*OPC\n"), VI_SUCCESS);
    ViEventType type = 0;
    ViEvent context = VI_NULL;
    ASSERT_EQ(viWaitOnEvent(vi_, VI_EVENT_SERVICE_REQ, 5000, &type, &context), VI_SUCCESS);
    EXPECT_LT(Clock::now() - start_time, milliseconds(1000));
    EXPECT_EQ(type, VI_EVENT_SERVICE_REQ);
    ViEventType context_type = 0;
    EXPECT_EQ(viGetAttribute(context, VI_ATTR_EVENT_TYPE, &context_type), VI_SUCCESS);
    EXPECT_EQ(context_type, VI_EVENT_SERVICE_REQ);
    ViStatus status = 0;
    EXPECT_EQ(viGetAttribute(context, VI_ATTR_STATUS, &status), VI_ERROR_NSUP_ATTR);
    EXPECT_EQ(viClose(context), VI_SUCCESS);
    EXPECT_EQ(stb(), 0x60) << "ESB and RQS";
    EXPECT_EQ(stb(), 0x20) << "RQS read once";

    // A second session of the process gets the next request too.
    ViSession other = VI_NULL;
    ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &other), VI_SUCCESS);
    ASSERT_EQ(viEnableEvent(other, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL), VI_SUCCESS);
    ASSERT_EQ(viPrintf(vi_, "*CLS;*OPC\n"), VI_SUCCESS);
    EXPECT_EQ(viWaitOnEvent(vi_, VI_EVENT_SERVICE_REQ, 5000, nullptr, VI_NULL), VI_SUCCESS);
    EXPECT_EQ(viWaitOnEvent(other, VI_EVENT_SERVICE_REQ, 5000, nullptr, VI_NULL), VI_SUCCESS);
    EXPECT_EQ(viDisableEvent(vi_, VI_EVENT_SERVICE_REQ, VI_ALL_MECH), VI_SUCCESS);
    EXPECT_EQ(viClose(other), VI_SUCCESS);
}

TEST_F(Usb488, TriggerAndRemoteLocalReachTheInstrument) {
    start();
    EXPECT_EQ(viAssertTrigger(vi_, VI_TRIG_PROT_DEFAULT), VI_SUCCESS);
    EXPECT_EQ(viAssertTrigger(vi_, 5), VI_ERROR_INV_PROT);
    EXPECT_EQ(viGpibControlREN(vi_, VI_GPIB_REN_ASSERT_LLO), VI_SUCCESS);
    EXPECT_EQ(viGpibControlREN(vi_, VI_GPIB_REN_ADDRESS_GTL), VI_SUCCESS);
    EXPECT_EQ(viGpibControlREN(vi_, 9), VI_ERROR_INV_MODE);
    // (No message after going to local: being addressed again would make
    // the instrument remote.)
    ASSERT_EQ(viClose(vi_), VI_SUCCESS);
    const std::string printout = sim_->stop();
    EXPECT_NE(printout.find("Triggers: 1\n"), std::string::npos) << printout;
    EXPECT_NE(printout.find("Remote state: LOCAL WITH LOCKOUT\n"), std::string::npos) << printout;
    EXPECT_EQ(sim_->received().front(), "*TRG");
}

TEST_F(Usb488, WithoutInterruptInTheStatusByteComesInTheAnswerAndNoRequestIsHeard) {
    start({"--no-interrupt-in"});
    ASSERT_EQ(viPrintf(vi_, "*CLS;*ESE 1;*SRE 32;*OPC\n"), VI_SUCCESS);
    settle();
    EXPECT_EQ(stb(), 0x60);
    EXPECT_EQ(viEnableEvent(vi_, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL), VI_ERROR_NSUP_OPER);
    EXPECT_EQ(viEnableEvent(vi_, VI_EVENT_IO_COMPLETION, VI_QUEUE, VI_NULL), VI_SUCCESS);
}

}  // namespace
}  // namespace sgtest
