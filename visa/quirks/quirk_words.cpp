#include "quirks/quirk_words.h"

#include <array>
#include <charconv>
#include <cstdint>

namespace sgvisa::quirks {
namespace {

// One quirk: its word and the field it sets, a flag or a number.
struct SwitchWord {
    std::string_view name;
    bool usbtmc::HostQuirks::*flag;
    std::uint32_t usbtmc::HostQuirks::*number;
};

constexpr std::array<SwitchWord, 4> kSwitchWords{{
    {"max-transfer", nullptr, &usbtmc::HostQuirks::max_transfer},
    {"no-termchar", &usbtmc::HostQuirks::no_termchar, nullptr},
    {"eom-never", &usbtmc::HostQuirks::eom_never, nullptr},
    {"clear-on-open", &usbtmc::HostQuirks::clear_on_open, nullptr},
}};

bool parse_number(std::string_view text, std::uint32_t& out) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return ec == std::errc() && end == text.data() + text.size() && out > 0;
}

}  // namespace

bool apply_quirk_word(std::string_view word, usbtmc::HostQuirks& quirks, std::string& error) {
    const std::size_t eq = word.find('=');
    const std::string_view name = word.substr(0, eq);
    for (const SwitchWord& s : kSwitchWords) {
        if (s.name != name)
            continue;
        if (s.flag) {
            if (eq != std::string_view::npos) {
                error = "switch \"" + std::string(name) + "\" takes no value";
                return false;
            }
            quirks.*s.flag = true;
            return true;
        }
        std::uint32_t value = 0;
        if (eq == std::string_view::npos || !parse_number(word.substr(eq + 1), value)) {
            error = "switch \"" + std::string(name) + "\" needs a number from 1 to 4294967295";
            return false;
        }
        quirks.*s.number = value;
        return true;
    }
    error = "unknown switch \"" + std::string(name) + "\"";
    return false;
}

std::string quirk_words(const usbtmc::HostQuirks& quirks) {
    std::string out;
    for (const SwitchWord& s : kSwitchWords) {
        std::string word;
        if (s.flag && quirks.*s.flag)
            word = s.name;
        else if (s.number && quirks.*s.number != 0)
            word = std::string(s.name) + "=" + std::to_string(quirks.*s.number);
        if (word.empty())
            continue;
        if (!out.empty())
            out += ' ';
        out += word;
    }
    return out;
}

}  // namespace sgvisa::quirks
