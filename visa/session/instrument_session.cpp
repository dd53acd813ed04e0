#include "instrument_session.h"

#include <utility>

namespace sgvisa {

InstrumentSession::InstrumentSession(ViSession rm, UsbResourceName name,
                                     std::shared_ptr<DeviceConnection> device,
                                     std::unique_ptr<ResourceLock> lock)
    : rm_(rm), name_(std::move(name)), device_(std::move(device)), lock_(std::move(lock)) {}

InstrumentSession::~InstrumentSession() {
    close();
}

ViStatus InstrumentSession::begin(Deadline deadline, DeviceConnection::Operation& op) {
    if (closed_)
        return VI_ERROR_INV_OBJECT;
    const ViStatus st = device_->begin(
        this, deadline, [this] { return lock_->may_access(); }, op);
    if (st == VI_SUCCESS && closed_) {
        op = DeviceConnection::Operation();
        return VI_ERROR_INV_OBJECT;
    }
    return st;
}

ViStatus InstrumentSession::lock(ViAccessMode type, Deadline deadline, const char* requested_key,
                                 std::string& key) {
    if (closed_)
        return VI_ERROR_INV_OBJECT;
    std::lock_guard guard(lock_mutex_);
    const ViStatus st = lock_->lock(type, deadline, requested_key, key);
    if (st != VI_SUCCESS || type != VI_EXCLUSIVE_LOCK)
        return st;
    // First exclusive level: this process keeps the instrument until unlock.
    const ViStatus pinned = device_->pin(deadline);
    if (pinned != VI_SUCCESS) {
        bool released = false;
        lock_->unlock(released);
        return pinned == VI_ERROR_RSRC_BUSY ? VI_ERROR_TMO : pinned;
    }
    return VI_SUCCESS;
}

ViStatus InstrumentSession::unlock() {
    if (closed_)
        return VI_ERROR_INV_OBJECT;
    std::lock_guard guard(lock_mutex_);
    bool exclusive_released = false;
    const ViStatus st = lock_->unlock(exclusive_released);
    if (exclusive_released)
        device_->unpin();
    return st;
}

void InstrumentSession::close() {
    if (closed_.exchange(true))
        return;
    device_->cancel_for(this);
    std::lock_guard guard(lock_mutex_);
    const bool pinned = lock_->held() == VI_EXCLUSIVE_LOCK;
    lock_->release_all();
    if (pinned)
        device_->unpin();
}

SessionSettings InstrumentSession::settings() const {
    std::lock_guard guard(settings_mutex_);
    return settings_;
}

void InstrumentSession::update_settings(const SessionSettings& settings) {
    std::lock_guard guard(settings_mutex_);
    settings_ = settings;
}

}  // namespace sgvisa
