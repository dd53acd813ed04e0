#include "run_stop.h"

bool RunStop::enter(Phase phase, ViSession handle) {
    std::lock_guard lock(mutex_);
    phase_ = phase;
    handle_ = handle;
    return signal_ == 0;
}

bool RunStop::reading_input() {
    return enter(Phase::kInput, VI_NULL);
}
bool RunStop::opening(ViSession rm) {
    return enter(Phase::kOpen, rm);
}
bool RunStop::talking(ViSession vi) {
    return enter(Phase::kTalk, vi);
}
bool RunStop::waiting_for_key() {
    return enter(Phase::kKeyWait, VI_NULL);
}
void RunStop::idle() {
    enter(Phase::kIdle, VI_NULL);
}

bool RunStop::requested() const {
    return signal() != 0;
}

int RunStop::signal() const {
    std::lock_guard lock(mutex_);
    return signal_;
}

void RunStop::request(int signal) {
    Phase phase;
    ViSession handle;
    bool again;
    {
        std::lock_guard lock(mutex_);
        again = signal_ != 0;
        if (!again)
            signal_ = signal;
        phase = phase_;
        handle = handle_;
    }
    if ((again || phase == Phase::kInput) && end_now_ != nullptr)
        end_now_(signal);
    // Closed outside the mutex: the driver may close the same handle at the
    // same time, and one of the two closes then finds it gone, which is
    // harmless (a handle is not given out again).
    if (!again && (phase == Phase::kOpen || phase == Phase::kTalk))
        viClose(handle);
}
