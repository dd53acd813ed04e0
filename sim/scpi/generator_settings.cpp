#include "scpi/generator_settings.h"

namespace sgsim {
namespace {

std::string_view on_off(bool on) {
    return on ? "ON" : "OFF";
}

}  // namespace

std::string_view shape_name(LfShape shape) {
    switch (shape) {
        case LfShape::Sine:
            return "SINE";
        case LfShape::Square:
            return "SQUARE";
        case LfShape::Triangle:
            return "TRIANGLE";
    }
    return "SINE";
}

std::string describe(const GeneratorSettings& settings) {
    std::string out;
    out += "RF frequency: " + describe_quantity(settings.rf_frequency_hz, Unit::Hertz) + "\n";
    out += "RF level: " + describe_quantity(settings.rf_level_dbm, Unit::DecibelMilliwatt) + "\n";
    out += "RF output: " + std::string(on_off(settings.rf_output)) + "\n";
    out += "LF shape: " + std::string(shape_name(settings.lf_shape)) + "\n";
    out += "LF frequency: " + describe_quantity(settings.lf_frequency_hz, Unit::Hertz) + "\n";
    out += "LF amplitude: " + describe_quantity(settings.lf_amplitude_v, Unit::Volt) + "\n";
    out += "LF output: " + std::string(on_off(settings.lf_output)) + "\n";
    return out;
}

}  // namespace sgsim
