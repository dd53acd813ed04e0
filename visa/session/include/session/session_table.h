// The table of open sessions behind the opaque ViSession handles: resource
// manager sessions, instrument sessions and find lists.
//
// Handles are non-zero and drawn from a counter, so a closed handle is not
// given out again until 2^32 more objects have been opened. A resource
// manager session owns the objects opened through it; removing it removes
// them. Thread-safe.
//
// In a fork child the instrument sessions inherited from the parent stay
// the parent's: their handles look closed (instrument() gives null) and
// remove() only forgets them; the objects are never touched there, not even
// destroyed. Resource manager sessions, find lists and event contexts are
// the child's to use.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "session/instrument_session.h"
#include "session/session_events.h"
#include "visa.h"

namespace sgvisa::session {

// The resources viFindRsrc found, handed out one by one by viFindNext.
struct FindList {
    std::mutex mutex;
    std::vector<std::string> names;
    std::size_t next = 0;
};

// Settings of a resource manager session.
struct ResourceManagerState {
    std::atomic<std::uint32_t> timeout_ms{kDefaultIoTimeoutMs};
};

class SessionTable {
  public:
    // The process's table.
    static SessionTable& global();

    // A new resource manager session.
    ViStatus add_resource_manager(ViSession& out);

    // Adds `session` under the resource manager `rm`; VI_ERROR_INV_OBJECT
    // when `rm` is not an open resource manager session.
    ViStatus add_instrument(ViSession rm, std::shared_ptr<InstrumentSession> session,
                            ViSession& out);
    ViStatus add_find_list(ViSession rm, std::shared_ptr<FindList> list, ViSession& out);
    // An event context (viWaitOnEvent's). It goes with its resource manager.
    ViStatus add_event(ViSession rm, std::shared_ptr<const VisaEvent> event, ViEvent& out);
    // A handler's event context: valid until the handler returns, even when
    // its resource manager is closed meanwhile; the caller removes it then.
    ViStatus add_handler_event(ViSession rm, std::shared_ptr<const VisaEvent> event, ViEvent& out);

    bool is_resource_manager(ViSession vi) const;
    // Null when `vi` is not one of these.
    std::shared_ptr<ResourceManagerState> resource_manager(ViSession vi) const;
    std::shared_ptr<InstrumentSession> instrument(ViSession vi) const;
    std::shared_ptr<FindList> find_list(ViSession vi) const;
    std::shared_ptr<const VisaEvent> event(ViEvent vi) const;

    // Removes `vi` (with its children but the contexts of running handlers,
    // for a resource manager) and hands the
    // removed instrument sessions to the caller, who closes them outside the
    // table's lock. VI_ERROR_INV_OBJECT for an unknown handle.
    ViStatus remove(ViSession vi, std::vector<std::shared_ptr<InstrumentSession>>& removed);

  private:
    struct Entry {
        std::shared_ptr<ResourceManagerState> resource_manager;
        ViSession parent = VI_NULL;
        std::vector<ViSession> children;
        std::shared_ptr<InstrumentSession> instrument;  // null once inherited
        std::shared_ptr<InstrumentSession> inherited;   // the parent process's
        std::shared_ptr<FindList> find_list;
        std::shared_ptr<const VisaEvent> event;
        bool handler_owned = false;  // an event context a handler is running with
    };

    // A handle not in use; the caller holds mutex_.
    ViSession allocate_handle();
    // pthread_atfork's: the table stays whole across the fork, and the
    // child forgets the parent's instrument sessions.
    static void install_fork_handlers();
    // Keeps an inherited session from destruction once its entry goes; the
    // caller holds mutex_.
    static void forget(Entry& entry);
    ViStatus add_child(ViSession rm, Entry entry, ViSession& out);

    mutable std::mutex mutex_;
    std::unordered_map<ViSession, Entry> entries_;
    ViSession next_ = 1;
};

}  // namespace sgvisa::session
