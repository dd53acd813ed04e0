#include "scpi/scpi_units.h"

#include <array>
#include <charconv>
#include <cmath>
#include <utility>

#include "scpi/error_queue.h"
#include "scpi_mnemonic.h"

namespace sgsim {
namespace {

struct Suffix {
    std::string_view name;
    double multiplier;
};

constexpr std::array kHertzSuffixes{Suffix{"HZ", 1.0}, Suffix{"KHZ", 1e3}, Suffix{"MHZ", 1e6},
                                    Suffix{"MAHZ", 1e6}, Suffix{"GHZ", 1e9}};
constexpr std::array kDbmSuffixes{Suffix{"DBM", 1.0}};
constexpr std::array kVoltSuffixes{Suffix{"V", 1.0}, Suffix{"MV", 1e-3}, Suffix{"UV", 1e-6}};

bool same_letters(std::string_view upper_case, std::string_view word) {
    if (upper_case.size() != word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = word[i];
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
        if (c != upper_case[i]) {
            return false;
        }
    }
    return true;
}

template <std::size_t N>
std::optional<double> find_multiplier(const std::array<Suffix, N>& suffixes,
                                      std::string_view suffix) {
    for (const Suffix& s : suffixes) {
        if (same_letters(s.name, suffix)) {
            return s.multiplier;
        }
    }
    return std::nullopt;
}

double round_to(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    // Dividing the rounded count by an exact power of ten gives the double
    // nearest the decimal value, so 1.1 kHz is exactly 1100.
    return std::round(value * scale) / scale;
}

}  // namespace

std::optional<double> suffix_multiplier(Unit unit, std::string_view suffix) {
    if (suffix.empty()) {
        return 1.0;
    }
    switch (unit) {
        case Unit::Hertz:
            return find_multiplier(kHertzSuffixes, suffix);
        case Unit::DecibelMilliwatt:
            return find_multiplier(kDbmSuffixes, suffix);
        case Unit::Volt:
            return find_multiplier(kVoltSuffixes, suffix);
    }
    return std::nullopt;
}

NumericResult numeric_value(const Parameter& parameter, Unit unit, const NumericLimits& limits) {
    switch (parameter.kind) {
        case Parameter::Kind::String:
            return {0.0, scpi_error::kDataTypeError};
        case Parameter::Kind::Character:
            if (mnemonic_matches("MINimum", parameter.text)) {
                return {limits.minimum, 0};
            }
            if (mnemonic_matches("MAXimum", parameter.text)) {
                return {limits.maximum, 0};
            }
            if (mnemonic_matches("DEFault", parameter.text)) {
                return {limits.default_value, 0};
            }
            return {0.0, scpi_error::kIllegalParameterValue};
        case Parameter::Kind::Numeric:
            break;
    }
    const std::optional<double> multiplier = suffix_multiplier(unit, parameter.suffix);
    if (!multiplier) {
        return {0.0, scpi_error::kInvalidSuffix};
    }
    const double value = round_to(parameter.number * *multiplier, limits.decimals);
    if (!std::isfinite(value) || value < limits.minimum || value > limits.maximum) {
        return {0.0, scpi_error::kDataOutOfRange};
    }
    return {value == 0.0 ? 0.0 : value, 0};  // no "-0"
}

std::string format_number(double value) {
    if (value == 0.0 || !std::isfinite(value)) {
        return "0";
    }
    std::array<char, 400> buffer{};  // fixed notation of any double fits
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed);
    return std::string(buffer.data(), result.ptr);
}

std::string describe_quantity(double value, Unit unit) {
    // Each scaled value is rounded to nine decimals so that no binary
    // fraction shows ("1.5 MHz", not "1.4999999999999998 MHz").
    static constexpr std::array<std::pair<double, std::string_view>, 3> kHertz{
        {{1e9, "GHz"}, {1e6, "MHz"}, {1e3, "kHz"}}};
    switch (unit) {
        case Unit::DecibelMilliwatt:
            return format_number(value) + " dBm";
        case Unit::Hertz:
            for (const auto& [scale, name] : kHertz) {
                if (std::fabs(value) >= scale) {
                    return format_number(round_to(value / scale, 9)) + " " + std::string(name);
                }
            }
            return format_number(value) + " Hz";
        case Unit::Volt:
            if (value != 0.0 && std::fabs(value) < 1.0) {
                return format_number(round_to(value * 1e3, 9)) + " mV";
            }
            return format_number(value) + " V";
    }
    return format_number(value);
}

}  // namespace sgsim
