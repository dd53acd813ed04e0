#include "scpi/signal_generator.h"

#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "scpi/scpi_units.h"
#include "scpi_mnemonic.h"

namespace sgsim {
namespace {

using Parameters = std::vector<Parameter>;

// One command of the generator's SCPI subsystems.
struct SubsystemCommand {
    enum class Kind { Numeric, Switch, Shape, ErrorQueue, Version };
    HeaderPattern header;
    Kind kind;
    const char* label = "";                       // as describe() names the setting
    double GeneratorSettings::*number = nullptr;  // Kind::Numeric
    bool GeneratorSettings::*flag = nullptr;      // Kind::Switch
    Unit unit = Unit::Hertz;                      // Kind::Numeric
    NumericLimits limits{};                       // Kind::Numeric
};

const std::vector<SubsystemCommand>& subsystem_commands() {
    using Kind = SubsystemCommand::Kind;
    using S = GeneratorSettings;
    static const std::vector<SubsystemCommand> commands{
        {HeaderPattern("[SOURce:]FREQuency[:CW|:FIXed]"), Kind::Numeric, "RF frequency",
         &S::rf_frequency_hz, nullptr, Unit::Hertz, kRfFrequencyLimits},
        {HeaderPattern("[SOURce:]POWer[:LEVel][:IMMediate][:AMPLitude]"), Kind::Numeric, "RF level",
         &S::rf_level_dbm, nullptr, Unit::DecibelMilliwatt, kRfLevelLimits},
        {HeaderPattern("OUTPut[:STATe]"), Kind::Switch, "RF output", nullptr, &S::rf_output},
        {HeaderPattern("[SOURce:]LFOutput:FUNCtion:SHAPe"), Kind::Shape, "LF shape"},
        {HeaderPattern("[SOURce:]LFOutput:FUNCtion:FREQuency"), Kind::Numeric, "LF frequency",
         &S::lf_frequency_hz, nullptr, Unit::Hertz, kLfFrequencyLimits},
        // "AMP" besides the standard short form "AMPL".
        {HeaderPattern("[SOURce:]LFOutput:AMPlitude|AMPLitude"), Kind::Numeric, "LF amplitude",
         &S::lf_amplitude_v, nullptr, Unit::Volt, kLfAmplitudeLimits},
        {HeaderPattern("[SOURce:]LFOutput[:STATe]"), Kind::Switch, "LF output", nullptr,
         &S::lf_output},
        {HeaderPattern("SYSTem:ERRor[:NEXT]"), Kind::ErrorQueue},
        {HeaderPattern("SYSTem:VERSion"), Kind::Version},
    };
    return commands;
}

// ON|OFF|<number> (a number rounding to 0 is OFF).
int parse_switch(const Parameter& parameter, bool& out) {
    switch (parameter.kind) {
        case Parameter::Kind::String:
            return scpi_error::kDataTypeError;
        case Parameter::Kind::Character:
            if (mnemonic_matches("ON", parameter.text)) {
                out = true;
                return 0;
            }
            if (mnemonic_matches("OFF", parameter.text)) {
                out = false;
                return 0;
            }
            return scpi_error::kIllegalParameterValue;
        case Parameter::Kind::Numeric:
            if (!parameter.suffix.empty()) {
                return scpi_error::kSuffixNotAllowed;
            }
            out = std::round(parameter.number) != 0.0;
            return 0;
    }
    return scpi_error::kDataTypeError;
}

int parse_shape(const Parameter& parameter, LfShape& out) {
    if (parameter.kind != Parameter::Kind::Character) {
        return scpi_error::kDataTypeError;
    }
    static constexpr std::array<std::pair<std::string_view, LfShape>, 3> kShapes{
        {{"SINE", LfShape::Sine}, {"SQUare", LfShape::Square}, {"TRIangle", LfShape::Triangle}}};
    for (const auto& [mnemonic, shape] : kShapes) {
        if (mnemonic_matches(mnemonic, parameter.text)) {
            out = shape;
            return 0;
        }
    }
    if (mnemonic_matches("SIN", parameter.text)) {  // the short form of SINE
        out = LfShape::Sine;
        return 0;
    }
    return scpi_error::kIllegalParameterValue;
}

// The query of a numeric setting: its value, or with MINimum, MAXimum or
// DEFault ("FREQ? MAX") that limit.
int query_numeric(const SubsystemCommand& command, const GeneratorSettings& settings,
                  const Parameters& parameters, std::string& out) {
    if (parameters.empty()) {
        out = format_number(settings.*(command.number));
        return 0;
    }
    if (parameters.size() > 1 || parameters.front().kind != Parameter::Kind::Character) {
        return scpi_error::kParameterNotAllowed;
    }
    const NumericResult limit = numeric_value(parameters.front(), command.unit, command.limits);
    if (limit.error == 0) {
        out = format_number(limit.value);
    }
    return limit.error;
}

std::string identification_of(const GeneratorConfig& config) {
    if (config.identification) {
        return *config.identification;
    }
    return "Simulated Signal Sources,SG-4040," + config.serial_number + ",1.0";
}

}  // namespace

SignalGenerator::SignalGenerator(GeneratorConfig config)
    : config_(std::move(config)),
      common_(
          identification_of(config_),
          [this] {
              settings_ = GeneratorSettings{};
              settings_set_.emplace_back("every setting to its default");
          },
          [this] { ++triggers_; }) {}

std::string SignalGenerator::identification() const {
    return common_.identification();
}

std::string SignalGenerator::describe_settings() const {
    return describe(settings_) + "Triggers: " + std::to_string(triggers_) + "\n";
}

std::string SignalGenerator::execute(std::string_view message) {
    settings_set_.clear();
    std::string response;
    // A linefeed ends a program message; a final linefeed leaves an empty
    // piece behind it, which holds no unit.
    std::size_t start = 0;
    while (start <= message.size()) {
        std::size_t end = message.find('\n', start);
        if (end == std::string_view::npos) {
            end = message.size();
        }
        run_program_message(
            message.substr(start, end - start), common_,
            [this](const ProgramUnit& unit, std::string& out) { return run_subsystem(unit, out); },
            ResponseRules{!config_.no_newline, kMaxResponseBytes}, response);
        start = end + 1;
    }
    return response;
}

int SignalGenerator::run_subsystem(const ProgramUnit& unit, std::string& out) {
    using Kind = SubsystemCommand::Kind;
    const SubsystemCommand* command = nullptr;
    for (const SubsystemCommand& candidate : subsystem_commands()) {
        if (candidate.header.matches(unit.header)) {
            command = &candidate;
            break;
        }
    }
    if (command == nullptr) {
        return scpi_error::kUndefinedHeader;
    }
    const Parameters& parameters = unit.parameters;

    if (unit.query) {
        if (command->kind == Kind::Numeric) {
            return query_numeric(*command, settings_, parameters, out);
        }
        if (!parameters.empty()) {
            return scpi_error::kParameterNotAllowed;
        }
        switch (command->kind) {
            case Kind::Numeric:
                break;
            case Kind::Switch:
                out = settings_.*(command->flag) ? "1" : "0";
                break;
            case Kind::Shape:
                out = shape_name(settings_.lf_shape);
                break;
            case Kind::ErrorQueue:
                out = common_.next_error();
                break;
            case Kind::Version:
                out = "1999.0";  // the SCPI version this instrument follows
                break;
        }
        return 0;
    }

    if (command->kind == Kind::ErrorQueue || command->kind == Kind::Version) {
        return scpi_error::kUndefinedHeader;  // query-only
    }
    if (int code = single_parameter(parameters); code != 0) {
        return code;
    }
    const Parameter& parameter = parameters.front();
    int code = scpi_error::kUndefinedHeader;
    std::string value;
    switch (command->kind) {
        case Kind::Numeric: {
            const NumericResult result = numeric_value(parameter, command->unit, command->limits);
            if (result.error == 0) {
                settings_.*(command->number) = result.value;
                value = describe_quantity(result.value, command->unit);
            }
            code = result.error;
            break;
        }
        case Kind::Switch:
            code = parse_switch(parameter, settings_.*(command->flag));
            value = settings_.*(command->flag) ? "ON" : "OFF";
            break;
        case Kind::Shape:
            code = parse_shape(parameter, settings_.lf_shape);
            value = shape_name(settings_.lf_shape);
            break;
        case Kind::ErrorQueue:
        case Kind::Version:
            break;
    }
    if (code == 0) {
        settings_set_.push_back(std::string(command->label) + " " + value);
    }
    return code;
}

}  // namespace sgsim
