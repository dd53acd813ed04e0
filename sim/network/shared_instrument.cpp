#include "network/shared_instrument.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace sgsim {

namespace vxi = sgproto::vxi11;

namespace {

Clock::time_point after(std::uint32_t ms) {
    return Clock::now() + std::min(std::chrono::milliseconds(ms), SharedInstrument::kMaxWait);
}

// Marks a link's call in progress, for device_abort, while it lasts.
class CallScope {
  public:
    CallScope(bool& in_call, bool& abort_requested) : in_call_(in_call) {
        in_call_ = true;
        abort_requested = false;
    }
    ~CallScope() { in_call_ = false; }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

  private:
    bool& in_call_;
};

}  // namespace

SharedInstrument::SharedInstrument(Instrument& instrument, DeviceFaults faults, MessageLog* log)
    : instrument_(instrument),
      faults_(faults),
      log_(log),
      event_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    instrument_.status().set_second_service_request_handler(
        [this](std::uint8_t) { on_service_request(); });
}

SharedInstrument::~SharedInstrument() {
    instrument_.status().set_second_service_request_handler({});
    if (event_fd_ >= 0)
        ::close(event_fd_);
}

void SharedInstrument::signal_device_event() {
    if (event_fd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(event_fd_, &one, sizeof one);
    }
}

void SharedInstrument::release_lock() {
    lock_holder_ = 0;
    signal_device_event();
}

void SharedInstrument::release_locks_of(std::int32_t lid) {
    if (lock_holder_ == lid)
        release_lock();
    if (shared_holders_.erase(lid) != 0 && shared_holders_.empty()) {
        shared_key_.clear();
        signal_device_event();
    }
}

bool SharedInstrument::may_use(std::int32_t lid) const {
    if (lock_holder_ != 0)
        return lock_holder_ == lid;
    return shared_holders_.empty() || shared_holders_.count(lid) != 0;
}

void SharedInstrument::stop() {
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

bool SharedInstrument::wait_until(Clock::time_point when) {
    Lock lock(mutex_);
    // Most replies are due at once: no timed wait for them.
    if (when > Clock::now())
        changed_.wait_until(lock, when, [&] { return stopped_; });
    return !stopped_;
}

void SharedInstrument::run_clock() {
    Lock lock(mutex_);
    while (!stopped_) {
        auto next = Clock::time_point::max();
        const auto now = Clock::now();
        bool became_ready = false;
        for (auto& [lid, link] : links_) {
            if (link.output_ready || link.output_pos >= link.output.size())
                continue;
            if (link.ready_at <= now) {
                link.output_ready = true;
                became_ready = true;
            } else {
                next = std::min(next, link.ready_at);
            }
        }
        if (became_ready) {
            refresh_status();
            changed_.notify_all();
        }
        if (next == Clock::time_point::max())
            changed_.wait(lock);
        else
            changed_.wait_until(lock, next);
    }
}

void SharedInstrument::open_connection(std::uint64_t connection, int wake_fd) {
    const std::lock_guard<std::mutex> hold(mutex_);
    connections_[connection].wake_fd = wake_fd;
}

void SharedInstrument::close_connection(std::uint64_t connection) {
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        for (auto it = links_.begin(); it != links_.end();) {
            if (it->second.connection != connection) {
                ++it;
                continue;
            }
            release_locks_of(it->first);
            it = links_.erase(it);
        }
        connections_.erase(connection);
        refresh_status();
    }
    changed_.notify_all();
}

SharedInstrument::Link* SharedInstrument::find(std::int32_t lid) {
    const auto it = links_.find(lid);
    return it == links_.end() ? nullptr : &it->second;
}

std::int32_t SharedInstrument::wait_lock_free(Lock& lock, Link& link, std::int32_t flags,
                                              std::uint32_t lock_timeout_ms) {
    const auto free = [&] { return may_use(link.lid); };
    if (free())
        return vxi::ERR_NONE;
    if ((flags & vxi::kFlagWaitLock) == 0 || lock_timeout_ms == 0)
        return vxi::ERR_LOCKED_BY_ANOTHER_LINK;
    changed_.wait_until(lock, after(lock_timeout_ms),
                        [&] { return free() || link.abort_requested || stopped_; });
    if (link.abort_requested || stopped_)
        return vxi::ERR_ABORT;
    return free() ? vxi::ERR_NONE : vxi::ERR_LOCKED_BY_ANOTHER_LINK;
}

SharedInstrument::LinkResult SharedInstrument::create_link(std::uint64_t connection,
                                                           bool lock_device,
                                                           std::uint32_t lock_timeout_ms) {
    Lock lock(mutex_);
    const std::int32_t lid = next_lid_++;
    if (next_lid_ <= 0)
        next_lid_ = 1;
    Link& link = links_[lid];
    link.lid = lid;
    link.connection = connection;
    if (lock_device) {
        const CallScope call(link.in_call, link.abort_requested);
        const std::int32_t error = wait_lock_free(lock, link, vxi::kFlagWaitLock, lock_timeout_ms);
        if (error != vxi::ERR_NONE) {
            links_.erase(lid);
            return {error, 0};
        }
        lock_holder_ = lid;
    }
    return {vxi::ERR_NONE, lid};
}

std::int32_t SharedInstrument::destroy_link(std::uint64_t connection, std::int32_t lid) {
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        Link* link = find(lid);
        if (link == nullptr || link->connection != connection)
            return vxi::ERR_INVALID_LINK;
        release_locks_of(lid);
        links_.erase(lid);
        refresh_status();
    }
    changed_.notify_all();
    return vxi::ERR_NONE;
}

SharedInstrument::WriteResult SharedInstrument::write(std::int32_t lid, std::int32_t flags,
                                                      std::uint32_t lock_timeout_ms,
                                                      vxi::ByteView data) {
    Lock lock(mutex_);
    Link* link = find(lid);
    if (link == nullptr)
        return {vxi::ERR_INVALID_LINK, 0};
    const CallScope call(link->in_call, link->abort_requested);
    if (faults_.quirks.refuse_waitlock && (flags & vxi::kFlagWaitLock) != 0)
        return {vxi::ERR_NOT_SUPPORTED, 0};
    if (faults_.quirks.max_recv > 0 && data.size() > faults_.quirks.max_recv)
        return {vxi::ERR_PARAMETER, 0};
    if (const std::int32_t error = wait_lock_free(lock, *link, flags, lock_timeout_ms))
        return {error, 0};
    link->input.append(data.begin(), data.end());
    if ((flags & vxi::kFlagEnd) != 0)
        execute(*link);
    return {vxi::ERR_NONE, static_cast<std::uint32_t>(data.size())};
}

SharedInstrument::Executed SharedInstrument::run_message(const std::string& message) {
    if (log_ != nullptr)
        log_->record(message);
    Executed out;
    out.response = instrument_.execute(message);
    const ResponseDelivery delivery = instrument_.response_delivery();
    out.silenced = faults_.no_reply && !out.response.empty();
    if (faults_.no_reply)
        out.response.clear();
    out.ready = Clock::now() + std::max(delivery.delay, faults_.reply_delay);
    out.request_service = delivery.request_service && !out.response.empty();
    return out;
}

void SharedInstrument::execute(Link& link) {
    const std::string message = std::move(link.input);
    link.input.clear();
    Executed ran = run_message(message);
    if (ran.silenced) {
        link.output.clear();
        link.output_pos = 0;
        refresh_status();
        return;
    }
    if (ran.response.empty())
        return;  // a response not read yet stays
    link.output = std::move(ran.response);
    link.output_pos = 0;
    link.request_service = ran.request_service;
    link.ready_at = ran.ready;
    link.output_ready = link.ready_at <= Clock::now();
    refresh_status();
    if (!link.output_ready)
        changed_.notify_all();  // the clock keeps the new time
}

SharedInstrument::ReadResult SharedInstrument::read(const vxi::DeviceReadParms& p) {
    Lock lock(mutex_);
    Link* link = find(p.lid);
    if (link == nullptr)
        return {vxi::ERR_INVALID_LINK, 0, {}};
    const CallScope call(link->in_call, link->abort_requested);
    if (faults_.quirks.refuse_waitlock && (p.flags & vxi::kFlagWaitLock) != 0)
        return {vxi::ERR_NOT_SUPPORTED, 0, {}};
    if (const std::int32_t error = wait_lock_free(lock, *link, p.flags, p.lock_timeout))
        return {error, 0, {}};
    changed_.wait_until(lock, after(p.io_timeout), [&] {
        return link->has_ready_output() || link->abort_requested || stopped_;
    });
    if (link->abort_requested || stopped_)
        return {vxi::ERR_ABORT, 0, {}};
    if (!link->has_ready_output())
        return {vxi::ERR_IO_TIMEOUT, 0, {}};

    std::size_t n = link->output.size() - link->output_pos;
    if (!faults_.quirks.ignore_request_size)
        n = std::min<std::size_t>(n, p.request_size);
    if (faults_.quirks.read_cap > 0)
        n = std::min<std::size_t>(n, faults_.quirks.read_cap);
    ReadResult r;
    if ((p.flags & vxi::kFlagTermCharSet) != 0) {
        const std::size_t at = link->output.find(static_cast<char>(p.term_char), link->output_pos);
        if (at != std::string::npos && at < link->output_pos + n) {
            n = at - link->output_pos + 1;
            r.reason |= vxi::kReasonChr;
        }
    }
    r.data = link->output.substr(link->output_pos, n);
    link->output_pos += n;
    if (n == p.request_size)
        r.reason |= vxi::kReasonReqCnt;
    if (link->output_pos >= link->output.size()) {
        r.reason |= vxi::kReasonEnd;
        link->output.clear();
        link->output_pos = 0;
        link->output_ready = false;
        refresh_status();
    }
    return r;
}

SharedInstrument::StbResult SharedInstrument::read_stb(const vxi::DeviceGenericParms& p) {
    Lock lock(mutex_);
    Link* link = find(p.lid);
    if (link == nullptr)
        return {vxi::ERR_INVALID_LINK, 0};
    const CallScope call(link->in_call, link->abort_requested);
    if (faults_.quirks.refuse_waitlock && (p.flags & vxi::kFlagWaitLock) != 0)
        return {vxi::ERR_NOT_SUPPORTED, 0};
    if (const std::int32_t error = wait_lock_free(lock, *link, p.flags, p.lock_timeout))
        return {error, 0};
    return {vxi::ERR_NONE, instrument_.status().serial_poll()};
}

std::int32_t SharedInstrument::generic(Generic what, const vxi::DeviceGenericParms& p) {
    Lock lock(mutex_);
    Link* link = find(p.lid);
    if (link == nullptr)
        return vxi::ERR_INVALID_LINK;
    const CallScope call(link->in_call, link->abort_requested);
    if (faults_.quirks.refuse_waitlock && (p.flags & vxi::kFlagWaitLock) != 0)
        return vxi::ERR_NOT_SUPPORTED;
    if (const std::int32_t error = wait_lock_free(lock, *link, p.flags, p.lock_timeout))
        return error;
    switch (what) {
        case Generic::trigger:
            if (log_ != nullptr)
                log_->record("*TRG");
            instrument_.trigger();
            break;
        case Generic::clear:
            link->input.clear();
            link->output.clear();
            link->output_pos = 0;
            link->output_ready = false;
            instrument_.clear();
            refresh_status();
            break;
        case Generic::remote:
            remote_ = true;
            break;
        case Generic::local:
            remote_ = false;
            break;
    }
    return vxi::ERR_NONE;
}

std::int32_t SharedInstrument::lock(const vxi::DeviceLockParms& p) {
    Lock lock(mutex_);
    Link* link = find(p.lid);
    if (link == nullptr)
        return vxi::ERR_INVALID_LINK;
    const CallScope call(link->in_call, link->abort_requested);
    if (faults_.quirks.refuse_waitlock && (p.flags & vxi::kFlagWaitLock) != 0)
        return vxi::ERR_NOT_SUPPORTED;
    if (const std::int32_t error = wait_lock_free(lock, *link, p.flags, p.lock_timeout))
        return error;
    lock_holder_ = p.lid;
    return vxi::ERR_NONE;
}

std::int32_t SharedInstrument::unlock(std::int32_t lid) {
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        if (find(lid) == nullptr)
            return vxi::ERR_INVALID_LINK;
        if (lock_holder_ != lid)
            return vxi::ERR_NO_LOCK_HELD;
        release_lock();
    }
    changed_.notify_all();
    return vxi::ERR_NONE;
}

std::int32_t SharedInstrument::lock_holder() {
    const std::lock_guard<std::mutex> hold(mutex_);
    return lock_holder_;
}

std::int32_t SharedInstrument::enable_srq(std::int32_t lid, bool enable, vxi::ByteView handle) {
    const std::lock_guard<std::mutex> hold(mutex_);
    Link* link = find(lid);
    if (link == nullptr)
        return vxi::ERR_INVALID_LINK;
    link->srq_enabled = enable;
    link->srq_handle.assign(handle.begin(), handle.end());
    return vxi::ERR_NONE;
}

std::int32_t SharedInstrument::abort(std::int32_t lid) {
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        Link* link = find(lid);
        if (link == nullptr)
            return vxi::ERR_INVALID_LINK;
        if (link->in_call)
            link->abort_requested = true;
    }
    changed_.notify_all();
    return vxi::ERR_NONE;
}

std::vector<std::string> SharedInstrument::take_service_requests(std::uint64_t connection) {
    const std::lock_guard<std::mutex> hold(mutex_);
    const auto it = connections_.find(connection);
    if (it == connections_.end())
        return {};
    return std::exchange(it->second.service_requests, {});
}

void SharedInstrument::on_service_request() {
    // Called by the instrument, under mutex_, from whichever side runs it.
    // The USB device heard of it too (its own handler); its loop must wake
    // to pass it on when a LAN thread raised it.
    signal_device_event();
    for (auto& [lid, link] : links_) {
        if (!link.srq_enabled)
            continue;
        const auto it = connections_.find(link.connection);
        if (it == connections_.end())
            continue;
        it->second.service_requests.push_back(link.srq_handle);
        if (it->second.wake_fd >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(it->second.wake_fd, &one, sizeof one);
        }
    }
}

void SharedInstrument::refresh_status() {
    bool available = false;
    bool own_request = false;
    for (const auto& [lid, link] : links_) {
        if (link.has_ready_output()) {
            available = true;
            own_request = own_request || link.request_service;
        }
        own_request = own_request || link.requesting;
    }
    // Only changes are passed on: the USB side keeps these bits too.
    StatusRegisters& status = instrument_.status();
    if (available != message_available_)
        status.set_message_available(available);
    if (own_request != own_request_)
        status.set_own_request(own_request);
    message_available_ = available;
    own_request_ = own_request;
}

SharedInstrument::SocketReply SharedInstrument::socket_message(std::string_view message) {
    Lock lock(mutex_);
    const bool free = changed_.wait_until(lock, Clock::now() + kMaxWait,
                                          [&] { return !locked_while_held() || stopped_; });
    if (!free || stopped_)
        return {};
    SocketReply reply;
    reply.ok = true;
    Executed ran = run_message(std::string(message));
    reply.response = std::move(ran.response);
    reply.ready = ran.ready;
    return reply;
}

namespace hislip = sgproto::hislip;

SharedInstrument::HislipReply SharedInstrument::hislip_message(
    std::int32_t lid, std::string_view data, bool end, const std::function<void()>& before_wait) {
    // A message longer than this is not one a signal generator takes: its
    // bytes are dropped rather than kept without bound.
    constexpr std::size_t kMaxInput = 64u << 20;
    Lock lock(mutex_);
    Link* link = find(lid);
    if (link != nullptr && !may_use(lid) && before_wait) {
        lock.unlock();
        before_wait();
        lock.lock();
        link = find(lid);
    }
    if (link == nullptr)
        return {};
    changed_.wait_until(lock, Clock::now() + kMaxWait,
                        [&] { return may_use(lid) || link->abort_requested || stopped_; });
    if (link->abort_requested || stopped_ || !may_use(lid))
        return {};
    if (link->requesting) {
        link->requesting = false;
        refresh_status();
    }
    if (link->input.size() + data.size() <= kMaxInput)
        link->input.append(data);
    HislipReply reply;
    reply.ok = true;
    if (!end)
        return reply;
    const std::string message = std::move(link->input);
    link->input.clear();
    Executed ran = run_message(message);
    reply.response = std::move(ran.response);
    reply.ready = ran.ready;
    reply.request_service = ran.request_service;
    return reply;
}

void SharedInstrument::hislip_replied(std::int32_t lid) {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (Link* link = find(lid)) {
        link->requesting = true;
        refresh_status();
    }
}

bool SharedInstrument::hislip_trigger(std::int32_t lid) {
    Lock lock(mutex_);
    Link* link = find(lid);
    if (link == nullptr)
        return false;
    changed_.wait_until(lock, Clock::now() + kMaxWait,
                        [&] { return may_use(lid) || link->abort_requested || stopped_; });
    if (link->abort_requested || stopped_ || !may_use(lid))
        return false;
    if (log_ != nullptr)
        log_->record("*TRG");
    instrument_.trigger();
    return true;
}

bool SharedInstrument::hislip_wait(std::int32_t lid, Clock::time_point when) {
    Lock lock(mutex_);
    const auto ended = [&] {
        const Link* link = find(lid);
        return stopped_ || link == nullptr || link->abort_requested;
    };
    if (when > Clock::now())
        changed_.wait_until(lock, when, ended);
    return !ended();
}

void SharedInstrument::hislip_abort(std::int32_t lid) {
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        if (Link* link = find(lid))
            link->abort_requested = true;
    }
    changed_.notify_all();
}

void SharedInstrument::hislip_clear(std::int32_t lid) {
    const std::lock_guard<std::mutex> hold(mutex_);
    Link* link = find(lid);
    if (link == nullptr)
        return;
    link->input.clear();
    link->abort_requested = false;
    link->requesting = false;
    instrument_.clear();
    refresh_status();
}

hislip::LockResult SharedInstrument::hislip_lock(std::int32_t lid, std::string_view key,
                                                 std::uint32_t timeout_ms) {
    Lock lock(mutex_);
    Link* link = find(lid);
    if (link == nullptr)
        return hislip::LockResult::error;
    const bool exclusive = key.empty();
    if (exclusive ? lock_holder_ == lid : shared_holders_.count(lid) != 0)
        return hislip::LockResult::error;
    // The holder of a shared lock may add the exclusive one; a shared lock
    // is had beside the exclusive holder only by that holder.
    const auto grantable = [&] {
        if (exclusive)
            return lock_holder_ == 0 &&
                   (shared_holders_.empty() || shared_holders_.count(lid) != 0);
        return (lock_holder_ == 0 || lock_holder_ == lid) &&
               (shared_holders_.empty() || shared_key_ == key);
    };
    // The wait also ends when the session does (its link is destroyed).
    const auto gone = [&] { return stopped_ || find(lid) == nullptr; };
    if (!grantable() && timeout_ms > 0)
        changed_.wait_until(lock, after(timeout_ms), [&] { return grantable() || gone(); });
    if (gone() || !grantable())
        return hislip::LockResult::failure;
    if (exclusive) {
        lock_holder_ = lid;
    } else {
        shared_key_ = key;
        shared_holders_.insert(lid);
    }
    return hislip::LockResult::success;
}

hislip::LockResult SharedInstrument::hislip_unlock(std::int32_t lid) {
    hislip::LockResult result = hislip::LockResult::error;
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        if (lock_holder_ == lid) {
            release_lock();
            result = hislip::LockResult::success;
        } else if (shared_holders_.count(lid) != 0) {
            release_locks_of(lid);
            result = hislip::LockResult::success_shared;
        }
    }
    changed_.notify_all();
    return result;
}

SharedInstrument::LockInfo SharedInstrument::lock_info() {
    const std::lock_guard<std::mutex> hold(mutex_);
    LockInfo info;
    info.exclusive = lock_holder_ != 0;
    info.holders = static_cast<std::uint32_t>(shared_holders_.size());
    if (lock_holder_ != 0 && shared_holders_.count(lock_holder_) == 0)
        ++info.holders;
    return info;
}

std::uint8_t SharedInstrument::hislip_status(bool message_available) {
    const std::lock_guard<std::mutex> hold(mutex_);
    std::uint8_t stb = instrument_.status().serial_poll();
    stb &= static_cast<std::uint8_t>(~StatusRegisters::kMessageAvailable);
    if (message_available)
        stb |= StatusRegisters::kMessageAvailable;
    return stb;
}

std::uint8_t SharedInstrument::status_byte() {
    const std::lock_guard<std::mutex> hold(mutex_);
    return static_cast<std::uint8_t>(instrument_.status().status_byte() |
                                     StatusRegisters::kRequestService);
}

void SharedInstrument::set_remote(bool remote) {
    const std::lock_guard<std::mutex> hold(mutex_);
    remote_ = remote;
}

void SharedInstrument::query_interrupted() {
    const std::lock_guard<std::mutex> hold(mutex_);
    instrument_.query_interrupted();
}

}  // namespace sgsim
