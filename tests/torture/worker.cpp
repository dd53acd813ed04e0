#include "worker.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "actor.h"
#include "watchdog.h"

namespace torture {
namespace {

// How long the threads may take to reach a pause: one operation each, the
// longest being a lock wait and a few queries under it.
constexpr auto kPauseBound = std::chrono::seconds(60);

// The lock waits that can run at once in a worker, each of which may have
// the library make one more inotify instance with its eventfd: one per
// operation thread, the control thread and a helper, and one asynchronous
// job per session slot.
int pool_allowance(const Options& options) {
    return 2 * (options.threads + 2 + kSlots);
}

}  // namespace

Worker::Worker(WorkerSetup setup)
    : setup_(std::move(setup)),
      reporter_(*setup_.options, *setup_.board, setup_.work_dir,
                "worker incarnation " + std::to_string(setup_.incarnation) + " (pid " +
                    std::to_string(::getpid()) + ")"),
      leaks_(pool_allowance(*setup_.options)) {}

Worker::~Worker() = default;

void Worker::reply(const std::string& line) {
    const std::string text = line + "\n";
    (void)!::write(setup_.reply_fd, text.data(), text.size());
}

ViStatus Worker::open_rm(Actor* by) {
    ViSession rm = VI_NULL;
    const ViStatus st = by->call(fn_open_default_rm, "viOpenDefaultRM()", Actor::fixed(0),
                                 [&] { return viOpenDefaultRM(&rm); });
    if (st != VI_SUCCESS) {
        by->violation("only the statuses VISA gives for the call",
                      "viOpenDefaultRM returned " + status_name(st));
    }
    rm_.store(rm);
    return st;
}

void Worker::close_all(Actor* by) {
    // Either each session and then the resource manager, or the resource
    // manager alone, which closes the sessions opened through it.
    const bool one_by_one = by->rng.percent(50);
    for (int k = 0; k < kSlots; ++k) {
        const int instrument = slots_[k].instrument.load();
        const ViSession vi = by->take_for_close(k);
        if (vi == VI_NULL)
            continue;
        if (one_by_one) {
            const ViStatus st =
                by->call(fn_close, "viClose(" + std::to_string(vi) + ")",
                         by->service_request_bound(instrument), [&] { return viClose(vi); });
            if (st != VI_SUCCESS) {
                by->violation("only the statuses VISA gives for the call",
                              "viClose of an open session returned " + status_name(st));
            }
        }
        by->note_released(instrument);
    }
    const ViSession rm = rm_.exchange(VI_NULL);
    if (rm == VI_NULL)
        return;
    const ViStatus st = by->call(fn_close, "viClose(resource manager " + std::to_string(rm) + ")",
                                 by->close_all_bound(), [&] { return viClose(rm); });
    if (st != VI_SUCCESS) {
        by->violation("only the statuses VISA gives for the call",
                      "viClose of the resource manager returned " + status_name(st));
    }
    for (int i = 0; i < instrument_count(); ++i)
        by->note_released(i);
}

bool Worker::next_operation() {
    std::unique_lock lock(state_mutex_);
    if (pausing_ || finishing_) {
        ++idle_;
        state_changed_.notify_all();
        state_changed_.wait(lock, [this] { return !pausing_ || finishing_; });
        --idle_;
    }
    return !finishing_;
}

void Worker::pause_and_check() {
    {
        std::unique_lock lock(state_mutex_);
        pausing_ = true;
        const int actors = static_cast<int>(actors_.size());
        if (!state_changed_.wait_for(lock, kPauseBound, [&] { return idle_ == actors; })) {
            reporter_.violation("no hang: every call returns within its bound",
                                "the operation threads did not all finish their operations "
                                "within 60 s of the pause",
                                &control_->log, kExitHang);
        }
    }
    {
        std::unique_lock rm_lock(rm_mutex_);
        close_all(control_.get());
    }
    if (usb_searched_.exchange(false)) {
        control_->note(
            "an open searched the USB devices: the counts after it are the steady state");
        leaks_.rebase();
    }
    const std::string leaked = leaks_.check(options().slack_ms);
    if (!leaked.empty())
        reporter_.violation("no leaked threads or descriptors", leaked, &control_->log);
}

void Worker::warm_up() {
    Actor& c = *control_;
    const ViSession rm = rm_.load();
    for (int i = 0; i < instrument_count(); ++i) {
        const std::string& resource = setup_.instruments[i].resource;
        ViSession vi = VI_NULL;
        if (c.call(fn_open, "viOpen(" + resource + ", VI_NO_LOCK, 2000), warming up",
                   Actor::fixed(3000),
                   [&] { return viOpen(rm, resource.c_str(), VI_NO_LOCK, 2000, &vi); }) < 0)
            continue;
        char buf[256];
        ViUInt16 stb = 0;
        // A raw socket's reads end at the termination character only when
        // enabled (ops_sessions.cpp).
        if (setup_.instruments[i].link == Link::socket)
            viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE);
        c.call(fn_queryf, "viQueryf(*IDN?)", Actor::fixed(3 * 2000),
               [&] { return viQueryf(vi, "*IDN?\n", "%255t", buf); });
        c.call(fn_enable_event, "viEnableEvent(SERVICE_REQ, VI_QUEUE)", Actor::fixed(0),
               [&] { return viEnableEvent(vi, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL); });
        c.call(fn_read_stb, "viReadSTB", Actor::fixed(2 * 2000),
               [&] { return viReadSTB(vi, &stb); });
        // Other workers run meanwhile: a VXI-11 lock holds them back too.
        const bool device = c.begin_device_lock(i);
        c.call(fn_lock, "viLock(VI_EXCLUSIVE_LOCK, 2000)", Actor::fixed(2000),
               [&] { return viLock(vi, VI_EXCLUSIVE_LOCK, 2000, nullptr, nullptr); });
        c.call(fn_close, "viClose", Actor::fixed(0), [&] { return viClose(vi); });
        if (device)
            c.release_device_lock(i);
    }
    c.call(fn_close, "viClose(resource manager)", Actor::fixed(0), [&] { return viClose(rm); });
    leaks_.check(options().slack_ms);  // the steady state
    open_rm(&c);
}

void Worker::resume() {
    {
        std::unique_lock rm_lock(rm_mutex_);
        if (rm_.load() == VI_NULL)
            open_rm(control_.get());
    }
    {
        std::lock_guard lock(state_mutex_);
        pausing_ = false;
    }
    state_changed_.notify_all();
}

int Worker::run() {
    control_ = std::make_unique<Actor>(*this, -1);
    reporter_.add_log(&control_->log);
    Watchdog watchdog(reporter_, options().slack_ms);
    watchdog.watch(&control_->watch);
    for (int i = 0; i < options().threads; ++i) {
        actors_.push_back(std::make_unique<Actor>(*this, i));
        reporter_.add_log(&actors_.back()->log);
        watchdog.watch(&actors_.back()->watch);
    }
    watchdog.start();
    if (open_rm(control_.get()) != VI_SUCCESS)
        return kExitSetup;
    // The threads wait while the main thread warms up: their own
    // resources are part of the steady state.
    pausing_ = true;
    std::vector<std::thread> threads;
    for (auto& actor : actors_)
        threads.emplace_back([a = actor.get()] { a->run(); });
    warm_up();
    {
        std::lock_guard lock(state_mutex_);
        pausing_ = false;
    }
    state_changed_.notify_all();

    // The supervisor's commands come at the end of each round; a silence
    // much longer than a round means it is gone.
    const int command_bound_ms = (options().round_seconds + 180) * 1000;
    for (;;) {
        pollfd p{setup_.command_fd, POLLIN, 0};
        const int r = ::poll(&p, 1, command_bound_ms);
        if (r < 0 && errno == EINTR)
            continue;
        char command = 0;
        if (r <= 0 || ::read(setup_.command_fd, &command, 1) != 1)
            ::_exit(kExitSetup);  // the supervisor is gone: nothing to report to
        if (command == 'P' || command == 'F') {
            pause_and_check();
            if (command == 'F')
                break;
            reply("paused");
        } else if (command == 'R') {
            resume();
            reply("resumed");
        }
    }
    {
        std::lock_guard lock(state_mutex_);
        finishing_ = true;
    }
    state_changed_.notify_all();
    for (auto& t : threads)
        t.join();
    reply("finished");
    return 0;
}

void run_worker(WorkerSetup setup) {
    int code;
    {
        Worker worker(std::move(setup));
        code = worker.run();
    }
    // exit() rather than _exit(): a sanitizer's report at exit decides the
    // status too.
    std::exit(code);
}

}  // namespace torture
