// Console output helpers on C stdio (no iostreams: their set-up is most of
// what a program start costs before its first line). Every line is flushed
// as it ends, and text that does not end its line is flushed at once, so
// that it is on the screen before the program waits for the operator or for
// the generator. A write that fails (nobody reads the output any more) fails
// quietly.
#pragma once

#include <cstdio>

// Prints `text` and a line end.
void print_line(std::FILE* out, const char* text);

// Prints `text` without a line end and flushes it to the screen.
void print_now(std::FILE* out, const char* text);
