// Console output helpers. Lines end with std::endl (line end and flush); text
// that does not end its line is flushed at once, so that it is on the screen
// before the program waits for the operator or for the generator.
#pragma once

#include <ostream>

// Prints `text` and a line end.
void print_line(std::ostream& out, const char* text);

// Prints `text` without a line end and flushes it to the screen.
void print_now(std::ostream& out, const char* text);
