// bench_prompt_reference: the smallest program with sgdemo's console shape,
// the reference for process start-up: prints the serial-number prompt, reads
// one token from standard input, prints one line and exits. It links only the
// C++ runtime, so the difference to sgdemo is what sgdemo itself adds
// (its libraries, its set-up and its instrument dialogue).
#include <cstdio>

int main() {
    std::fputs("Enter serial number: ", stdout);
    std::fflush(stdout);
    char serial[64];
    if (std::scanf("%63s", serial) != 1)
        serial[0] = '\0';
    std::printf("Connect to %s\npress any key to exit...\n", serial);
    return 0;
}
