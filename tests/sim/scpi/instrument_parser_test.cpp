// The SCPI program message parser and header patterns on their own: what a
// message breaks into, and where the parser stops with which error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scpi/scpi_mnemonic.h"
#include "scpi/scpi_parser.h"

namespace {

using sgsim::HeaderPattern;
using sgsim::Parameter;
using sgsim::ProgramUnit;
using sgsim::ScpiParser;

std::vector<ProgramUnit> parse_all(std::string_view message, int expected_error = 0) {
    ScpiParser parser(message);
    std::vector<ProgramUnit> units;
    while (std::optional<ProgramUnit> unit = parser.next()) {
        units.push_back(std::move(*unit));
    }
    EXPECT_EQ(parser.error(), expected_error) << message;
    EXPECT_FALSE(parser.next().has_value());  // stays finished
    return units;
}

using Nodes = std::vector<std::string>;

TEST(ScpiParserUnits, CommonAndCompoundHeadersWithQueries) {
    const auto units = parse_all("*RST;*idn?; :SOUR:FREQ:CW?;OUTPut:STATe ON");
    ASSERT_EQ(units.size(), 4u);
    EXPECT_TRUE(units[0].common);
    EXPECT_EQ(units[0].header, Nodes{"RST"});
    EXPECT_FALSE(units[0].query);
    EXPECT_TRUE(units[1].common);
    EXPECT_EQ(units[1].header, Nodes{"idn"});
    EXPECT_TRUE(units[1].query);
    EXPECT_FALSE(units[2].common);
    EXPECT_EQ(units[2].header, (Nodes{"SOUR", "FREQ", "CW"}));
    EXPECT_TRUE(units[2].query);
    EXPECT_TRUE(units[2].parameters.empty());
    // The path after SOUR:FREQ:CW is SOUR:FREQ.
    EXPECT_EQ(units[3].header, (Nodes{"SOUR", "FREQ", "OUTPut", "STATe"}));
    ASSERT_EQ(units[3].parameters.size(), 1u);
    EXPECT_EQ(units[3].parameters[0].kind, Parameter::Kind::Character);
    EXPECT_EQ(units[3].parameters[0].text, "ON");
}

TEST(ScpiParserUnits, EmptyMessagesAndTrailingSeparator) {
    EXPECT_TRUE(parse_all("").empty());
    EXPECT_TRUE(parse_all(" \t\r ").empty());
    EXPECT_EQ(parse_all("*RST;").size(), 1u);
    EXPECT_EQ(parse_all("*RST ; *CLS ").size(), 2u);
}

TEST(ScpiParserParameters, NumbersSuffixesStringsAndWords) {
    const auto units =
        parse_all("X 9 kHz,-1.5e3,+.5MHZ, 7 ,#HfF,#Q17,#B101,'it''s',\"a;b\",MAX,1.");
    ASSERT_EQ(units.size(), 1u);
    const auto& p = units[0].parameters;
    ASSERT_EQ(p.size(), 11u);
    EXPECT_EQ(p[0].kind, Parameter::Kind::Numeric);
    EXPECT_EQ(p[0].number, 9.0);
    EXPECT_EQ(p[0].suffix, "kHz");
    EXPECT_EQ(p[1].number, -1500.0);
    EXPECT_EQ(p[1].suffix, "");
    EXPECT_EQ(p[2].number, 0.5);
    EXPECT_EQ(p[2].suffix, "MHZ");
    EXPECT_EQ(p[3].number, 7.0);
    EXPECT_EQ(p[4].number, 255.0);
    EXPECT_EQ(p[5].number, 15.0);
    EXPECT_EQ(p[6].number, 5.0);
    EXPECT_EQ(p[7].kind, Parameter::Kind::String);
    EXPECT_EQ(p[7].text, "it's");
    EXPECT_EQ(p[8].text, "a;b");  // a ';' inside a string separates nothing
    EXPECT_EQ(p[9].kind, Parameter::Kind::Character);
    EXPECT_EQ(p[9].text, "MAX");
    EXPECT_EQ(p[10].number, 1.0);
}

TEST(ScpiParserErrors, StopsAtTheFirstErrorWithItsCode) {
    struct Case {
        std::string_view message;
        int error;
        std::size_t units_before;
    };
    for (const Case& c : std::vector<Case>{
             {"*RST;;*CLS", -102, 1},
             {"*RST;FREQ,1", -102, 1},
             {"FREQ 1;:", -102, 1},
             {"FREQ::CW 1", -102, 0},
             {"*", -102, 0},
             {"*1", -102, 0},
             {"?", -102, 0},
             {"FREQ? X Y", -103, 0},
             {"FREQ 1 GHz GHz", -103, 0},
             {"FREQ -", -120, 0},
             {"FREQ .", -120, 0},
             {"FREQ 1..", -121, 0},
             {"FREQ #B102", -121, 0},
             {"FREQ #H", -120, 0},
             {"FREQ #HFFFFFFFFFFFFFFFFF", -120, 0},
             {"FREQ #", -102, 0},
             {"FREQ #5abcde", -168, 0},
             {"FREQ 1e400", -123, 0},
             {"FREQ \"abc", -151, 0},
             {"ABCDEFGHIJKLM", -112, 0},
             {"FREQ ABCDEFGHIJKLM", -144, 0},
             {"FREQ 1 ABCDEFGHIJKLM", -134, 0},
             {"A:B:C:D:E:F:G:H:I", -113, 0},
             {"FREQ 1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1", -108, 0},
             {std::string_view("*RST\0", 5), -101, 0},
             {"*RST\x01", -101, 0},
             {"FREQ \x7f", -101, 0},
             {"FREQ\xff", -101, 0},
         }) {
        SCOPED_TRACE(std::string(c.message));
        EXPECT_EQ(parse_all(c.message, c.error).size(), c.units_before);
    }
}

TEST(ScpiParserErrors, PathBeyondTheDeepestCommandIsRefused) {
    // Each unit goes one node deeper along the path; the parser stops before
    // the header grows past its bound.
    EXPECT_EQ(parse_all("A:B;C:D;E:F;G:H;I:J;K:L;M:N;O:P", -113).size(), 7u);
}

TEST(ScpiMnemonics, ShortAndLongFormsInAnyCase) {
    EXPECT_TRUE(sgsim::mnemonic_matches("FREQuency", "FREQ"));
    EXPECT_TRUE(sgsim::mnemonic_matches("FREQuency", "frequency"));
    EXPECT_TRUE(sgsim::mnemonic_matches("FREQuency", "FrEqUeNcY"));
    EXPECT_FALSE(sgsim::mnemonic_matches("FREQuency", "FRE"));
    EXPECT_FALSE(sgsim::mnemonic_matches("FREQuency", "FREQU"));
    EXPECT_FALSE(sgsim::mnemonic_matches("FREQuency", "FREQUENCYS"));
    EXPECT_FALSE(sgsim::mnemonic_matches("FREQuency", ""));
    EXPECT_TRUE(sgsim::mnemonic_matches("ON", "on"));
    EXPECT_FALSE(sgsim::mnemonic_matches("ON", "O"));
}

TEST(ScpiMnemonics, HeaderPatternsWithOptionalNodesAndAlternatives) {
    const HeaderPattern frequency("[SOURce:]FREQuency[:CW|:FIXed]");
    EXPECT_TRUE(frequency.matches(Nodes{"FREQ"}));
    EXPECT_TRUE(frequency.matches(Nodes{"sour", "freq"}));
    EXPECT_TRUE(frequency.matches(Nodes{"SOURce1", "FREQ", "FIX"}));
    EXPECT_TRUE(frequency.matches(Nodes{"FREQ", "cw"}));
    EXPECT_FALSE(frequency.matches(Nodes{}));
    EXPECT_FALSE(frequency.matches(Nodes{"SOUR"}));
    EXPECT_FALSE(frequency.matches(Nodes{"FREQ", "CW", "FIX"}));
    EXPECT_FALSE(frequency.matches(Nodes{"SOUR2", "FREQ"}));
    EXPECT_FALSE(frequency.matches(Nodes{"CW", "FREQ"}));

    const HeaderPattern level("[SOURce:]POWer[:LEVel][:IMMediate][:AMPLitude]");
    EXPECT_TRUE(level.matches(Nodes{"POW"}));
    EXPECT_TRUE(level.matches(Nodes{"POW", "AMPL"}));
    EXPECT_TRUE(level.matches(Nodes{"POW", "LEV", "AMPL"}));
    EXPECT_TRUE(level.matches(Nodes{"SOUR", "POW", "LEV", "IMM", "AMPL"}));
    EXPECT_FALSE(level.matches(Nodes{"POW", "AMPL", "LEV"}));  // order matters

    const HeaderPattern amplitude("[SOURce:]LFOutput:AMPlitude|AMPLitude");
    EXPECT_TRUE(amplitude.matches(Nodes{"LFO", "AMP"}));
    EXPECT_TRUE(amplitude.matches(Nodes{"LFO", "AMPL"}));
    EXPECT_TRUE(amplitude.matches(Nodes{"SOUR", "LFOUTPUT", "AMPLITUDE"}));
    EXPECT_FALSE(amplitude.matches(Nodes{"LFO", "AM"}));
    EXPECT_FALSE(amplitude.matches(Nodes{"LFO"}));

    const HeaderPattern error_queue("SYSTem:ERRor[:NEXT]");
    EXPECT_TRUE(error_queue.matches(Nodes{"SYST", "ERR"}));
    EXPECT_TRUE(error_queue.matches(Nodes{"SYSTEM", "ERROR", "NEXT"}));
    EXPECT_FALSE(error_queue.matches(Nodes{"ERR"}));
}

}  // namespace
