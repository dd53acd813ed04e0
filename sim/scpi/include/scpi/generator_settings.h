// The settings of the simulated generator, their limits and their defaults
// (the state after power on and after *RST):
//   RF frequency 1 GHz (9 kHz .. 6 GHz, 1 mHz steps)
//   RF level -30 dBm (-130 .. +20 dBm, 0.01 dB steps)
//   RF output OFF
//   LF shape SINE (SINE, SQUARE, TRIANGLE)
//   LF frequency 1 kHz (0.1 Hz .. 1 MHz, 1 mHz steps)
//   LF amplitude 1 V (0 .. 4 V, 1 mV steps)
//   LF output OFF
#pragma once

#include <string>
#include <string_view>

#include "scpi/scpi_units.h"

namespace sgsim {

enum class LfShape { Sine, Square, Triangle };

inline constexpr NumericLimits kRfFrequencyLimits{9e3, 6e9, 1e9, 3};
inline constexpr NumericLimits kRfLevelLimits{-130.0, 20.0, -30.0, 2};
inline constexpr NumericLimits kLfFrequencyLimits{0.1, 1e6, 1e3, 3};
inline constexpr NumericLimits kLfAmplitudeLimits{0.0, 4.0, 1.0, 3};

struct GeneratorSettings {
    double rf_frequency_hz = kRfFrequencyLimits.default_value;
    double rf_level_dbm = kRfLevelLimits.default_value;
    bool rf_output = false;
    LfShape lf_shape = LfShape::Sine;
    double lf_frequency_hz = kLfFrequencyLimits.default_value;
    double lf_amplitude_v = kLfAmplitudeLimits.default_value;
    bool lf_output = false;

    bool operator==(const GeneratorSettings&) const = default;
};

// The name a query answers for `shape`: "SINE", "SQUARE", "TRIANGLE".
std::string_view shape_name(LfShape shape);

// One line per setting, e.g. "RF frequency: 1 GHz\n" ... "LF output: OFF\n".
std::string describe(const GeneratorSettings& settings);

}  // namespace sgsim
