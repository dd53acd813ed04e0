// What each message set, as the generator tells it for the simulator's
// record: every command that took effect, in order, named and valued as the
// settings are shown, also when the value was already so; queries and
// refused commands set nothing; *RST says it reset everything.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scpi/signal_generator.h"

namespace {

using Set = std::vector<std::string>;

TEST(SettingsSet, EachCommandThatTookEffectInOrder) {
    sgsim::SignalGenerator g;
    g.execute("FREQ 1 GHz;POW 1;OUTP ON\n");
    EXPECT_EQ(g.settings_set(), (Set{"RF frequency 1 GHz", "RF level 1 dBm", "RF output ON"}));
    g.execute("LFO:FUNC:SHAP SQU\nLFO:FUNC:FREQ 9 kHz\nLFO:AMP 300 mV\nLFO OFF\n");
    EXPECT_EQ(g.settings_set(), (Set{"LF shape SQUARE", "LF frequency 9 kHz", "LF amplitude 300 mV",
                                     "LF output OFF"}));
    g.execute("*RST;FREQ 2.5 GHz\n");
    EXPECT_EQ(g.settings_set(), (Set{"every setting to its default", "RF frequency 2.5 GHz"}));
}

TEST(SettingsSet, QueriesAndRefusedCommandsSetNothing) {
    sgsim::SignalGenerator g;
    g.execute("POW 5\n");
    g.execute("FREQ?;*IDN?;SYST:ERR?\n");
    EXPECT_EQ(g.settings_set(), Set{});
    for (const char* refused : {"FREQ 99 GHz\n", "OUTP MAYBE\n", "LFO:FUNC:SHAP NOISE\n"}) {
        g.execute(refused);
        EXPECT_EQ(g.settings_set(), Set{}) << refused;
    }
    EXPECT_NE(g.describe_settings().find("RF frequency: 1 GHz\n"), std::string::npos);
}

}  // namespace
