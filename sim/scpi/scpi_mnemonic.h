// SCPI mnemonics and command header patterns. A mnemonic is written with its
// short form in upper case and the rest of its long form in lower case
// ("FREQuency"); a header pattern is written as in SCPI command tables, with
// optional nodes in brackets and alternatives separated by '|'
// ("[SOURce:]FREQuency[:CW|:FIXed]", "LFOutput:AMPlitude|AMPLitude").
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sgsim {

// True when `word` is the short or the long form of `mnemonic`, in any case.
bool mnemonic_matches(std::string_view mnemonic, std::string_view word);

class HeaderPattern {
  public:
    explicit HeaderPattern(std::string_view pattern);

    // True when the header nodes `nodes` (without colons) name this command.
    // A node may carry the numeric suffix 1 ("OUTPut1"), the only instance
    // of every node of this instrument.
    bool matches(std::span<const std::string> nodes) const;

  private:
    struct Node {
        std::vector<std::string> alternatives;
        bool optional = false;
    };
    bool matches_from(std::size_t pattern_index, std::span<const std::string> nodes) const;

    std::vector<Node> nodes_;
};

}  // namespace sgsim
