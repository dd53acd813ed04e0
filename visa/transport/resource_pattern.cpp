#include "transport/resource_pattern.h"

#include <regex>
#include <utility>

namespace sgvisa {

struct ResourcePattern::Impl {
    std::regex regex;
};

namespace {

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
    out.reset(new ResourcePattern(std::move(impl)));
    return VI_SUCCESS;
}

bool ResourcePattern::matches(std::string_view name) const {
    return std::regex_match(name.begin(), name.end(), impl_->regex);
}

}  // namespace sgvisa
