#include "scpi_mnemonic.h"

#include <cctype>

namespace sgsim {
namespace {

char upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) {
            return false;
        }
    }
    return true;
}

std::size_t short_form_length(std::string_view mnemonic) {
    std::size_t n = 0;
    while (n < mnemonic.size() && !std::islower(static_cast<unsigned char>(mnemonic[n]))) {
        ++n;
    }
    return n;
}

bool header_node_matches(std::string_view mnemonic, std::string_view word) {
    if (!word.empty() && word.back() == '1' && word.size() > 1 &&
        !std::isdigit(static_cast<unsigned char>(word[word.size() - 2]))) {
        word.remove_suffix(1);
    }
    return mnemonic_matches(mnemonic, word);
}

void add_node(std::vector<std::string>& alternatives, std::string_view text) {
    std::string name;
    for (char c : text) {
        if (c != ':') {
            name += c;
        }
    }
    if (!name.empty()) {
        alternatives.push_back(std::move(name));
    }
}

}  // namespace

bool mnemonic_matches(std::string_view mnemonic, std::string_view word) {
    return equal_ignoring_case(mnemonic, word) ||
           equal_ignoring_case(mnemonic.substr(0, short_form_length(mnemonic)), word);
}

HeaderPattern::HeaderPattern(std::string_view pattern) {
    std::size_t i = 0;
    while (i < pattern.size()) {
        Node node;
        if (pattern[i] == '[') {
            const std::size_t close = pattern.find(']', i);
            const std::string_view group = pattern.substr(i + 1, close - i - 1);
            std::size_t start = 0;
            while (start <= group.size()) {
                std::size_t bar = group.find('|', start);
                if (bar == std::string_view::npos) {
                    bar = group.size();
                }
                add_node(node.alternatives, group.substr(start, bar - start));
                start = bar + 1;
            }
            node.optional = true;
            i = close == std::string_view::npos ? pattern.size() : close + 1;
        } else {
            std::size_t end = i;
            while (end < pattern.size() && pattern[end] != '[' &&
                   (end == i || pattern[end] != ':')) {
                ++end;
            }
            const std::string_view text = pattern.substr(i, end - i);
            std::size_t start = 0;
            while (start <= text.size()) {
                std::size_t bar = text.find('|', start);
                if (bar == std::string_view::npos) {
                    bar = text.size();
                }
                add_node(node.alternatives, text.substr(start, bar - start));
                start = bar + 1;
            }
            i = end;
        }
        if (!node.alternatives.empty()) {
            nodes_.push_back(std::move(node));
        }
    }
}

bool HeaderPattern::matches(std::span<const std::string> nodes) const {
    return matches_from(0, nodes);
}

bool HeaderPattern::matches_from(std::size_t pattern_index,
                                 std::span<const std::string> nodes) const {
    if (pattern_index == nodes_.size()) {
        return nodes.empty();
    }
    const Node& node = nodes_[pattern_index];
    if (!nodes.empty()) {
        for (const std::string& alternative : node.alternatives) {
            if (header_node_matches(alternative, nodes.front()) &&
                matches_from(pattern_index + 1, nodes.subspan(1))) {
                return true;
            }
        }
    }
    return node.optional && matches_from(pattern_index + 1, nodes);
}

}  // namespace sgsim
