// A session's events: which types it has enabled with which mechanisms, the
// queue viWaitOnEvent takes them from, and the handlers it calls.
//
// The queue mechanism keeps at most VI_ATTR_MAX_QUEUE_LENGTH events; an event
// that finds it full is lost, and the next viWaitOnEvent says so
// (VI_WARN_QUEUE_OVERFLOW). The handler mechanism calls the installed
// handlers, newest first, on a thread of the library, never while a lock of
// the library is held, so a handler may call the library. Suspended handlers
// (VI_SUSPEND_HNDLR) keep their events until the handler mechanism is
// enabled again. The events waiting for the handlers are bounded as the
// queue is, by VI_ATTR_MAX_QUEUE_LENGTH: an event that finds the backlog
// full is lost (but an I/O completion, which answers a job the program
// started: the program bounds those), and the overflow note (a trace line)
// tells of the first loss until the handlers catch up, so that a device
// that requests service faster than the handler runs costs a bounded
// memory and an event's work.
// No handler call starts once disable() or uninstall() has returned and
// await_handler_calls() (which waits for the call in progress) too.
// Thread-safe.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/deadline.h"
#include "visa.h"

namespace sgvisa::session {

// One occurrence of an event, as an event context shows it to a program
// (viWaitOnEvent, a handler): its type and, for an I/O completion, the
// operation's outcome.
struct VisaEvent {
    ViEventType type = 0;
    // VI_EVENT_IO_COMPLETION only:
    ViStatus status = VI_SUCCESS;
    ViUInt32 return_count = 0;
    ViBuf buffer = nullptr;
    ViJobId job_id = 0;
    std::string operation_name;
};

class SessionEvents : public std::enable_shared_from_this<SessionEvents> {
  public:
    // Calls a handler with an event: the caller makes the event context.
    using Dispatch = std::function<ViStatus(ViHndlr handler, ViAddr user, const VisaEvent& event)>;

    // Owned by a shared_ptr: the handler thread keeps it alive while it runs.
    explicit SessionEvents(Dispatch dispatch);
    ~SessionEvents();
    SessionEvents(const SessionEvents&) = delete;
    SessionEvents& operator=(const SessionEvents&) = delete;

    // The event types this library delivers for a session.
    static bool supported(ViEventType type);

    // viEnableEvent / viDisableEvent / viDiscardEvents for one type, or for
    // every enabled one (VI_ALL_ENABLED_EVENTS).
    ViStatus enable(ViEventType type, ViUInt16 mechanism);
    ViStatus disable(ViEventType type, ViUInt16 mechanism);
    ViStatus discard(ViEventType type, ViUInt16 mechanism);
    // Whether `type` is enabled with any mechanism (a source of the event
    // need only run while it is).
    bool enabled(ViEventType type) const;

    // viWaitOnEvent: the next queued event of `type` (VI_ALL_ENABLED_EVENTS:
    // any), waiting until `deadline`.
    ViStatus wait(ViEventType type, Deadline deadline, VisaEvent& out);

    ViStatus install(ViEventType type, ViHndlr handler, ViAddr user);
    ViStatus uninstall(ViEventType type, ViHndlr handler, ViAddr user);

    // An event happened: queued and/or handed to the handlers, as enabled;
    // dropped when the session is not enabled for it. Any thread.
    void raise(const VisaEvent& event);

    // Called (without a lock of these events held, on the raising thread)
    // when an event is lost because the handlers' backlog is full: the
    // first loss since the backlog was last empty. `bound` is its size.
    using OverflowNote = std::function<void(ViEventType type, std::size_t bound)>;
    void set_overflow_note(OverflowNote note);

    // Waits until no handler call is in progress, so that after a
    // disable() or uninstall() no handler call starts once this returns.
    // Returns at once on the handler thread itself (a handler that
    // disables its own events) and must be called with no lock a handler
    // may take held.
    void await_handler_calls();

    void set_queue_length(std::size_t length);

    // Stops delivering: waits for a handler call in progress unless called
    // from that handler.
    void shut_down();

  private:
    struct Handler {
        ViEventType type;
        ViHndlr handler;
        ViAddr user;
    };
    struct State {
        ViUInt16 mechanisms = 0;  // VI_QUEUE | VI_HNDLR | VI_SUSPEND_HNDLR
    };

    State& state(ViEventType type);
    const State* find_state(ViEventType type) const;
    void dispatch_loop();
    // raise() under mutex_; `note` is set when the caller must report a loss.
    void raise_locked(const VisaEvent& event, OverflowNote& note);
    // Starts the handler thread if needed; caller holds mutex_.
    void start_dispatcher();

    Dispatch dispatch_;
    mutable std::mutex mutex_;
    std::condition_variable queue_changed_;
    std::condition_variable pending_changed_;
    std::vector<std::pair<ViEventType, State>> states_;
    std::deque<VisaEvent> queue_;
    std::size_t queue_length_ = 50;
    bool overflowed_ = false;
    std::vector<Handler> handlers_;
    std::deque<VisaEvent> pending_;  // for the handlers, at most queue_length_
    bool backlog_full_ = false;      // an event was lost since the backlog was empty
    OverflowNote overflow_note_;
    bool calling_ = false;  // the handler thread runs a chain of handlers
    std::condition_variable calls_ended_;
    std::deque<VisaEvent> suspended_;  // kept while handlers are suspended
    std::thread dispatcher_;
    std::thread::id dispatcher_id_;
    bool stopping_ = false;
};

}  // namespace sgvisa::session
