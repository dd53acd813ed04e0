// An open instrument session: its connection to the instrument (shared with
// the process's other sessions to it), its lock, its settings and its
// formatted I/O buffer.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lock/resource_lock.h"
#include "session/async_jobs.h"
#include "session/device_connection.h"
#include "session/formatted_io.h"
#include "session/session_events.h"
#include "session/session_settings.h"
#include "transport/resource_name.h"

namespace sgvisa::session {

class InstrumentSession {
  public:
    InstrumentSession(ViSession rm, ResourceName name, std::shared_ptr<DeviceConnection> device,
                      std::unique_ptr<lock::ResourceLock> lock);
    InstrumentSession(const InstrumentSession&) = delete;
    InstrumentSession& operator=(const InstrumentSession&) = delete;
    ~InstrumentSession();

    // Starts an operation whose waits block on `token`: see
    // DeviceConnection::begin. The token stays enrolled as one of this
    // session's operations, which close() cancels, until forget().
    // VI_ERROR_INV_OBJECT once closed; VI_ERROR_RSRC_LOCKED when another
    // session holds a lock.
    ViStatus begin(CancelToken& token, Deadline deadline, DeviceConnection::Operation& op);
    void forget(CancelToken& token);

    // The session's handle, once the table has given it one.
    void set_handle(ViSession vi) { handle_->store(vi); }
    ViSession handle() const { return handle_->load(); }

    // viEnableEvent / viDisableEvent / viDiscardEvents; service requests are
    // listened for while the session has them enabled.
    ViStatus enable_event(ViEventType type, ViUInt16 mechanism);
    ViStatus disable_event(ViEventType type, ViUInt16 mechanism);
    SessionEvents& events() { return *events_; }
    AsyncJobs& jobs() { return *jobs_; }

    // viLock / viUnlock. The exclusive lock also pins the connection, so that
    // the lock holder's operations never wait for another process. A wait
    // for the lock ends with VI_ERROR_ABORT when the session is closed.
    ViStatus lock(ViAccessMode type, Deadline deadline, const char* requested_key,
                  std::string& key);
    ViStatus unlock();

    // Ends the session: its operations in progress on other threads, its
    // lock waits and its asynchronous jobs give up (VI_ERROR_ABORT), its
    // locks go. Returns without waiting for any of them, unless a handler
    // of the session runs on another thread (see SessionEvents::shut_down).
    // Later operations get VI_ERROR_INV_OBJECT.
    void close();
    bool closed() const { return closed_.load(); }

    SessionSettings settings() const;
    // Changes the settings under the session's lock, so that changes from
    // several threads are all kept: `change` returns VI_SUCCESS to keep what
    // it did, or a failure (the settings stay as they were).
    ViStatus change_settings(const std::function<ViStatus(SessionSettings&)>& change);

    ViSession resource_manager() const { return rm_; }
    const ResourceName& name() const { return name_; }
    const std::shared_ptr<DeviceConnection>& device() const { return device_; }
    const lock::ResourceLock& resource_lock() const { return *lock_; }
    // Used only within an operation of this session.
    FormattedReadBuffer& read_buffer() { return read_buffer_; }
    FormattedWriteBuffer& write_buffer() { return write_buffer_; }

  private:
    // Subscribes to or unsubscribes from the connection's service requests
    // as the session's events need.
    ViStatus update_service_requests();
    // Enrolls `token` (see begin); VI_ERROR_INV_OBJECT once closed.
    ViStatus enroll(CancelToken& token);
    ViStatus lock_enrolled(ViAccessMode type, Deadline deadline, const char* requested_key,
                           std::string& key, CancelToken& token);

    ViSession rm_;
    std::shared_ptr<std::atomic<ViSession>> handle_ = std::make_shared<std::atomic<ViSession>>(0);
    ResourceName name_;
    std::shared_ptr<DeviceConnection> device_;
    std::unique_ptr<lock::ResourceLock> lock_;
    bool device_shared_ =
        false;  // this session's shared lock is the device's too; under lock_mutex_
    mutable std::mutex settings_mutex_;
    SessionSettings settings_;
    FormattedReadBuffer read_buffer_;
    FormattedWriteBuffer write_buffer_;
    std::mutex ops_mutex_;  // orders enrolments with close()
    std::vector<CancelToken*> ops_;
    std::atomic<bool> closed_{false};
    std::mutex lock_mutex_;   // orders lock changes with the pins they make
    std::mutex event_mutex_;  // orders event enables with the subscriptions they make
    bool subscribed_ = false;
    std::shared_ptr<SessionEvents> events_;
    std::shared_ptr<AsyncJobs> jobs_;
};

}  // namespace sgvisa::session
