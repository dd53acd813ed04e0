// The last calls of one thread, for the report of a violation: what was
// called with which arguments, when, what it returned and how long it took.
// Written by its thread, read by the reporter of any thread. Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "visa.h"

namespace torture {

class CallLog {
  public:
    // `start_ns`: the run's start, from which entries are timed.
    CallLog(std::string label, std::int64_t start_ns, std::size_t capacity = 40);

    // A call begins; returns the handle end() takes.
    std::uint64_t begin(std::string text);
    void end(std::uint64_t entry, ViStatus status, std::int64_t elapsed_ms);
    // A line that is not a call: a choice, a reply received, a check.
    void note(std::string text);

    // The entries kept, oldest first, one per line, each indented.
    std::string dump() const;
    const std::string& label() const { return label_; }

  private:
    struct Entry {
        std::uint64_t serial = 0;
        std::int64_t at_ms = 0;
        std::string text;
        bool is_call = false;
        bool done = false;
        ViStatus status = VI_SUCCESS;
        std::int64_t elapsed_ms = 0;
    };
    Entry& add(std::string text, bool is_call);

    std::string label_;
    std::int64_t start_ns_;
    mutable std::mutex mutex_;
    std::vector<Entry> ring_;
    std::uint64_t next_ = 0;
};

}  // namespace torture
