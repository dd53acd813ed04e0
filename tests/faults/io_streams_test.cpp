// Fault rows of the program's standard streams, without a terminal (as under
// a test stand's script): standard input closed, empty, binary or one line of
// a megabyte; standard output a pipe nobody reads any more.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "expected_dialogue.h"
#include "sim_child.h"
#include "temp_dir.h"

namespace sgfault {
namespace {

using namespace std::chrono_literals;
using namespace sgtest::dialogue;
using Clock = std::chrono::steady_clock;

const std::string kProgram = SG_BIN_DIR "/sgdemo";
constexpr auto kBound = 20s;

const std::string kFailed = "Enter serial number: Connection error!\npress any key to exit...\n";

enum class Stdin { closed, from_file };
// collected: read to the end; reader_gone: closed before the start;
// reader_leaves: closed once `leave_after` has been read.
enum class Stdout { collected, reader_gone, reader_leaves };

struct DemoRun {
    std::string output;
    int status = -1;
    std::chrono::milliseconds took{0};
};

// Runs sgdemo in a new session (no controlling terminal) with standard error
// joined to standard output.
DemoRun run_demo(const std::string& runtime_dir, Stdin in, const std::string& input_file,
                 Stdout out_mode, const std::string& leave_after = "") {
    DemoRun run;
    int out[2];
    const int input = in == Stdin::closed ? sgtest::ChildProcess::kClosed
                                          : ::open(input_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (::pipe2(out, O_CLOEXEC) != 0 || input == -1) {
        ADD_FAILURE() << "pipe2 or open";
        return run;
    }
    sgtest::ChildProcess::Options options;
    options.argv = {kProgram};
    options.env = {{"XDG_RUNTIME_DIR", runtime_dir}};
    options.in = input;
    options.out = options.err = out[1];
    options.new_session = true;
    if (out_mode == Stdout::reader_gone) {
        ::close(out[0]);  // before the start: the first write finds no reader
        out[0] = -1;
    }
    const auto t0 = Clock::now();
    sgtest::ChildProcess demo(options);
    ::close(out[1]);
    if (input >= 0)
        ::close(input);
    if (!demo.started()) {
        ADD_FAILURE() << demo.error();
        if (out[0] >= 0)
            ::close(out[0]);
        return run;
    }
    if (out[0] >= 0) {
        const auto deadline = Clock::now() + kBound;
        if (out_mode == Stdout::reader_leaves)
            sgtest::read_until(out[0], deadline, run.output, leave_after);
        else
            sgtest::read_to_end(out[0], deadline, run.output);
        ::close(out[0]);
    }
    run.status = demo.wait(kBound);
    run.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    return run;
}

class StreamFault : public ::testing::Test {
  protected:
    void SetUp() override { runtime_ = tmp_.make_subdir("run"); }

    std::string file_with(const std::string& bytes) {
        const std::string path = tmp_.path() + "/input-" + std::to_string(++files_);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::unique_ptr<SimChild> start_sim(const std::vector<std::string>& extra = {}) {
        log_ = tmp_.path() + "/received.log";
        auto sim = std::make_unique<SimChild>(runtime_, log_, extra);
        EXPECT_TRUE(sim->ready());
        return sim;
    }

    sgtest::TempDir tmp_;
    std::string runtime_;
    std::string log_;
    int files_ = 0;
};

TEST_F(StreamFault, StandardInputClosed) {
    auto sim = start_sim();
    const DemoRun run = run_demo(runtime_, Stdin::closed, "", Stdout::collected);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, kFailed);
    EXPECT_LT(run.took, 10s);
    EXPECT_TRUE(read_log(log_).empty());
}

TEST_F(StreamFault, StandardInputEmpty) {
    auto sim = start_sim();
    const DemoRun run = run_demo(runtime_, Stdin::from_file, file_with(""), Stdout::collected);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, kFailed);
    EXPECT_TRUE(read_log(log_).empty());
}

TEST_F(StreamFault, StandardInputBinary) {
    auto sim = start_sim();
    std::string junk;
    for (int i = 0; i < 4096; ++i)
        junk.push_back(static_cast<char>((i * 37 + 11) & 0xFF));
    const DemoRun run = run_demo(runtime_, Stdin::from_file, file_with(junk), Stdout::collected);
    EXPECT_EQ(run.status, 0);
    // The token is whatever the bytes before the first white space were; it
    // names no generator, and it is never echoed (it was not typed).
    EXPECT_EQ(run.output, kFailed);
    EXPECT_TRUE(read_log(log_).empty());
}

TEST_F(StreamFault, OneMegabyteLineIsCutToTheBufferAndNamesNoGenerator) {
    auto sim = start_sim();
    const DemoRun run =
        run_demo(runtime_, Stdin::from_file, file_with("SIM001" + std::string(1 << 20, 'X') + "\n"),
                 Stdout::collected);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, kFailed);
    EXPECT_LT(run.took, 10s);
    EXPECT_TRUE(read_log(log_).empty());
}

TEST_F(StreamFault, OneMegabyteLineAfterTheSerialNumberIsLeftUnread) {
    auto sim = start_sim();
    const DemoRun run =
        run_demo(runtime_, Stdin::from_file,
                 file_with("SIM001 " + std::string(1 << 20, 'X') + "\n"), Stdout::collected);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("Connect to USB0::0x4d19::0x0040::SIM001::0::INSTR\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(read_log(log_), kAllCommands);
}

// Nobody reads standard output: the writes fail quietly and the run goes
// on to its end, so the generator gets its final reset and the exit status
// is 0, as for any run that reaches its end.
TEST_F(StreamFault, StandardOutputPipeWithoutReader) {
    auto sim = start_sim();
    const DemoRun run =
        run_demo(runtime_, Stdin::from_file, file_with("SIM001\n"), Stdout::reader_gone);
    EXPECT_EQ(run.status, 0);
    EXPECT_LT(run.took, 10s);
    EXPECT_EQ(read_log(log_), kAllCommands) << "the run ends with the final reset";
}

// The reader goes away in the middle of the run, with the RF output on: the
// run still ends with the final reset.
TEST_F(StreamFault, StandardOutputReaderLeavesMidRun) {
    auto sim = start_sim({"--reply-delay", "1000"});
    const DemoRun run = run_demo(runtime_, Stdin::from_file, file_with("SIM001\n"),
                                 Stdout::reader_leaves, "power on\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("power on\n"), std::string::npos);
    EXPECT_EQ(run.output.find("press any key to continue"), std::string::npos);
    EXPECT_EQ(read_log(log_), kAllCommands) << "the run ends with the final reset";
}

}  // namespace
}  // namespace sgfault
