// Numeric values with unit suffixes, multipliers and MIN/MAX/DEF, and the
// number forms the generator writes back.
#include <gtest/gtest.h>

#include "scpi/error_queue.h"
#include "scpi/scpi_units.h"

namespace {

using sgsim::NumericLimits;
using sgsim::Parameter;
using sgsim::Unit;

Parameter number(double value, std::string suffix = "") {
    Parameter p;
    p.kind = Parameter::Kind::Numeric;
    p.number = value;
    p.suffix = std::move(suffix);
    return p;
}

Parameter word(std::string text, Parameter::Kind kind = Parameter::Kind::Character) {
    Parameter p;
    p.kind = kind;
    p.text = std::move(text);
    return p;
}

TEST(ScpiUnits, SuffixMultipliersPerUnitInAnyCase) {
    EXPECT_EQ(sgsim::suffix_multiplier(Unit::Hertz, ""), 1.0);
    EXPECT_EQ(sgsim::suffix_multiplier(Unit::Hertz, "hz"), 1.0);
    EXPECT_EQ(sgsim::suffix_multiplier(Unit::Hertz, "kHz"), 1e3);
    EXPECT_EQ(sgsim::suffix_multiplier(Unit::Hertz, "KHZ"), 1e3);
    EXPECT_EQ(sgsim::suffix_multiplier(Unit::Hertz, "MHz"), 1e6);
    EXPECT_EQ(sgsim::suffix_multiplier(Unit::Hertz, "mhz"), 1e6);  // SCPI: MHZ is mega
    EXPECT_EQ(sgsim::suffix_multiplier(Unit::Hertz, "GHz"), 1e9);
    EXPECT_EQ(sgsim::suffix_multiplier(Unit::DecibelMilliwatt, "dBm"), 1.0);
    EXPECT_EQ(sgsim::suffix_multiplier(Unit::Volt, "V"), 1.0);
    EXPECT_EQ(sgsim::suffix_multiplier(Unit::Volt, "mV"), 1e-3);
    EXPECT_EQ(sgsim::suffix_multiplier(Unit::Volt, "MV"), 1e-3);  // SCPI: MV is milli
    EXPECT_EQ(sgsim::suffix_multiplier(Unit::Volt, "uV"), 1e-6);

    EXPECT_FALSE(sgsim::suffix_multiplier(Unit::Hertz, "V"));
    EXPECT_FALSE(sgsim::suffix_multiplier(Unit::Hertz, "THz"));
    EXPECT_FALSE(sgsim::suffix_multiplier(Unit::Hertz, "kH"));
    EXPECT_FALSE(sgsim::suffix_multiplier(Unit::DecibelMilliwatt, "dB"));
    EXPECT_FALSE(sgsim::suffix_multiplier(Unit::Volt, "Hz"));
}

TEST(ScpiUnits, ValuesInBaseUnitsWithinLimits) {
    const NumericLimits limits{9e3, 6e9, 1e9, 3};
    EXPECT_EQ(sgsim::numeric_value(number(9, "kHz"), Unit::Hertz, limits).value, 9e3);
    EXPECT_EQ(sgsim::numeric_value(number(11.1, "kHz"), Unit::Hertz, limits).value, 11100.0);
    EXPECT_EQ(sgsim::numeric_value(number(2.4, "GHz"), Unit::Hertz, limits).value, 2.4e9);
    EXPECT_EQ(sgsim::numeric_value(number(10000.0004), Unit::Hertz, limits).value, 10000.0);
    EXPECT_EQ(sgsim::numeric_value(word("max"), Unit::Hertz, limits).value, 6e9);
    EXPECT_EQ(sgsim::numeric_value(word("MINimum"), Unit::Hertz, limits).value, 9e3);
    EXPECT_EQ(sgsim::numeric_value(word("DEF"), Unit::Hertz, limits).value, 1e9);

    EXPECT_EQ(sgsim::numeric_value(number(8.999, "kHz"), Unit::Hertz, limits).error, -222);
    EXPECT_EQ(sgsim::numeric_value(number(6.1, "GHz"), Unit::Hertz, limits).error, -222);
    EXPECT_EQ(sgsim::numeric_value(number(1e308, "GHz"), Unit::Hertz, limits).error, -222);
    EXPECT_EQ(sgsim::numeric_value(number(1, "dBm"), Unit::Hertz, limits).error, -131);
    EXPECT_EQ(sgsim::numeric_value(word("LOTS"), Unit::Hertz, limits).error, -224);
    EXPECT_EQ(sgsim::numeric_value(word("1", Parameter::Kind::String), Unit::Hertz, limits).error,
              -104);

    const NumericLimits volts{0.0, 4.0, 1.0, 3};
    const auto millivolts = sgsim::numeric_value(number(-0.0001, "V"), Unit::Volt, volts);
    EXPECT_EQ(millivolts.error, 0);  // rounds to 0 mV, and never to "-0"
    EXPECT_EQ(sgsim::format_number(millivolts.value), "0");
}

TEST(ScpiUnits, PlainNumberForms) {
    EXPECT_EQ(sgsim::format_number(1e9), "1000000000");
    EXPECT_EQ(sgsim::format_number(6e9), "6000000000");
    EXPECT_EQ(sgsim::format_number(-30.0), "-30");
    EXPECT_EQ(sgsim::format_number(1.0), "1");
    EXPECT_EQ(sgsim::format_number(0.1), "0.1");
    EXPECT_EQ(sgsim::format_number(-12.25), "-12.25");
    EXPECT_EQ(sgsim::format_number(123456.789), "123456.789");
    EXPECT_EQ(sgsim::format_number(-0.0), "0");
}

TEST(ScpiUnits, QuantitiesForPeople) {
    EXPECT_EQ(sgsim::describe_quantity(1e9, Unit::Hertz), "1 GHz");
    EXPECT_EQ(sgsim::describe_quantity(1.5e6, Unit::Hertz), "1.5 MHz");
    EXPECT_EQ(sgsim::describe_quantity(9e3, Unit::Hertz), "9 kHz");
    EXPECT_EQ(sgsim::describe_quantity(123456.789, Unit::Hertz), "123.456789 kHz");
    EXPECT_EQ(sgsim::describe_quantity(0.1, Unit::Hertz), "0.1 Hz");
    EXPECT_EQ(sgsim::describe_quantity(-30.0, Unit::DecibelMilliwatt), "-30 dBm");
    EXPECT_EQ(sgsim::describe_quantity(3.0, Unit::Volt), "3 V");
    EXPECT_EQ(sgsim::describe_quantity(0.5, Unit::Volt), "500 mV");
    EXPECT_EQ(sgsim::describe_quantity(0.0, Unit::Volt), "0 V");
}

}  // namespace
