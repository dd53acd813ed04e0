#include "console.h"

void print_line(std::ostream& out, const char* text) {
    out << text << std::endl;
}

void print_now(std::ostream& out, const char* text) {
    out << text << std::flush;
}
