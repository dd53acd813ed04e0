// Formatted input of viScanf/viQueryf: parses one reply message according to
// a read format and stores the results. Independent of sessions: the bytes
// come from a ReadSource.
//
// Directives (C scanf conventions unless stated):
//   %T   the characters up to and including the first linefeed, or up to END
//   %t   the characters up to and including the byte that carries END
//   %s   skips white space, then the characters up to the next white space
//   %c   exactly one character (a width w: w characters); no NUL is added
//   %d %i %u %x %o   an integer (h: short, l: long, ll: long long)
//   %f %e %g         a floating-point number (float; l: double; L: long double)
//   %%   a literal percent sign
// A '*' after the % reads the field and stores nothing. White space in the
// format skips white space in the input; other characters must match it.
//
// Field width and string buffers: a width w on %s, %t or %T means at most w
// characters are stored, followed by the terminating NUL, so the target must
// hold w + 1 bytes: "%63T" fits a 64-byte buffer. This is C's scanf rule,
// which VISA's formatted I/O follows ("the maximum field width" counts the
// characters read, not the NUL). For %t and %T the field still extends to its
// terminator: the characters beyond the width are read and dropped. For %s the
// field stops after w characters. Without a width the target must be able to
// hold the whole field. Every string target of the format is set to "" before
// anything is read, so after any error each one holds what was stored so far,
// zero-terminated.
//
// Results: VI_ERROR_INV_FMT for a malformed format, VI_ERROR_NSUP_FMT for a
// directive this library does not implement (%b %B %y %n %[ %# and VISA's ','
// and '@' modifiers), both before anything is read; VI_ERROR_USER_BUF for a
// null target; the source's status on a read error (VI_ERROR_TMO...). Input
// that ends (END) or stops matching before the format is complete ends the
// parse with VI_SUCCESS; the remaining targets keep their values ("" for
// strings), and `assigned` tells how many were stored.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/format_size_modifier.h"
#include "visa.h"

namespace sgvisa::format {

// The bytes of one reply message.
class ReadSource {
  public:
    virtual ~ReadSource() = default;

    // The next byte of the message, not consumed. Sets `end_of_message`
    // instead once the byte that carried END has been consumed. Blocks until
    // a byte arrives or the source's deadline passes (VI_ERROR_TMO).
    virtual ViStatus peek(std::uint8_t& byte, bool& end_of_message) = 0;

    // Consumes the byte that the last peek() returned.
    virtual void consume() = 0;

    // Reads and drops the rest of the message, up to and including END.
    virtual ViStatus discard_rest() = 0;
};

struct ReadDirective {
    enum class Kind { literal, white_space, conversion };
    using Size = SizeModifier;
    Kind kind = Kind::literal;
    char literal = 0;       // Kind::literal: the character to match
    char conversion = 0;    // Kind::conversion: T t s c d i u x o f e g
    bool suppress = false;  // '*': read, store nothing
    int width = -1;         // -1: none given
    Size size = Size::none;
    void* target = nullptr;
};

using ReadFormat = std::vector<ReadDirective>;

// Parses `format` and takes one target pointer per storing directive from
// `*args` (which advances, so arguments can be shared with a write format
// before it). Nothing is read. On success every string target holds "".
ViStatus prepare_read(const char* format, std::va_list* args, ReadFormat& out);

// Parses one message from `source` into the targets of `format`; `assigned`
// counts the targets stored. Does not read past what the format needs.
ViStatus execute_read(const ReadFormat& format, ReadSource& source, int& assigned);

// One whole formatted read: execute_read, then, unless the source failed,
// drops the unread rest of the message so it never turns up as the next one.
ViStatus read_message(const ReadFormat& format, ReadSource& source, int& assigned);

}  // namespace sgvisa::format
