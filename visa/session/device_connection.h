// This process's connection to one instrument, shared by all its sessions to
// it: the transport, the order of operations, and the instrument's access
// lock, which lets one process at a time talk to the instrument.
//
// An operation takes, in this order: the connection (other threads of this
// process queue here), the access lock (other processes queue here; held for
// good while a session of this process holds the exclusive lock: the
// connection is then pinned), and the transport (the USB claim). Thread-safe.
//
// Between operations the access lock and the claim stay while no other
// descriptor waits for the lock file: a thread watches it (lock_file_watch.h)
// and lets both go as soon as a waiter announces itself, also while this
// process does nothing; an operation that ends after a waiter was seen lets
// go at its end.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "deadline.h"
#include "lock_file.h"
#include "lock_file_watch.h"
#include "transport.h"

namespace sgvisa {

class DeviceConnection {
  public:
    DeviceConnection(std::unique_ptr<Transport> transport, std::unique_ptr<LockFile> access);
    ~DeviceConnection();
    DeviceConnection(const DeviceConnection&) = delete;
    DeviceConnection& operator=(const DeviceConnection&) = delete;

    // One operation's hold on the connection; ends it when destroyed.
    class Operation {
      public:
        Operation() = default;
        Operation(Operation&& other) noexcept;
        Operation& operator=(Operation&& other) noexcept;
        ~Operation();
        Transport& transport() const { return *connection_->transport_; }
        DeviceConnection& connection() const { return *connection_; }
        explicit operator bool() const { return connection_ != nullptr; }

      private:
        friend class DeviceConnection;
        DeviceConnection* connection_ = nullptr;
    };

    // Starts an operation for `owner` (the session; cancel_for() names it).
    // Waits for this process's other operations and for other processes
    // until `deadline`: VI_ERROR_RSRC_BUSY when they do not finish in time.
    // `may_access` (another session holds no lock that keeps this one out) is
    // asked before waiting for another process and again once the access
    // lock is held; false gives VI_ERROR_RSRC_LOCKED at once.
    ViStatus begin(const void* owner, Deadline deadline, const std::function<bool()>& may_access,
                   Operation& op);

    // Holds the access lock and the transport beyond operations, for a
    // session that takes the exclusive lock; nests. VI_ERROR_RSRC_BUSY when
    // another process does not let go by `deadline`.
    ViStatus pin(Deadline deadline);
    // Undoes one pin; the last lets other processes in again. Never waits
    // for an operation in progress: that operation lets go when it ends.
    void unpin();

    // From any thread: if `owner`'s operation is in progress, it gives up
    // (VI_ERROR_ABORT) after leaving the instrument ready for the next one.
    void cancel_for(const void* owner);

    // Service requests: `listener` is called (on a thread of the transport,
    // under no lock of the connection) with each status byte while `owner`
    // is subscribed. VI_ERROR_NSUP_OPER when the instrument cannot tell.
    // Where the transport hears them only while it holds the instrument,
    // they are heard while this process holds the access lock: from now if
    // the instrument is free (it is taken without waiting), else from the
    // next operation; what comes meanwhile waits in the instrument.
    ViStatus subscribe_service_requests(const void* owner,
                                        std::function<void(std::uint8_t)> listener);
    // Once this returns, `owner`'s listener is not running and is not called
    // again, unless this is called from within that listener.
    void unsubscribe_service_requests(const void* owner);

    // Bytes of a reply read past a termination character, for the next read.
    // Used only within an operation.
    std::vector<std::uint8_t>& read_rest() { return read_rest_; }
    bool& read_rest_end() { return read_rest_end_; }

    bool lost() const { return transport_->lost(); }
    const UsbDeviceFacts& facts() const { return transport_->facts(); }
    LockFile& access_file() { return *access_; }

  private:
    void leave();
    // Keeps the access lock and the transport after an operation unless
    // another descriptor waits; caller holds state_mutex_, access held, not
    // pinned.
    void keep_or_release();
    // The watch's call: a waiter may have announced itself.
    void on_lock_file_changed();
    // Hands a service request to each listener in turn.
    void dispatch_service_request(std::uint8_t status_byte);
    // Takes the access lock, waiting for other processes until `deadline`
    // unless `may_access` says no; caller holds io_mutex_.
    ViStatus take_access(Deadline deadline, const std::function<bool()>* may_access);
    void release_access();

    std::unique_ptr<Transport> transport_;
    std::unique_ptr<LockFile> access_;
    std::timed_mutex io_mutex_;  // one operation at a time
    std::mutex state_mutex_;     // what follows
    const void* owner_ = nullptr;
    int pins_ = 0;
    bool access_held_ = false;
    bool idle_ = false;          // access kept between operations, none in progress
    bool waiters_seen_ = false;  // a waiter announced itself; none seen gone since
    std::unique_ptr<LockFileWatch> watch_;
    std::vector<std::uint8_t> read_rest_;
    bool read_rest_end_ = false;
    std::mutex srq_mutex_;  // the listeners and their calls
    std::condition_variable srq_call_ended_;
    std::vector<std::pair<const void*, std::function<void(std::uint8_t)>>> srq_listeners_;
    const void* srq_calling_ = nullptr;  // the owner whose listener is being called
    std::thread::id srq_caller_;         // and the thread calling it
    // Orders the transport's listening with the subscriptions; the
    // listeners' calls never take it, so it is held while the transport
    // starts or stops.
    std::mutex srq_transport_mutex_;
    bool srq_listening_ = false;
};

}  // namespace sgvisa
