// A resource name's decimal field (a board, a port, a GPIB address): digits
// only, at most ten of them, no sign; what the parsers of every kind share.
#pragma once

#include <string_view>

namespace sgvisa {

// True, with the value in `out`, when `s` is such a field no greater than `max`.
inline bool decimal_field(std::string_view s, unsigned long max, unsigned long& out) {
    if (s.empty() || s.size() > 10)
        return false;
    unsigned long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    out = v;
    return v <= max;
}

}  // namespace sgvisa
