#include "session/instrument_session.h"

#include <utility>
#include <vector>

#include "session/session_table.h"

namespace sgvisa::session {

namespace {

// Calls a handler with an event context made for the call and closed after it.
SessionEvents::Dispatch dispatcher(ViSession rm, std::shared_ptr<std::atomic<ViSession>> handle) {
    return [rm, handle](ViHndlr handler, ViAddr user, const VisaEvent& event) -> ViStatus {
        auto& table = SessionTable::global();
        ViEvent context = VI_NULL;
        if (table.add_handler_event(rm, std::make_shared<VisaEvent>(event), context) != VI_SUCCESS)
            return VI_SUCCESS;  // the resource manager is gone
        ViStatus st = VI_SUCCESS;
        try {
            st = handler(handle->load(), event.type, context, user);
        } catch (...) {
            // A handler's exception stops at the library's thread.
        }
        std::vector<std::shared_ptr<InstrumentSession>> none;
        table.remove(context, none);
        return st;
    };
}

}  // namespace

InstrumentSession::InstrumentSession(ViSession rm, ResourceName name,
                                     std::shared_ptr<DeviceConnection> device,
                                     std::unique_ptr<lock::ResourceLock> lock)
    : rm_(rm),
      name_(std::move(name)),
      device_(std::move(device)),
      lock_(std::move(lock)),
      events_(std::make_shared<SessionEvents>(dispatcher(rm_, handle_))) {
    std::weak_ptr<SessionEvents> events = events_;
    jobs_ = std::make_shared<AsyncJobs>(
        [events](const VisaEvent& done) {
            if (auto e = events.lock())
                e->raise(done);
        },
        [device = device_](CancelToken& token) { device->cancel(token); });
}

InstrumentSession::~InstrumentSession() {
    close();
}

ViStatus InstrumentSession::enroll(CancelToken& token) {
    std::lock_guard ops(ops_mutex_);
    if (closed_)
        return VI_ERROR_INV_OBJECT;
    ops_.push_back(&token);
    return VI_SUCCESS;
}

void InstrumentSession::forget(CancelToken& token) {
    std::lock_guard ops(ops_mutex_);
    std::erase(ops_, &token);
}

ViStatus InstrumentSession::begin(CancelToken& token, Deadline deadline,
                                  DeviceConnection::Operation& op) {
    if (const ViStatus st = enroll(token); st != VI_SUCCESS)
        return st;
    return device_->begin(
        token, deadline, [this] { return lock_->may_access(); }, op);
}

ViStatus InstrumentSession::lock(ViAccessMode type, Deadline deadline, const char* requested_key,
                                 std::string& key) {
    CancelToken token;
    if (enroll(token) != VI_SUCCESS)
        return VI_ERROR_INV_OBJECT;
    struct Enrolled {
        InstrumentSession& session;
        CancelToken& token;
        ~Enrolled() { session.forget(token); }
    } enrolled{*this, token};
    return lock_enrolled(type, deadline, requested_key, key, token);
}

ViStatus InstrumentSession::lock_enrolled(ViAccessMode type, Deadline deadline,
                                          const char* requested_key, std::string& key,
                                          CancelToken& token) {
    std::lock_guard guard(lock_mutex_);
    // Closed while this waited for another lock() of the session: the close
    // has dropped the session's locks, and none may be taken after it.
    if (token.cancelled())
        return VI_ERROR_ABORT;
    const ViStatus st = lock_->lock(type, deadline, requested_key, key, token);
    if (st == VI_SUCCESS && type == VI_SHARED_LOCK) {
        // The first shared level: the instrument's too, where it keeps them.
        const ViStatus shared = device_->share_device_lock(token, deadline, key);
        if (shared != VI_SUCCESS) {
            bool released = false;
            lock_->unlock(released);
            return shared == VI_ERROR_RSRC_BUSY || shared == VI_ERROR_RSRC_LOCKED ? VI_ERROR_TMO
                                                                                  : shared;
        }
        device_shared_ = true;
        return st;
    }
    if (st != VI_SUCCESS || type != VI_EXCLUSIVE_LOCK)
        return st;
    // First exclusive level: this process keeps the instrument until unlock.
    const ViStatus pinned = device_->pin(token, deadline);
    if (pinned != VI_SUCCESS) {
        bool released = false;
        lock_->unlock(released);
        return pinned == VI_ERROR_RSRC_BUSY || pinned == VI_ERROR_RSRC_LOCKED ? VI_ERROR_TMO
                                                                              : pinned;
    }
    return VI_SUCCESS;
}

ViStatus InstrumentSession::unlock() {
    if (closed_)
        return VI_ERROR_INV_OBJECT;
    std::lock_guard guard(lock_mutex_);
    if (closed_)
        return VI_ERROR_INV_OBJECT;  // the close dropped the locks
    bool exclusive_released = false;
    const ViStatus st = lock_->unlock(exclusive_released);
    if (exclusive_released)
        device_->unpin();
    else if (st == VI_SUCCESS && device_shared_) {
        device_shared_ = false;  // the last shared level went
        device_->unshare_device_lock();
    }
    return st;
}

ViStatus InstrumentSession::enable_event(ViEventType type, ViUInt16 mechanism) {
    if (closed_)
        return VI_ERROR_INV_OBJECT;
    std::lock_guard guard(event_mutex_);
    const ViStatus st = events_->enable(type, mechanism);
    if (st < 0 || type != VI_EVENT_SERVICE_REQ)
        return st;
    const ViStatus listening = update_service_requests();
    if (listening != VI_SUCCESS) {
        events_->disable(type, mechanism);
        return listening;
    }
    return st;
}

ViStatus InstrumentSession::disable_event(ViEventType type, ViUInt16 mechanism) {
    if (closed_)
        return VI_ERROR_INV_OBJECT;
    std::lock_guard guard(event_mutex_);
    const ViStatus st = events_->disable(type, mechanism);
    update_service_requests();
    return st;
}

ViStatus InstrumentSession::update_service_requests() {
    const bool wanted = !closed_ && events_->enabled(VI_EVENT_SERVICE_REQ);
    if (wanted == subscribed_)
        return VI_SUCCESS;
    if (!wanted) {
        device_->unsubscribe_service_requests(this);
        subscribed_ = false;
        return VI_SUCCESS;
    }
    std::weak_ptr<SessionEvents> events = events_;
    const ViStatus st = device_->subscribe_service_requests(this, [events](std::uint8_t) {
        if (auto e = events.lock()) {
            VisaEvent srq;
            srq.type = VI_EVENT_SERVICE_REQ;
            e->raise(srq);
        }
    });
    subscribed_ = st == VI_SUCCESS;
    return st;
}

void InstrumentSession::close() {
    {
        std::lock_guard ops(ops_mutex_);
        if (closed_.exchange(true))
            return;
        for (CancelToken* token : ops_)
            device_->cancel(*token);
    }
    {
        std::lock_guard guard(event_mutex_);
        update_service_requests();
    }
    jobs_->shut_down();
    events_->shut_down();
    // A lock() in progress has been cancelled: it lets go of lock_mutex_ at once.
    std::lock_guard guard(lock_mutex_);
    // The VISA lock goes first: a process waiting for it wakes once, and
    // by the time it has connected and wants the access lock, that is free.
    const bool pinned = lock_->held() == VI_EXCLUSIVE_LOCK;
    lock_->release_all();
    if (pinned)
        device_->unpin();
    if (device_shared_) {
        device_shared_ = false;
        device_->unshare_device_lock();
    }
}

SessionSettings InstrumentSession::settings() const {
    std::lock_guard guard(settings_mutex_);
    return settings_;
}

ViStatus InstrumentSession::change_settings(
    const std::function<ViStatus(SessionSettings&)>& change) {
    std::lock_guard guard(settings_mutex_);
    SessionSettings changed = settings_;
    const ViStatus st = change(changed);
    if (st == VI_SUCCESS)
        settings_ = changed;
    return st;
}

}  // namespace sgvisa::session
