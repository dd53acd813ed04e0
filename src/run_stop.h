// Stopping a run early. A stop request (on POSIX: SIGINT, SIGTERM or SIGHUP,
// main_posix.cpp) comes on a thread of its own, and ends whatever the
// session driver is blocked in at that moment:
//  - reading the serial number: nothing is open and nothing was sent, so the
//    process ends at once, as the signal would have ended it (`end_now`);
//  - the open: the resource manager is closed, which ends its pending open;
//  - a command or a query: the instrument session is closed, which ends its
//    operation (a session has no other way to end a synchronous operation
//    but its close);
//  - a key wait: it returns (the key wait watches the stop's descriptor).
// The driver, seeing the stop, skips the rest of the dialogue, sends the
// final `*RST` of the command script (through a fresh session when the
// stop closed the first one), so that the generator ends as a run that
// reaches its end leaves it (RF output off), closes and returns; its caller
// then ends the process by the signal. A second request while the driver
// does that ends the process at once.
//
// Thread-safe: the phase and the request change under one mutex, so that
// either the request sees the phase the driver entered or the driver,
// entering it, sees the request.
#pragma once

#include <mutex>

#include "visa.h"

class RunStop {
  public:
    // Ends the process as `signal` would; called from the requesting thread.
    using EndNow = void (*)(int signal);

    explicit RunStop(EndNow end_now = nullptr) : end_now_(end_now) {}
    RunStop(const RunStop&) = delete;
    RunStop& operator=(const RunStop&) = delete;

    // The driver enters each phase with these; each is false when a stop was
    // requested already, and then the driver does not begin the step.
    bool reading_input();
    bool opening(ViSession rm);
    bool talking(ViSession vi);
    bool waiting_for_key();
    // Nothing a stop must end (the clean-up after a stop, the closes).
    void idle();

    bool requested() const;
    // The signal of the request, 0 for none.
    int signal() const;

    // From the thread that watches for stops.
    void request(int signal);

  private:
    enum class Phase { kIdle, kInput, kOpen, kTalk, kKeyWait };
    bool enter(Phase phase, ViSession handle);

    mutable std::mutex mutex_;
    Phase phase_ = Phase::kIdle;
    ViSession handle_ = VI_NULL;  // the resource manager (kOpen) or the session (kTalk)
    int signal_ = 0;
    EndNow end_now_;
};
