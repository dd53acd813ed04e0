// One instrument shared by every link of the LAN services (VXI-11 links and
// SOCKET connections, each a link here) and by the local bus server, which
// holds mutex() while it works the USB device: the instrument is not
// thread-safe, and every call into it is made under that one mutex.
//
// Each link keeps its own state: the message it is being sent, its
// response (ready at once or after the instrument's delay, --reply-delay),
// its service request handle. The device lock (VXI-11 device_lock) is the
// device's, one link at a time, and every link's operations wait for it or
// fail as VXI-11 says: with the waitlock flag they wait lock_timeout, at
// most kMaxWait, else error 11 at once; SOCKET messages wait for it.
// device_abort ends the call a link has in progress with error 23. Every
// wait also ends at stop(). VXI-11 error codes are the results throughout.
//
// HiSLIP sessions are links too, and add the shared lock: links that hold
// it with the same key use the device together, and keep every other link
// out as the exclusive lock does (a VXI-11 device_lock is the exclusive
// one). SOCKET messages and the local bus wait while any lock is held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/message_log.h"
#include "device/usbtmc_device.h"
#include "proto/hislip.h"
#include "proto/vxi11.h"
#include "scpi/instrument.h"

namespace sgsim {

class SharedInstrument {
  public:
    // The longest a call waits for the lock or a response, whatever asked.
    static constexpr std::chrono::milliseconds kMaxWait{3'600'000};

    // `instrument` and `log` (may be null: --log records every message
    // and trigger, whichever side it came from) outlive this object. Takes
    // the instrument's second service request handler.
    SharedInstrument(Instrument& instrument, DeviceFaults faults, MessageLog* log = nullptr);
    ~SharedInstrument();
    SharedInstrument(const SharedInstrument&) = delete;
    SharedInstrument& operator=(const SharedInstrument&) = delete;

    std::mutex& mutex() { return mutex_; }
    const DeviceQuirks& quirks() const { return faults_.quirks; }

    // Makes delayed responses ready when due, until stop(): run it on a
    // thread of its own.
    void run_clock();
    // Ends every wait, now and later, and run_clock().
    void stop();
    // Waits until `when` or stop(); false at stop().
    bool wait_until(Clock::time_point when);

    // A connection's links share `connection`; `wake_fd` (an eventfd, or -1)
    // is written when a service request waits for the connection.
    void open_connection(std::uint64_t connection, int wake_fd);
    // Destroys the connection's links, releasing the lock one of them held.
    void close_connection(std::uint64_t connection);

    struct LinkResult {
        std::int32_t error = 0;
        std::int32_t lid = 0;
    };
    // create_link: a new link, which takes the lock first when `lock_device`.
    LinkResult create_link(std::uint64_t connection, bool lock_device,
                           std::uint32_t lock_timeout_ms);
    std::int32_t destroy_link(std::uint64_t connection, std::int32_t lid);

    struct WriteResult {
        std::int32_t error = 0;
        std::uint32_t size = 0;
    };
    WriteResult write(std::int32_t lid, std::int32_t flags, std::uint32_t lock_timeout_ms,
                      sgproto::vxi11::ByteView data);

    struct ReadResult {
        std::int32_t error = 0;
        std::int32_t reason = 0;
        std::string data;
    };
    ReadResult read(const sgproto::vxi11::DeviceReadParms& p);

    struct StbResult {
        std::int32_t error = 0;
        std::uint8_t stb = 0;
    };
    StbResult read_stb(const sgproto::vxi11::DeviceGenericParms& p);

    enum class Generic { trigger, clear, remote, local };
    std::int32_t generic(Generic what, const sgproto::vxi11::DeviceGenericParms& p);

    std::int32_t lock(const sgproto::vxi11::DeviceLockParms& p);
    std::int32_t unlock(std::int32_t lid);
    std::int32_t enable_srq(std::int32_t lid, bool enable, sgproto::vxi11::ByteView handle);
    // device_abort: from any connection.
    std::int32_t abort(std::int32_t lid);

    // The handles of the service requests waiting for `connection`'s
    // interrupt channel, taken.
    std::vector<std::string> take_service_requests(std::uint64_t connection);

    // A SOCKET connection's program message (up to and with its linefeed):
    // waits while a VXI-11 link holds the lock, then runs it. The response
    // (empty: none) is to be sent at `ready`.
    struct SocketReply {
        bool ok = false;  // false: stopped or lock still held after kMaxWait
        std::string response;
        Clock::time_point ready{};
    };
    SocketReply socket_message(std::string_view message);

    // HiSLIP. A session's synchronous message (data, with or without END):
    // waits while another link's lock keeps it out, adds `data` to the
    // message and, at END, runs it. The response (empty: none) is due at
    // `ready`. Not ok at stop() or once hislip_abort() was called, until
    // hislip_clear().
    struct HislipReply {
        bool ok = false;
        std::string response;
        Clock::time_point ready{};
        bool request_service = false;  // call hislip_replied() once it is sent
    };
    // `before_wait` (if any) is called, without the lock, before waiting
    // for another link's lock: the session sends what it holds back.
    HislipReply hislip_message(std::int32_t lid, std::string_view data, bool end,
                               const std::function<void()>& before_wait = {});
    // A reply that asks for service went out: the instrument requests it on
    // its own (the service request goes to every enabled link, as a VXI-11
    // link's ready response makes it) until the link's next message or
    // device clear.
    void hislip_replied(std::int32_t lid);
    // A device trigger, once no other link's lock keeps the link out.
    bool hislip_trigger(std::int32_t lid);
    // Waits until `when`; false at stop() or after hislip_abort().
    bool hislip_wait(std::int32_t lid, Clock::time_point when);
    // Device clear: ends the link's waits now and its messages until
    // hislip_clear(), which drops its partial message and clears the
    // instrument.
    void hislip_abort(std::int32_t lid);
    void hislip_clear(std::int32_t lid);
    // AsyncLock. `key` empty: the exclusive lock, else the shared lock with
    // that key; waits up to `timeout_ms` for it (0: only if free now).
    // Results as AsyncLockResponse's: failure, success, or error when the
    // link already holds that lock. Release frees the exclusive lock, or
    // else the shared one: success, success_shared or error (none held).
    sgproto::hislip::LockResult hislip_lock(std::int32_t lid, std::string_view key,
                                            std::uint32_t timeout_ms);
    sgproto::hislip::LockResult hislip_unlock(std::int32_t lid);
    struct LockInfo {
        bool exclusive = false;     // some link holds the exclusive lock
        std::uint32_t holders = 0;  // links holding a lock of either kind
    };
    LockInfo lock_info();
    // AsyncStatusQuery: a serial poll (it clears RQS), MAV as the session
    // computes it.
    std::uint8_t hislip_status(bool message_available);
    // The status byte as a service request announces it (RQS set).
    std::uint8_t status_byte();
    void set_remote(bool remote);
    // The session found a query interrupted: the instrument reports it.
    void query_interrupted();

    // Whether the device is locked, and by which link (0: none).
    std::int32_t lock_holder();
    // Whether any lock is held, for a caller that holds mutex() (the local
    // bus loop).
    bool locked_while_held() const { return lock_holder_ != 0 || !shared_holders_.empty(); }
    // An eventfd that becomes readable when the lock is released, or when a
    // LAN call made the instrument request service: what the local bus
    // loop must wake for.
    int device_event_fd() const { return event_fd_; }

  private:
    struct Link {
        std::int32_t lid = 0;
        std::uint64_t connection = 0;
        std::string input;   // the message being sent, up to END
        std::string output;  // the response, from output_pos
        std::size_t output_pos = 0;
        bool output_ready = false;
        Clock::time_point ready_at{};
        bool request_service = false;  // the response asks for service while ready
        bool requesting = false;       // a HiSLIP reply sent asks for service
        bool in_call = false;
        bool abort_requested = false;
        bool srq_enabled = false;
        std::string srq_handle;

        bool has_ready_output() const { return output_ready && output_pos < output.size(); }
    };
    using Lock = std::unique_lock<std::mutex>;

    Link* find(std::int32_t lid);
    // Whether no other link's lock keeps `lid` out.
    bool may_use(std::int32_t lid) const;
    // Drops the link's locks (under mutex_).
    void release_locks_of(std::int32_t lid);
    // Waits until the link may use the device (no other link holds the
    // lock), as `flags` and `lock_timeout_ms` allow.
    std::int32_t wait_lock_free(Lock& lock, Link& link, std::int32_t flags,
                                std::uint32_t lock_timeout_ms);
    // Runs a complete message on the instrument (under mutex_), logged,
    // with the response's due time and the faults' silence applied.
    struct Executed {
        std::string response;  // empty: none, or silenced
        Clock::time_point ready{};
        bool request_service = false;
        bool silenced = false;  // no-reply took a response away
    };
    Executed run_message(const std::string& message);
    // Runs the link's complete message and keeps its response.
    void execute(Link& link);
    // MAV and the instrument's own service request follow the links'
    // ready responses.
    void refresh_status();
    void on_service_request();
    // Tells the local bus loop (device_event_fd()).
    void signal_device_event();
    // Releases the lock (under mutex_), telling the local bus loop.
    void release_lock();

    Instrument& instrument_;
    DeviceFaults faults_;
    MessageLog* log_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopped_ = false;
    std::int32_t next_lid_ = 1;
    std::int32_t lock_holder_ = 0;
    std::string shared_key_;
    std::set<std::int32_t> shared_holders_;
    std::map<std::int32_t, Link> links_;
    struct Connection {
        int wake_fd = -1;
        std::vector<std::string> service_requests;
    };
    std::map<std::uint64_t, Connection> connections_;
    bool remote_ = false;
    int event_fd_ = -1;
    // What refresh_status() last told the instrument.
    bool message_available_ = false;
    bool own_request_ = false;
};

}  // namespace sgsim
