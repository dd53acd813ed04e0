// sgsim's command line and its message log format.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "device/message_log.h"
#include "quirk_option.h"
#include "sim_options.h"
#include "temp_dir.h"
#include "unattended_run.h"

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
    EXPECT_EQ(o.faults.quirks.split, 7u);
    EXPECT_EQ(o.gadget_dir, "/dev/ffs");
    EXPECT_TRUE(o.io_test);
    EXPECT_TRUE(o.faults.no_interrupt_in);
    EXPECT_NE(sgsim::sim_usage().find("[--io-test] [--no-interrupt-in]"), std::string::npos);

    // --lan's address is optional: the next argument, unless an option.
    EXPECT_FALSE(d.lan);
    SimOptions lan;
    ASSERT_TRUE(parse({"--lan", "--portmap-port", "1111", "--vxi11-port", "0"}, lan, error));
    EXPECT_TRUE(lan.lan);
    EXPECT_EQ(lan.lan_address, "127.0.0.1");
    EXPECT_EQ(lan.portmap_port, 1111u);
    EXPECT_EQ(lan.socket_port, 5025u);
    ASSERT_TRUE(parse({"--lan", "0.0.0.0", "--socket-port", "0"}, lan, error));
    EXPECT_EQ(lan.lan_address, "0.0.0.0");
    EXPECT_EQ(lan.socket_port, 0u);
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
        {"--vxi11-port", "65536"},
        {"--socket-port", "-1"},
        {"--portmap-port"},
        {"--lan", "--gadget", "/dev/ffs"},
        {"--lan", "SIM001"},
        {"--lan", "::1"},
    };
    for (const auto& args : bad) {
        SimOptions o;
        std::string error;
        EXPECT_FALSE(parse(args, o, error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

TEST(SimOptions, QuirksByNameWithTheirValuesRepeatedOrListed) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(parse({"--quirk", "packet64,split:7,no-zlp", "--quirk", "late:2500", "--quirk",
                       "leftover,eom-always:1048576,stall-remote"},
                      o, error))
        << error;
    const sgsim::DeviceQuirks& q = o.faults.quirks;
    EXPECT_TRUE(q.packet64);
    EXPECT_EQ(q.split, 7u);
    EXPECT_TRUE(q.no_zlp);
    EXPECT_EQ(q.late, std::chrono::milliseconds(2500));
    EXPECT_TRUE(q.leftover);
    EXPECT_EQ(q.eom_always, 1048576u);
    EXPECT_TRUE(q.stall_remote);
    EXPECT_FALSE(q.eom_never || q.leading_empty || q.size_skew || q.ignore_termchar ||
                 q.tag_repeat || q.empty_when_idle || q.halt_after_close || q.clear_pending);

    // Every row of the table sets a quirk of its own.
    std::vector<sgsim::DeviceQuirks> each;
    for (const sgsim::QuirkRow& row : sgsim::quirk_table()) {
        SimOptions one;
        const std::string item =
            std::string(row.name) + (row.parameter.empty() ? "" : ":" + std::to_string(row.max));
        ASSERT_TRUE(parse({"--quirk", item.c_str()}, one, error)) << item << ": " << error;
        EXPECT_FALSE(one.faults.quirks == sgsim::DeviceQuirks{}) << item;
        for (const auto& other : each)
            EXPECT_FALSE(one.faults.quirks == other) << item;
        each.push_back(one.faults.quirks);
    }

    SimOptions help;
    ASSERT_TRUE(parse({"--split", "3", "--help", "--frobnicate"}, help, error));
    EXPECT_TRUE(help.help) << "--help ends the parsing";
    EXPECT_EQ(help.faults.quirks.split, 3u) << "--split N is split:N";
}

TEST(SimOptions, BadQuirksAreRefusedWithAReason) {
    const std::vector<std::vector<const char*>> bad = {
        {"--quirk"},
        {"--quirk", ""},
        {"--quirk", "packet64,"},
        {"--quirk", ",packet64"},
        {"--quirk", "packet65"},
        {"--quirk", "PACKET64"},
        {"--quirk", "packet64:1"},
        {"--quirk", "split"},
        {"--quirk", "split:"},
        {"--quirk", "split:0"},
        {"--quirk", "split:1048577"},
        {"--quirk", "late:-5"},
        {"--quirk", "late:1s"},
        {"--quirk", "eom-always:4,eom-never"},
        {"--quirk", "eom-never", "--quirk", "eom-always:4"},
        {"--quirk", "empty-when-idle,late:100"},
    };
    for (const auto& args : bad) {
        SimOptions o;
        std::string error;
        EXPECT_FALSE(parse(args, o, error)) << args.back();
        EXPECT_FALSE(error.empty()) << args.back();
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    SimOptions o;
    std::string error;
    EXPECT_FALSE(parse({"--quirk", "late:2500,nonsense"}, o, error));
    EXPECT_NE(error.find("nonsense"), std::string::npos) << error;
}

// sgsim --help as a user runs it: the usage and one short line per quirk on
// standard output, exit status 0; a bad quirk is one line and the usage on
// standard error, exit status 2.
TEST(SimOptions, HelpAndBadQuirkFromTheProgram) {
    using namespace std::chrono_literals;
    sgtest::TempDir dir;
    const auto run = [&](const std::string& shell_command) {
        return sgtest::run_without_terminal("/bin/sh", "", dir.path(), 10s,
                                            {"-c", shell_command + "; echo \"exit $?\""});
    };
    const std::string sgsim = SG_BIN_DIR "/sgsim";
    const sgtest::Unattended help = run(sgsim + " --help 2>/dev/null");
    EXPECT_EQ(help.output.rfind("usage: sgsim ", 0), 0u) << help.output;
    EXPECT_NE(help.output.find("[--quirk NAME[,NAME...]]"), std::string::npos);
    EXPECT_NE(help.output.find("\nexit 0\n"), std::string::npos) << help.output;
    for (const sgsim::QuirkRow& row : sgsim::quirk_table()) {
        std::string left = "\n  " + std::string(row.name);
        if (!row.parameter.empty())
            left += ":" + std::string(row.parameter);
        const std::size_t at = help.output.find(left + " ");
        ASSERT_NE(at, std::string::npos) << row.name;
        const std::size_t end = help.output.find('\n', at + 1);
        EXPECT_NE(help.output.substr(at, end - at).find(row.description), std::string::npos);
        EXPECT_LE(end - at, 100u) << "one short line per quirk";
    }

    const sgtest::Unattended bad = run(sgsim + " --quirk packet64,late:x 2>&1 >/dev/null");
    EXPECT_EQ(bad.output.substr(0, bad.output.find('\n')),
              "sgsim: quirk late needs late:MS with MS in 1..3600000: late:x");
    EXPECT_NE(bad.output.find("\nusage: sgsim"), std::string::npos);
    EXPECT_NE(bad.output.find("\nexit 2\n"), std::string::npos) << bad.output;
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
