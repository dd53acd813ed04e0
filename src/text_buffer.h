// The program's one text buffer: the serial number, then each query reply.
#pragma once

#include <cstddef>

inline constexpr std::size_t kTextBufferSize = 64;  // 63 characters and the terminator

using TextBuffer = char[kTextBufferSize];
