// The IEEE 488.2 service request of the simulated instruments: RQS raised by
// a new reason for service, announced once, read and cleared by a serial
// poll, withdrawn when no reason is left; MSS and MAV in *STB?, in compound
// messages too.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "signal_generator.h"
#include "status_registers.h"

namespace {

using sgsim::SignalGenerator;
using sgsim::StatusRegisters;

// The status bytes announced, one per service request.
struct Announcements {
    std::vector<int> bytes;
    void attach(StatusRegisters& status) {
        status.set_service_request_handler([this](std::uint8_t stb) { bytes.push_back(stb); });
    }
};

std::string send(SignalGenerator& generator, std::string_view command) {
    return generator.execute(std::string(command) + "\n");
}

TEST(ServiceRequest, RaisedOncePerNewReasonReadAndClearedBySerialPoll) {
    StatusRegisters status;
    Announcements srq;
    srq.attach(status);
    status.clear_events();  // the power-on bit
    status.set_event_enable(StatusRegisters::kOperationComplete);
    status.set_service_request_enable(StatusRegisters::kEventStatusSummary);
    EXPECT_TRUE(srq.bytes.empty()) << "no event yet";

    status.set_events(StatusRegisters::kOperationComplete);
    EXPECT_EQ(srq.bytes, std::vector<int>{0x60}) << "ESB and RQS";
    EXPECT_TRUE(status.service_requested());
    status.set_events(StatusRegisters::kOperationComplete);
    EXPECT_EQ(srq.bytes.size(), 1u) << "the same reason again is not a new one";

    EXPECT_EQ(status.status_byte(), 0x60) << "*STB? shows MSS";
    EXPECT_TRUE(status.service_requested()) << "*STB? clears nothing";
    EXPECT_EQ(status.serial_poll(), 0x60);
    EXPECT_EQ(status.serial_poll(), 0x20) << "the poll cleared RQS; ESB stays";
    EXPECT_EQ(status.status_byte(), 0x60) << "MSS stays while its reason does";

    // A second enabled bit is a new reason: service is requested again.
    status.set_service_request_enable(StatusRegisters::kEventStatusSummary |
                                      StatusRegisters::kErrorQueueNotEmpty);
    EXPECT_EQ(srq.bytes.size(), 1u) << "enabling a bit that is off changes nothing";
    status.set_error_queue_not_empty(true);
    EXPECT_EQ(srq.bytes, (std::vector<int>{0x60, 0x64}));

    // Reading the event register and emptying the queue withdraw the request.
    EXPECT_EQ(status.read_event_status(), StatusRegisters::kOperationComplete);
    EXPECT_TRUE(status.service_requested()) << "the queue is still a reason";
    status.set_error_queue_not_empty(false);
    EXPECT_FALSE(status.service_requested());
    EXPECT_EQ(status.serial_poll(), 0);
    status.set_events(StatusRegisters::kOperationComplete);
    EXPECT_EQ(srq.bytes, (std::vector<int>{0x60, 0x64, 0x60})) << "a reason that returns is new";
}

TEST(ServiceRequest, EnablingAConditionThatIsOnRaisesItMavAndOwnRequests) {
    StatusRegisters status;
    Announcements srq;
    srq.attach(status);
    status.set_event_enable(StatusRegisters::kPowerOn);
    EXPECT_TRUE(srq.bytes.empty());
    status.set_service_request_enable(0xFF);  // bit 6 is ignored
    EXPECT_EQ(status.service_request_enable(), 0xBF);
    EXPECT_EQ(srq.bytes, std::vector<int>{0x60}) << "*SRE enabling the power-on summary";
    status.set_service_request_enable(0);
    EXPECT_FALSE(status.service_requested()) << "withdrawn with its enable";

    // MAV enabled: a response that waits raises the request, reading it
    // withdraws it, the next response raises it again.
    status.set_service_request_enable(StatusRegisters::kMessageAvailable);
    status.set_message_available(true);
    status.set_message_available(false);
    status.set_message_available(true);
    EXPECT_EQ(srq.bytes, (std::vector<int>{0x60, 0x70, 0x70}));
    EXPECT_EQ(status.status_byte(), 0x70);
    status.set_message_available(false);

    // The instrument's own request, whatever SRE enables.
    status.set_service_request_enable(0);
    status.set_own_request(true);
    EXPECT_EQ(srq.bytes.back(), 0x60) << "ESB is on (power-on enabled), RQS";
    EXPECT_EQ(status.status_byte() & StatusRegisters::kRequestService,
              StatusRegisters::kRequestService)
        << "MSS";
    EXPECT_EQ(status.serial_poll() & 0x40, 0x40);
    EXPECT_EQ(status.serial_poll() & 0x40, 0);
    status.set_own_request(false);
    EXPECT_EQ(status.status_byte() & 0x40, 0);
    EXPECT_EQ(srq.bytes.size(), 4u);

    // Without a handler nothing is announced, but RQS is still kept.
    status.set_service_request_handler({});
    status.set_own_request(true);
    EXPECT_TRUE(status.service_requested());
    EXPECT_EQ(srq.bytes.size(), 4u);
}

TEST(ServiceRequest, GeneratorRequestsServiceForOpcInOneCompoundMessage) {
    SignalGenerator generator;
    Announcements srq;
    srq.attach(generator.status());
    EXPECT_EQ(send(generator, "*CLS;*ESE 1;*SRE 32;*OPC;*STB?"), "96\n");
    EXPECT_EQ(srq.bytes, std::vector<int>{0x60});
    EXPECT_EQ(send(generator, "*ESE?;*SRE?"), "1;32\n");
    EXPECT_EQ(send(generator, "*OPC;*STB?"), "96\n");
    EXPECT_EQ(srq.bytes.size(), 1u) << "OPC was already set: no new reason";
    EXPECT_EQ(generator.status().serial_poll(), 0x60);

    // *ESR? reads and clears the event; a later *OPC is a new reason, also
    // within one message. (*STB? shows MAV for the answer before it.)
    EXPECT_EQ(send(generator, "*ESR?;*STB?;*OPC;*ESR?;*OPC"), "1;16;1\n");
    EXPECT_EQ(srq.bytes, (std::vector<int>{0x60, 0x60, 0x60}));
    EXPECT_EQ(send(generator, "*CLS;*STB?"), "0\n") << "*CLS withdraws the request";
    EXPECT_FALSE(generator.status().service_requested());
}

TEST(ServiceRequest, StatusByteInCompoundMessagesShowsQueueAndEarlierAnswers) {
    SignalGenerator generator;
    Announcements srq;
    srq.attach(generator.status());
    send(generator, "*CLS");
    // MAV: the answers of the units before *STB? wait in the output queue.
    EXPECT_EQ(send(generator, "*STB?;*STB?"), "0;16\n");
    EXPECT_EQ(send(generator, "*IDN?;*STB?"), "Simulated Signal Sources,SG-4040,SIM001,1.0;16\n");
    // An error, its queue bit and its event; the answers run in order.
    EXPECT_EQ(send(generator, "*ESE 32;*SRE 4;BOGUS;*STB?;SYST:ERR?;*STB?"),
              "100;-113,\"Undefined header\";48\n");
    EXPECT_EQ(srq.bytes, std::vector<int>{0x64}) << "the error queue raised it, with ESB on";
    EXPECT_EQ(send(generator, "*ESR?;*STB?"), "32;16\n");
    EXPECT_TRUE(srq.bytes.size() == 1 && !generator.status().service_requested());
    // Several program messages in one execute: the first one's answer is
    // already in the output queue for the second.
    EXPECT_EQ(generator.execute("*OPC?\n*STB?\n"), "1\n16\n");
    EXPECT_EQ(send(generator, "*TRG;*WAI;*OPC?"), "1\n");
    EXPECT_EQ(generator.triggers(), 1u);
    EXPECT_EQ(send(generator, "*TRG 1;SYST:ERR?"), "-108,\"Parameter not allowed\"\n");
    EXPECT_EQ(generator.triggers(), 1u) << "a refused *TRG triggers nothing";
}

}  // namespace
