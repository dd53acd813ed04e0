// The built sgdemo with the library's trace on (SGVISA_TRACE), end to end:
// the program's transcript and commands stay byte for byte what they are
// without it; the trace has every call of the run, and a failed open's line
// says why; a trace file that cannot be opened costs one message.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "expected_dialogue.h"
#include "pty_session.h"
#include "sim_process.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using namespace sgtest::dialogue;
using sgtest::PtySession;

const std::string kProgram = SG_BIN_DIR "/sgdemo";
constexpr auto kBound = 20s;
const std::string kFailedTail = "Connection error!\r\npress any key to exit...\r\n";

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> lines_of(const std::string& text, const std::string& op) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(" " + op + "(") != std::string::npos)
            out.push_back(line);
    return out;
}

class TracedRun : public ::testing::Test {
  protected:
    void SetUp() override {
        runtime_dir_ = runtime_.make_subdir("run");
        trace_path_ = runtime_.path() + "/trace.txt";
    }
    std::unique_ptr<PtySession> start_demo(const std::string& trace_target) {
        sgtest::PtyOptions options;
        options.env = {{"XDG_RUNTIME_DIR", runtime_dir_}, {"SGVISA_TRACE", trace_target}};
        auto s = std::make_unique<PtySession>(kProgram, options);
        EXPECT_TRUE(s->started()) << s->error();
        EXPECT_TRUE(s->wait_for("Enter serial number: ", kBound)) << s->output();
        return s;
    }
    int fail_open(PtySession& s) {
        EXPECT_TRUE(s.send("ABC123\r"));
        EXPECT_TRUE(s.wait_for(kFailedTail, kBound)) << s.output();
        EXPECT_TRUE(s.wait_for_flow_control(false, kBound));
        EXPECT_TRUE(s.send("k"));
        return s.wait_exit(kBound);
    }

    sgtest::TempDir runtime_;
    std::string runtime_dir_;
    std::string trace_path_;
};

TEST_F(TracedRun, EveryCallIsTracedAndTheProgramDoesNotChange) {
    sgtest::SimProcess sim(runtime_dir_, "SIM001");
    ASSERT_TRUE(sim.ready()) << sim.ready_line();
    auto s = start_demo(trace_path_);
    EXPECT_TRUE(s->send("SIM001\r"));
    EXPECT_TRUE(s->wait_for(kPause, kBound)) << s->output();
    EXPECT_TRUE(s->wait_for_flow_control(false, kBound));
    EXPECT_TRUE(s->send("k"));
    EXPECT_TRUE(s->wait_for(kExit, kBound)) << s->output();
    EXPECT_TRUE(s->wait_for_flow_control(false, kBound));
    EXPECT_TRUE(s->send("k"));
    const pid_t pid = s->pid();
    EXPECT_EQ(s->wait_exit(kBound), 0);
    EXPECT_EQ(s->output(),
              kConnect + rf_phase(kIdn + "\r\n", kNoError + "\r\n") + kPause + kLfPhase + kExit);
    EXPECT_EQ(sim.received(), kAllCommands);

    const std::string trace = read_file(trace_path_);
    const std::string who = " pid " + std::to_string(pid) + " tid " + std::to_string(pid) + " ";
    const auto opens = lines_of(trace, "viOpen");
    ASSERT_EQ(opens.size(), 1u) << trace;
    EXPECT_NE(opens[0].find(who + "viOpen(sesn=0x1, "
                                  "rsrcName=\"USB0::0x4d19::0x0040::SIM001::0::INSTR\""),
              std::string::npos)
        << opens[0];
    EXPECT_EQ(lines_of(trace, "viOpenDefaultRM").size(), 1u) << trace;
    EXPECT_EQ(lines_of(trace, "viPrintf").size(), 8u) << trace;
    EXPECT_EQ(lines_of(trace, "viQueryf").size(), 2u) << trace;
    EXPECT_EQ(lines_of(trace, "viClose").size(), 2u) << trace;
    EXPECT_NE(trace.find("viQueryf(vi=0x2, writeFmt=\"*IDN?\\n\", readFmt=\"%63T\") -> VI_SUCCESS"),
              std::string::npos)
        << trace;
    EXPECT_EQ(trace.find("VI_ERROR"), std::string::npos) << trace;
}

TEST_F(TracedRun, AFailedOpenSaysWhichSerialsThereAre) {
    sgtest::SimProcess sim(runtime_dir_, "SIM001");
    ASSERT_TRUE(sim.ready()) << sim.ready_line();
    auto s = start_demo(trace_path_);
    EXPECT_EQ(fail_open(*s), 0);
    EXPECT_EQ(s->output(), "Enter serial number: ABC123\r\n" + kFailedTail);
    const auto opens = lines_of(read_file(trace_path_), "viOpen");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_NE(opens[0].find("-> VI_ERROR_RSRC_NFOUND (0xBFFF0011)"), std::string::npos);
    EXPECT_NE(opens[0].find("no instrument with serial number \"ABC123\""), std::string::npos)
        << opens[0];
    EXPECT_NE(opens[0].find("found: USB0::0x4D19::0x0040::SIM001::0::INSTR"), std::string::npos)
        << opens[0];
}

TEST_F(TracedRun, ATraceFileThatCannotBeOpenedCostsOneMessageAndNothingElse) {
    const std::string bad = runtime_.path() + "/no/such/dir/trace.txt";
    auto s = start_demo(bad);
    EXPECT_EQ(fail_open(*s), 0);
    const std::string message = "sgvisa: cannot open the trace file " + bad +
                                " (SGVISA_TRACE): No such file or directory; no trace is "
                                "written\r\n";
    std::string output = s->output();
    const std::size_t at = output.find(message);
    ASSERT_NE(at, std::string::npos) << output;
    output.erase(at, message.size());
    EXPECT_EQ(output.find("sgvisa:"), std::string::npos) << "one message only: " << output;
    EXPECT_EQ(output, "Enter serial number: ABC123\r\n" + kFailedTail);
}

}  // namespace
