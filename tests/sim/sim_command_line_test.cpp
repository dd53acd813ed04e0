// sgsim's command line and its message log format.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "message_log.h"
#include "sim_options.h"
#include "temp_dir.h"

namespace {

using sgsim::SimOptions;

bool parse(std::vector<const char*> args, SimOptions& o, std::string& error) {
    args.insert(args.begin(), "sgsim");
    return sgsim::parse_sim_options(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(SimOptions, DefaultsAndEveryOption) {
    SimOptions d;
    std::string error;
    ASSERT_TRUE(parse({}, d, error));
    EXPECT_EQ(d.serial, "SIM001");
    EXPECT_TRUE(d.log_path.empty());
    EXPECT_TRUE(d.gadget_dir.empty());
    EXPECT_FALSE(d.faults.no_reply);
    EXPECT_FALSE(d.io_test);
    EXPECT_FALSE(d.faults.no_interrupt_in);

    SimOptions o;
    ASSERT_TRUE(parse({"--serial", "AB-12", "--log", "/tmp/x.log", "--reply-delay", "250",
                       "--no-reply", "--idn", "Maker,Model,1,2", "--no-newline", "--split", "7",
                       "--gadget", "/dev/ffs", "--io-test", "--no-interrupt-in"},
                      o, error))
        << error;
    EXPECT_EQ(o.serial, "AB-12");
    EXPECT_EQ(o.log_path, "/tmp/x.log");
    EXPECT_EQ(o.faults.reply_delay, std::chrono::milliseconds(250));
    EXPECT_TRUE(o.faults.no_reply);
    EXPECT_EQ(o.idn, "Maker,Model,1,2");
    EXPECT_TRUE(o.no_newline);
    EXPECT_EQ(o.faults.split, 7u);
    EXPECT_EQ(o.gadget_dir, "/dev/ffs");
    EXPECT_TRUE(o.io_test);
    EXPECT_TRUE(o.faults.no_interrupt_in);
    EXPECT_NE(sgsim::sim_usage().find("[--io-test] [--no-interrupt-in]"), std::string::npos);
}

TEST(SimOptions, BadOptionsAreRefusedWithAReason) {
    const std::vector<std::vector<const char*>> bad = {
        {"--frobnicate"},
        {"--serial"},
        {"--serial", ""},
        {"--serial", "A::B"},
        {"--serial", "A B"},
        {"--reply-delay", "-1"},
        {"--reply-delay", "1x"},
        {"--reply-delay", ""},
        {"--split", "0"},
        {"--split", "99999999"},
        {"--log"},
        {"--gadget", ""},
        {"SIM001"},
    };
    for (const auto& args : bad) {
        SimOptions o;
        std::string error;
        EXPECT_FALSE(parse(args, o, error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

TEST(MessageLog, OneLinePerMessageWithControlBytesEscaped) {
    EXPECT_EQ(sgsim::log_line("*IDN?\n"), "*IDN?");
    EXPECT_EQ(sgsim::log_line("FREQ 1 GHz"), "FREQ 1 GHz") << "no linefeed sent";
    EXPECT_EQ(sgsim::log_line("A\r\n"), "A\\x0D");
    EXPECT_EQ(sgsim::log_line("A\n\n"), "A\\x0A") << "only the final linefeed is dropped";
    EXPECT_EQ(sgsim::log_line(std::string_view("a\\b\0\x7f\x1b", 6)), "a\\x5Cb\\x00\\x7F\\x1B");
    EXPECT_EQ(sgsim::log_line("\xc2\xb5V"), "\xc2\xb5V") << "text bytes stay as sent";

    sgtest::TempDir dir;
    const std::string path = dir.path() + "/log";
    sgsim::MessageLog log;
    std::string error;
    ASSERT_TRUE(log.open(path, error)) << error;
    log.record("*RST\n");
    // Written at once, not when the log closes.
    std::ifstream early(path);
    std::stringstream first;
    first << early.rdbuf();
    EXPECT_EQ(first.str(), "*RST\n");
    log.record("LFO:FUNC:SHAP SIN\n");
    std::ifstream all(path);
    std::stringstream both;
    both << all.rdbuf();
    EXPECT_EQ(both.str(), "*RST\nLFO:FUNC:SHAP SIN\n");

    sgsim::MessageLog nowhere;
    EXPECT_FALSE(nowhere.open(dir.path() + "/missing/log", error));
    EXPECT_NE(error.find("missing"), std::string::npos);
}

}  // namespace
