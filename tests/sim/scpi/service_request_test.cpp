// The IEEE 488.2 service request of the simulated instruments: RQS raised by
// a new reason for service, announced once, read and cleared by a serial
// poll, withdrawn when no reason is left; MSS and MAV in *STB?, in compound
// messages too.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "scpi/signal_generator.h"
#include "scpi/status_registers.h"

namespace {

using sgsim::SignalGenerator;
using sgsim::StatusRegisters;

std::string send(SignalGenerator& generator, std::string_view command) {
    return generator.execute(std::string(command) + "\n");
}

TEST(ServiceRequest, RaisedOncePerNewReasonReadAndClearedBySerialPoll) {
    StatusRegisters status;
    std::vector<int> srq;  // the status bytes announced
    status.set_service_request_handler([&](std::uint8_t stb) { srq.push_back(stb); });
    status.set_event_enable(StatusRegisters::kPowerOn);
    EXPECT_TRUE(srq.empty()) << "ESB on, but not enabled";
    status.set_service_request_enable(0xFF);
    EXPECT_EQ(status.service_request_enable(), 0xBF) << "bit 6 cannot be enabled";
    EXPECT_EQ(srq, std::vector<int>{0x60}) << "*SRE enabling a summary that is on";
    status.set_events(StatusRegisters::kPowerOn);
    EXPECT_EQ(srq.size(), 1u) << "the same reason again is not a new one";

    EXPECT_EQ(status.status_byte(), 0x60) << "*STB? shows MSS and clears nothing";
    EXPECT_EQ(status.serial_poll(), 0x60);
    EXPECT_EQ(status.serial_poll(), 0x20) << "the poll cleared RQS; ESB stays";
    EXPECT_EQ(status.status_byte(), 0x60) << "MSS stays while its reason does";
    status.set_error_queue_not_empty(true);
    EXPECT_EQ(srq, (std::vector<int>{0x60, 0x64})) << "a second enabled bit is new";

    EXPECT_EQ(status.read_event_status(), StatusRegisters::kPowerOn);
    EXPECT_TRUE(status.service_requested()) << "the queue is still a reason";
    status.set_error_queue_not_empty(false);
    EXPECT_FALSE(status.service_requested()) << "withdrawn: no reason left";
    EXPECT_EQ(status.serial_poll(), 0);

    // MAV, and the instrument's own request whatever SRE enables.
    status.set_message_available(true);
    status.set_message_available(false);
    status.set_message_available(true);
    EXPECT_EQ(srq, (std::vector<int>{0x60, 0x64, 0x50, 0x50}));
    status.set_message_available(false);
    status.set_service_request_enable(0);
    status.set_own_request(true);
    EXPECT_EQ(srq.back(), 0x40);
    EXPECT_EQ(status.status_byte(), 0x40) << "MSS";
    status.set_own_request(false);
    EXPECT_EQ(status.serial_poll(), 0) << "withdrawn before it was polled";
    EXPECT_EQ(srq.size(), 5u);
}

TEST(ServiceRequest, GeneratorInCompoundMessagesOpcErrorsAndMav) {
    SignalGenerator generator;
    std::vector<int> srq;
    generator.status().set_service_request_handler([&](std::uint8_t b) { srq.push_back(b); });
    EXPECT_EQ(send(generator, "*CLS;*ESE 1;*SRE 32;*OPC;*STB?"), "96\n");
    EXPECT_EQ(srq, std::vector<int>{0x60});
    EXPECT_EQ(send(generator, "*OPC;*ESE?;*SRE?"), "1;32\n");
    EXPECT_EQ(srq.size(), 1u) << "OPC was already set: no new reason";

    // *ESR? takes the reason away, so a later *OPC is new, also within one
    // message. *STB? counts the answers before it as waiting (MAV).
    EXPECT_EQ(send(generator, "*ESR?;*STB?;*OPC;*ESR?;*OPC"), "1;16;1\n");
    EXPECT_EQ(srq, (std::vector<int>{0x60, 0x60, 0x60}));
    EXPECT_EQ(send(generator, "*CLS;*STB?"), "0\n");
    EXPECT_FALSE(generator.status().service_requested()) << "*CLS withdraws it";
    EXPECT_EQ(generator.execute("*OPC?\n*STB?\n"), "1\n16\n")
        << "the first message's answer waits when the second runs";

    // The error queue bit follows the queue; with it enabled, an error
    // requests service.
    EXPECT_EQ(send(generator, "*ESE 32;*SRE 4;BOGUS;*STB?;SYST:ERR?;*STB?"),
              "100;-113,\"Undefined header\";48\n");
    EXPECT_EQ(srq.back(), 0x64);
    EXPECT_FALSE(generator.status().service_requested()) << "the queue read empty";

    EXPECT_EQ(send(generator, "*TRG;*WAI;*OPC?"), "1\n");
    EXPECT_EQ(send(generator, "*TRG 1;SYST:ERR?"), "-108,\"Parameter not allowed\"\n");
    EXPECT_EQ(generator.triggers(), 1u) << "a refused *TRG triggers nothing";
}

}  // namespace
