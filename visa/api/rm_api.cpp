// Resource manager and session life cycle: viOpenDefaultRM, viOpen, viClose.
//
// Every viOpenDefaultRM call creates a new resource manager session; closing
// one closes the sessions and find lists opened through it and no others.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "api/builtin_transports.h"
#include "entry_point.h"
#include "session/device_registry.h"
#include "session/session_table.h"
#include "transport/resource_syntax.h"
#include "transport/usb_resource_name.h"
#include "visa.h"

using sgvisa::session::SessionTable;

namespace {

// However short the open timeout, reaching the device (a simulator's
// greeting) may take this long.
constexpr auto kConnectTime = std::chrono::milliseconds(1000);

// The opens in progress, by resource manager: closing a resource manager
// ends the opens through it (VI_ERROR_ABORT), which is how a program ends an
// open that waits for another program's lock (an open has no handle yet).
// Across a fork the mutex is held by the prepare handler and let go in both
// processes; a child keeps its parent's entries (its handlers free nothing)
// but never cancels them: their tokens belong to threads it does not have.
class PendingOpens {
  public:
    static PendingOpens& global() {
        static PendingOpens* opens = [] {
            auto* made = new PendingOpens;  // never destroyed: used until exit
            ::pthread_atfork([] { global().mutex_.lock(); }, [] { global().mutex_.unlock(); },
                             [] { global().mutex_.unlock(); });
            return made;
        }();
        return *opens;
    }
    void add(ViSession rm, sgvisa::CancelToken& token) {
        std::lock_guard lock(mutex_);
        opens_.emplace(rm, Open{&token, ::getpid()});
    }
    void remove(ViSession rm, sgvisa::CancelToken& token) {
        std::lock_guard lock(mutex_);
        const auto [first, last] = opens_.equal_range(rm);
        for (auto it = first; it != last; ++it) {
            if (it->second.token == &token) {
                opens_.erase(it);
                return;
            }
        }
    }
    // Under the mutex: a token stays alive until its open removes it.
    void cancel(ViSession rm) {
        std::lock_guard lock(mutex_);
        const pid_t self = ::getpid();
        const auto [first, last] = opens_.equal_range(rm);
        for (auto it = first; it != last; ++it) {
            if (it->second.process == self)
                it->second.token->cancel();
        }
    }

  private:
    struct Open {
        sgvisa::CancelToken* token;
        pid_t process;  // the process whose thread opens
    };
    std::mutex mutex_;
    std::unordered_multimap<ViSession, Open> opens_;
};

// An open's token, enrolled for the length of the open.
class PendingOpen {
  public:
    explicit PendingOpen(ViSession rm) : rm_(rm) { PendingOpens::global().add(rm_, token_); }
    ~PendingOpen() { PendingOpens::global().remove(rm_, token_); }
    PendingOpen(const PendingOpen&) = delete;
    PendingOpen& operator=(const PendingOpen&) = delete;
    sgvisa::CancelToken& token() { return token_; }

  private:
    ViSession rm_;
    sgvisa::CancelToken token_;
};

}  // namespace

SGVISA_EXPORT ViStatus viOpenDefaultRM(ViPSession vi) {
    const sgvisa::api::CallTrace traced("viOpenDefaultRM",
                                        [&](sgvisa::api::CallArgs& a) { a.out_hex("vi", vi); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        if (vi == nullptr)
            return VI_ERROR_USER_BUF;
        *vi = VI_NULL;
        return SessionTable::global().add_resource_manager(*vi);
    });
}

// Access modes: VI_EXCLUSIVE_LOCK, VI_LOAD_CONFIG (nothing to load:
// VI_WARN_CONFIG_NLOADED), both, or neither.
// Without a lock the open waits for nobody: it succeeds whatever other
// sessions and processes hold, and sends nothing to the instrument (the
// session's operations are refused with VI_ERROR_RSRC_LOCKED while another
// session's lock keeps it out). VI_EXCLUSIVE_LOCK waits up to `openTimeout`
// for the instrument's lock, then for the instrument itself (another
// process's operation in progress); every such wait ends within
// `openTimeout`. The instrument is reached (which sends it nothing) before
// the lock wait, so that once the lock is handed over only the claim is
// left to do; an open that times out on the lock has sent nothing.
SGVISA_EXPORT ViStatus viOpen(ViSession sesn, ViConstRsrc rsrcName, ViAccessMode accessMode,
                              ViUInt32 openTimeout, ViPSession vi) {
    const sgvisa::api::CallTrace traced("viOpen", [&](sgvisa::api::CallArgs& a) {
        a.obj("sesn", sesn)
            .str("rsrcName", rsrcName)
            .num("accessMode", accessMode)
            .num("openTimeout", openTimeout)
            .out_hex("vi", vi)
            .on_resource(rsrcName);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        if (vi == nullptr)
            return VI_ERROR_USER_BUF;
        *vi = VI_NULL;
        auto& table = SessionTable::global();
        // Enrolled before the check, so that a close of `sesn` after the
        // check ends this open (a close before it fails the check).
        PendingOpen pending(sesn);
        if (!table.is_resource_manager(sesn))
            return VI_ERROR_INV_OBJECT;
        if ((accessMode & ~static_cast<ViAccessMode>(VI_EXCLUSIVE_LOCK | VI_LOAD_CONFIG)) != 0)
            return VI_ERROR_INV_ACC_MODE;
        if (rsrcName == nullptr)
            return VI_ERROR_INV_RSRC_NAME;

        // A valid name of a kind no link serves (GPIB, ASRL, USB RAW...):
        // the operation is not supported here, which is not the same as an
        // instrument that is not there (the trace says which kinds are
        // served and where the rest is).
        sgvisa::ResourceSyntax syntax;
        ViStatus st = sgvisa::parse_resource_syntax(rsrcName, syntax);
        if (st != VI_SUCCESS)
            return st;
        if (!sgvisa::api::serves(syntax.interface_type, syntax.resource_class))
            return VI_ERROR_NSUP_OPER;
        sgvisa::ResourceName name;
        st = sgvisa::parse_resource_name(std::string_view(rsrcName), name);
        if (st != VI_SUCCESS)
            return VI_ERROR_RSRC_NFOUND;
        // A secure name must never be served by an insecure connection:
        // one that we cannot serve securely is refused here.
        if (sgvisa::api::refuses_secure_name(name))
            return VI_ERROR_NSUP_OPER;

        const sgvisa::Deadline deadline = sgvisa::deadline_after_ms(openTimeout);
        const bool exclusive = (accessMode & VI_EXCLUSIVE_LOCK) != 0;
        sgvisa::api::register_builtin_transports();
        std::shared_ptr<sgvisa::session::DeviceConnection> device;
        st = sgvisa::session::connect_device(
            name, std::max(deadline, sgvisa::Clock::now() + kConnectTime), device);
        if (st != VI_SUCCESS)
            return st;
        // The session's lock file only now that the instrument is found: an
        // open of one that is not there leaves no file behind (lock_file.h).
        std::unique_ptr<sgvisa::lock::LockFile> file;
        st = sgvisa::lock::LockFile::open(sgvisa::lock::instrument_key(name), file);
        if (st != VI_SUCCESS)
            return st;
        auto lock = std::make_unique<sgvisa::lock::ResourceLock>(std::move(file));
        std::string key;
        sgvisa::CancelToken& token = pending.token();
        if (exclusive) {
            st = lock->lock(VI_EXCLUSIVE_LOCK, deadline, nullptr, key, token);
            if (st != VI_SUCCESS)
                return st == VI_ERROR_TMO ? VI_ERROR_RSRC_LOCKED : st;
            st = device->pin(token, deadline);
            if (st != VI_SUCCESS)
                return st == VI_ERROR_RSRC_BUSY ? VI_ERROR_RSRC_LOCKED : st;
        }

        auto session = std::make_shared<sgvisa::session::InstrumentSession>(
            sesn, std::move(name), device, std::move(lock));
        ViSession handle = VI_NULL;
        st = table.add_instrument(sesn, session, handle);
        if (st != VI_SUCCESS) {
            session->close();  // the resource manager was closed meanwhile
            return st;
        }
        session->set_handle(handle);
        *vi = handle;
        // This library keeps no configuration to load.
        return (accessMode & VI_LOAD_CONFIG) != 0 ? VI_WARN_CONFIG_NLOADED : VI_SUCCESS;
    });
}

SGVISA_EXPORT ViStatus viClose(ViObject vi) {
    const sgvisa::api::CallTrace traced("viClose",
                                        [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        if (vi == VI_NULL)
            return VI_WARN_NULL_OBJECT;
        std::vector<std::shared_ptr<sgvisa::session::InstrumentSession>> removed;
        if (SessionTable::global().is_resource_manager(vi))
            PendingOpens::global().cancel(vi);
        const ViStatus st = SessionTable::global().remove(vi, removed);
        if (st != VI_SUCCESS)
            return st;
        for (auto& session : removed)
            session->close();
        return VI_SUCCESS;
    });
}
