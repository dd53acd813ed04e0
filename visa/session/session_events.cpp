#include "session/session_events.h"

#include <algorithm>
#include <utility>

namespace sgvisa::session {
namespace {

bool valid_mechanisms(ViUInt16 m) {
    if (m == 0 || (m & ~(VI_QUEUE | VI_HNDLR | VI_SUSPEND_HNDLR)) != 0)
        return false;
    return (m & (VI_HNDLR | VI_SUSPEND_HNDLR)) != (VI_HNDLR | VI_SUSPEND_HNDLR);
}

}  // namespace

SessionEvents::SessionEvents(Dispatch dispatch) : dispatch_(std::move(dispatch)) {}

SessionEvents::~SessionEvents() {
    shut_down();
}

bool SessionEvents::supported(ViEventType type) {
    return type == VI_EVENT_SERVICE_REQ || type == VI_EVENT_IO_COMPLETION ||
           type == VI_EVENT_EXCEPTION;
}

SessionEvents::State& SessionEvents::state(ViEventType type) {
    for (auto& s : states_) {
        if (s.first == type)
            return s.second;
    }
    states_.emplace_back(type, State{});
    return states_.back().second;
}

const SessionEvents::State* SessionEvents::find_state(ViEventType type) const {
    for (const auto& s : states_) {
        if (s.first == type)
            return &s.second;
    }
    return nullptr;
}

ViStatus SessionEvents::enable(ViEventType type, ViUInt16 mechanism) {
    if (type == VI_ALL_ENABLED_EVENTS || !supported(type))
        return VI_ERROR_INV_EVENT;
    if (!valid_mechanisms(mechanism))
        return VI_ERROR_INV_MECH;
    std::lock_guard lock(mutex_);
    if (mechanism & (VI_HNDLR | VI_SUSPEND_HNDLR)) {
        const bool installed = std::any_of(handlers_.begin(), handlers_.end(),
                                           [type](const Handler& h) { return h.type == type; });
        if (!installed)
            return VI_ERROR_HNDLR_NINSTALLED;
    }
    State& s = state(type);
    if ((s.mechanisms & mechanism) == mechanism)
        return VI_SUCCESS_EVENT_EN;
    if (mechanism & VI_HNDLR) {
        s.mechanisms &= static_cast<ViUInt16>(~VI_SUSPEND_HNDLR);
        // Events kept while suspended are handled now.
        for (auto it = suspended_.begin(); it != suspended_.end();) {
            if (it->type == type) {
                pending_.push_back(*it);
                it = suspended_.erase(it);
            } else {
                ++it;
            }
        }
        start_dispatcher();
        pending_changed_.notify_all();
    }
    if (mechanism & VI_SUSPEND_HNDLR)
        s.mechanisms &= static_cast<ViUInt16>(~VI_HNDLR);
    s.mechanisms |= mechanism;
    return VI_SUCCESS;
}

ViStatus SessionEvents::disable(ViEventType type, ViUInt16 mechanism) {
    if (mechanism != VI_ALL_MECH && !valid_mechanisms(mechanism))
        return VI_ERROR_INV_MECH;
    if (type != VI_ALL_ENABLED_EVENTS && !supported(type))
        return VI_ERROR_INV_EVENT;
    std::lock_guard lock(mutex_);
    bool changed = false;
    for (auto& s : states_) {
        if (type != VI_ALL_ENABLED_EVENTS && s.first != type)
            continue;
        const ViUInt16 before = s.second.mechanisms;
        s.second.mechanisms &= static_cast<ViUInt16>(~mechanism);
        changed = changed || before != s.second.mechanisms;
        if ((s.second.mechanisms & VI_HNDLR) == 0) {
            // Events not yet handed to a handler are not handed any more.
            const ViEventType t = s.first;
            std::erase_if(pending_, [t](const VisaEvent& e) { return e.type == t; });
        }
    }
    return changed ? VI_SUCCESS : VI_SUCCESS_EVENT_DIS;
}

ViStatus SessionEvents::discard(ViEventType type, ViUInt16 mechanism) {
    if (mechanism != VI_ALL_MECH && !valid_mechanisms(mechanism))
        return VI_ERROR_INV_MECH;
    if (type != VI_ALL_ENABLED_EVENTS && !supported(type))
        return VI_ERROR_INV_EVENT;
    std::lock_guard lock(mutex_);
    auto matches = [type](const VisaEvent& e) {
        return type == VI_ALL_ENABLED_EVENTS || e.type == type;
    };
    std::size_t dropped = 0;
    if (mechanism & VI_QUEUE)
        dropped += std::erase_if(queue_, matches);
    if (mechanism & (VI_SUSPEND_HNDLR | VI_HNDLR))
        dropped += std::erase_if(suspended_, matches);
    return dropped > 0 ? VI_SUCCESS : VI_SUCCESS_QUEUE_EMPTY;
}

bool SessionEvents::enabled(ViEventType type) const {
    std::lock_guard lock(mutex_);
    const State* s = find_state(type);
    return s != nullptr && s->mechanisms != 0;
}

ViStatus SessionEvents::wait(ViEventType type, Deadline deadline, VisaEvent& out) {
    if (type != VI_ALL_ENABLED_EVENTS && !supported(type))
        return VI_ERROR_INV_EVENT;
    std::unique_lock lock(mutex_);
    const bool queue_enabled =
        type == VI_ALL_ENABLED_EVENTS
            ? std::any_of(states_.begin(), states_.end(),
                          [](const auto& s) { return (s.second.mechanisms & VI_QUEUE) != 0; })
            : find_state(type) != nullptr && (find_state(type)->mechanisms & VI_QUEUE) != 0;
    if (!queue_enabled)
        return VI_ERROR_NENABLED;
    auto matches = [type](const VisaEvent& e) {
        return type == VI_ALL_ENABLED_EVENTS || e.type == type;
    };
    auto found = [&] { return stopping_ || std::any_of(queue_.begin(), queue_.end(), matches); };
    if (deadline == Deadline::max()) {
        queue_changed_.wait(lock, found);
    } else if (!queue_changed_.wait_until(lock, deadline, found)) {
        return VI_ERROR_TMO;
    }
    if (stopping_)
        return VI_ERROR_INV_OBJECT;
    const auto it = std::find_if(queue_.begin(), queue_.end(), matches);
    out = *it;
    queue_.erase(it);
    if (overflowed_) {
        overflowed_ = false;
        return VI_WARN_QUEUE_OVERFLOW;  // events were lost since the last wait
    }
    return std::any_of(queue_.begin(), queue_.end(), matches) ? VI_SUCCESS_QUEUE_NEMPTY
                                                              : VI_SUCCESS;
}

ViStatus SessionEvents::install(ViEventType type, ViHndlr handler, ViAddr user) {
    if (!supported(type))
        return VI_ERROR_INV_EVENT;
    if (handler == nullptr)
        return VI_ERROR_INV_HNDLR_REF;
    std::lock_guard lock(mutex_);
    handlers_.push_back({type, handler, user});
    return VI_SUCCESS;
}

ViStatus SessionEvents::uninstall(ViEventType type, ViHndlr handler, ViAddr user) {
    if (type != VI_ALL_ENABLED_EVENTS && !supported(type))
        return VI_ERROR_INV_EVENT;
    std::lock_guard lock(mutex_);
    const std::size_t removed = std::erase_if(handlers_, [&](const Handler& h) {
        const bool type_ok = type == VI_ALL_ENABLED_EVENTS || h.type == type;
        const bool which = handler == VI_ANY_HNDLR || (h.handler == handler && h.user == user);
        return type_ok && which;
    });
    return removed > 0 ? VI_SUCCESS : VI_ERROR_INV_HNDLR_REF;
}

void SessionEvents::raise(const VisaEvent& event) {
    OverflowNote note;
    std::size_t bound = 0;
    {
        std::lock_guard lock(mutex_);
        raise_locked(event, note);
        bound = queue_length_;
    }
    if (note)
        note(event.type, bound);
}

void SessionEvents::raise_locked(const VisaEvent& event, OverflowNote& note) {
    if (stopping_)
        return;
    const State* s = find_state(event.type);
    if (s == nullptr)
        return;
    if (s->mechanisms & VI_QUEUE) {
        if (queue_.size() >= queue_length_) {
            overflowed_ = true;
        } else {
            queue_.push_back(event);
            queue_changed_.notify_all();
        }
    }
    const bool handled = std::any_of(handlers_.begin(), handlers_.end(),
                                     [&](const Handler& h) { return h.type == event.type; });
    if ((s->mechanisms & VI_HNDLR) && handled) {
        // A completion answers a job the program started, so the program
        // bounds them; losing one would leave it waiting for ever.
        if (pending_.size() < queue_length_ || event.type == VI_EVENT_IO_COMPLETION) {
            pending_.push_back(event);
            start_dispatcher();
            pending_changed_.notify_all();
        } else if (!backlog_full_) {
            backlog_full_ = true;
            note = overflow_note_;
        }
    } else if (s->mechanisms & VI_SUSPEND_HNDLR) {
        if (suspended_.size() < queue_length_)
            suspended_.push_back(event);
    }
}

void SessionEvents::set_overflow_note(OverflowNote note) {
    std::lock_guard lock(mutex_);
    overflow_note_ = std::move(note);
}

void SessionEvents::await_handler_calls() {
    std::unique_lock lock(mutex_);
    if (dispatcher_id_ == std::this_thread::get_id())
        return;
    calls_ended_.wait(lock, [this] { return !calling_; });
}

void SessionEvents::set_queue_length(std::size_t length) {
    std::lock_guard lock(mutex_);
    queue_length_ = std::max<std::size_t>(length, 1);
}

void SessionEvents::start_dispatcher() {
    if (dispatcher_.joinable() || stopping_)
        return;
    // The thread owns the events too: they live until it returns.
    dispatcher_ = std::thread([this, self = shared_from_this()] { dispatch_loop(); });
}

void SessionEvents::dispatch_loop() {
    std::unique_lock lock(mutex_);
    dispatcher_id_ = std::this_thread::get_id();
    for (;;) {
        pending_changed_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
        if (stopping_)
            return;  // the thread's own may be the last owner: shut_down() then detaches it
        const VisaEvent event = std::move(pending_.front());
        pending_.pop_front();
        if (pending_.empty())
            backlog_full_ = false;  // caught up: the next loss is told again
        const State* s = find_state(event.type);
        if (s == nullptr || (s->mechanisms & VI_HNDLR) == 0) {
            // Suspended since it was raised: kept for the handlers' return.
            if (s != nullptr && (s->mechanisms & VI_SUSPEND_HNDLR) != 0 &&
                suspended_.size() < queue_length_)
                suspended_.push_back(event);
            continue;
        }
        // Newest handler first; VI_SUCCESS_NCHAIN stops the chain.
        std::vector<Handler> chain;
        for (auto it = handlers_.rbegin(); it != handlers_.rend(); ++it) {
            if (it->type == event.type)
                chain.push_back(*it);
        }
        if (chain.empty())
            continue;
        calling_ = true;
        lock.unlock();
        for (const Handler& h : chain) {
            if (dispatch_(h.handler, h.user, event) == VI_SUCCESS_NCHAIN)
                break;
        }
        lock.lock();
        calling_ = false;
        calls_ended_.notify_all();
    }
}

void SessionEvents::shut_down() {
    std::thread dispatcher;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_changed_.notify_all();
        pending_changed_.notify_all();
        dispatcher = std::move(dispatcher_);
    }
    if (!dispatcher.joinable())
        return;
    if (dispatcher.get_id() == std::this_thread::get_id())
        dispatcher.detach();  // closed from its own handler: it ends by itself
    else
        dispatcher.join();
}

}  // namespace sgvisa::session
