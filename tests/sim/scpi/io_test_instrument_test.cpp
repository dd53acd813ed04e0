// The I/O test instrument (sgsim --io-test): RECEIVE keeps what follows byte
// for byte, SEND gives it back; the common commands and the error queue are
// the generator's.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "io_test_instrument.h"
#include "signal_generator.h"

namespace {

using sgsim::IoTestInstrument;

constexpr std::string_view kNoError = "0,\"No error\"\n";

// Every byte value once, with linefeeds inside, then a final linefeed.
std::string every_byte_then_linefeed() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) {
        bytes.push_back(static_cast<char>(b));
    }
    bytes += '\n';
    return bytes;
}

TEST(IoTestReceiveSend, KeepsMessagesUnexecutedAndSendsThemBackOnce) {
    IoTestInstrument io;
    EXPECT_EQ(io.execute("RECEIVE\n"), "");
    EXPECT_TRUE(io.receiving());
    // Commands among the kept bytes are not run: no answer, no error.
    EXPECT_EQ(io.execute("*IDN?;BOGUS\n"), "");
    EXPECT_FALSE(io.receiving());
    EXPECT_EQ(io.execute("SEND\n"), "*IDN?;BOGUS\n");
    EXPECT_EQ(io.execute("SEND\n"), "") << "sent once, then forgotten";
    EXPECT_EQ(io.execute("SYST:ERR?\n"), kNoError);

    // Any case; a new RECEIVE forgets what the last one kept.
    EXPECT_EQ(io.execute("receive\n"), "");
    EXPECT_EQ(io.execute("first\n"), "");
    EXPECT_EQ(io.execute("Receive\n"), "");
    EXPECT_EQ(io.execute("second\n"), "");
    EXPECT_EQ(io.execute("send\n"), "second\n");
}

TEST(IoTestReceiveSend, BinaryBytesComeBackExactly) {
    IoTestInstrument io;
    const std::string binary = every_byte_then_linefeed();
    io.execute("RECEIVE\n");
    EXPECT_EQ(io.execute(binary), "");
    EXPECT_FALSE(io.receiving()) << "the message's last byte was a linefeed";
    const std::string sent = io.execute("SEND\n");
    EXPECT_EQ(sent.size(), binary.size());
    EXPECT_EQ(sent, binary);

    // An IEEE 488.2 definite block with a linefeed and NULs in its data.
    const std::string block("#212\x01\x00\n\x00\x03\x00\x04\x00\x05\x00\x06\x00\n", 17);
    io.execute("RECEIVE\n");
    io.execute(block);
    EXPECT_EQ(io.execute("SEND\n"), block);
}

TEST(IoTestReceiveSend, AMessageEndingInAnotherByteGoesOnWithTheNext) {
    IoTestInstrument io;
    io.execute("RECEIVE\n");
    io.execute("test\r\r");
    EXPECT_TRUE(io.receiving());
    io.execute("\n");
    EXPECT_FALSE(io.receiving());
    EXPECT_EQ(io.execute("SEND\n"), "test\r\r\n");

    // A block without its linefeed, then the linefeed alone.
    const std::string block("#212\x00\x01\x00\x02\x00\x03\x00\x04\x00\x05\x00\x06", 16);
    io.execute("RECEIVE\n");
    EXPECT_EQ(io.execute(block), "");
    EXPECT_EQ(io.execute("SEND"), "") << "kept, not run: no linefeed yet";
    EXPECT_TRUE(io.receiving());
    io.execute("\n");
    EXPECT_EQ(io.execute("SEND\n"), block + "SEND\n");
}

TEST(IoTestReceiveSend, BytesAfterReceiveInTheSameMessageAreKept) {
    IoTestInstrument io;
    EXPECT_EQ(io.execute("*OPC?;RECEIVE\nabc\n"), "1\n");
    EXPECT_FALSE(io.receiving());
    EXPECT_EQ(io.execute("SEND\n"), "abc\n");

    io.execute("RECEIVE\nabc");
    EXPECT_TRUE(io.receiving());
    io.execute("def\n");
    EXPECT_EQ(io.execute("SEND\n"), "abcdef\n");

    // RECEIVE ended by END alone: receiving starts with the next message.
    io.execute("RECEIVE");
    EXPECT_TRUE(io.receiving());
    io.execute("x\n");
    EXPECT_EQ(io.execute("SEND"), "x\n");
}

TEST(IoTestReceiveSend, SendFollowsTheAnswersOfItsMessageWithoutATerminator) {
    IoTestInstrument io;
    io.execute("RECEIVE\n");
    io.execute("abc");
    io.execute("\n");
    EXPECT_EQ(io.execute("*OPC?;SEND\n"), "1\nabc\n");

    IoTestInstrument bare({"SIM001", std::nullopt, true});
    bare.execute("RECEIVE\n");
    bare.execute("a;b\n");
    EXPECT_EQ(bare.execute("*OPC?;SEND\n"), "1a;b\n");
    EXPECT_EQ(bare.execute("*OPC?"), "1");
}

TEST(IoTestReceiveSend, KeptBytesAreBoundedAtOneMebibyte) {
    IoTestInstrument io;
    io.execute("RECEIVE\n");
    const std::string half(IoTestInstrument::kMaxKeptBytes / 2, 'h');
    io.execute(half);
    io.execute(std::string(IoTestInstrument::kMaxKeptBytes / 2 - 1, 'i'));
    EXPECT_EQ(io.execute("jk"), "");  // one byte fits, one is dropped
    io.execute(std::string(1000, 'l'));
    EXPECT_TRUE(io.receiving());
    io.execute("\n");  // dropped too, but it ends the message
    EXPECT_FALSE(io.receiving());

    const std::string sent = io.execute("SEND\n");
    ASSERT_EQ(sent.size(), IoTestInstrument::kMaxKeptBytes);
    EXPECT_EQ(sent.substr(0, half.size()), half);
    EXPECT_EQ(sent.back(), 'j');
    EXPECT_EQ(io.execute("SYST:ERR?\n"), "-223,\"Too much data\"\n");
    EXPECT_EQ(io.execute("SYST:ERR?\n"), kNoError) << "reported once per RECEIVE";

    // The bound is per RECEIVE: after SEND a full mebibyte fits again.
    io.execute("RECEIVE\n");
    const std::string full(IoTestInstrument::kMaxKeptBytes - 1, 'm');
    io.execute(full + "\n");
    EXPECT_EQ(io.execute("SEND\n"), full + "\n");
    EXPECT_EQ(io.execute("SYST:ERR?\n"), kNoError);
}

TEST(IoTestReceiveSend, ResetAndDeviceClearForgetTheKeptBytesAndEndAReceive) {
    IoTestInstrument io;
    io.execute("RECEIVE\n");
    io.execute("partial");
    EXPECT_EQ(io.describe_settings(), "Kept bytes: 7\nReceiving: yes\n");
    io.clear();
    EXPECT_FALSE(io.receiving());
    EXPECT_EQ(io.describe_settings(), "Kept bytes: 0\nReceiving: no\n");
    EXPECT_EQ(io.execute("*OPC?\n"), "1\n") << "commands run again";
    EXPECT_EQ(io.execute("SEND\n"), "");

    io.execute("RECEIVE\n");
    io.execute("kept\n");
    io.execute("*RST\n");
    EXPECT_EQ(io.execute("SEND\n"), "");
    EXPECT_EQ(io.execute("SYST:ERR?\n"), kNoError);
}

TEST(IoTestCommands, IdentificationIsItsOwn) {
    EXPECT_EQ(IoTestInstrument().execute("*IDN?\n"),
              "Simulated Signal Sources,IO-TEST,SIM001,1.0\n");
    IoTestInstrument serial({"IOT-7", std::nullopt, false});
    EXPECT_EQ(serial.execute("*idn?"), "Simulated Signal Sources,IO-TEST,IOT-7,1.0\n");
    EXPECT_EQ(serial.identification(), "Simulated Signal Sources,IO-TEST,IOT-7,1.0");
    IoTestInstrument told({"IOT-7", "Other,Name,1,2", false});
    EXPECT_EQ(told.execute("*IDN?\n"), "Other,Name,1,2\n");
}

TEST(IoTestCommands, CommonCommandsAndTheErrorQueueAnswerAsTheGenerators) {
    // The same dialogue, command by command, to both instruments.
    const std::vector<std::string_view> dialogue{
        "*ESR?",     "*ESR?",          "*STB?",     "BOGUS",         "*STB?",       "*ESE 36",
        "*ESE?",     "*STB?",          "*SRE 255",  "*SRE?",         "*STB?",       "*ESR?",
        "*OPC",      "*ESR?",          "*OPC?",     "*WAI",          "*TST?",       "*ESE 256",
        "*ESE ON",   "*SRE",           "*IDN? 1",   "*RST?",         "*CLS 1",      "*FOO",
        "SYST:ERR?", "SYST:ERR:NEXT?", "syst:err?", "SYSTem:ERRor?", "SYST:ERR? 1", "*OPC?;*TST?",
        "*CLS",      "*ESR?;*STB?",    "SYST:ERR?",
    };
    IoTestInstrument io;
    sgsim::SignalGenerator generator;
    for (const std::string_view command : dialogue) {
        const std::string message = std::string(command) + "\n";
        EXPECT_EQ(io.execute(message), generator.execute(message)) << command;
    }

    // A few of the answers spelled out, so that both cannot be wrong alike.
    IoTestInstrument fresh;
    EXPECT_EQ(fresh.execute("*ESR?\n"), "128\n") << "power on";
    fresh.execute("BOGUS\n");
    EXPECT_EQ(fresh.execute("*ESE 32;*SRE 32;*STB?\n"), "100\n");
    EXPECT_EQ(fresh.execute("SYST:ERR?\n"), "-113,\"Undefined header\"\n");
    fresh.execute("*CLS\n");
    EXPECT_EQ(fresh.execute("*STB?;*ESE?;*SRE?\n"), "0;32;32\n");
}

TEST(IoTestCommands, OtherCommandsAreErrorsAndStartNothing) {
    IoTestInstrument io;
    const std::vector<std::pair<std::string_view, std::string_view>> cases{
        {"FREQ 1 GHz", "-113,\"Undefined header\"\n"},
        {"RECEIVE?", "-113,\"Undefined header\"\n"},
        {"SEND?", "-113,\"Undefined header\"\n"},
        {"RECEIVE 5", "-108,\"Parameter not allowed\"\n"},
        {"SEND ALL", "-108,\"Parameter not allowed\"\n"},
        {"RECEIV", "-113,\"Undefined header\"\n"},
        {"SYST:VERS?", "-113,\"Undefined header\"\n"},
    };
    for (const auto& [command, error] : cases) {
        SCOPED_TRACE(std::string(command));
        EXPECT_EQ(io.execute(std::string(command) + "\n"), "");
        EXPECT_FALSE(io.receiving());
        EXPECT_EQ(io.execute("SYST:ERR?\n"), error);
        EXPECT_EQ(io.execute("SYST:ERR?\n"), kNoError);
    }
}

}  // namespace
