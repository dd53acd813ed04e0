// Parser for one IEEE 488.2 / SCPI program message (the text between two
// message terminators): program message units separated by ';', each a
// common command header ("*RST") or a compound header ("SOUR:FREQ:CW"),
// an optional '?' and parameters separated by ','.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sgsim {

struct Parameter {
    enum class Kind { Numeric, Character, String };
    Kind kind = Kind::Numeric;
    double number = 0.0;  // Numeric: the value as written, before any suffix
    std::string suffix;   // Numeric: the unit suffix as written ("kHz"), or empty
    std::string text;     // Character: the word as written; String: its contents
};

// The parameter count of a command that takes exactly one parameter: 0 when
// it has one, else -109 "Missing parameter" or -108 "Parameter not allowed".
int single_parameter(const std::vector<Parameter>& parameters);

struct ProgramUnit {
    bool common = false;  // an IEEE 488.2 common command ("*IDN?")
    // Common: the mnemonic after '*' ("IDN"). Compound: every node of the
    // header from the root, the header path of earlier units already applied.
    std::vector<std::string> header;
    bool query = false;
    std::vector<Parameter> parameters;
};

class ScpiParser {
  public:
    static constexpr std::size_t kMaxMnemonicLength = 12;
    static constexpr std::size_t kMaxHeaderNodes = 8;
    static constexpr std::size_t kMaxParameters = 16;

    // `program_message` holds no message terminator and must outlive the
    // parser. White space is the blank, the tab and the carriage return;
    // other control bytes, which IEEE 488.2 would skip as white space, are
    // reported as -101 "Invalid character": here they mean a damaged message.
    explicit ScpiParser(std::string_view program_message);

    // The next program message unit; nullopt at the end of the message or at
    // the first error, after which error() gives its SCPI code (0 at a clean
    // end) and every further call returns nullopt.
    std::optional<ProgramUnit> next();
    int error() const { return error_; }

  private:
    std::optional<ProgramUnit> fail(int code);
    void skip_white_space();
    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return at_end() ? '\0' : text_[pos_]; }

    int parse_mnemonic(std::string& out);
    int parse_header(ProgramUnit& unit);
    int parse_parameter(Parameter& out);
    int parse_decimal(Parameter& out);
    int parse_non_decimal(Parameter& out);
    int parse_suffix(Parameter& out);
    int parse_string(Parameter& out);
    int parse_character(Parameter& out);

    std::string_view text_;
    std::size_t pos_ = 0;
    bool first_unit_ = true;
    bool done_ = false;
    int error_ = 0;
    std::vector<std::string> path_;  // the current header path (SCPI tree position)
};

}  // namespace sgsim
