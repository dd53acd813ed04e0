// The session driver against the recording VISA stand-in: transcripts, the
// order of VISA calls and key waits, and the serial-number read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program_run.h"

namespace {

using recording::Event;
using recording::Op;
using recording::Reply;
using recording::run_program;
using recording::Script;
using recording::timeline;

const std::string kName = "USB0::0x4d19::0x0040::ABC123::0::INSTR";

Script connected(std::string idn, std::string err) {
    Script s;
    s.replies = {Reply{VI_SUCCESS, std::move(idn)}, Reply{VI_SUCCESS, std::move(err)}};
    return s;
}

Script failing_open(ViStatus status) {
    Script s;
    s.open_status = status;
    return s;
}

const Event* find_open() {
    for (const Event& e : timeline())
        if (e.op == Op::Open)
            return &e;
    return nullptr;
}

std::string opened_name() {
    const Event* e = find_open();
    return e ? e->text : std::string("<no viOpen>");
}

TEST(SessionTranscript, ConnectedRunWithLinefeedEndedReplies) {
    const auto run =
        run_program("ABC123\n", connected("ACME,SG-4040,ABC123,1.0\n", "0,\"No error\"\n"));
    EXPECT_EQ(run.transcript,
              "Enter serial number: "
              "Connect to USB0::0x4d19::0x0040::ABC123::0::INSTR\n"
              "IDN: ACME,SG-4040,ABC123,1.0\n"
              "setting frequency to 1 GHz\n"
              "setting power to 1 dBm\n"
              "power on\n"
              "0,\"No error\"\n"
              "press any key to continue...\n"
              "switch LF generator and setting shape SINE\n"
              "setting frequency to 9 kHz\n"
              "setting amplitude 3 V\n"
              "press any key to exit...\n");
    EXPECT_EQ(run.on_screen, run.transcript);
    EXPECT_EQ(run.exit_status, 0);
}

TEST(SessionTranscript, ConnectedRunWithRepliesWithoutLinefeed) {
    const auto run =
        run_program("ABC123\n", connected("ACME,SG-4040,ABC123,1.0", "0,\"No error\""));
    EXPECT_EQ(run.transcript,
              "Enter serial number: "
              "Connect to USB0::0x4d19::0x0040::ABC123::0::INSTR\n"
              "IDN: ACME,SG-4040,ABC123,1.0setting frequency to 1 GHz\n"
              "setting power to 1 dBm\n"
              "power on\n"
              "0,\"No error\"press any key to continue...\n"
              "switch LF generator and setting shape SINE\n"
              "setting frequency to 9 kHz\n"
              "setting amplitude 3 V\n"
              "press any key to exit...\n");
    EXPECT_EQ(run.exit_status, 0);
}

TEST(SessionTranscript, FailedRun) {
    const auto run = run_program("ABC123\n", failing_open(VI_ERROR_RSRC_NFOUND));
    EXPECT_EQ(run.transcript,
              "Enter serial number: "
              "Connection error!\n"
              "press any key to exit...\n");
    EXPECT_EQ(run.on_screen, run.transcript);
    EXPECT_EQ(run.exit_status, 0);
}

TEST(SessionTranscript, PromptIsOnScreenBeforeTheSerialNumberIsRead) {
    const auto run = run_program("ABC123\n", failing_open(VI_ERROR_RSRC_NFOUND));
    EXPECT_EQ(run.screen_at_read, "Enter serial number: ");
}

TEST(SessionCalls, ConnectedRunOrder) {
    Script script = connected("id\n", "0\n");
    const ViSession rm = script.rm_handle;
    const ViSession vi = script.instrument_handle;
    run_program("ABC123\n", script);

    const std::vector<Op> expected{Op::OpenDefaultRM, Op::Open,   Op::Printf, Op::Queryf,
                                   Op::Printf,        Op::Printf, Op::Printf, Op::Queryf,
                                   Op::KeyWait,       Op::Printf, Op::Printf, Op::Printf,
                                   Op::Printf,        Op::Close,  Op::Close,  Op::KeyWait};
    ASSERT_EQ(recording::ops(), expected);

    const auto& t = timeline();
    EXPECT_EQ(t.front().screen, "") << "the resource manager is opened before anything is printed";
    const Event& open = t[1];
    EXPECT_EQ(open.session, rm);
    EXPECT_EQ(open.text, kName);
    EXPECT_EQ(open.access_mode, static_cast<ViAccessMode>(VI_EXCLUSIVE_LOCK));
    EXPECT_EQ(open.open_timeout, 5000u);
    EXPECT_EQ(open.screen, "Enter serial number: ") << "no connection line before the open";
    for (std::size_t i = 2; i + 3 < t.size(); ++i)
        if (t[i].op != Op::KeyWait) {
            EXPECT_EQ(t[i].session, vi) << "call " << i;
        }
    EXPECT_EQ(t[t.size() - 3].session, vi) << "the instrument session is closed first";
    EXPECT_EQ(t[t.size() - 2].session, rm) << "then the resource manager session";
    EXPECT_EQ(t[2].screen, "Enter serial number: Connect to " + kName + "\n")
        << "the connection line is on the screen before the first command";
    EXPECT_EQ(t.back().screen.substr(t.back().screen.size() - 25), "press any key to exit...\n");
}

// Every open status other than 0 is a failed open: errors and completion
// codes alike. Nothing is sent, only the resource manager is closed and
// exactly one key is waited for.
class FailedOpen : public ::testing::TestWithParam<ViStatus> {};

TEST_P(FailedOpen, ClosesOnlyTheResourceManagerAndWaitsForOneKey) {
    Script script = failing_open(GetParam());
    const ViSession rm = script.rm_handle;
    const auto run = run_program("ABC123\n", script);
    EXPECT_EQ(run.transcript, "Enter serial number: Connection error!\npress any key to exit...\n");
    EXPECT_EQ(run.exit_status, 0);
    const std::vector<Op> expected{Op::OpenDefaultRM, Op::Open, Op::Close, Op::KeyWait};
    ASSERT_EQ(recording::ops(), expected);
    EXPECT_EQ(timeline()[2].session, rm);
    EXPECT_EQ(timeline()[3].screen, run.transcript) << "exit prompt on screen during the wait";
}

INSTANTIATE_TEST_SUITE_P(Statuses, FailedOpen,
                         ::testing::Values(VI_ERROR_RSRC_NFOUND, VI_ERROR_RSRC_LOCKED,
                                           VI_ERROR_INV_RSRC_NAME, VI_SUCCESS_TERM_CHAR,
                                           VI_WARN_NULL_OBJECT));

TEST(SessionCalls, FailedResourceManagerOpenCarriesOnToTheOpen) {
    Script script = failing_open(VI_ERROR_INV_OBJECT);
    script.rm_status = VI_ERROR_SYSTEM_ERROR;
    script.rm_handle = VI_NULL;
    const auto run = run_program("ABC123\n", script);
    EXPECT_EQ(run.transcript, "Enter serial number: Connection error!\npress any key to exit...\n");
    const std::vector<Op> expected{Op::OpenDefaultRM, Op::Open, Op::Close, Op::KeyWait};
    ASSERT_EQ(recording::ops(), expected);
    EXPECT_EQ(timeline()[1].session, static_cast<ViSession>(VI_NULL));
    EXPECT_EQ(timeline()[1].text, kName);
    EXPECT_EQ(timeline()[2].session, static_cast<ViSession>(VI_NULL));
}

TEST(SerialNumber, FirstTokenOnlyAndTheRestOfTheLineIsLeftUnread) {
    const auto run = run_program("12 34\n", failing_open(VI_ERROR_RSRC_NFOUND));
    EXPECT_EQ(opened_name(), "USB0::0x4d19::0x0040::12::0::INSTR");
    EXPECT_EQ(run.input_left, " 34\n");
}

TEST(SerialNumber, LeadingBlankLinesAndBlanksAreSkipped) {
    const auto run = run_program("\n\n \t \n  ABC123\n", failing_open(VI_ERROR_RSRC_NFOUND));
    EXPECT_EQ(opened_name(), kName);
    EXPECT_EQ(run.transcript, "Enter serial number: Connection error!\npress any key to exit...\n")
        << "the prompt is printed once";
}

TEST(SerialNumber, IsUsedVerbatim) {
    run_program("aB-c_9.x%s\n", failing_open(VI_ERROR_RSRC_NFOUND));
    EXPECT_EQ(opened_name(), "USB0::0x4d19::0x0040::aB-c_9.x%s::0::INSTR");
}

TEST(SerialNumber, OverlongTokenIsCutTo63Characters) {
    std::string serial;
    for (int i = 0; i < 1000; ++i)
        serial.push_back(static_cast<char>('A' + i % 26));
    const auto run = run_program(serial + "\n", failing_open(VI_ERROR_RSRC_NFOUND));
    EXPECT_EQ(opened_name(), "USB0::0x4d19::0x0040::" + serial.substr(0, 63) + "::0::INSTR");
    EXPECT_EQ(opened_name().size(), 95u);
    EXPECT_EQ(run.input_left, serial.substr(63) + "\n");
    EXPECT_EQ(run.transcript, "Enter serial number: Connection error!\npress any key to exit...\n");
}

TEST(SerialNumber, SixtyThreeCharactersFitExactly) {
    const std::string serial(63, '7');
    const auto run = run_program(serial + "\n", failing_open(VI_ERROR_RSRC_NFOUND));
    EXPECT_EQ(opened_name(), "USB0::0x4d19::0x0040::" + serial + "::0::INSTR");
    EXPECT_EQ(run.input_left, "\n");
}

// When the input ends before a token the serial number is empty; a real
// library rejects the resulting name, and the run ends as a failed open.
class EndOfInput : public ::testing::TestWithParam<std::string> {};

TEST_P(EndOfInput, GivesAnEmptySerialNumberAndTheErrorPath) {
    const auto run = run_program(GetParam(), failing_open(VI_ERROR_INV_RSRC_NAME));
    EXPECT_EQ(opened_name(), "USB0::0x4d19::0x0040::::0::INSTR");
    EXPECT_EQ(run.transcript, "Enter serial number: Connection error!\npress any key to exit...\n");
    EXPECT_EQ(run.exit_status, 0);
}

INSTANTIATE_TEST_SUITE_P(Inputs, EndOfInput, ::testing::Values("", "\n", "  \n\t\n "));

}  // namespace
