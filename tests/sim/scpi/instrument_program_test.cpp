// The simulated generator against the exact dialogue the demo program holds:
// every command as the program sends it, its effect seen through queries.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "scpi/signal_generator.h"

namespace {

using sgsim::GeneratorSettings;
using sgsim::LfShape;
using sgsim::SignalGenerator;

// Sends `command` with the linefeed the program ends every command with.
std::string send(SignalGenerator& generator, std::string_view command) {
    return generator.execute(std::string(command) + "\n");
}

TEST(InstrumentProgramDialogue, EveryCommandIsAcceptedAndTakesEffect) {
    SignalGenerator generator;

    EXPECT_EQ(send(generator, "*RST"), "");
    EXPECT_EQ(send(generator, "*IDN?"), "Simulated Signal Sources,SG-4040,SIM001,1.0\n");
    EXPECT_EQ(send(generator, "FREQ 1 GHz"), "");
    EXPECT_EQ(send(generator, "POW 1"), "");
    EXPECT_EQ(send(generator, "OUTPut:STATe ON"), "");
    EXPECT_EQ(send(generator, "SYSTem:ERRor?"), "0,\"No error\"\n");

    EXPECT_EQ(send(generator, "FREQ?"), "1000000000\n");
    EXPECT_EQ(send(generator, "POW?"), "1\n");
    EXPECT_EQ(send(generator, "OUTP?"), "1\n");

    EXPECT_EQ(send(generator, "LFO:FUNC:SHAP SIN"), "");
    EXPECT_EQ(send(generator, "LFO:FUNC:FREQ 9 kHz"), "");
    EXPECT_EQ(send(generator, "LFO:AMP 3"), "");

    EXPECT_EQ(send(generator, "LFO:FUNC:SHAP?"), "SINE\n");
    EXPECT_EQ(send(generator, "LFO:FUNC:FREQ?"), "9000\n");
    EXPECT_EQ(send(generator, "LFO:AMP?"), "3\n");
    const GeneratorSettings before_reset = generator.settings();
    EXPECT_EQ(before_reset.rf_frequency_hz, 1e9);
    EXPECT_EQ(before_reset.rf_level_dbm, 1.0);
    EXPECT_TRUE(before_reset.rf_output);
    EXPECT_EQ(before_reset.lf_shape, LfShape::Sine);
    EXPECT_EQ(before_reset.lf_frequency_hz, 9000.0);
    EXPECT_EQ(before_reset.lf_amplitude_v, 3.0);

    EXPECT_EQ(send(generator, "*RST"), "");
    EXPECT_EQ(send(generator, "SYSTem:ERRor?"), "0,\"No error\"\n");
}

TEST(InstrumentProgramDialogue, ResetRestoresTheDefaultsAndSwitchesTheRfOutputOff) {
    SignalGenerator generator;
    const GeneratorSettings defaults = generator.settings();
    EXPECT_FALSE(defaults.rf_output);
    EXPECT_FALSE(defaults.lf_output);

    send(generator, "FREQ 2.5 GHz");
    send(generator, "POW -7.5");
    send(generator, "OUTP ON");
    send(generator, "LFO:FUNC:SHAP TRI");
    send(generator, "LFO:FUNC:FREQ 20 Hz");
    send(generator, "LFO:AMP 0.25");
    send(generator, "LFO ON");
    ASSERT_NE(generator.settings(), defaults);

    send(generator, "*RST");
    EXPECT_EQ(generator.settings(), defaults);
    EXPECT_EQ(send(generator, "OUTP?;FREQ?;POW?"), "0;1000000000;-30\n");
    EXPECT_EQ(send(generator, "LFO:FUNC:SHAP?;FREQ?;:LFO:AMP?;:LFO?"), "SINE;1000;1;0\n");
}

TEST(InstrumentProgramDialogue, ClosingSummaryShowsTheSettingsForPeople) {
    SignalGenerator generator;
    for (std::string_view command : {"*RST", "FREQ 1 GHz", "POW 1", "OUTPut:STATe ON", "*TRG",
                                     "LFO:FUNC:SHAP SIN", "LFO:FUNC:FREQ 9 kHz", "LFO:AMP 3"}) {
        send(generator, command);
    }
    EXPECT_EQ(generator.describe_settings(),
              "RF frequency: 1 GHz\n"
              "RF level: 1 dBm\n"
              "RF output: ON\n"
              "LF shape: SINE\n"
              "LF frequency: 9 kHz\n"
              "LF amplitude: 3 V\n"
              "LF output: OFF\n"
              "Triggers: 1\n");
    send(generator, "*RST");
    generator.trigger();  // the interface's trigger counts as *TRG does
    EXPECT_EQ(generator.describe_settings(),
              "RF frequency: 1 GHz\n"
              "RF level: -30 dBm\n"
              "RF output: OFF\n"
              "LF shape: SINE\n"
              "LF frequency: 1 kHz\n"
              "LF amplitude: 1 V\n"
              "LF output: OFF\n"
              "Triggers: 2\n")
        << "*RST leaves the count";
}

TEST(InstrumentProgramDialogue, MessagesWithoutFinalLinefeedOrWithCrLfWorkAlike) {
    SignalGenerator generator;
    EXPECT_EQ(generator.execute("*IDN?"), "Simulated Signal Sources,SG-4040,SIM001,1.0\n");
    EXPECT_EQ(generator.execute("*IDN?\r\n"), "Simulated Signal Sources,SG-4040,SIM001,1.0\n");
    EXPECT_EQ(generator.execute("  FREQ   2 GHz  \r\n"), "");
    EXPECT_EQ(generator.execute("\tFREQ?\t"), "2000000000\n");
    EXPECT_EQ(generator.execute("SYST:ERR?"), "0,\"No error\"\n");
}

TEST(InstrumentIdentity, SerialNumberOverrideAndNoNewline) {
    SignalGenerator custom_serial(sgsim::GeneratorConfig{"XYZ-42", std::nullopt, false});
    EXPECT_EQ(send(custom_serial, "*IDN?"), "Simulated Signal Sources,SG-4040,XYZ-42,1.0\n");

    const std::string long_text(200, 'L');
    SignalGenerator overridden(sgsim::GeneratorConfig{"SIM001", long_text, false});
    EXPECT_EQ(send(overridden, "*IDN?"), long_text + "\n");

    SignalGenerator bare(sgsim::GeneratorConfig{"SIM001", "ACME,X,1,2", true});
    EXPECT_EQ(send(bare, "*IDN?"), "ACME,X,1,2");
    EXPECT_EQ(send(bare, "SYST:ERR?"), "0,\"No error\"");
    EXPECT_EQ(send(bare, "FREQ?;POW?"), "1000000000;-30");
}

}  // namespace
