// The length modifier of a printf- or scanf-style conversion, shared by the
// formatted write and read engines.
#pragma once

namespace sgvisa::format {

enum class SizeModifier { none, hh, h, l, ll, L };

// Reads a length modifier (hh, h, l, ll, L) at `p`, if there is one, and
// advances past it.
inline SizeModifier parse_size_modifier(const char*& p) {
    if (p[0] == 'h' && p[1] == 'h') {
        p += 2;
        return SizeModifier::hh;
    }
    if (p[0] == 'l' && p[1] == 'l') {
        p += 2;
        return SizeModifier::ll;
    }
    switch (*p) {
        case 'h':
            ++p;
            return SizeModifier::h;
        case 'l':
            ++p;
            return SizeModifier::l;
        case 'L':
            ++p;
            return SizeModifier::L;
        default:
            return SizeModifier::none;
    }
}

}  // namespace sgvisa::format
