// An open instrument session: its transport, its lock and its attributes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "deadline.h"
#include "instrument_lock.h"
#include "transport.h"

namespace sgvisa {

// The I/O timeout of a new instrument session (VI_ATTR_TMO_VALUE), in ms.
constexpr std::uint32_t kDefaultIoTimeoutMs = 2000;

// Exclusive access to a session's transport for one I/O operation.
struct IoAccess {
    Transport* transport = nullptr;
    std::unique_lock<std::timed_mutex> lock;
    std::unique_ptr<InstrumentLock> shared_lock;  // sessions opened without a lock
};

class InstrumentSession {
  public:
    // `exclusive_lock` is null for a session opened without VI_EXCLUSIVE_LOCK;
    // such a session checks at each operation that nobody holds one.
    InstrumentSession(std::unique_ptr<Transport> transport,
                      std::unique_ptr<InstrumentLock> exclusive_lock, InstrumentKey key);
    InstrumentSession(const InstrumentSession&) = delete;
    InstrumentSession& operator=(const InstrumentSession&) = delete;
    ~InstrumentSession();

    // Waits until `deadline` for the session's other operations to finish.
    // VI_ERROR_TMO when they do not; VI_ERROR_INV_OBJECT once closed;
    // VI_ERROR_RSRC_LOCKED when another session holds the exclusive lock.
    ViStatus begin_io(Deadline deadline, IoAccess& access);

    // Waits for a running operation, then closes the transport and releases
    // the lock. Later operations get VI_ERROR_INV_OBJECT.
    void close();

    std::uint32_t timeout_ms() const { return timeout_ms_.load(); }
    void set_timeout_ms(std::uint32_t ms) { timeout_ms_.store(ms); }

  private:
    std::timed_mutex io_mutex_;
    std::unique_ptr<Transport> transport_;
    std::unique_ptr<InstrumentLock> exclusive_lock_;
    InstrumentKey key_;
    std::atomic<std::uint32_t> timeout_ms_{kDefaultIoTimeoutMs};
};

}  // namespace sgvisa
