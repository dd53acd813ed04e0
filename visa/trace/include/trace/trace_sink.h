// Where trace lines go: the file SGVISA_TRACE names (opened once, for
// appending) or stderr. A line goes out in one write(2) on a descriptor
// opened with O_APPEND, so lines of threads and processes (a child after
// fork shares the descriptor) never interleave inside a line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "trace/trace_switch.h"

namespace sgvisa::trace {

// Opens the sink named by `target` ("stderr", or a path). On failure writes
// one message on stderr and returns false: the trace stays off. Called once
// by the level's first reading; a later call replaces the file.
bool open_sink(const char* target) noexcept;

// Writes `line` (which ends in '\n') whole. Never blocks on a lock.
void write_line(std::string_view line) noexcept;

// CLOCK_MONOTONIC in ns: when a traced event began.
std::int64_t now_ns() noexcept;

// The start of a line about an event that began at `at_ns`: microseconds
// since the first line's event (negative for an event that began before it
// but ended after), pid and thread id, e.g. "sgvisa       1234us pid 811
// tid 811 ".
void begin_line(std::string& out, std::int64_t at_ns);

// A line of the transfers level, when that level is on: the start of the
// line, then what `describe(line)` appends, written at once.
template <typename Describe>
void transfer_line(Describe&& describe) {
    if (!transfers_on())
        return;
    std::string line;
    begin_line(line, now_ns());
    line += "  | ";
    describe(line);
    line += '\n';
    write_line(line);
}

}  // namespace sgvisa::trace
