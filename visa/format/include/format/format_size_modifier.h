// The length modifier of a printf- or scanf-style conversion, shared by the
// formatted write and read engines, and the byte order of binary data.
#pragma once

#include <cstddef>

namespace sgvisa::format {

// hh h l ll L as in C for numbers. On the binary conversions (%b %B %y) they
// give the size of an element instead: none and hh one byte, h 16 bits, l 32
// bits (not C's long: a block's element size does not depend on the host),
// ll 64 bits, z a 32-bit float, Z a 64-bit double.
enum class SizeModifier { none, hh, h, l, ll, L, z, Z };

// Reads a length modifier (hh, h, l, ll, L, z, Z) at `p`, if there is one,
// and advances past it.
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
        case 'z':
            ++p;
            return SizeModifier::z;
        case 'Z':
            ++p;
            return SizeModifier::Z;
        default:
            return SizeModifier::none;
    }
}

// The bytes of one element of binary data (%b %B %y) for `size`; 0 when the
// modifier has no meaning there (L).
inline std::size_t binary_element_size(SizeModifier size) {
    switch (size) {
        case SizeModifier::none:
        case SizeModifier::hh:
            return 1;
        case SizeModifier::h:
            return 2;
        case SizeModifier::l:
        case SizeModifier::z:
            return 4;
        case SizeModifier::ll:
        case SizeModifier::Z:
            return 8;
        case SizeModifier::L:
            break;
    }
    return 0;
}

// Reverses the bytes of each of the `count` elements of `element` bytes at
// `data`, in place: binary data travels big-endian unless the format says
// !ol, whatever the host's order.
inline void swap_elements(unsigned char* data, std::size_t count, std::size_t element) {
    if (element < 2)
        return;
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char* e = data + i * element;
        for (std::size_t a = 0, b = element - 1; a < b; ++a, --b) {
            const unsigned char t = e[a];
            e[a] = e[b];
            e[b] = t;
        }
    }
}

}  // namespace sgvisa::format
