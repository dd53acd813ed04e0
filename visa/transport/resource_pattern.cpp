#include "transport/resource_pattern.h"

#include <cstdint>
#include <regex>
#include <utility>

namespace sgvisa {

struct ResourcePattern::Impl {
    std::regex regex;
    std::string expression;  // as given, well-formed
};

namespace {

// Which positions of a prefix an expression's part can end at, given those
// it can start at: bit i is "the first i characters read"; bit
// prefix.size() is "the whole prefix read", after which any character
// goes. The sets are small and finite, so a repetition is a fixpoint.
class PrefixWalk {
  public:
    using Positions = std::uint64_t;

    PrefixWalk(std::string_view expression, std::string_view prefix)
        : in_(expression), prefix_(prefix.substr(0, 62)), whole_(Positions{1} << prefix_.size()) {}

    bool reaches_end() {
        std::size_t at = 0;
        return (alternatives(at, 1) & whole_) != 0;
    }

  private:
    Positions alternatives(std::size_t& at, Positions from) {
        Positions out = sequence(at, from);
        while (at < in_.size() && in_[at] == '|')
            out |= sequence(++at, from);
        return out;
    }

    Positions sequence(std::size_t& at, Positions from) {
        while (at < in_.size() && in_[at] != '|' && in_[at] != ')')
            from = repeated(at, from);
        return from;
    }

    Positions repeated(std::size_t& at, Positions from) {
        const std::size_t start = at;
        Positions out = item(at, from);
        while (at < in_.size() && (in_[at] == '*' || in_[at] == '+')) {
            Positions all = in_[at] == '*' ? (from | out) : out;
            for (Positions before = 0; before != all;) {
                before = all;
                std::size_t again = start;
                all |= item(again, all);
            }
            out = all;
            ++at;
        }
        return out;
    }

    // One item: a group, a list, or one character.
    Positions item(std::size_t& at, Positions from) {
        const char c = in_[at];
        if (c == '(') {
            ++at;
            const Positions out = alternatives(at, from);
            ++at;  // ')'
            return out;
        }
        if (c == '[') {
            const std::size_t close = in_.find(']', at + 2);
            const std::string_view list = in_.substr(at + 1, close - at - 1);
            at = close + 1;
            return step(from, [&](char ch) { return in_list(list, ch); });
        }
        if (c == '?') {
            ++at;
            return step(from, [](char) { return true; });
        }
        if (c == '\\')
            ++at;
        const char literal = fold(in_[at++]);
        return step(from, [&](char ch) { return ch == literal; });
    }

    template <class Accepts>
    Positions step(Positions from, Accepts accepts) const {
        Positions out = from & whole_;  // past the prefix, assume the character fits
        for (std::size_t i = 0; i < prefix_.size(); ++i)
            if ((from & (Positions{1} << i)) && accepts(fold(prefix_[i])))
                out |= Positions{1} << (i + 1);
        return out;
    }

    static char fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }
    static char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

    // As the regular expression takes a list: ranges ("0-9"), and either
    // case of a letter.
    static bool in_list(std::string_view list, char ch) {
        const bool negated = list[0] == '^';
        bool in = false;
        for (std::size_t j = negated ? 1 : 0; j < list.size(); ++j) {
            char lo = list[j], hi = list[j];
            if (j + 2 < list.size() && list[j + 1] == '-') {
                hi = list[j + 2];
                j += 2;
            }
            for (const char c : {ch, lower(ch)})
                in = in || (lo <= c && c <= hi);
        }
        return in != negated;
    }

    std::string_view in_;
    std::string_view prefix_;
    Positions whole_;
};

bool is_regex_special(char c) {
    return std::string_view(".^$|()[]{}*+?\\/").find(c) != std::string_view::npos;
}

// Rewrites a VISA expression as an ECMAScript one; false when malformed.
bool translate(std::string_view in, std::string& out) {
    int depth = 0;
    bool item_before = false;  // a quantifier needs something to repeat
    for (std::size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        switch (c) {
            case '?':
                out += '.';
                item_before = true;
                break;
            case '*':
            case '+':
                if (!item_before)
                    return false;
                out += c;
                item_before = false;
                break;
            case '|':
                out += '|';
                item_before = false;
                break;
            case '(':
                ++depth;
                out += "(?:";
                item_before = false;
                break;
            case ')':
                if (--depth < 0)
                    return false;
                out += ')';
                item_before = true;
                break;
            case '[': {
                const std::size_t close = in.find(']', i + 2);
                if (close == std::string_view::npos)
                    return false;
                out += '[';
                std::size_t j = i + 1;
                if (in[j] == '^') {
                    out += '^';
                    ++j;
                }
                for (; j < close; ++j) {
                    if (in[j] == '\\' || in[j] == '[' || in[j] == ']' || in[j] == '^')
                        out += '\\';
                    out += in[j];
                }
                out += ']';
                i = close;
                item_before = true;
                break;
            }
            case '\\':
                if (++i == in.size())
                    return false;
                [[fallthrough]];
            default:
                if (is_regex_special(in[i]))
                    out += '\\';
                out += in[i];
                item_before = true;
                break;
        }
    }
    return depth == 0;
}

}  // namespace

ResourcePattern::ResourcePattern(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ResourcePattern::~ResourcePattern() = default;

ViStatus ResourcePattern::compile(std::string_view expression,
                                  std::unique_ptr<ResourcePattern>& out) {
    const std::size_t brace = expression.find('{');
    if (brace != std::string_view::npos)
        return VI_ERROR_NSUP_OPER;
    std::string ecma;
    if (expression.empty() || !translate(expression, ecma))
        return VI_ERROR_INV_EXPR;
    auto impl = std::make_unique<Impl>();
    try {
        impl->regex =
            std::regex(ecma, std::regex::ECMAScript | std::regex::icase | std::regex::optimize);
    } catch (const std::regex_error&) {
        return VI_ERROR_INV_EXPR;
    }
    impl->expression = std::string(expression);
    out.reset(new ResourcePattern(std::move(impl)));
    return VI_SUCCESS;
}

bool ResourcePattern::matches(std::string_view name) const {
    return std::regex_match(name.begin(), name.end(), impl_->regex);
}

}  // namespace sgvisa

namespace sgvisa {

bool ResourcePattern::may_match_prefix(std::string_view prefix) const {
    return PrefixWalk(impl_->expression, prefix).reaches_end();
}

}  // namespace sgvisa
