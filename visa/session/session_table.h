// The table of open sessions behind the opaque ViSession handles.
//
// Handles are non-zero and drawn from a counter, so a closed handle is not
// given out again until 2^32 more sessions have been opened. A resource
// manager session owns the instrument sessions opened through it; removing
// it removes them. Thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "instrument_session.h"
#include "visa.h"

namespace sgvisa {

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

    bool is_resource_manager(ViSession vi) const;

    // The instrument session of `vi`, or null when `vi` is not one.
    std::shared_ptr<InstrumentSession> instrument(ViSession vi) const;

    // Removes `vi` (with its instrument sessions, for a resource manager) and
    // hands the removed instrument sessions to the caller, who closes them
    // outside the table's lock. VI_ERROR_INV_OBJECT for an unknown handle.
    ViStatus remove(ViSession vi, std::vector<std::shared_ptr<InstrumentSession>>& removed);

  private:
    struct Entry {
        bool resource_manager = false;
        ViSession parent = VI_NULL;
        std::vector<ViSession> children;
        std::shared_ptr<InstrumentSession> instrument;
    };

    // A handle not in use; the caller holds mutex_.
    ViSession allocate_handle();

    mutable std::mutex mutex_;
    std::unordered_map<ViSession, Entry> entries_;
    ViSession next_ = 1;
};

}  // namespace sgvisa
