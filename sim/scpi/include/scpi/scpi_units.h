// Numeric parameter values with SCPI unit suffixes and multipliers (Hz, kHz,
// MHz, GHz; dBm; V, mV, uV), the MINimum/MAXimum/DEFault words, and the plain
// decimal form in which the generator writes numbers back.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "scpi/scpi_parser.h"

namespace sgsim {

enum class Unit { Hertz, DecibelMilliwatt, Volt };

struct NumericLimits {
    double minimum = 0.0;
    double maximum = 0.0;
    double default_value = 0.0;
    int decimals = 0;  // values are rounded to this many decimal places
};

struct NumericResult {
    double value = 0.0;
    int error = 0;  // a SCPI error code, 0 when `value` holds the result
};

// The factor that turns a value written with `suffix` into the base unit of
// `unit`, or nullopt when `suffix` is no suffix of that unit. Suffixes are
// case-insensitive, so as in SCPI "MHZ" is megahertz while "MV" is millivolt.
// An empty suffix means the base unit.
std::optional<double> suffix_multiplier(Unit unit, std::string_view suffix);

// The value of `parameter` in the base unit of `unit`: a number with an
// optional suffix, or MINimum, MAXimum or DEFault. Errors: -104 for string
// data, -131 for a suffix of another unit, -224 for other words, -222 when
// the value lies outside `limits`.
NumericResult numeric_value(const Parameter& parameter, Unit unit, const NumericLimits& limits);

// A number in the plain decimal form of query responses, shortest exact:
// 1e9 -> "1000000000", -30 -> "-30", 0.1 -> "0.1".
std::string format_number(double value);

// A value for people to read, with the multiplier that suits it:
// 1e9 Hz -> "1 GHz", 9000 Hz -> "9 kHz", -30 dBm -> "-30 dBm", 0.5 V -> "500 mV".
std::string describe_quantity(double value, Unit unit);

}  // namespace sgsim
