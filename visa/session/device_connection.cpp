#include "session/device_connection.h"

#include <algorithm>
#include <utility>

namespace sgvisa::session {
namespace {

// A process that only keeps the access lock between its operations lets go
// as soon as a waiter announces itself: a wait for the access lock lasts at
// least this long, however short the operation's timeout (0 included), so
// that such a keeper is never taken for one that is busy.
constexpr auto kAccessGrace = std::chrono::milliseconds(200);

// How long giving a device's lock back may take.
constexpr std::chrono::milliseconds kDeviceUnlockTime{2000};
// How long reading VI_ATTR_RSRC_LOCK_STATE asks the instrument at most.
constexpr std::chrono::milliseconds kDeviceLockStateTime{500};

}  // namespace

DeviceConnection::DeviceConnection(std::unique_ptr<Transport> transport,
                                   std::unique_ptr<lock::LockFile> access)
    : transport_(std::move(transport)),
      access_(std::move(access)),
      takes_turns_(transport_->takes_turns_between_processes()),
      service_requests_(*transport_) {}

ViStatus DeviceConnection::subscribe_service_requests(const void* owner,
                                                      std::function<void(std::uint8_t)> listener) {
    const ViStatus st = service_requests_.subscribe(owner, std::move(listener));
    if (st != VI_SUCCESS)
        return st;
    if (transport_->hears_service_requests_only_when_acquired()) {
        // Heard from now on if the instrument is free (an operation that
        // does nothing, after which it is kept until somebody waits);
        // otherwise from this process's next operation.
        CancelToken token;
        Operation turn;
        (void)start(
            token, Clock::now(), Clock::now(), [] { return true; }, turn);
    }
    return VI_SUCCESS;
}

void DeviceConnection::unsubscribe_service_requests(const void* owner) {
    service_requests_.unsubscribe(owner);
}

DeviceConnection::~DeviceConnection() {
    std::unique_ptr<lock::LockFileWatch> watch;
    {
        std::lock_guard state(state_mutex_);  // its call reads watch_
        watch = std::move(watch_);
    }
    watch.reset();  // its thread calls in: stopped before anything goes
    transport_->listen_for_service_requests(nullptr);
    if (access_held_) {
        transport_->relinquish();
        std::lock_guard state(state_mutex_);
        release_access();
    }
    // The transport closes before the lock file: nobody else gets the
    // device while it is open.
    transport_.reset();
}

DeviceConnection::Operation::Operation(Operation&& other) noexcept
    : connection_(std::exchange(other.connection_, nullptr)) {}

DeviceConnection::Operation& DeviceConnection::Operation::operator=(Operation&& other) noexcept {
    if (this != &other) {
        if (connection_)
            connection_->leave();
        connection_ = std::exchange(other.connection_, nullptr);
    }
    return *this;
}

DeviceConnection::Operation::~Operation() {
    if (connection_)
        connection_->leave();
}

ViStatus DeviceConnection::take_turn(CancelToken& token, Deadline deadline) {
    std::unique_lock state(state_mutex_);
    if (!busy_ && queue_.empty()) {
        busy_ = true;
        return VI_SUCCESS;
    }
    queue_.push_back(&token);
    for (;;) {
        if (!busy_ && queue_.front() == &token) {
            queue_.pop_front();
            busy_ = true;
            return VI_SUCCESS;
        }
        const bool cancelled = token.cancelled();
        if (cancelled || Clock::now() >= deadline) {
            std::erase(queue_, &token);
            if (!busy_) {
                // Handed to this one as it gave up: passed on (letting go
                // of the instrument if nobody is left to use it).
                busy_ = true;
                state.unlock();
                end_turn();
            }
            return cancelled ? VI_ERROR_ABORT : VI_ERROR_RSRC_BUSY;
        }
        state.unlock();
        token.wait(deadline);
        state.lock();
    }
}

void DeviceConnection::end_turn() {
    std::unique_lock state(state_mutex_);
    running_ = nullptr;
    if (device_unlock_due_ && pins_ == 0) {
        // The holder of the turn gives the device's lock back, bounded:
        // should the instrument not answer, the link's end frees it.
        device_unlock_due_ = false;
        state.unlock();
        transport_->resume();
        (void)transport_->unlock_device(Clock::now() + kDeviceUnlockTime);
        state.lock();
    }
    while (pins_ == 0 && access_held_ && must_let_go()) {
        // Talking to the transport (giving the claim up may abort a
        // transfer) without the state lock: cancel() is never held up.
        state.unlock();
        transport_->relinquish();
        state.lock();
        release_access();
    }
    busy_ = false;
    if (!queue_.empty())
        queue_.front()->wake();
}

bool DeviceConnection::must_let_go() {
    if (!watch_)
        return true;  // nobody would tell of a waiter
    if (waiters_seen_)
        waiters_seen_ = access_->others_wait();
    return waiters_seen_;
}

ViStatus DeviceConnection::take_access(CancelToken& token, Deadline deadline,
                                       const std::function<bool()>* may_access) {
    // Another process talks to the instrument. If it holds a lock that keeps
    // this session out, waiting would only end in that answer.
    const ViStatus st =
        lock::lock_waiting(*access_, lock::LockFile::access, deadline, token, may_access);
    if (st == VI_SUCCESS) {
        std::lock_guard state(state_mutex_);
        access_held_ = true;
        // A waiter that announced itself while this process waited too went
        // unheeded: looked for when the operation ends.
        waiters_seen_ = true;
    }
    return st == VI_ERROR_TMO ? VI_ERROR_RSRC_BUSY : st;
}

bool DeviceConnection::holds_access() {
    std::lock_guard state(state_mutex_);
    return access_held_;
}

void DeviceConnection::release_access() {
    access_held_ = false;
    access_->unlock(lock::LockFile::access);
    access_->wake_waiters();
}

ViStatus DeviceConnection::begin(CancelToken& token, Deadline deadline,
                                 const std::function<bool()>& may_access, Operation& op) {
    return start(token, deadline, std::max(deadline, Clock::now() + kAccessGrace), may_access, op);
}

ViStatus DeviceConnection::start(CancelToken& token, Deadline deadline, Deadline access_deadline,
                                 const std::function<bool()>& may_access, Operation& op) {
    ViStatus st = take_turn(token, deadline);
    if (st != VI_SUCCESS)
        return st;
    Operation held;  // ends the turn on every way out
    held.connection_ = this;
    if (takes_turns_ && !holds_access()) {
        st = take_access(token, access_deadline, &may_access);
        if (st != VI_SUCCESS)
            return st;
    }
    {
        std::lock_guard state(state_mutex_);
        running_ = &token;
        transport_->resume();
        // A cancel before running_ was set found nothing to abort.
        if (token.cancelled())
            return VI_ERROR_ABORT;
    }
    if (!may_access())
        return VI_ERROR_RSRC_LOCKED;
    st = transport_->acquire(deadline);
    if (st != VI_SUCCESS)
        return st;
    op = std::move(held);
    return VI_SUCCESS;
}

void DeviceConnection::leave() {
    if (takes_turns_ && !watch_) {
        bool keeping = false;
        {
            std::lock_guard state(state_mutex_);
            keeping = pins_ == 0 && access_held_;
        }
        if (keeping) {
            auto watch =
                lock::LockFileWatch::start(access_->path(), [this] { on_lock_file_changed(); });
            std::lock_guard state(state_mutex_);
            watch_ = std::move(watch);
            waiters_seen_ = true;  // one may have announced itself before the watch was armed
        }
    }
    end_turn();
}

void DeviceConnection::on_lock_file_changed() {
    {
        std::lock_guard state(state_mutex_);
        if (!access_held_ || pins_ > 0 || !access_->others_wait())
            return;
        waiters_seen_ = true;  // an operation in progress or queued lets go at its end
        if (busy_ || !queue_.empty())
            return;
        busy_ = true;  // idle: the turn, to let go
    }
    end_turn();
}

ViStatus DeviceConnection::pin(CancelToken& token, Deadline deadline) {
    ViStatus st = take_turn(token, deadline);
    if (st != VI_SUCCESS)
        return st;
    Operation held;  // ends the turn on every way out
    held.connection_ = this;
    {
        std::lock_guard state(state_mutex_);
        if (pins_ > 0) {
            ++pins_;
            return VI_SUCCESS;
        }
    }
    if (takes_turns_ && !holds_access()) {
        st = take_access(token, std::max(deadline, Clock::now() + kAccessGrace), nullptr);
        if (st != VI_SUCCESS)
            return st;
    }
    {
        std::lock_guard state(state_mutex_);
        running_ = &token;  // the claim may be the first, with the capabilities
        transport_->resume();
        if (token.cancelled())
            return VI_ERROR_ABORT;
    }
    st = transport_->acquire(deadline);
    if (st != VI_SUCCESS)
        return st;
    // Where the instrument keeps locks, the exclusive lock is its too:
    // other controllers' links wait for it.
    st = transport_->lock_device(deadline);
    if (st != VI_SUCCESS && st != VI_ERROR_NSUP_OPER)
        return st;
    std::lock_guard state(state_mutex_);
    device_locked_ = st == VI_SUCCESS;
    ++pins_;
    return VI_SUCCESS;
}

void DeviceConnection::unpin() {
    {
        std::lock_guard state(state_mutex_);
        if (pins_ == 0 || --pins_ > 0)
            return;
        if (device_locked_) {
            device_locked_ = false;
            device_unlock_due_ = true;
        }
        // An operation in progress or queued lets go when it ends.
        if (busy_ || !queue_.empty())
            return;
        busy_ = true;
    }
    end_turn();
}

ViStatus DeviceConnection::share_device_lock(CancelToken& token, Deadline deadline,
                                             const std::string& key) {
    if (!transport_->keeps_shared_locks()) {
        std::lock_guard state(state_mutex_);
        ++shared_locks_;  // the library's lock is all there is
        return VI_SUCCESS;
    }
    ViStatus st = take_turn(token, deadline);
    if (st != VI_SUCCESS)
        return st;
    Operation held;  // ends the turn on every way out
    held.connection_ = this;
    {
        std::lock_guard state(state_mutex_);
        if (shared_locks_ > 0) {
            ++shared_locks_;
            return VI_SUCCESS;
        }
        running_ = &token;
        transport_->resume();
        if (token.cancelled())
            return VI_ERROR_ABORT;
    }
    st = transport_->lock_device(deadline, key);
    if (st != VI_SUCCESS && st != VI_ERROR_NSUP_OPER)
        return st;
    std::lock_guard state(state_mutex_);
    device_shared_ = st == VI_SUCCESS;
    ++shared_locks_;
    return VI_SUCCESS;
}

void DeviceConnection::unshare_device_lock() {
    {
        std::lock_guard state(state_mutex_);
        if (shared_locks_ == 0 || --shared_locks_ > 0 || !device_shared_)
            return;
        device_shared_ = false;
    }
    // Given back in a turn of its own, bounded: should the instrument not
    // answer, the connection's end frees it.
    CancelToken token;
    const Deadline bound = Clock::now() + kDeviceUnlockTime;
    if (take_turn(token, bound) != VI_SUCCESS)
        return;
    Operation held;
    held.connection_ = this;
    {
        std::lock_guard state(state_mutex_);
        running_ = &token;
        transport_->resume();
    }
    (void)transport_->unlock_device(bound);
}

ViStatus DeviceConnection::device_lock_state(ViAccessMode& state) const {
    return transport_->device_lock_state(Clock::now() + kDeviceLockStateTime, state);
}

void DeviceConnection::cancel(CancelToken& token) {
    token.cancel();
    std::lock_guard state(state_mutex_);
    if (running_ == &token)
        transport_->cancel();
}

}  // namespace sgvisa::session
