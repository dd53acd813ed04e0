// sgdemo: drives a USB RF signal generator through VISA (see session_driver.h).
#include <cstdio>
#include <iostream>

#include "key_wait.h"
#include "session_driver.h"

int main() {
    TerminalKeyWait keys;
    return run_session(stdin, std::cout, keys);
}
