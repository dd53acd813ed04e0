// Formatted output of viPrintf/viQueryf: turns a format and its arguments
// into the bytes of one message. Independent of sessions and transports.
//
// docs/formatted-io.md has the rules with examples.
//
// Supported: literal text; %% ; the conversions d i u x X o c s f F e E g G
// with the flags - + space # 0, a field width and a precision (digits or *),
// and the size modifiers hh h l ll (integers) and l L (floating point).
// Integer modifiers follow C: %ld takes a long (64 bits on Linux).
//
// Arrays: ',' and a count after the width (%,5d, %,#lf or %,*lf: the count
// is an int argument) take a pointer to that many numbers and write them
// separated by commas, each with the directive's flags, width and
// precision. The element is the size's type (%,#f: float, %,#lf: double,
// %,#hd: short). The arguments come in the order of the modifiers: width,
// count, precision, the array.
//
// Binary data: %b writes an IEEE 488.2 definite-length block (#, the digits
// of the length, the length in bytes, the data), %B an indefinite one (#0
// and the data: end the format with a linefeed, which goes with END and
// ends the block as IEEE 488.2 requires), %y the data alone. The count of
// elements is the width, or an int argument with '*' or '#', before the
// pointer to the data. The element size is hh or none (bytes), h (16 bits),
// l (32 bits), ll (64 bits), z (float) or Z (double); the bytes go
// big-endian unless !ol says little-endian (!ob: big), whatever the host.
//
// %n stores the bytes this format made so far (int*, or hh h l ll).
//
// VI_ERROR_INV_FMT: a malformed directive (a lone % at the end, an unknown
// conversion character, a modifier or flag that does not fit the conversion
// (C leaves it undefined: # on d i u c s, 0 on c s, a precision on c; a byte
// order on a number; a count missing on binary data), a width, precision or
// array size over 1000000, a negative count). VI_ERROR_NSUP_FMT: a VISA or C
// directive this library does not implement (%p %a %A %[, the '@'
// modifiers, wide characters). Both name the directive and its offset in the
// trace's reason. VI_ERROR_USER_BUF: a null %s, array, data or %n argument.
#pragma once

#include <cstdarg>
#include <string>

#include "visa.h"

namespace sgvisa::format {

// Formats `format` with the arguments taken from `*args` (which advances, so
// a caller can go on reading arguments after the last one used) and appends
// the result to `out`. On an error `out` holds what was formatted before it.
ViStatus format_message(const char* format, std::va_list* args, std::string& out);

}  // namespace sgvisa::format
