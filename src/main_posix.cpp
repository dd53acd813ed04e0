// sgdemo: drives a USB RF signal generator through VISA (see session_driver.h).
#include <csignal>
#include <cstdio>

#include "key_wait.h"
#include "session_driver.h"

int main() {
    // Output nobody reads any more (a closed pipe) must not kill the run
    // half way, with the generator's RF output on: the writes fail quietly
    // and the run goes on to its final reset and exit status 0.
    std::signal(SIGPIPE, SIG_IGN);
    TerminalKeyWait keys;
    return run_session(stdin, stdout, keys);
}
