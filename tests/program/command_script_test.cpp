// The command script against the recording VISA stand-in: the commands byte
// for byte, the pause, what is on the screen at each call, and the reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "command_script.h"
#include "recording_visa.h"

namespace {

using recording::Event;
using recording::Op;
using recording::Reply;
using recording::Script;
using recording::Store;
using recording::timeline;

constexpr ViSession kVi = 0x2002;

struct ScriptRun {
    std::string transcript;
    TextBuffer buffer{};
};

// Runs the script with the buffer holding a serial number, as the driver leaves it.
ScriptRun run_script(std::vector<Reply> replies) {
    Script script;
    script.replies.assign(replies.begin(), replies.end());
    recording::Screen screen;
    recording::reset(std::move(script), &screen);
    recording::RecordingKeyWait keys;
    ScriptRun run;
    std::strcpy(run.buffer, "ABC123");
    run_command_script(kVi, run.buffer, screen.file(), keys);
    const std::string shown = screen.flushed();
    run.transcript = screen.all();
    EXPECT_EQ(shown, run.transcript) << "all output is on the screen";
    return run;
}

std::vector<Event> events_of(Op op) {
    std::vector<Event> out;
    for (const Event& e : timeline())
        if (e.op == op)
            out.push_back(e);
    return out;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(CommandScript, SendsTheTenCommandsByteExactInOrder) {
    run_script({Reply{VI_SUCCESS, "id\n"}, Reply{VI_SUCCESS, "0\n"}});
    const std::vector<std::string> expected{"*RST\n",
                                            "*IDN?\n",
                                            "FREQ 1 GHz\n",
                                            "POW 1\n",
                                            "OUTPut:STATe ON\n",
                                            "SYSTem:ERRor?\n",
                                            "LFO:FUNC:SHAP SIN\n",
                                            "LFO:FUNC:FREQ 9 kHz\n",
                                            "LFO:AMP 3\n",
                                            "*RST\n"};
    EXPECT_EQ(recording::commands_sent(), expected);
    for (const Event& e : timeline()) {
        if (e.op == Op::Printf || e.op == Op::Queryf) {
            EXPECT_EQ(e.session, kVi);
            // The format is sent as is only if it holds no directive.
            EXPECT_EQ(e.text.find('%'), std::string::npos) << e.text;
        }
    }
}

TEST(CommandScript, QueriesReadOneBoundedStringEach) {
    run_script({Reply{VI_SUCCESS, "id\n"}, Reply{VI_SUCCESS, "0\n"}});
    const auto queries = events_of(Op::Queryf);
    ASSERT_EQ(queries.size(), 2u);
    for (const Event& q : queries)
        EXPECT_EQ(q.read_format, "%63T");
}

TEST(CommandScript, NothingIsSentDuringThePause) {
    run_script({Reply{VI_SUCCESS, "id\n"}, Reply{VI_SUCCESS, "0\n"}});
    const auto& t = timeline();
    std::size_t key = 0;
    while (key < t.size() && t[key].op != Op::KeyWait)
        ++key;
    ASSERT_LT(key, t.size());
    ASSERT_GT(key, 0u);
    EXPECT_EQ(t[key - 1].op, Op::Queryf);
    EXPECT_EQ(t[key - 1].text, "SYSTem:ERRor?\n") << "the error query comes right before the key";
    ASSERT_LT(key + 1, t.size());
    EXPECT_EQ(t[key + 1].text, "LFO:FUNC:SHAP SIN\n") << "the LF phase starts after the key";
    EXPECT_TRUE(ends_with(t[key].screen, "0\npress any key to continue...\n"));
    EXPECT_EQ(events_of(Op::KeyWait).size(), 1u);
    EXPECT_EQ(t.back().text, "*RST\n");
    EXPECT_EQ(t[t.size() - 2].text, "LFO:AMP 3\n");
}

TEST(CommandScript, EachTextIsOnTheScreenBeforeItsCommand) {
    run_script({Reply{VI_SUCCESS, "ACME,SG\n"}, Reply{VI_SUCCESS, "0,\"No error\"\n"}});
    const std::vector<std::pair<std::string, std::string>> before{
        {"*IDN?\n", "IDN: "},
        {"FREQ 1 GHz\n", "ACME,SG\nsetting frequency to 1 GHz\n"},
        {"POW 1\n", "setting power to 1 dBm\n"},
        {"OUTPut:STATe ON\n", "power on\n"},
        {"SYSTem:ERRor?\n", "power on\n"},
        {"LFO:FUNC:SHAP SIN\n", "switch LF generator and setting shape SINE\n"},
        {"LFO:FUNC:FREQ 9 kHz\n", "setting frequency to 9 kHz\n"},
        {"LFO:AMP 3\n", "setting amplitude 3 V\n"},
    };
    for (const auto& [command, screen_tail] : before) {
        bool found = false;
        for (const Event& e : timeline()) {
            if (e.text == command && (e.op == Op::Printf || e.op == Op::Queryf)) {
                found = true;
                EXPECT_TRUE(ends_with(e.screen, screen_tail))
                    << command << " sent with the screen ending in [" << e.screen << "]";
            }
        }
        EXPECT_TRUE(found) << command;
    }
    // The first reset goes out before anything is printed; the final one
    // right after the amplitude, with nothing printed in between.
    EXPECT_EQ(timeline().front().screen, "");
    EXPECT_TRUE(ends_with(timeline().back().screen, "setting amplitude 3 V\n"));
}

TEST(CommandScript, AnOverlongReplyIsCutTo63Characters) {
    const std::string idn(200, 'I');
    const auto run = run_script({Reply{VI_SUCCESS, idn}, Reply{VI_SUCCESS, "0\n"}});
    EXPECT_EQ(run.transcript.substr(0, 5 + 63 + 1), "IDN: " + idn.substr(0, 63) + "s");
    EXPECT_EQ(std::strlen(run.buffer), 2u) << "the second reply replaced the first";
}

TEST(CommandScript, FailedQueriesPrintNothingAndTheScriptGoesOn) {
    // The identification reply would still be in the buffer if the failed
    // error query left it there.
    const auto run =
        run_script({Reply{VI_SUCCESS, "ACME\n"}, Reply{VI_ERROR_TMO, "", Store::Nothing}});
    EXPECT_EQ(run.transcript,
              "IDN: ACME\n"
              "setting frequency to 1 GHz\n"
              "setting power to 1 dBm\n"
              "power on\n"
              "press any key to continue...\n"
              "switch LF generator and setting shape SINE\n"
              "setting frequency to 9 kHz\n"
              "setting amplitude 3 V\n");
    EXPECT_EQ(recording::commands_sent().size(), 10u);
    EXPECT_EQ(run.buffer[0], '\0');
}

TEST(CommandScript, FailedFirstQueryDoesNotPrintTheSerialNumber) {
    const auto run = run_script({Reply{VI_ERROR_IO, "", Store::Nothing}, Reply{VI_SUCCESS, "0\n"}});
    EXPECT_EQ(run.transcript.substr(0, 32), "IDN: setting frequency to 1 GHz\n");
}

TEST(CommandScript, AnUnterminatedBufferIsTerminatedBeforePrinting) {
    const auto run = run_script(
        {Reply{VI_ERROR_IO, "", Store::FillWithoutTerminator}, Reply{VI_SUCCESS, "0\n"}});
    EXPECT_EQ(run.transcript.substr(0, 5 + 63 + 1), "IDN: " + std::string(63, 'x') + "s");
}

}  // namespace
