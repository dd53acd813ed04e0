// The generator's SCPI commands: long and short forms, case, optional nodes,
// units, limits, and the errors wrong commands leave in the error queue.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "scpi/signal_generator.h"

namespace {

using sgsim::SignalGenerator;

class InstrumentCommands : public ::testing::Test {
  protected:
    std::string send(std::string_view command) {
        return generator.execute(std::string(command) + "\n");
    }
    std::string next_error() { return send("SYST:ERR?"); }
    // Sends `command`, expects no response and exactly the error `code` in
    // the queue (0: none).
    void expect_error(std::string_view command, int code) {
        SCOPED_TRACE(std::string(command));
        EXPECT_EQ(send(command), "");
        const std::string error = next_error();
        EXPECT_EQ(error.substr(0, error.find(',')), std::to_string(code)) << error;
        EXPECT_EQ(next_error(), "0,\"No error\"\n");
    }

    SignalGenerator generator;
};

TEST_F(InstrumentCommands, RfFrequencyFormsAndUnits) {
    const std::vector<std::pair<std::string_view, std::string_view>> cases{
        {"FREQ 2 GHz", "2000000000"},
        {"FREQUENCY 2GHZ", "2000000000"},
        {"frequency:cw 1.5 ghz", "1500000000"},
        {"SOUR:FREQ:FIX 100 MHz", "100000000"},
        {"SOURce:FREQuency:CW 100e6", "100000000"},
        {":FREQ 2500 kHz", "2500000"},
        {"FREQ 9000", "9000"},
        {"FREQ 123456.789 Hz", "123456.789"},
        {"FREQ 11.1 kHz", "11100"},
        {"fReQ +6E9", "6000000000"},
        {"FREQ MAX", "6000000000"},
        {"FREQ min", "9000"},
        {"FREQ DEF", "1000000000"},
    };
    for (const auto& [command, value] : cases) {
        SCOPED_TRACE(std::string(command));
        EXPECT_EQ(send(command), "");
        EXPECT_EQ(send("FREQ?"), std::string(value) + "\n");
        EXPECT_EQ(send("SOURCE:FREQUENCY:CW?"), std::string(value) + "\n");
    }
    EXPECT_EQ(next_error(), "0,\"No error\"\n");
}

TEST_F(InstrumentCommands, RfLevelFormsAndUnits) {
    for (std::string_view command :
         {"POW -12.5", "POWER -12.5 DBM", "pow:lev:imm:ampl -12.5dBm", "SOUR:POW:AMPL -12.5",
          "POWer:LEVel -1.25E1", "SOURce1:POWer:IMMediate -12.5"}) {
        SCOPED_TRACE(std::string(command));
        send("*RST");
        EXPECT_EQ(send(command), "");
        EXPECT_EQ(send("POW?"), "-12.5\n");
    }
    EXPECT_EQ(next_error(), "0,\"No error\"\n");
    EXPECT_EQ(send("POW? MIN;POW? MAX;POW? DEF"), "-130;20;-30\n");
}

TEST_F(InstrumentCommands, OutputStateForms) {
    for (const auto& [command, state] :
         std::vector<std::pair<std::string_view, std::string_view>>{{"OUTP ON", "1"},
                                                                    {"OUTP OFF", "0"},
                                                                    {"OUTPUT:STATE 1", "1"},
                                                                    {"outp:stat 0", "0"},
                                                                    {"OUTPut:STATe on", "1"},
                                                                    {"OUTP1 OFF", "0"}}) {
        SCOPED_TRACE(std::string(command));
        EXPECT_EQ(send(command), "");
        EXPECT_EQ(send("OUTP:STAT?"), std::string(state) + "\n");
    }
    EXPECT_EQ(next_error(), "0,\"No error\"\n");
}

TEST_F(InstrumentCommands, LfGeneratorShapeFrequencyAmplitudeAndState) {
    for (const auto& [command, shape] : std::vector<std::pair<std::string_view, std::string_view>>{
             {"LFO:FUNC:SHAP SQU", "SQUARE"},
             {"LFOutput:FUNCtion:SHAPe TRIangle", "TRIANGLE"},
             {"SOUR:LFO:FUNC:SHAP SINE", "SINE"},
             {"lfo:func:shap square", "SQUARE"},
             {"LFO:FUNC:SHAP TRI", "TRIANGLE"},
             {"LFO:FUNC:SHAP sin", "SINE"}}) {
        SCOPED_TRACE(std::string(command));
        EXPECT_EQ(send(command), "");
        EXPECT_EQ(send("LFO:FUNC:SHAP?"), std::string(shape) + "\n");
    }

    EXPECT_EQ(send("LFO:FUNC:FREQ 0.1 Hz;FREQ?"), "0.1\n");
    EXPECT_EQ(send("LFO:FUNC:FREQ 1 MHz;FREQ?"), "1000000\n");
    EXPECT_EQ(send("SOURCE:LFOUTPUT:FUNCTION:FREQUENCY 12.5kHz;FREQ?"), "12500\n");

    EXPECT_EQ(send("LFO:AMP 500 mV;AMP?"), "0.5\n");
    EXPECT_EQ(send("LFO:AMPL 2.5 V;AMPL?"), "2.5\n");
    EXPECT_EQ(send("LFO:AMP 250000 uV;AMP?"), "0.25\n");
    EXPECT_EQ(send("LFO:AMP 0;AMP?"), "0\n");

    EXPECT_EQ(send("LFO ON;:LFO?"), "1\n");
    EXPECT_EQ(send("LFO:STAT OFF;STAT?"), "0\n");
    EXPECT_EQ(next_error(), "0,\"No error\"\n");
}

TEST_F(InstrumentCommands, OutOfRangeValuesLeaveTheSettingUnchanged) {
    send("FREQ 2 GHz");
    send("POW 1");
    send("LFO:FUNC:FREQ 9 kHz");
    send("LFO:AMP 3");
    for (std::string_view command :
         {"FREQ 8999 Hz", "FREQ 6.000001 GHz", "FREQ -1", "FREQ 1e300", "POW 20.01", "POW -131",
          "LFO:FUNC:FREQ 0.09", "LFO:FUNC:FREQ 1.5 MHz", "LFO:AMP 4.001", "LFO:AMP -1 mV"}) {
        expect_error(command, -222);
    }
    EXPECT_EQ(send("FREQ?;POW?"), "2000000000;1\n");
    EXPECT_EQ(send("LFO:FUNC:FREQ?;:LFO:AMP?"), "9000;3\n");
}

TEST_F(InstrumentCommands, LimitsThemselvesAreAccepted) {
    EXPECT_EQ(send("FREQ 9 kHz;FREQ?"), "9000\n");
    EXPECT_EQ(send("FREQ 6 GHz;FREQ?"), "6000000000\n");
    EXPECT_EQ(send("POW -130;POW?"), "-130\n");
    EXPECT_EQ(send("POW 20;POW?"), "20\n");
    EXPECT_EQ(send("LFO:AMP 4 V;AMP?"), "4\n");
    EXPECT_EQ(next_error(), "0,\"No error\"\n");
}

TEST_F(InstrumentCommands, WrongCommandsReportTheirStandardErrors) {
    expect_error("FREQX 1", -113);
    expect_error("SOUR:OUTP ON", -113);
    expect_error("FREQ:CW:FIX 1 GHz", -113);
    expect_error("FRE 1 GHz", -113);       // neither short nor long form
    expect_error("FREQUENC 1 GHz", -113);  // a truncated long form
    expect_error("OUTP2 ON", -113);        // the only instance is 1
    expect_error("*XYZ", -113);
    expect_error("*IDN", -113);  // a query-only command without '?'
    expect_error("*RST?", -113);
    expect_error("SYST:ERR", -113);
    expect_error("FREQ 1 V", -131);
    expect_error("POW 1 Hz", -131);
    expect_error("LFO:AMP 1 dBm", -131);
    expect_error("FREQ", -109);
    expect_error("OUTP", -109);
    expect_error("FREQ 1 GHz, 2 GHz", -108);
    expect_error("*RST 1", -108);
    expect_error("OUTP? 1", -108);
    expect_error("FREQ 'fast'", -104);
    expect_error("LFO:FUNC:SHAP 1", -104);
    expect_error("OUTP MAYBE", -224);
    expect_error("LFO:FUNC:SHAP SAWTOOTH", -224);
    expect_error("FREQ FAST", -224);
    expect_error("OUTP 1 V", -138);
    expect_error("FREQ 1 GHz GHz", -103);
    expect_error("FREQ 1 2", -103);
    expect_error("FREQ 1.2.3", -121);
    expect_error("FREQ 1e999", -123);
    expect_error("FREQ ,1", -102);
    expect_error("FREQ 1,", -102);
    expect_error("*WAI;;*WAI", -102);
    expect_error("FREQ 'unterminated", -151);
    expect_error("FREQ #3123", -168);
    expect_error("FREQUENCYFREQUENCY 1", -112);
}

TEST_F(InstrumentCommands, HeaderPathRulesAcrossUnitsOfOneMessage) {
    // After LFO:FUNC:SHAP the path is LFO:FUNC, so FREQ is the LF frequency.
    EXPECT_EQ(send("LFO:FUNC:SHAP SQU;FREQ 20 kHz"), "");
    EXPECT_EQ(send("LFO:FUNC:FREQ?;:FREQ?"), "20000;1000000000\n");
    // A leading colon returns to the root; common commands leave the path.
    EXPECT_EQ(send("SOUR:FREQ 3 GHz;:POW:LEV 5;*CLS;AMPL 6"), "");
    EXPECT_EQ(send("FREQ?;POW?"), "3000000000;6\n");
    // After :POW the path is the root again, where LEV is unknown.
    expect_error(":POW 5;LEV 7", -113);
    // After SOUR:FREQ the path is SOURce, where POWer is found; after
    // FREQ:CW it is FREQuency, where it is not.
    EXPECT_EQ(send("SOUR:FREQ 4 GHz;POW 7;:POW?"), "7\n");
    expect_error("FREQ:CW 3 GHz;POW 5", -113);
    // A new message starts again at the root: FREQ? is the RF frequency.
    EXPECT_EQ(generator.execute("LFO:FUNC:SHAP SIN\nFREQ?\n"), "3000000000\n");
}

TEST_F(InstrumentCommands, SeveralQueriesInOneMessageShareOneResponse) {
    EXPECT_EQ(send("*IDN?;*OPC?;FREQ?"),
              "Simulated Signal Sources,SG-4040,SIM001,1.0;1;1000000000\n");
    // A failed unit answers nothing; the others still run and answer.
    EXPECT_EQ(send("FREQ?;BOGUS?;POW?"), "1000000000;-30\n");
    EXPECT_EQ(next_error(), "-113,\"Undefined header\"\n");
    // A syntax error ends its message: the units after it never run.
    EXPECT_EQ(send("POW 3;FREQ 1 GHz GHz;POW 4"), "");
    EXPECT_EQ(send("POW?"), "3\n");
    EXPECT_EQ(next_error(), "-103,\"Invalid separator\"\n");
    // Two program messages in one transfer give two responses.
    EXPECT_EQ(generator.execute("FREQ?\nPOW?\n"), "1000000000\n3\n");
}

TEST_F(InstrumentCommands, QueriesAnswerLimitsWhenAsked) {
    EXPECT_EQ(send("FREQ? MIN;FREQ? MAX;FREQ? DEF"), "9000;6000000000;1000000000\n");
    EXPECT_EQ(send("LFO:FUNC:FREQ? MIN;FREQ? MAXIMUM"), "0.1;1000000\n");
    EXPECT_EQ(send("LFO:AMP? MAX"), "4\n");
    expect_error("FREQ? 5", -108);
    expect_error("FREQ? LOTS", -224);
}

TEST_F(InstrumentCommands, SystemVersion) {
    EXPECT_EQ(send("SYST:VERS?"), "1999.0\n");
    expect_error("SYST:VERS 1", -113);
}

}  // namespace
