#include "instrument_session.h"

#include <utility>

namespace sgvisa {

InstrumentSession::InstrumentSession(std::unique_ptr<Transport> transport,
                                     std::unique_ptr<InstrumentLock> exclusive_lock,
                                     InstrumentKey key)
    : transport_(std::move(transport)),
      exclusive_lock_(std::move(exclusive_lock)),
      key_(std::move(key)) {}

InstrumentSession::~InstrumentSession() {
    close();
}

ViStatus InstrumentSession::begin_io(Deadline deadline, IoAccess& access) {
    std::unique_lock lock(io_mutex_, std::defer_lock);
    if (deadline == Deadline::max()) {
        lock.lock();
    } else if (!lock.try_lock_until(deadline)) {
        return VI_ERROR_TMO;
    }
    if (!transport_)
        return VI_ERROR_INV_OBJECT;
    if (!exclusive_lock_) {
        const ViStatus st = InstrumentLock::acquire_shared(key_, access.shared_lock);
        if (st != VI_SUCCESS)
            return st;
    }
    access.transport = transport_.get();
    access.lock = std::move(lock);
    return VI_SUCCESS;
}

void InstrumentSession::close() {
    std::lock_guard lock(io_mutex_);
    transport_.reset();
    exclusive_lock_.reset();  // after the transport: nobody gets the device while it is open
}

}  // namespace sgvisa
