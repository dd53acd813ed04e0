#include "signal_generator.h"

#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "scpi_mnemonic.h"
#include "scpi_units.h"

namespace sgsim {
namespace {

using Parameters = std::vector<Parameter>;

// One command of the generator's SCPI subsystems.
struct SubsystemCommand {
    enum class Kind { Numeric, Switch, Shape, ErrorQueue, Version };
    HeaderPattern header;
    Kind kind;
    double GeneratorSettings::*number = nullptr;  // Kind::Numeric
    bool GeneratorSettings::*flag = nullptr;      // Kind::Switch
    Unit unit = Unit::Hertz;                      // Kind::Numeric
    NumericLimits limits{};                       // Kind::Numeric
};

const std::vector<SubsystemCommand>& subsystem_commands() {
    using Kind = SubsystemCommand::Kind;
    using S = GeneratorSettings;
    static const std::vector<SubsystemCommand> commands{
        {HeaderPattern("[SOURce:]FREQuency[:CW|:FIXed]"), Kind::Numeric, &S::rf_frequency_hz,
         nullptr, Unit::Hertz, kRfFrequencyLimits},
        {HeaderPattern("[SOURce:]POWer[:LEVel][:IMMediate][:AMPLitude]"), Kind::Numeric,
         &S::rf_level_dbm, nullptr, Unit::DecibelMilliwatt, kRfLevelLimits},
        {HeaderPattern("OUTPut[:STATe]"), Kind::Switch, nullptr, &S::rf_output},
        {HeaderPattern("[SOURce:]LFOutput:FUNCtion:SHAPe"), Kind::Shape},
        {HeaderPattern("[SOURce:]LFOutput:FUNCtion:FREQuency"), Kind::Numeric, &S::lf_frequency_hz,
         nullptr, Unit::Hertz, kLfFrequencyLimits},
        // "AMP" besides the standard short form "AMPL".
        {HeaderPattern("[SOURce:]LFOutput:AMPlitude|AMPLitude"), Kind::Numeric, &S::lf_amplitude_v,
         nullptr, Unit::Volt, kLfAmplitudeLimits},
        {HeaderPattern("[SOURce:]LFOutput[:STATe]"), Kind::Switch, nullptr, &S::lf_output},
        {HeaderPattern("SYSTem:ERRor[:NEXT]"), Kind::ErrorQueue},
        {HeaderPattern("SYSTem:VERSion"), Kind::Version},
    };
    return commands;
}

// The single parameter of a setting command, or the error for a wrong count.
int single_parameter(const Parameters& parameters) {
    if (parameters.empty()) {
        return scpi_error::kMissingParameter;
    }
    return parameters.size() > 1 ? scpi_error::kParameterNotAllowed : 0;
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

// A register value for *ESE and *SRE: an integer 0..255 without suffix.
int parse_register(const Parameter& parameter, std::uint8_t& out) {
    if (parameter.kind != Parameter::Kind::Numeric) {
        return scpi_error::kDataTypeError;
    }
    if (!parameter.suffix.empty()) {
        return scpi_error::kSuffixNotAllowed;
    }
    const double value = std::round(parameter.number);
    if (!(value >= 0.0 && value <= 255.0)) {
        return scpi_error::kDataOutOfRange;
    }
    out = static_cast<std::uint8_t>(value);
    return 0;
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

bool equal_ignoring_case(std::string_view upper_case, std::string_view word) {
    return upper_case.size() == word.size() && mnemonic_matches(upper_case, word);
}

}  // namespace

SignalGenerator::SignalGenerator(GeneratorConfig config) : config_(std::move(config)) {}

std::string SignalGenerator::identification() const {
    if (config_.identification) {
        return *config_.identification;
    }
    return "Simulated Signal Sources,SG-4040," + config_.serial_number + ",1.0";
}

std::string SignalGenerator::describe_settings() const {
    return describe(settings_);
}

std::string SignalGenerator::execute(std::string_view message) {
    std::string response;
    // A linefeed ends a program message; a final linefeed leaves an empty
    // piece behind it, which holds no unit.
    std::size_t start = 0;
    while (start <= message.size()) {
        std::size_t end = message.find('\n', start);
        if (end == std::string_view::npos) {
            end = message.size();
        }
        run_program_message(message.substr(start, end - start), response);
        start = end + 1;
    }
    return response;
}

void SignalGenerator::run_program_message(std::string_view program_message, std::string& response) {
    ScpiParser parser(program_message);
    std::string answers;
    bool answered = false;
    while (std::optional<ProgramUnit> unit = parser.next()) {
        std::string answer;
        const int code = unit->common ? run_common(*unit, answer) : run_subsystem(*unit, answer);
        if (code != 0) {
            report(code);
            continue;
        }
        if (!unit->query) {
            continue;
        }
        if (response.size() + answers.size() + answer.size() + 2 > kMaxResponseBytes) {
            report(scpi_error::kOutOfMemory);
            continue;
        }
        if (answered) {
            answers += ';';
        }
        answers += answer;
        answered = true;
    }
    report(parser.error());
    if (answered) {
        response += answers;
        if (!config_.no_newline) {
            response += '\n';
        }
    }
}

void SignalGenerator::report(int code) {
    if (code == 0) {
        return;
    }
    errors_.push(code);
    status_.record_error(code);
}

int SignalGenerator::run_common(const ProgramUnit& unit, std::string& out) {
    const std::string_view name = unit.header.front();
    const Parameters& parameters = unit.parameters;
    const bool query = unit.query;
    auto no_parameters = [&] { return parameters.empty() ? 0 : scpi_error::kParameterNotAllowed; };

    if (equal_ignoring_case("IDN", name) && query) {
        out = identification();
        return no_parameters();
    }
    if (equal_ignoring_case("RST", name) && !query) {
        if (int code = no_parameters(); code != 0) {
            return code;
        }
        settings_ = GeneratorSettings{};
        return 0;
    }
    if (equal_ignoring_case("CLS", name) && !query) {
        if (int code = no_parameters(); code != 0) {
            return code;
        }
        errors_.clear();
        status_.clear_events();
        return 0;
    }
    if (equal_ignoring_case("OPC", name)) {
        if (int code = no_parameters(); code != 0) {
            return code;
        }
        // Every operation completes before the next command is parsed.
        if (query) {
            out = "1";
        } else {
            status_.set_events(StatusRegisters::kOperationComplete);
        }
        return 0;
    }
    if (equal_ignoring_case("WAI", name) && !query) {
        return no_parameters();
    }
    if (equal_ignoring_case("TST", name) && query) {
        out = "0";  // the self-test passes
        return no_parameters();
    }
    if (equal_ignoring_case("ESR", name) && query) {
        if (int code = no_parameters(); code != 0) {
            return code;
        }
        out = std::to_string(status_.read_event_status());
        return 0;
    }
    if (equal_ignoring_case("STB", name) && query) {
        out = std::to_string(status_.status_byte(!errors_.empty()));
        return no_parameters();
    }
    const bool ese = equal_ignoring_case("ESE", name);
    if (ese || equal_ignoring_case("SRE", name)) {
        if (query) {
            out = std::to_string(ese ? status_.event_enable() : status_.service_request_enable());
            return no_parameters();
        }
        std::uint8_t value = 0;
        if (int code = single_parameter(parameters); code != 0) {
            return code;
        }
        if (int code = parse_register(parameters.front(), value); code != 0) {
            return code;
        }
        if (ese) {
            status_.set_event_enable(value);
        } else {
            status_.set_service_request_enable(value);
        }
        return 0;
    }
    return scpi_error::kUndefinedHeader;
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
                out = format_error(errors_.pop());
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
    switch (command->kind) {
        case Kind::Numeric: {
            const NumericResult result = numeric_value(parameter, command->unit, command->limits);
            if (result.error == 0) {
                settings_.*(command->number) = result.value;
            }
            return result.error;
        }
        case Kind::Switch:
            return parse_switch(parameter, settings_.*(command->flag));
        case Kind::Shape:
            return parse_shape(parameter, settings_.lf_shape);
        case Kind::ErrorQueue:
        case Kind::Version:
            break;
    }
    return scpi_error::kUndefinedHeader;
}

}  // namespace sgsim
