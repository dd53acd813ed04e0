// sgdemo on Windows: drives a USB RF signal generator through the installed
// VISA library (see session_driver.h).
#include <cstdio>

#include "key_wait.h"
#include "session_driver.h"

int main() {
    // Output nobody reads any more (a closed pipe) makes the writes fail
    // quietly; the run goes on to its final reset and exit status 0.
    ConsoleKeyWait keys;
    return run_session(stdin, stdout, keys);
}
