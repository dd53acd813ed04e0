// sgsim --record as a program: a line per message and per device trigger,
// with what it set and the settings after it, written as it happens.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "attach/raw_connection.h"
#include "device/settings_record.h"
#include "proto/localbus_frames.h"
#include "sim_process.h"
#include "temp_dir.h"

namespace {

namespace lb = sgproto::localbus;

std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

constexpr const char* kDefaultsAfter =
    "RF level: -30 dBm; RF output: OFF; LF shape: SINE; LF frequency: 1 kHz; LF amplitude: 1 V; "
    "LF output: OFF; Triggers: ";

TEST(SgsimRecord, EachMessageWithWhatItSetAndTheSettingsAfterIt) {
    sgtest::TempDir tmp;
    const std::string runtime = tmp.make_subdir("run");
    const std::string record = tmp.path() + "/record.tsv";
    sgtest::SimProcess sim(runtime, "REC001", {"--record", record});
    ASSERT_TRUE(sim.ready());
    simtest::RawConnection c(runtime + "/sgvisa/4d19-0040-REC001.sock");
    c.send(lb::CLAIM, 1, lb::kClaimWait);
    c.expect(lb::CLAIM, 1, lb::STATUS_OK);
    c.write(2, "FREQ 1 GHz\n");
    c.write(3, "POW 1;OUTP ON\n");
    EXPECT_EQ(c.query(4, "SYST:ERR?\n"), "0,\"No error\"\n");
    // Written as it happens: the state at this moment is there before any exit.
    const std::vector<std::string> at_pause = lines_of(record);
    c.write(5, "FREQ 7 THz\t\n");
    c.write(6, "*RST\n");
    sim.stop();

    const std::string rf_on =
        "RF frequency: 1 GHz; RF level: 1 dBm; RF output: ON; LF shape: "
        "SINE; LF frequency: 1 kHz; LF amplitude: 1 V; LF output: OFF; "
        "Triggers: 0";
    const std::vector<std::string> expected{
        "FREQ 1 GHz\tRF frequency 1 GHz\tRF frequency: 1 GHz; " + std::string(kDefaultsAfter) + "0",
        "POW 1;OUTP ON\tRF level 1 dBm, RF output ON\t" + rf_on,
        "SYST:ERR?\t-\t" + rf_on,
        "FREQ 7 THz\\x09\t-\t" + rf_on,
        "*RST\tevery setting to its default\tRF frequency: 1 GHz; " + std::string(kDefaultsAfter) +
            "0",
    };
    EXPECT_EQ(at_pause, std::vector<std::string>(expected.begin(), expected.begin() + 3));
    EXPECT_EQ(lines_of(record), expected);
}

TEST(SgsimRecord, AnUnwritableRecordIsAnErrorAtStart) {
    sgtest::TempDir tmp;
    const std::string runtime = tmp.make_subdir("run");
    sgtest::SimProcess sim(runtime, "REC002", {"--record", tmp.path() + "/no/such/dir/r.tsv"});
    EXPECT_FALSE(sim.ready());
    sim.stop();
    EXPECT_EQ(sim.exit_status(), 1);
}

}  // namespace
