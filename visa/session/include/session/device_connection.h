// This process's connection to one instrument, shared by all its sessions to
// it: the transport, the order of operations, and the instrument's access
// lock, which lets one process at a time talk to the instrument.
//
// An operation takes, in this order: its turn (this process's operations
// queue here, first come first served), the access lock (other processes
// queue here; held for good while a session of this process holds the
// exclusive lock: the connection is then pinned), and the transport (the USB
// claim). Every wait blocks on the operation's token, so cancel() ends it at
// once. Only the holder of the turn talks to the transport, and never under
// the connection's state lock, so nothing waits for a transfer but the turn.
// Thread-safe.
//
// Between operations the access lock and the claim stay while no other
// descriptor waits for the lock file: the process's lock-file watch tells of
// a waiter (lock_file_watch.h), and the connection lets both go as soon as one
// announces itself, also while this process does nothing; an operation that
// ends after a waiter was seen lets go at its end.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "lock/lock_file.h"
#include "lock/lock_file_watch.h"
#include "session/service_requests.h"
#include "transport/cancel_token.h"
#include "transport/deadline.h"
#include "transport/transport.h"

namespace sgvisa::session {

class DeviceConnection {
  public:
    DeviceConnection(std::unique_ptr<Transport> transport, std::unique_ptr<lock::LockFile> access);
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

    // Starts an operation whose waits block on `token` (cancel() names it
    // by it). Waits for this process's other operations and for other
    // processes until `deadline`: VI_ERROR_RSRC_BUSY when they do not finish
    // in time (the wait for another process lasts at least 200 ms, for one
    // that only keeps the instrument between its operations lets go when
    // asked), VI_ERROR_ABORT when cancelled. `may_access` (another session
    // holds no lock that keeps this one out) is asked before waiting for
    // another process and again once the access lock is held; false gives
    // VI_ERROR_RSRC_LOCKED at once.
    ViStatus begin(CancelToken& token, Deadline deadline, const std::function<bool()>& may_access,
                   Operation& op);

    // Holds the access lock and the transport beyond operations, for a
    // session that takes the exclusive lock; nests. Waits as begin() does:
    // VI_ERROR_RSRC_BUSY when another process does not let go by `deadline`,
    // VI_ERROR_ABORT when `token` is cancelled.
    ViStatus pin(CancelToken& token, Deadline deadline);
    // Undoes one pin; the last lets other processes in again. Never waits
    // for an operation in progress: that operation lets go when it ends.
    void unpin();

    // Where the instrument keeps shared locks too (HiSLIP): the first of this
    // process's shared locks takes the device's with `key`, waiting as pin()
    // does (VI_ERROR_RSRC_LOCKED when another client keeps a lock that
    // excludes it); the last unshare gives it back. Where the instrument
    // keeps none, the library's lock is all there is (VI_SUCCESS).
    ViStatus share_device_lock(CancelToken& token, Deadline deadline, const std::string& key);
    void unshare_device_lock();
    // The instrument's own view of its locks (Transport::device_lock_state),
    // asked within a short bound; VI_ERROR_NSUP_OPER where it keeps none.
    // From any thread.
    ViStatus device_lock_state(ViAccessMode& state) const;

    // From any thread: `token`'s operation gives up with VI_ERROR_ABORT, at
    // once while it waits, and after leaving the instrument ready for the
    // next one while it talks to it. No other operation is touched.
    void cancel(CancelToken& token);

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

    bool lost() const { return transport_->lost(); }
    const InterfaceFacts& facts() const { return transport_->facts(); }
    // The attributes the transport keeps (Transport::get_interface_attribute):
    // from any thread, also while an operation is in progress.
    ViStatus transport_attribute(ViAttr attr, ViAttrState& value) const {
        return transport_->get_interface_attribute(attr, value);
    }
    ViStatus set_transport_attribute(ViAttr attr, ViAttrState value) {
        return transport_->set_interface_attribute(attr, value);
    }
    lock::LockFile& access_file() { return *access_; }

  private:
    void leave();
    // Waits for this operation's turn until `deadline`.
    ViStatus take_turn(CancelToken& token, Deadline deadline);
    // Ends the turn: lets the access lock and the claim go when they are
    // not pinned and another descriptor waits (or no watch could tell of
    // one), then hands the turn to the next in the queue.
    void end_turn();
    // Whether the kept access lock must go; caller holds state_mutex_.
    bool must_let_go();
    // The watch's call: a waiter may have announced itself.
    void on_lock_file_changed();
    // begin(), waiting for another process until `access_deadline`.
    ViStatus start(CancelToken& token, Deadline deadline, Deadline access_deadline,
                   const std::function<bool()>& may_access, Operation& op);
    // Takes the access lock, waiting for other processes until `deadline`
    // unless `may_access` says no; caller holds the turn.
    ViStatus take_access(CancelToken& token, Deadline deadline,
                         const std::function<bool()>* may_access);
    bool holds_access();
    // Caller holds state_mutex_.
    void release_access();

    std::unique_ptr<Transport> transport_;
    std::unique_ptr<lock::LockFile> access_;
    std::mutex state_mutex_;          // what follows
    bool busy_ = false;               // the turn is taken
    std::deque<CancelToken*> queue_;  // operations waiting for the turn, in order
    CancelToken* running_ = nullptr;  // the operation talking to the transport
    int pins_ = 0;
    bool device_locked_ = false;      // the transport holds the device's lock for the pins
    bool device_unlock_due_ = false;  // the last pin went: the next end of a turn unlocks
    int shared_locks_ = 0;            // this process's sessions' shared locks
    bool device_shared_ = false;      // the transport holds the device's shared lock for them
    const bool takes_turns_;  // with other processes: see Transport::takes_turns_between_processes
    bool access_held_ = false;
    bool waiters_seen_ = false;  // a waiter may have announced itself; none seen gone since
    std::unique_ptr<lock::LockFileWatch> watch_;  // set by the turn's holder
    ServiceRequestFanOut service_requests_;
};

}  // namespace sgvisa::session
