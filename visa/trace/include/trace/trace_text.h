// Arguments written into trace lines, safe for whatever a caller passes:
// null pointers are written as NULL, strings are read up to a bound and
// escaped, buffers only as far as the count the caller gave (and at most a
// few dozen bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sgvisa::trace {

// Bytes of a buffer shown, and characters of a string read.
constexpr std::size_t kShownBytes = 48;
constexpr std::size_t kShownChars = 255;

// Appends `bytes` bytes of `data` quoted and escaped (\n, \r, \t, \\, \",
// \xHH), at most `limit`, then "..." when there were more.
void append_escaped(std::string& out, const void* data, std::size_t bytes,
                    std::size_t limit = kShownBytes);

// A zero-terminated string, quoted and escaped, read no further than
// kShownChars + 1 bytes, the size of a VISA string buffer (a longer one ends
// in "..."); NULL for a null pointer.
void append_string(std::string& out, const char* s);

// A buffer of `count` bytes: "<count>:\"first bytes\""; NULL for a null pointer.
void append_buffer(std::string& out, const void* data, std::uint64_t count);

void append_hex(std::string& out, std::uint64_t value);
void append_unsigned(std::string& out, std::uint64_t value);
void append_signed(std::string& out, std::int64_t value);

}  // namespace sgvisa::trace
