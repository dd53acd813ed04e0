#include "scpi/common_commands.h"

#include <cmath>
#include <cstdint>
#include <utility>

#include "scpi_mnemonic.h"

namespace sgsim {
namespace {

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

// Common command mnemonics have a single form: the whole word, in any case.
bool is(std::string_view upper_case, std::string_view word) {
    return upper_case.size() == word.size() && mnemonic_matches(upper_case, word);
}

}  // namespace

CommonCommands::CommonCommands(std::string identification, std::function<void()> reset,
                               std::function<void()> trigger)
    : identification_(std::move(identification)),
      reset_(std::move(reset)),
      trigger_(std::move(trigger)) {}

void CommonCommands::report(int code) {
    if (code == 0) {
        return;
    }
    errors_.push(code);
    status_.record_error(code);
    status_.set_error_queue_not_empty(true);
}

std::string CommonCommands::next_error() {
    std::string entry = format_error(errors_.pop());
    status_.set_error_queue_not_empty(!errors_.empty());
    return entry;
}

int CommonCommands::run(const ProgramUnit& unit, bool output_pending, std::string& out) {
    const std::string_view name = unit.header.front();
    const bool query = unit.query;
    const int no_parameters = unit.parameters.empty() ? 0 : scpi_error::kParameterNotAllowed;

    if (is("IDN", name) && query) {
        out = identification_;
        return no_parameters;
    }
    if (is("RST", name) && !query) {
        if (no_parameters == 0) {
            reset_();
        }
        return no_parameters;
    }
    if (is("CLS", name) && !query) {
        if (no_parameters == 0) {
            errors_.clear();
            status_.set_error_queue_not_empty(false);
            status_.clear_events();
        }
        return no_parameters;
    }
    if (is("TRG", name) && !query) {
        if (no_parameters == 0) {
            trigger_();
        }
        return no_parameters;
    }
    if (is("OPC", name)) {
        if (no_parameters != 0) {
            return no_parameters;
        }
        if (query) {
            out = "1";
        } else {
            status_.set_events(StatusRegisters::kOperationComplete);
        }
        return 0;
    }
    if (is("WAI", name) && !query) {
        return no_parameters;
    }
    if (is("TST", name) && query) {
        out = "0";  // the self-test passes
        return no_parameters;
    }
    if (is("ESR", name) && query) {
        if (no_parameters != 0) {
            return no_parameters;  // a refused query leaves the register unread
        }
        out = std::to_string(status_.read_event_status());
        return 0;
    }
    if (is("STB", name) && query) {
        out = std::to_string(status_.status_byte(output_pending));
        return no_parameters;
    }
    if (is("ESE", name) || is("SRE", name)) {
        return run_register(unit, is("ESE", name), out);
    }
    return scpi_error::kUndefinedHeader;
}

int CommonCommands::run_register(const ProgramUnit& unit, bool event_enable, std::string& out) {
    if (unit.query) {
        if (!unit.parameters.empty()) {
            return scpi_error::kParameterNotAllowed;
        }
        out = std::to_string(event_enable ? status_.event_enable()
                                          : status_.service_request_enable());
        return 0;
    }
    if (int code = single_parameter(unit.parameters); code != 0) {
        return code;
    }
    std::uint8_t value = 0;
    if (int code = parse_register(unit.parameters.front(), value); code != 0) {
        return code;
    }
    if (event_enable) {
        status_.set_event_enable(value);
    } else {
        status_.set_service_request_enable(value);
    }
    return 0;
}

}  // namespace sgsim
