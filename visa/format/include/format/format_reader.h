// Formatted input of viScanf/viQueryf: parses one reply message according to
// a read format and stores the results. Independent of sessions: the bytes
// come from a ReadSource. docs/formatted-io.md has the rules with examples.
//
// A directive is % [*] [modifiers] [size] conversion, the modifiers in any
// order: a field width (digits), '#' (the count comes from the arguments),
// ',' with an array size (digits or '#'), and the byte order !ob / !ol.
//
// Directives (C scanf conventions unless stated):
//   %T   the characters up to and including the first linefeed, or up to END
//   %t   the characters up to and including the byte that carries END
//   %s   skips white space, then the characters up to the next white space
//   %c   exactly one character (a width w: w characters); no NUL is added
//   %[set] %[^set]  the characters in (not in) the set; a ']' first in the
//        set is one of its characters, a '-' between two characters a range
//   %d %i %u %x %o   an integer (hh: signed char, h: short, l: long,
//                    ll: long long)
//   %f %e %g         a floating-point number (float; l: double; L: long double)
//   %b %B  an IEEE 488.2 arbitrary block, definite (#<n><length><bytes>) or
//          indefinite (#0<bytes> up to the linefeed that carries END, which
//          is not data); %B reads the same as %b
//   %y     raw binary: the count's elements, no header
//   %n     stores the bytes this read has taken so far (int, or hh h l ll);
//          not counted as an assignment
//   %%   a literal percent sign
// A '*' after the % reads the field and stores nothing, and takes no
// argument. White space in the format skips white space in the input; other
// characters must match it.
//
// Binary data (%b %B %y): the size gives the element (none, hh: bytes; h: 16
// bits; l: 32 bits; ll: 64 bits; z: float; Z: double), big-endian on the wire
// unless !ol says little-endian (!ob: big). The count is the field width or,
// with '#', an int* argument before the array: in, the array's capacity in
// elements; out, the elements stored. One of them is required (except with
// '*'). The bytes go straight from the reply into the array and are swapped
// there; a block longer than the capacity fills it and the rest of the block
// is read and dropped (the count says what was stored), a trailing part of
// an element is dropped, a block cut short by END stores its whole elements
// and ends the parse. Lengths from the reply size no buffer.
//
// Arrays (',' on a number): %,5d reads up to 5 numbers separated by commas
// (white space allowed before each); %,#lf takes an int* count as for
// blocks. The array ends at the first element that is missing; with no
// element the parse ends there. An array needs its size (except with '*').
//
// Field width and string buffers: a width w on %s, %t, %T or %[ means at
// most w characters are stored, followed by the terminating NUL, so the
// target must hold w + 1 bytes: "%63T" fits a 64-byte buffer. This is C's
// scanf rule ("the maximum field width" counts the characters read, not the
// NUL). With '#' instead of a width the int* argument before the buffer
// gives its size in bytes, NUL included, and receives the characters stored
// (for %c: the size, no NUL). For %t and %T the field still extends to its
// terminator: the characters beyond the width are read and dropped. For %s
// and %[ the field stops after w characters. Without a width the target must
// be able to hold the whole field. Every string target of the format is set
// to "" before anything is read, so after any error each one holds what was
// stored so far, zero-terminated.
//
// Results: VI_ERROR_INV_FMT for a malformed format (a block or array without
// its count among them), VI_ERROR_NSUP_FMT for a directive this library does
// not implement (%p %a %A, wide characters %lc %ls %l[, the '@' modifiers),
// both before anything is read, with the directive and its offset in the
// trace's reason; VI_ERROR_USER_BUF for a null target or count, or a
// negative count; VI_ERROR_IO when a number does not fit its target (a
// range error: nothing is stored for it, the parse ends there, the trace
// says which); the source's status on a read error (VI_ERROR_TMO...). Input
// that ends (END) or stops matching before the format is complete ends the
// parse with VI_SUCCESS; the remaining targets keep their values ("" for
// strings, a '#' count of a block that did not start 0), and `assigned`
// tells how many were stored.
#pragma once

#include <bitset>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/format_size_modifier.h"
#include "visa.h"

namespace sgvisa::format {

// A number that does not fit its target.
inline constexpr ViStatus kRangeError = VI_ERROR_IO;

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

    // Reads and consumes up to `n` bytes into `dst`, fewer when the message
    // ends; `got` tells how many (also on an error), `ended` that the
    // message's END was seen (it may stay false when `n` bytes came with the
    // last one carrying END). The default goes through peek() and consume();
    // a source with bytes at hand copies them at once.
    virtual ViStatus read_bytes(std::uint8_t* dst, std::size_t n, std::size_t& got, bool& ended);
};

struct ReadDirective {
    enum class Kind { literal, white_space, conversion };
    using Size = SizeModifier;
    Kind kind = Kind::literal;
    char literal = 0;       // Kind::literal: the character to match
    char conversion = 0;    // Kind::conversion: T t s c [ d i u x X o f e E g G F b B y n
    bool suppress = false;  // '*': read, store nothing
    int width = -1;         // -1: none given (with '#': from the count)
    Size size = Size::none;
    bool count_from_arg = false;  // '#': the int* before the target
    bool array = false;           // ',': an array of numbers
    int array_size = -1;          // -1: none given (with '#': from the count)
    bool little_endian = false;   // !ol
    bool negated_set = false;     // %[^...]
    std::bitset<256> set;         // %[...]: the characters of the set
    void* target = nullptr;
    int* count = nullptr;  // '#': receives the elements or characters stored
};

using ReadFormat = std::vector<ReadDirective>;

// Parses `format` and takes, for each storing directive, its count pointer
// (with '#') and its target pointer from `*args` (which advances, so
// arguments can be shared with a write format before it). Nothing is read.
// On success every string target holds "".
ViStatus prepare_read(const char* format, std::va_list* args, ReadFormat& out);

// Parses one message from `source` into the targets of `format`; `assigned`
// counts the targets stored. Does not read past what the format needs.
ViStatus execute_read(const ReadFormat& format, ReadSource& source, int& assigned);

// One whole formatted read: execute_read, then, unless the source failed,
// drops the unread rest of the message so it never turns up as the next one.
ViStatus read_message(const ReadFormat& format, ReadSource& source, int& assigned);

}  // namespace sgvisa::format
