#include "device_connection.h"

#include <algorithm>
#include <utility>

namespace sgvisa {

DeviceConnection::DeviceConnection(std::unique_ptr<Transport> transport,
                                   std::unique_ptr<LockFile> access)
    : transport_(std::move(transport)), access_(std::move(access)) {}

ViStatus DeviceConnection::subscribe_service_requests(const void* owner,
                                                      std::function<void(std::uint8_t)> listener) {
    {
        std::lock_guard order(srq_transport_mutex_);
        {
            // Before the transport listens: a request the device kept comes at once.
            std::lock_guard lock(srq_mutex_);
            srq_listeners_.emplace_back(owner, std::move(listener));
        }
        if (!srq_listening_) {
            const ViStatus st = transport_->listen_for_service_requests(
                [this](std::uint8_t stb) { dispatch_service_request(stb); });
            if (st != VI_SUCCESS) {
                std::lock_guard lock(srq_mutex_);
                std::erase_if(srq_listeners_, [owner](const auto& l) { return l.first == owner; });
                return st;
            }
            srq_listening_ = true;
        }
    }
    if (transport_->hears_service_requests_only_when_acquired()) {
        // Heard from now on if the instrument is free (an operation that
        // does nothing, after which it is kept until somebody waits);
        // otherwise from this process's next operation.
        Operation turn;
        (void)begin(
            owner, Clock::now(), [] { return true; }, turn);
    }
    return VI_SUCCESS;
}

void DeviceConnection::unsubscribe_service_requests(const void* owner) {
    {
        std::unique_lock lock(srq_mutex_);
        std::erase_if(srq_listeners_, [owner](const auto& l) { return l.first == owner; });
        srq_call_ended_.wait(lock, [&] {
            return srq_calling_ != owner || srq_caller_ == std::this_thread::get_id();
        });
    }
    // Not under srq_mutex_: the transport's thread may be in a call that
    // needs it.
    std::lock_guard order(srq_transport_mutex_);
    {
        std::lock_guard lock(srq_mutex_);
        if (!srq_listeners_.empty() || !srq_listening_)
            return;
    }
    transport_->listen_for_service_requests(nullptr);
    srq_listening_ = false;
}

void DeviceConnection::dispatch_service_request(std::uint8_t status_byte) {
    std::unique_lock lock(srq_mutex_);
    std::vector<const void*> owners;
    for (const auto& l : srq_listeners_)
        owners.push_back(l.first);
    for (const void* owner : owners) {
        const auto it = std::find_if(srq_listeners_.begin(), srq_listeners_.end(),
                                     [owner](const auto& l) { return l.first == owner; });
        if (it == srq_listeners_.end())
            continue;  // unsubscribed meanwhile
        const auto listener = it->second;
        srq_calling_ = owner;
        srq_caller_ = std::this_thread::get_id();
        lock.unlock();
        listener(status_byte);
        lock.lock();
        srq_calling_ = nullptr;
        srq_call_ended_.notify_all();
    }
}

DeviceConnection::~DeviceConnection() {
    watch_.reset();  // its thread calls in: stopped before anything goes
    transport_->listen_for_service_requests(nullptr);
    if (access_held_) {
        transport_->relinquish();
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

ViStatus DeviceConnection::take_access(Deadline deadline, const std::function<bool()>* may_access) {
    // Another process talks to the instrument. If it holds a lock that keeps
    // this session out, waiting would only end in that answer.
    const ViStatus st = lock_waiting(*access_, LockFile::access, deadline, may_access);
    if (st == VI_SUCCESS) {
        std::lock_guard state(state_mutex_);
        access_held_ = true;
    }
    return st == VI_ERROR_TMO ? VI_ERROR_RSRC_BUSY : st;
}

void DeviceConnection::release_access() {
    access_held_ = false;
    access_->unlock(LockFile::access);
    access_->wake_waiters();
}

ViStatus DeviceConnection::begin(const void* owner, Deadline deadline,
                                 const std::function<bool()>& may_access, Operation& op) {
    if (deadline == Deadline::max()) {
        io_mutex_.lock();
    } else if (!io_mutex_.try_lock_until(deadline)) {
        return VI_ERROR_RSRC_BUSY;
    }
    bool have_access = false;
    {
        std::lock_guard state(state_mutex_);
        idle_ = false;  // from here the watch leaves the access lock alone
        have_access = access_held_;
    }
    if (!have_access) {
        const ViStatus st = take_access(deadline, &may_access);
        if (st != VI_SUCCESS) {
            io_mutex_.unlock();
            return st;
        }
    }
    {
        std::lock_guard state(state_mutex_);
        owner_ = owner;
        transport_->resume();
    }
    Operation held;
    held.connection_ = this;
    if (!may_access())
        return VI_ERROR_RSRC_LOCKED;  // `held` ends the operation
    const ViStatus st = transport_->acquire(deadline);
    if (st != VI_SUCCESS)
        return st;
    op = std::move(held);
    return VI_SUCCESS;
}

void DeviceConnection::leave() {
    {
        std::lock_guard state(state_mutex_);
        owner_ = nullptr;
        if (pins_ == 0 && access_held_)
            keep_or_release();
    }
    io_mutex_.unlock();
}

void DeviceConnection::keep_or_release() {
    if (!watch_) {
        watch_ = LockFileWatch::start(access_->path(), [this] { on_lock_file_changed(); });
        // A waiter that announced itself before the watch was armed.
        waiters_seen_ = true;
    }
    if (watch_ && waiters_seen_)
        waiters_seen_ = access_->others_wait();
    if (watch_ && !waiters_seen_) {
        idle_ = true;
        return;
    }
    transport_->relinquish();
    release_access();
}

void DeviceConnection::on_lock_file_changed() {
    std::lock_guard state(state_mutex_);
    if (!access_held_ || pins_ > 0 || !access_->others_wait())
        return;
    waiters_seen_ = true;  // an operation in progress lets go at its end
    if (!idle_)
        return;
    idle_ = false;
    transport_->relinquish();
    release_access();
}

ViStatus DeviceConnection::pin(Deadline deadline) {
    if (deadline == Deadline::max()) {
        io_mutex_.lock();
    } else if (!io_mutex_.try_lock_until(deadline)) {
        return VI_ERROR_RSRC_BUSY;
    }
    std::unique_lock io(io_mutex_, std::adopt_lock);
    bool have_access = false;
    {
        std::lock_guard state(state_mutex_);
        if (pins_ > 0) {
            ++pins_;
            return VI_SUCCESS;
        }
        idle_ = false;  // from here the watch leaves the access lock alone
        have_access = access_held_;
    }
    ViStatus st = have_access ? VI_SUCCESS : take_access(deadline, nullptr);
    if (st == VI_SUCCESS)
        st = transport_->acquire(deadline);
    std::lock_guard state(state_mutex_);
    if (st != VI_SUCCESS) {
        if (access_held_)
            release_access();
        return st;
    }
    ++pins_;
    return VI_SUCCESS;
}

void DeviceConnection::unpin() {
    // An operation in progress holds io_mutex_ and lets go in leave().
    const bool idle = io_mutex_.try_lock();
    {
        std::lock_guard state(state_mutex_);
        if (pins_ > 0 && --pins_ == 0 && idle && access_held_) {
            transport_->relinquish();
            release_access();
        }
    }
    if (idle)
        io_mutex_.unlock();
}

void DeviceConnection::cancel_for(const void* owner) {
    std::lock_guard state(state_mutex_);
    if (owner_ != nullptr && owner_ == owner)
        transport_->cancel();
}

}  // namespace sgvisa
