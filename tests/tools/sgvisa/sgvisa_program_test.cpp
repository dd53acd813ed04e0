// sgvisa as a user and a script run it, against simulated generators on a
// private local bus: what list and info show (and that they send the
// generator nothing), info on an instrument that sgdemo holds locked at its
// pause, queries, --json read by Python's json module, and failures.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "pty_session.h"
#include "sim_process.h"
#include "temp_dir.h"
#include "unattended_run.h"

namespace {

using namespace std::chrono_literals;

const std::string kTool = SG_BIN_DIR "/sgvisa";
const std::string kDemo = SG_BIN_DIR "/sgdemo";
const std::string kResource = "USB0::0x4D19::0x0040::SIM001::0::INSTR";
constexpr auto kBound = 20s;

class SgvisaProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        runtime_ = tmp_.make_subdir("run");
        sim_ = std::make_unique<sgtest::SimProcess>(runtime_, "SIM001");
        ASSERT_TRUE(sim_->ready());
    }

    sgtest::Unattended tool(const std::vector<std::string>& args) {
        return sgtest::run_without_terminal(kTool, "", runtime_, kBound, args);
    }

    // Python's json module reads `document` and runs `checks` on it as `d`;
    // what the checks print comes back ("ok" when they all held).
    std::string python_json(const std::string& document, const std::string& checks) {
        const std::string script =
            "import json, sys\nd = json.load(sys.stdin)\n" + checks + "\nprint('ok')\n";
        return sgtest::run_without_terminal("/usr/bin/python3", document, runtime_, kBound,
                                            {"-c", script})
            .output;
    }

    // `text` as a Python string literal (bytes below 0x80 only).
    static std::string python_literal(const std::string& text) {
        std::string out = "'";
        for (const char c : text) {
            if (c == '\\' || c == '\'' || c == '\n')
                out += c == '\n' ? "\\n" : std::string("\\") + c;
            else
                out += c;
        }
        return out + "'";
    }

    sgtest::TempDir tmp_;
    std::string runtime_;
    std::unique_ptr<sgtest::SimProcess> sim_;
};

TEST_F(SgvisaProgram, ListShowsEachSimulatorAndTalksToNone) {
    sgtest::SimProcess second(runtime_, "IOT002", {"--io-test"});
    ASSERT_TRUE(second.ready());
    const auto text = tool({"list"});
    EXPECT_EQ(text.status, 0) << text.output;
    EXPECT_NE(text.output.find(kResource + "\n  maker           Simulated Signal Sources\n"
                                           "  model           SG-4040\n"
                                           "  serial          SIM001\n"),
              std::string::npos)
        << text.output;
    EXPECT_NE(text.output.find("USB0::0x4D19::0x0040::IOT002::0::INSTR\n"), std::string::npos);
    EXPECT_NE(text.output.find("  may open        yes\n"), std::string::npos);

    const auto json = tool({"--json", "list"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(python_json(json.output,
                          "local = [i for i in d['instruments'] if i['bus'] == 'local']\n"
                          "assert [i['resource'] for i in local] == ['USB0::0x4D19::0x0040::IOT002"
                          "::0::INSTR', '" +
                              kResource +
                              "'], local\n"
                              "assert [i['serial'] for i in local] == ['IOT002', 'SIM001']\n"
                              "assert local[0]['model'] == 'IO-TEST' and local[1]['model'] == "
                              "'SG-4040'\n"
                              "assert all(i['may_open'] and i['socket'].endswith('.sock') for i "
                              "in local)"),
              "ok\n");
    EXPECT_TRUE(sim_->received().empty()) << "list sent the generator a message";
}

TEST_F(SgvisaProgram, InfoShowsCapabilitiesAndWhoHoldsTheLock) {
    sgtest::PtyOptions options;
    options.env = {{"XDG_RUNTIME_DIR", runtime_}};
    sgtest::PtySession demo(kDemo, options);
    ASSERT_TRUE(demo.wait_for("Enter serial number: ", kBound)) << demo.output();
    demo.send("SIM001\r");
    ASSERT_TRUE(demo.wait_for("press any key to continue...", kBound)) << demo.output();
    const auto received_at_pause = sim_->received().size();

    const std::string holder = "process " + std::to_string(demo.pid()) + " (sgdemo)";
    const auto locked = tool({"info", "USB0::0x4d19::0x0040::sim001::INSTR"});
    EXPECT_EQ(locked.status, 0) << locked.output;
    EXPECT_NE(locked.output.find("  lock            exclusive, held by " + holder + "\n"),
              std::string::npos)
        << locked.output;
    EXPECT_NE(locked.output.find("  may open        no: locked (exclusive VISA lock) by " + holder),
              std::string::npos)
        << locked.output;
    const auto json = tool({"--json", "info", kResource});
    EXPECT_EQ(python_json(json.output,
                          "assert d['locks']['exclusive']['held']\n"
                          "assert d['locks']['exclusive']['holders'] == [{'pid': " +
                              std::to_string(demo.pid()) +
                              ", 'command': 'sgdemo'}], d['locks']\n"
                              "assert not d['capabilities']['read']"),
              "ok\n");
    EXPECT_EQ(sim_->received().size(), received_at_pause) << "info talked past the lock";

    demo.send("k");
    ASSERT_TRUE(demo.wait_for("press any key to exit...", kBound));
    demo.send("k");
    EXPECT_EQ(demo.wait_exit(kBound), 0);
    const auto free = tool({"info", kResource});
    EXPECT_EQ(free.status, 0) << free.output;
    EXPECT_NE(free.output.find("  USBTMC          1.00, TermChar; not: INDICATOR_PULSE, talk-only, "
                               "listen-only\n"),
              std::string::npos)
        << free.output;
    EXPECT_NE(free.output.find("  USB488          1.00, IEEE 488.2 interface, "
                               "REN_CONTROL/GO_TO_LOCAL/LOCAL_LOCKOUT, TRIGGER, SCPI, SR1 "
                               "(service request), RL1 (remote/local), DT1 (device trigger)\n"),
              std::string::npos)
        << free.output;
    EXPECT_NE(free.output.find("  quirk switches  (none)\n  lock            none\n  in use         "
                               " no\n"),
              std::string::npos)
        << free.output;
    EXPECT_EQ(sim_->received().size(), 10u) << "info sent the generator a message";
}

TEST_F(SgvisaProgram, QueryRoundTripsAndWritesWhatHasNoQuestionMark) {
    const auto text =
        tool({"query", kResource, "*RST", "FREQ 2.5 GHz", "FREQ?", "*IDN?", "POW?;OUTP?"});
    EXPECT_EQ(text.status, 0) << text.output;
    EXPECT_EQ(text.output, "2500000000\nSimulated Signal Sources,SG-4040,SIM001,1.0\n-30;0\n");
    EXPECT_EQ(sim_->received(),
              (std::vector<std::string>{"*RST", "FREQ 2.5 GHz", "FREQ?", "*IDN?", "POW?;OUTP?"}));
    const auto json = tool({"--json", "--timeout", "1000", "query", kResource, "OUTP ON", "OUTP?"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(python_json(json.output,
                          "assert d['replies'] == [{'command': 'OUTP ON', 'reply': "
                          "None}, {'command': 'OUTP?', 'reply': '1'}], d"),
              "ok\n");
}

TEST_F(SgvisaProgram, FailuresExitNonZeroWithAMessage) {
    const auto missing = tool({"query", "USB0::0x4D19::0x0040::NOPE::INSTR", "*IDN?"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("sgvisa: cannot open USB0::0x4D19::0x0040::NOPE::INSTR: "
                                  "VI_ERROR_RSRC_NFOUND"),
              std::string::npos)
        << missing.output;
    const auto no_info = tool({"info", "USB0::0x4D19::0x0040::NOPE::INSTR"});
    EXPECT_EQ(no_info.status, 1);
    EXPECT_NE(no_info.output.find("sgvisa: cannot open USB0::0x4D19::0x0040::NOPE::INSTR: "
                                  "VI_ERROR_RSRC_NFOUND"),
              std::string::npos)
        << no_info.output;
    EXPECT_EQ(tool({"info", "GPIB0::5::INSTR"}).status, 1);
    const auto help = tool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output.rfind("usage: sgvisa [--json] [--timeout MS] list\n", 0), 0u);
    EXPECT_EQ(tool({"frobnicate"}).status, 2);
    EXPECT_EQ(tool({"--timeout", "0", "list"}).status, 2);

    sgtest::SimProcess mute(runtime_, "MUTE01", {"--no-reply"});
    ASSERT_TRUE(mute.ready());
    const auto start = std::chrono::steady_clock::now();
    const auto silent = tool({"--timeout", "300", "query", "USB0::0x4D19::0x0040::MUTE01::INSTR",
                              "FREQ 1 GHz", "*IDN?", "*OPC?"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.output.find("sgvisa: *IDN?: VI_ERROR_TMO"), std::string::npos)
        << silent.output;
    EXPECT_EQ(mute.received(), (std::vector<std::string>{"FREQ 1 GHz", "*IDN?"}))
        << "nothing sent after the failure";
}

// A failed open is worded alike by query and info, as the library's trace
// words it, and --json prints one document holding it.
struct OpenFailure {
    const char* resource;
    const char* words;  // in the message, after "cannot open RESOURCE: "
};

class SgvisaOpenFailure : public SgvisaProgram,
                          public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(SgvisaOpenFailure, QueryAndInfoWordItAlikeAndJsonHoldsIt) {
    const std::string resource = GetParam().resource;
    const auto query = tool({"query", resource, "*IDN?"});
    const auto info = tool({"info", resource});
    EXPECT_EQ(query.status, 1);
    EXPECT_EQ(info.status, 1);
    const std::string message = "sgvisa: cannot open " + resource + ": " + GetParam().words;
    EXPECT_EQ(query.output.rfind(message, 0), 0u) << query.output;
    EXPECT_EQ(query.output, info.output);
    for (const char* command : {"query", "info"}) {
        std::vector<std::string> args = {"--json", command, resource};
        if (args[1] == "query")
            args.push_back("*IDN?");
        const auto json = tool(args);
        EXPECT_EQ(json.status, 1);
        const auto at = json.output.find("\n{");
        ASSERT_NE(at, std::string::npos) << json.output;
        EXPECT_EQ(python_json(json.output.substr(at + 1),
                              "assert d['error'] == " + python_literal(query.output) +
                                  "[len('sgvisa: '):-1], d"),
                  "ok\n")
            << json.output;
    }
    EXPECT_TRUE(sim_->received().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SgvisaOpenFailure,
    ::testing::Values(
        OpenFailure{"USB0::0x4D19::0x0040::NOPE::INSTR",
                    "VI_ERROR_RSRC_NFOUND: no instrument with serial number \"NOPE\""},
        OpenFailure{"GPIB0::5::INSTR", "VI_ERROR_NSUP_OPER: this library does not serve GPIB"},
        OpenFailure{"USB0::0x4D19", "VI_ERROR_INV_RSRC_NAME"}));

// A reply longer than --max-reply ends the query (the bound keeps an endless
// reply from taking all the memory); the versions are the project's.
TEST_F(SgvisaProgram, ReplyBoundAndVersions) {
    const auto bounded = tool({"--max-reply", "16", "query", kResource, "*IDN?", "*RST"});
    EXPECT_EQ(bounded.status, 1);
    EXPECT_EQ(
        bounded.output,
        "sgvisa: *IDN?: the reply is longer than 16 bytes (--max-reply); stopped reading it\n");
    EXPECT_EQ(sim_->received(), (std::vector<std::string>{"*IDN?"}));
    EXPECT_EQ(tool({"--max-reply", "64", "query", kResource, "*IDN?"}).status, 0);

    std::ifstream lists(SG_SOURCE_DIR "/CMakeLists.txt");
    const std::string cmake((std::istreambuf_iterator<char>(lists)), {});
    const auto at = cmake.find("project(sgdemo VERSION ");
    ASSERT_NE(at, std::string::npos);
    const std::string version = cmake.substr(at + 23, cmake.find(' ', at + 23) - at - 23);
    EXPECT_EQ(tool({"--version"}).output, "sgvisa " + version + " (VISA specification 7.1.0)\n");
    EXPECT_EQ(sgtest::run_without_terminal(SG_BIN_DIR "/sgsim", "", runtime_, kBound, {"--version"})
                  .output,
              "sgsim " + version + "\n");
}

}  // namespace
