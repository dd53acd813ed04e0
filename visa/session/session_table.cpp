#include "session/session_table.h"

#include <pthread.h>

#include <atomic>
#include <utility>

namespace sgvisa::session {
namespace {

// Atomic: the fork handlers read it in whichever thread forks.
std::atomic<SessionTable*> g_table{nullptr};

}  // namespace

SessionTable& SessionTable::global() {
    // Never destroyed: sessions a program leaves open at exit must not be
    // torn down after the transports' own static state is gone. The system
    // closes their descriptors (and so drops their locks) at exit.
    static SessionTable* const table = [] {
        g_table = new SessionTable;
        install_fork_handlers();
        return g_table.load();
    }();
    return *table;
}

void SessionTable::install_fork_handlers() {
    // The child handler allocates nothing: the parent's other threads may
    // have held the allocator's locks at the fork.
    ::pthread_atfork([] { g_table.load()->mutex_.lock(); }, [] { g_table.load()->mutex_.unlock(); },
                     [] {
                         for (auto& [vi, entry] : g_table.load()->entries_) {
                             // The parent's sessions look closed here, and
                             // are kept from destruction, which would unlock,
                             // stop and close what is the parent's.
                             if (entry.instrument)
                                 entry.inherited = std::move(entry.instrument);
                             // No handler runs here: its context is an
                             // ordinary one, closed with its resource manager.
                             entry.handler_owned = false;
                         }
                         g_table.load()->mutex_.unlock();
                     });
}

void SessionTable::forget(Entry& entry) {
    if (!entry.inherited)
        return;
    static auto* const forgotten = new std::vector<std::shared_ptr<InstrumentSession>>;
    forgotten->push_back(std::move(entry.inherited));
}

ViSession SessionTable::allocate_handle() {
    while (next_ == VI_NULL || entries_.count(next_) != 0)
        ++next_;
    return next_++;
}

ViStatus SessionTable::add_resource_manager(ViSession& out) {
    std::lock_guard lock(mutex_);
    const ViSession vi = allocate_handle();
    Entry entry;
    entry.resource_manager = std::make_shared<ResourceManagerState>();
    entries_.emplace(vi, std::move(entry));
    out = vi;
    return VI_SUCCESS;
}

ViStatus SessionTable::add_child(ViSession rm, Entry entry, ViSession& out) {
    std::lock_guard lock(mutex_);
    const auto parent = entries_.find(rm);
    if (parent == entries_.end() || !parent->second.resource_manager)
        return VI_ERROR_INV_OBJECT;
    const ViSession vi = allocate_handle();
    entry.parent = rm;
    // Look the parent up again: the emplace may rehash.
    entries_.emplace(vi, std::move(entry));
    entries_.at(rm).children.push_back(vi);
    out = vi;
    return VI_SUCCESS;
}

ViStatus SessionTable::add_instrument(ViSession rm, std::shared_ptr<InstrumentSession> session,
                                      ViSession& out) {
    Entry entry;
    entry.instrument = std::move(session);
    return add_child(rm, std::move(entry), out);
}

ViStatus SessionTable::add_find_list(ViSession rm, std::shared_ptr<FindList> list, ViSession& out) {
    Entry entry;
    entry.find_list = std::move(list);
    return add_child(rm, std::move(entry), out);
}

ViStatus SessionTable::add_event(ViSession rm, std::shared_ptr<const VisaEvent> event,
                                 ViEvent& out) {
    Entry entry;
    entry.event = std::move(event);
    return add_child(rm, std::move(entry), out);
}

ViStatus SessionTable::add_handler_event(ViSession rm, std::shared_ptr<const VisaEvent> event,
                                         ViEvent& out) {
    Entry entry;
    entry.event = std::move(event);
    entry.handler_owned = true;
    return add_child(rm, std::move(entry), out);
}

std::shared_ptr<const VisaEvent> SessionTable::event(ViEvent vi) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(vi);
    return it == entries_.end() ? nullptr : it->second.event;
}

bool SessionTable::is_resource_manager(ViSession vi) const {
    return resource_manager(vi) != nullptr;
}

std::shared_ptr<ResourceManagerState> SessionTable::resource_manager(ViSession vi) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(vi);
    return it == entries_.end() ? nullptr : it->second.resource_manager;
}

std::shared_ptr<InstrumentSession> SessionTable::instrument(ViSession vi) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(vi);
    return it == entries_.end() ? nullptr : it->second.instrument;
}

std::shared_ptr<FindList> SessionTable::find_list(ViSession vi) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(vi);
    return it == entries_.end() ? nullptr : it->second.find_list;
}

ViStatus SessionTable::remove(ViSession vi,
                              std::vector<std::shared_ptr<InstrumentSession>>& removed) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(vi);
    if (it == entries_.end())
        return VI_ERROR_INV_OBJECT;
    Entry entry = std::move(it->second);
    entries_.erase(it);
    if (entry.resource_manager) {
        for (ViSession child : entry.children) {
            const auto c = entries_.find(child);
            if (c == entries_.end())
                continue;
            if (c->second.handler_owned) {
                // Its handler may be running on, even past this close (one
                // that closed its own resource manager): its dispatcher
                // removes it once the handler returns.
                c->second.parent = VI_NULL;
                continue;
            }
            if (c->second.instrument)
                removed.push_back(std::move(c->second.instrument));
            forget(c->second);
            entries_.erase(c);
        }
    } else {
        if (entry.instrument)
            removed.push_back(std::move(entry.instrument));
        forget(entry);
        const auto parent = entries_.find(entry.parent);
        if (parent != entries_.end())
            std::erase(parent->second.children, vi);
    }
    return VI_SUCCESS;
}

}  // namespace sgvisa::session
