// Formatted output of viPrintf/viQueryf: turns a format and its arguments
// into the bytes of one message. Independent of sessions and transports.
//
// Supported: literal text; %% ; the conversions d i u x X o c s f F e E g G
// with the flags - + space # 0, a field width and a precision (digits or *),
// and the size modifiers hh h l ll (integers) and l L (floating point).
// Integer modifiers follow C: %ld takes a long (64 bits on Linux).
//
// VI_ERROR_INV_FMT: a malformed directive (a lone % at the end, an unknown
// conversion character, a modifier or flag that does not fit the conversion
// (C leaves it undefined: # on d i u c s, 0 on c s, a precision on c), a width
// or precision over 1000000). VI_ERROR_NSUP_FMT: a VISA or C directive this
// library does not implement (%b %B %y %n %p %a %A, array ',' and '@'
// modifiers, wide characters). VI_ERROR_USER_BUF: a null %s argument.
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
