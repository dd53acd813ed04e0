// An open instrument session: its connection to the instrument (shared with
// the process's other sessions to it), its lock, its settings and its
// formatted I/O buffer.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "async_jobs.h"
#include "device_connection.h"
#include "formatted_read_buffer.h"
#include "resource_lock.h"
#include "session_events.h"
#include "session_settings.h"
#include "usb_resource_name.h"

namespace sgvisa {

class InstrumentSession {
  public:
    InstrumentSession(ViSession rm, UsbResourceName name, std::shared_ptr<DeviceConnection> device,
                      std::unique_ptr<ResourceLock> lock);
    InstrumentSession(const InstrumentSession&) = delete;
    InstrumentSession& operator=(const InstrumentSession&) = delete;
    ~InstrumentSession();

    // Starts an operation: see DeviceConnection::begin. VI_ERROR_INV_OBJECT
    // once closed; VI_ERROR_RSRC_LOCKED when another session holds a lock.
    ViStatus begin(Deadline deadline, DeviceConnection::Operation& op);

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
    // the lock holder's operations never wait for another process.
    ViStatus lock(ViAccessMode type, Deadline deadline, const char* requested_key,
                  std::string& key);
    ViStatus unlock();

    // Ends the session: an operation of it in progress on another thread
    // gives up (VI_ERROR_ABORT), its locks go. Returns without waiting for
    // that operation. Later operations get VI_ERROR_INV_OBJECT.
    void close();
    bool closed() const { return closed_.load(); }

    SessionSettings settings() const;
    void update_settings(const SessionSettings& settings);

    ViSession resource_manager() const { return rm_; }
    const UsbResourceName& name() const { return name_; }
    const std::shared_ptr<DeviceConnection>& device() const { return device_; }
    const ResourceLock& resource_lock() const { return *lock_; }
    // Used only within an operation of this session.
    FormattedReadBuffer& read_buffer() { return read_buffer_; }

  private:
    // Subscribes to or unsubscribes from the connection's service requests
    // as the session's events need.
    ViStatus update_service_requests();

    ViSession rm_;
    std::shared_ptr<std::atomic<ViSession>> handle_ = std::make_shared<std::atomic<ViSession>>(0);
    UsbResourceName name_;
    std::shared_ptr<DeviceConnection> device_;
    std::unique_ptr<ResourceLock> lock_;
    mutable std::mutex settings_mutex_;
    SessionSettings settings_;
    FormattedReadBuffer read_buffer_;
    std::atomic<bool> closed_{false};
    std::mutex lock_mutex_;   // orders lock changes with the pins they make
    std::mutex event_mutex_;  // orders event enables with the subscriptions they make
    bool subscribed_ = false;
    std::shared_ptr<SessionEvents> events_;
    std::unique_ptr<AsyncJobs> jobs_;
};

}  // namespace sgvisa
