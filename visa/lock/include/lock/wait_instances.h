// What lock waits block on: an inotify instance with an eventfd beside it,
// through which other threads end the wait (CancelToken::attach). Instances
// are kept open for the process and lent to one wait at a time, since
// closing an inotify instance waits for a kernel grace period (several
// milliseconds on a busy machine, between "lock obtained" and the caller
// going on). A fork child makes its own; its copies of the parent's are
// closed at the fork. Thread-safe.
#pragma once

namespace sgvisa::lock {

struct WaitInstance {
    int inotify = -1;
    int wake = -1;  // eventfd
};

// A free instance, made if none is; false when the system refuses one (the
// user's inotify instances are used up).
bool borrow_wait_instance(WaitInstance& out);

// Gives back an instance whose watches the borrower has removed; its events
// and wake-ups are read away first.
void return_wait_instance(const WaitInstance& instance);

}  // namespace sgvisa::lock
