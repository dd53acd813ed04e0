// The generator's error queue and IEEE 488.2 status registers as a host sees
// them: SYSTem:ERRor?, *CLS, *ESR?, *ESE, *STB?, *SRE, *OPC.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "scpi/error_queue.h"
#include "scpi/signal_generator.h"

namespace {

using sgsim::ErrorQueue;
using sgsim::SignalGenerator;

std::string send(SignalGenerator& generator, std::string_view command) {
    return generator.execute(std::string(command) + "\n");
}

TEST(InstrumentErrorQueue, ReportsOldestFirstThenNoError) {
    SignalGenerator generator;
    send(generator, "BOGUS");
    send(generator, "FREQ 1 THz");
    send(generator, "FREQ 1 Hz");
    EXPECT_EQ(send(generator, "SYST:ERR?"), "-113,\"Undefined header\"\n");
    EXPECT_EQ(send(generator, "SYSTEM:ERROR:NEXT?"), "-131,\"Invalid suffix\"\n");
    EXPECT_EQ(send(generator, "syst:err:next?"), "-222,\"Data out of range\"\n");
    EXPECT_EQ(send(generator, "SYST:ERR?"), "0,\"No error\"\n");
    EXPECT_EQ(send(generator, "SYST:ERR?"), "0,\"No error\"\n");
}

TEST(InstrumentErrorQueue, OverflowKeepsTheOldestAndEndsWithQueueOverflow) {
    SignalGenerator generator;
    send(generator, "FREQ 1 Hz");  // -222 first
    for (std::size_t i = 0; i < ErrorQueue::kDefaultCapacity + 5; ++i) {
        send(generator, "BOGUS");  // -113
    }
    EXPECT_EQ(send(generator, "SYST:ERR?"), "-222,\"Data out of range\"\n");
    for (std::size_t i = 1; i < ErrorQueue::kDefaultCapacity - 1; ++i) {
        ASSERT_EQ(send(generator, "SYST:ERR?"), "-113,\"Undefined header\"\n") << i;
    }
    EXPECT_EQ(send(generator, "SYST:ERR?"), "-350,\"Queue overflow\"\n");
    EXPECT_EQ(send(generator, "SYST:ERR?"), "0,\"No error\"\n");
}

TEST(InstrumentErrorQueue, QueueAloneIsBoundedFifo) {
    ErrorQueue queue(3);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.pop().code, 0);
    queue.push(0);  // "no error" is never queued
    EXPECT_TRUE(queue.empty());
    queue.push(-100);
    queue.push(-102);
    queue.push(-222);
    queue.push(-113);
    queue.push(-109);
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_EQ(queue.pop().code, -100);
    EXPECT_EQ(queue.pop().code, -102);
    const sgsim::ErrorEntry last = queue.pop();
    EXPECT_EQ(last.code, -350);
    EXPECT_EQ(sgsim::format_error(last), "-350,\"Queue overflow\"");
    // Room again after reading: new errors are kept.
    queue.push(-224);
    EXPECT_EQ(sgsim::format_error(queue.pop()), "-224,\"Illegal parameter value\"");
    EXPECT_EQ(sgsim::format_error(queue.pop()), "0,\"No error\"");

    ErrorQueue tiny(0);
    EXPECT_EQ(tiny.capacity(), 2u);
}

TEST(InstrumentStatus, ClsEmptiesTheQueueAndTheEventRegister) {
    SignalGenerator generator;
    send(generator, "BOGUS");
    send(generator, "FREQ 1 Hz");
    send(generator, "*CLS");
    EXPECT_EQ(send(generator, "SYST:ERR?"), "0,\"No error\"\n");
    EXPECT_EQ(send(generator, "*ESR?"), "0\n");
    EXPECT_EQ(send(generator, "*STB?"), "0\n");
}

TEST(InstrumentStatus, EventRegisterBitsFollowTheErrorClassesAndClearOnRead) {
    SignalGenerator generator;
    EXPECT_EQ(send(generator, "*ESR?"), "128\n");  // power on
    EXPECT_EQ(send(generator, "*ESR?"), "0\n");
    send(generator, "BOGUS");
    EXPECT_EQ(send(generator, "*ESR?"), "32\n");  // command error
    send(generator, "FREQ 1 Hz");
    EXPECT_EQ(send(generator, "*ESR?"), "16\n");  // execution error
    send(generator, "BOGUS");
    send(generator, "FREQ 1 Hz");
    send(generator, "*OPC");
    EXPECT_EQ(send(generator, "*ESR?"), "49\n");  // both, and operation complete
    EXPECT_EQ(send(generator, "*ESR?"), "0\n");
    // Reading the event register leaves the error queue alone.
    EXPECT_EQ(send(generator, "SYST:ERR?"), "-113,\"Undefined header\"\n");
}

TEST(InstrumentStatus, StatusByteShowsQueueSummaryAndEnabledEvents) {
    SignalGenerator generator;
    send(generator, "*CLS");
    EXPECT_EQ(send(generator, "*STB?"), "0\n");
    send(generator, "BOGUS");
    EXPECT_EQ(send(generator, "*STB?"), "4\n");  // error queue not empty
    send(generator, "*ESE 32");
    EXPECT_EQ(send(generator, "*ESE?"), "32\n");
    EXPECT_EQ(send(generator, "*STB?"), "36\n");  // and the enabled command error
    send(generator, "*SRE 36");
    EXPECT_EQ(send(generator, "*SRE?"), "36\n");
    EXPECT_EQ(send(generator, "*STB?"), "100\n");  // and the summary of the enabled bits
    EXPECT_EQ(send(generator, "*STB?"), "100\n");  // reading the status byte clears nothing
    send(generator, "SYST:ERR?");
    send(generator, "*ESR?");
    EXPECT_EQ(send(generator, "*STB?"), "0\n");
    // *RST changes the settings, not the status reporting.
    send(generator, "*RST");
    EXPECT_EQ(send(generator, "*ESE?;*SRE?"), "32;36\n");
}

TEST(InstrumentStatus, EnableRegistersTakeOnlyBytes) {
    SignalGenerator generator;
    send(generator, "*CLS");
    send(generator, "*ESE 256");
    EXPECT_EQ(send(generator, "SYST:ERR?"), "-222,\"Data out of range\"\n");
    send(generator, "*SRE -1");
    EXPECT_EQ(send(generator, "SYST:ERR?"), "-222,\"Data out of range\"\n");
    send(generator, "*ESE ON");
    EXPECT_EQ(send(generator, "SYST:ERR?"), "-104,\"Data type error\"\n");
    send(generator, "*ESE");
    EXPECT_EQ(send(generator, "SYST:ERR?"), "-109,\"Missing parameter\"\n");
    EXPECT_EQ(send(generator, "*ESE?;*SRE?"), "0;0\n");
    send(generator, "*SRE 255");  // bit 6 cannot be enabled
    EXPECT_EQ(send(generator, "*SRE?"), "191\n");
}

TEST(InstrumentStatus, OperationCompleteAndSelfTest) {
    SignalGenerator generator;
    EXPECT_EQ(send(generator, "*OPC?"), "1\n");
    EXPECT_EQ(send(generator, "*TST?"), "0\n");
    EXPECT_EQ(send(generator, "*WAI"), "");
    EXPECT_EQ(send(generator, "SYST:ERR?"), "0,\"No error\"\n");
}

}  // namespace
