// Whatever bytes reach the generator, it answers with errors in its queue,
// stays bounded and keeps working: representative hostile inputs.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "scpi/error_queue.h"
#include "scpi/signal_generator.h"

namespace {

using sgsim::SignalGenerator;

std::string send(SignalGenerator& generator, std::string_view command) {
    return generator.execute(std::string(command) + "\n");
}

// The generator still answers properly after `input`, and `input` left at
// least one error in the queue.
void expect_error_then_healthy(SignalGenerator& generator, std::string_view input) {
    EXPECT_NE(send(generator, "SYST:ERR?"), "0,\"No error\"\n");
    send(generator, "*CLS");
    EXPECT_EQ(send(generator, "FREQ 2 GHz;FREQ?"), "2000000000\n");
    EXPECT_EQ(send(generator, "SYST:ERR?"), "0,\"No error\"\n") << input.size();
}

TEST(InstrumentRobustness, ControlBytesAndNulGiveAnError) {
    for (std::string_view input :
         {std::string_view("\0", 1), std::string_view("\0\0\0\n", 4), std::string_view("\x01"),
          std::string_view("\x1b[A"), std::string_view("FREQ\x00 1", 7),
          std::string_view("*IDN?\x04"), std::string_view("\xff\xfe"), std::string_view("\x80")}) {
        SignalGenerator generator;
        EXPECT_EQ(generator.execute(input), "");
        expect_error_then_healthy(generator, input);
    }
}

TEST(InstrumentRobustness, AMegabyteOfGarbageIsBoundedAndHarmless) {
    std::mt19937 random(12345);  // fixed seed: the same bytes every run
    std::string garbage(1 << 20, '\0');
    for (char& c : garbage) {
        c = static_cast<char>(random() & 0xff);
    }
    SignalGenerator generator;
    const std::string response = generator.execute(garbage);
    EXPECT_LE(response.size(), SignalGenerator::kMaxResponseBytes);
    expect_error_then_healthy(generator, garbage);

    // One long mnemonic, one long number, one long string.
    for (const std::string& input : {std::string(1 << 20, 'A'), "FREQ " + std::string(1 << 20, '9'),
                                     "FREQ \"" + std::string(1 << 20, 'x'),
                                     std::string(1 << 20, ';'), std::string(1 << 20, ':')}) {
        SignalGenerator fresh;
        EXPECT_EQ(fresh.execute(input), "");
        expect_error_then_healthy(fresh, input);
    }
}

TEST(InstrumentRobustness, ResponsesToManyQueriesStayBounded) {
    std::string many;
    while (many.size() < (1 << 20)) {
        many += "*IDN?;";
    }
    SignalGenerator generator;
    const std::string response = generator.execute(many + "\n");
    EXPECT_LE(response.size(), SignalGenerator::kMaxResponseBytes);
    EXPECT_GT(response.size(), SignalGenerator::kMaxResponseBytes / 2);
    EXPECT_EQ(response.back(), '\n');
    EXPECT_EQ(send(generator, "SYST:ERR?"), "-225,\"Out of memory\"\n");
}

TEST(InstrumentRobustness, ManyLinefeedsAndManyErrorsKeepTheQueueBounded) {
    SignalGenerator generator;
    std::string input;
    for (int i = 0; i < 100000; ++i) {
        input += "BOGUS\n\n";
    }
    EXPECT_EQ(generator.execute(input), "");
    std::size_t entries = 0;
    while (send(generator, "SYST:ERR?") != "0,\"No error\"\n") {
        ASSERT_LE(++entries, sgsim::ErrorQueue::kDefaultCapacity);
    }
    EXPECT_EQ(entries, sgsim::ErrorQueue::kDefaultCapacity);
}

}  // namespace
