#include "console.h"

void print_line(std::FILE* out, const char* text) {
    std::fputs(text, out);
    std::fputc('\n', out);
    std::fflush(out);
}

void print_now(std::FILE* out, const char* text) {
    std::fputs(text, out);
    std::fflush(out);
}
