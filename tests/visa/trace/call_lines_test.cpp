// The trace's call lines: their form, what they show of the arguments
// (never more than the caller's memory holds, whatever it passes), whole
// lines under threads and across fork.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "trace_file.h"
#include "visa_fixture.h"

namespace sgtest {
namespace {

// sgvisa <us>us pid P tid T op(args) -> NAME (0xHEX) <us>us[: reason]
const std::regex kCallLine(
    R"(sgvisa +-?\d+us pid (\d+) tid (\d+) (vi\w+)\((.*)\) -> ([A-Z_]+) \(0x[0-9A-F]{8}\) \d+us(: .+)?)");

class CallLinesTest : public VisaTest {
  protected:
    TraceFile trace_;
};

TEST_F(CallLinesTest, EachCallIsOneLineWithItsArgumentsStatusAndDuration) {
    ASSERT_TRUE(trace_.ok());
    instrument().answer("*IDN?\n", "Maker,Model,SN1234,1.0\n");
    const ViSession vi = open_instrument();
    ViUInt32 count = 0;
    ASSERT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>("*IDN?\n"), 6, &count), VI_SUCCESS);
    char reply[64] = {};
    ASSERT_EQ(viRead(vi, reinterpret_cast<ViPBuf>(reply), sizeof reply, &count), VI_SUCCESS);
    ASSERT_EQ(viClose(vi), VI_SUCCESS);

    // The fixture's viOpenDefaultRM comes first.
    const auto lines = trace_.lines();
    ASSERT_EQ(lines.size(), 5u) << trace_.text();
    std::smatch m;
    for (const std::string& line : lines) {
        ASSERT_TRUE(std::regex_match(line, m, kCallLine)) << line;
        EXPECT_EQ(m[1], std::to_string(getpid()));
        EXPECT_EQ(m[5], "VI_SUCCESS");
    }
    EXPECT_NE(lines[1].find("viOpen(sesn=0x"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("rsrcName=\"" + instrument().resource_name() + "\""), std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find("buf=6:\"*IDN?\\n\", cnt=6, retCnt=6"), std::string::npos) << lines[2];
    // What the read stored, as far as it stored it.
    EXPECT_NE(lines[3].find("buf=23:\"Maker,Model,SN1234,1.0\\n\", cnt=64, retCnt=23"),
              std::string::npos)
        << lines[3];
    // The time since the first line grows.
    std::regex_search(lines[0], m, std::regex(R"(sgvisa +(\d+)us)"));
    const long first = std::stol(m[1]);
    std::regex_search(lines[4], m, std::regex(R"(sgvisa +(\d+)us)"));
    EXPECT_GT(std::stol(m[1]), first);
}

TEST_F(CallLinesTest, BadArgumentsAreShownWithoutReadingPastWhatTheCallerGave) {
    const ViSession vi = open_instrument();
    // Null buffers with huge counts, null outputs, null strings.
    EXPECT_EQ(viWrite(vi, nullptr, 4000000000u, nullptr), VI_ERROR_USER_BUF);
    EXPECT_EQ(viRead(vi, nullptr, 4000000000u, nullptr), VI_ERROR_USER_BUF);
    EXPECT_NE(viOpen(rm(), nullptr, VI_NULL, 0, nullptr), VI_SUCCESS);
    EXPECT_NE(viFindRsrc(rm(), nullptr, nullptr, nullptr, nullptr), VI_SUCCESS);
    EXPECT_NE(viStatusDesc(vi, VI_ERROR_TMO, nullptr), VI_SUCCESS);
    EXPECT_NE(viLock(vi, 12345, 0, nullptr, nullptr), VI_SUCCESS);
    // A large buffer: only the first bytes are shown.
    const std::string big(100000, 'A');
    ViUInt32 count = 0;
    EXPECT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>(big.data()), 100000, &count), VI_SUCCESS);
    // An output string the call did not fill is not read (it may be garbage).
    ViChar desc[VI_FIND_BUFLEN];
    std::memset(desc, 'x', sizeof desc);  // not terminated
    ViFindList list = VI_NULL;
    EXPECT_NE(viFindRsrc(rm(), "ASRL99::INSTR", &list, &count, desc), VI_SUCCESS);
    viClose(vi);

    const std::string text = trace_.text();
    EXPECT_NE(text.find("viWrite(vi=0x"), std::string::npos);
    EXPECT_NE(text.find("buf=4000000000:NULL, cnt=4000000000, retCnt=NULL) -> VI_ERROR_USER_BUF"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("rsrcName=NULL"), std::string::npos) << text;
    EXPECT_NE(text.find("expr=NULL"), std::string::npos) << text;
    EXPECT_NE(text.find("desc=NULL"), std::string::npos) << text;
    EXPECT_NE(text.find("requestedKey=NULL, accessKey=NULL"), std::string::npos) << text;
    EXPECT_NE(text.find("buf=100000:\"" + std::string(48, 'A') + "\"...,"), std::string::npos)
        << text;
    EXPECT_NE(text.find("desc=(not set)"), std::string::npos) << text;
    for (const std::string& line : trace_.lines())
        EXPECT_TRUE(std::regex_match(line, kCallLine)) << line;
}

TEST_F(CallLinesTest, AFormattedCallIsOneLineNotTwo) {
    const ViSession vi = open_instrument();
    ASSERT_EQ(viPrintf(vi, const_cast<ViString>("FREQ %d\n"), 5), VI_SUCCESS);
    viClose(vi);
    EXPECT_EQ(trace_.lines_of("viPrintf").size(), 1u) << trace_.text();
    EXPECT_TRUE(trace_.lines_of("viVPrintf").empty()) << trace_.text();
    EXPECT_NE(trace_.text().find("writeFmt=\"FREQ %d\\n\""), std::string::npos);
}

// Threads that trace at once: every line is whole, and each thread's lines
// are its own (its tid, its payload).
TEST_F(CallLinesTest, LinesOfThreadsNeverInterleave) {
    constexpr int kThreads = 8;
    constexpr int kCalls = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            // Long names (each line several hundred bytes) make a torn write likely if
            // a line went out in pieces.
            const std::string name = "USB0::0x4d19::0x0040::T" + std::to_string(t) + "-" +
                                     std::string(200, static_cast<char>('a' + t)) + "::INSTR";
            ViUInt16 type = 0;
            ViUInt16 number = 0;
            for (int i = 0; i < kCalls; ++i)
                viParseRsrc(VI_NULL, name.c_str(), &type, &number);
        });
    }
    for (auto& th : threads)
        th.join();
    std::map<std::string, std::set<char>> payload_of_tid;
    std::smatch m;
    int count = 0;
    for (const std::string& line : trace_.lines_of("viParseRsrc")) {
        ASSERT_TRUE(std::regex_match(line, m, kCallLine)) << line;
        const std::size_t at = line.find("::T");
        ASSERT_NE(at, std::string::npos) << line;
        const char letter = line[line.find('-', at) + 1];
        EXPECT_EQ(line.find(std::string(200, letter)) != std::string::npos, true) << line;
        payload_of_tid[m[2]].insert(letter);
        ++count;
    }
    EXPECT_EQ(count, kThreads * kCalls);
    EXPECT_EQ(payload_of_tid.size(), static_cast<std::size_t>(kThreads));
    for (const auto& [tid, letters] : payload_of_tid)
        EXPECT_EQ(letters.size(), 1u) << "thread " << tid << " wrote another thread's line";
}

TEST_F(CallLinesTest, AChildAfterForkTracesIntoTheSameFileOnTheSameClock) {
    ViUInt16 type = 0;
    ViUInt16 number = 0;
    viParseRsrc(VI_NULL, "USB0::1::2::PARENT::INSTR", &type, &number);
    const pid_t child = fork();
    if (child == 0) {
        for (int i = 0; i < 50; ++i)
            viParseRsrc(VI_NULL, "USB0::1::2::CHILD::INSTR", &type, &number);
        _exit(0);
    }
    for (int i = 0; i < 50; ++i)
        viParseRsrc(VI_NULL, "USB0::1::2::PARENT::INSTR", &type, &number);
    ASSERT_EQ(wait_for_exit(child, std::chrono::milliseconds(10000)), 0);

    int parent_lines = 0;
    int child_lines = 0;
    long before_fork_us = -1;
    std::smatch m;
    for (const std::string& line : trace_.lines_of("viParseRsrc")) {
        ASSERT_TRUE(std::regex_match(line, m, kCallLine)) << line;
        const bool from_child = line.find("CHILD") != std::string::npos;
        EXPECT_EQ(m[1], std::to_string(from_child ? child : getpid())) << line;
        const long us = std::stol(line.substr(6));
        if (before_fork_us < 0) {
            before_fork_us = us;
        } else if (from_child) {
            EXPECT_GE(us, before_fork_us) << "the child's clock started over: " << line;
        }
        (from_child ? child_lines : parent_lines)++;
    }
    EXPECT_EQ(parent_lines, 51);
    EXPECT_EQ(child_lines, 50);
}

}  // namespace
}  // namespace sgtest
