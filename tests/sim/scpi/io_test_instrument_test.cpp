// The I/O test instrument: RECEIVE keeps what follows byte for byte, SEND
// gives it back; the common commands and the error queue are the generator's.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "scpi/io_test_instrument.h"
#include "scpi/signal_generator.h"

namespace {

using sgsim::IoTestInstrument;
constexpr std::string_view kNoError = "0,\"No error\"\n";

TEST(IoTestInstrument, ReceiveKeepsMessagesByteForByteUntilOneEndsInALinefeed) {
    IoTestInstrument io;
    std::string kept = "*IDN?;BOGUS\n";  // kept, not run: no answer, no error
    for (int b = 0; b < 256; ++b)
        kept.push_back(static_cast<char>(b));
    kept += '\n';
    EXPECT_EQ(io.execute("RECEIVE\n"), "");
    EXPECT_EQ(io.execute(kept), "");
    EXPECT_EQ(io.execute("SEND\n"), kept);
    EXPECT_EQ(io.execute("SEND\n"), "") << "sent once, then forgotten";

    // What follows RECEIVE in its own message is kept; a message that ends in
    // another byte goes on with the next one.
    EXPECT_EQ(io.execute("*OPC?;receive\ntest\r\r"), "1\n");
    EXPECT_EQ(io.execute("SEND"), "");
    EXPECT_EQ(io.execute("\n"), "");
    EXPECT_EQ(io.execute("SEND\n"), "test\r\rSEND\n");
    EXPECT_EQ(io.execute("SYST:ERR?\n"), kNoError);

    // A device clear and *RST forget the kept bytes and end a RECEIVE.
    io.execute("RECEIVE\nhalf");
    EXPECT_EQ(io.describe_settings(), "Kept bytes: 4\nReceiving: yes\nTriggers: 0\n");
    io.clear();
    EXPECT_EQ(io.execute("*OPC?\n"), "1\n");
    io.execute("RECEIVE\nkept\n");
    io.execute("*RST\n");
    EXPECT_EQ(io.execute("SEND\n"), "");
}

TEST(IoTestInstrument, SendBlockAnswersTheKeptBytesAsADefiniteLengthBlock) {
    IoTestInstrument io;
    const std::string mebibyte(std::size_t{1} << 20, '\n');
    io.execute("RECEIVE\n");
    io.execute(mebibyte);
    EXPECT_EQ(io.execute("*OPC?;SENDBLOCK\n"), "1\n#71048576" + mebibyte + "\n");
    EXPECT_EQ(io.execute("SENDBLOCK\n"), "#10\n") << "sent once, then an empty block";
    EXPECT_EQ(io.execute("SYST:ERR?\n"), kNoError);
}

TEST(IoTestInstrument, KeepsAtMostOneMebibytePerReceive) {
    IoTestInstrument io;
    const std::size_t max = IoTestInstrument::kMaxKeptBytes;
    io.execute("RECEIVE\n");
    io.execute(std::string(max - 1, 'a'));
    io.execute("bc");  // 'b' fills the last byte
    io.execute("\n");  // dropped, but it ends the RECEIVE
    const std::string sent = io.execute("SEND\n");
    EXPECT_EQ(sent.size(), max);
    EXPECT_EQ(sent.substr(max - 2), "ab");
    EXPECT_EQ(io.execute("SYST:ERR?;:SYST:ERR?\n"), "-223,\"Too much data\";0,\"No error\"\n");

    io.execute("RECEIVE\n");
    const std::string full(max - 1, 'f');
    io.execute(full + "\n");
    EXPECT_EQ(io.execute("SEND\n"), full + "\n");
    EXPECT_EQ(io.execute("SYST:ERR?\n"), kNoError);
}

TEST(IoTestInstrument, CommonCommandsAnswerAsTheGeneratorsOthersAreErrors) {
    IoTestInstrument io({"IOT-7", std::nullopt, false});
    EXPECT_EQ(io.execute("*IDN?\n"), "Simulated Signal Sources,IO-TEST,IOT-7,1.0\n");
    sgsim::SignalGenerator generator;
    for (const std::string_view command :
         {"*ESR?",       "*STB?",     "BOGUS", "*ESE 36",     "*SRE 255",  "*ESE?;*SRE?;*STB?",
          "*ESR?",       "*OPC",      "*ESR?", "*OPC?;*TST?", "*WAI",      "*ESE 256",
          "*SRE",        "*IDN? 1",   "*RST?", "*FOO",        "SYST:ERR?", "SYSTEM:ERROR:NEXT?",
          "SYST:ERR? 1", "SYST:ERR?", "*CLS",  "*ESR?;*STB?", "SYST:ERR?"}) {
        const std::string message = std::string(command) + "\n";
        EXPECT_EQ(io.execute(message), generator.execute(message)) << command;
    }
    for (const std::string_view command : {"FREQ 1 GHz", "RECEIVE?", "RECEIVE 5", "SEND ALL"}) {
        EXPECT_EQ(io.execute(std::string(command) + "\n"), "") << command;
        EXPECT_FALSE(io.receiving()) << command;
    }
    EXPECT_EQ(io.execute("SYST:ERR?;ERR?;ERR?;ERR?\n"),
              "-113,\"Undefined header\";-113,\"Undefined header\";"
              "-108,\"Parameter not allowed\";-108,\"Parameter not allowed\"\n");
}

}  // namespace
