// What every C entry point of the library shares: it is exported from the
// shared object (everything else is hidden), no C++ exception crosses it,
// and it is traced (SGVISA_TRACE). Each exported operation starts with a
// CallTrace naming itself and describing its arguments, then runs its body
// through guarded():
//
//   const sgvisa::api::CallTrace trace("viWrite", [&](sgvisa::api::CallArgs& a) { ... });
//   return sgvisa::api::guarded([&]() -> ViStatus { ... });
//
// With the trace off that costs a check of a cached flag here and in
// guarded(). With it on, the CallTrace writes one line when the call
// returns (guarded() hands it the status):
//
//   sgvisa <us since the first line>us pid P tid T op(args) -> STATUS (0xHEX) <us>us[: reason]
//
// A failure's reason is the one a lower layer left (trace_reason.h), else
// what the status and the call's session or resource tell. An operation
// that calls another entry point (viPrintf -> viVPrintf) is one line: only
// the outermost call of a thread writes.
#pragma once

#include <cstdint>
#include <new>
#include <utility>

#include "call_args.h"
#include "trace/trace_switch.h"
#include "visa.h"

#define SGVISA_EXPORT extern "C" __attribute__((visibility("default")))

namespace sgvisa::api {

namespace call_trace {
// Keeps `status` for the call's trace line (CallTrace, below).
void returned(ViStatus status) noexcept;
}  // namespace call_trace

// Runs `body` and returns its status; an exception that escapes it becomes
// VI_ERROR_ALLOC (out of memory) or VI_ERROR_SYSTEM_ERROR (anything else).
template <typename Body>
ViStatus guarded(Body&& body) noexcept {
    ViStatus status;
    try {
        status = body();
    } catch (const std::bad_alloc&) {
        status = VI_ERROR_ALLOC;
    } catch (...) {
        status = VI_ERROR_SYSTEM_ERROR;
    }
    if (trace::calls_on()) [[unlikely]]
        call_trace::returned(status);
    return status;
}

namespace call_trace {
// Marks a traced call's start on this thread; true for the outermost one,
// whose reason is cleared.
bool enter() noexcept;
// Marks its end; the status guarded() returned last on this thread.
ViStatus leave() noexcept;
// Writes the line of the outermost call `op`, begun at `start_ns`.
void finish(const char* op, std::int64_t start_ns, ViStatus status, const CallArgs& args) noexcept;
std::int64_t now_ns() noexcept;
}  // namespace call_trace

template <typename Describe>
class CallTrace {
  public:
    CallTrace(const char* op, Describe describe) noexcept
        : on_(trace::calls_on()), op_(op), describe_(std::move(describe)) {
        if (on_) [[unlikely]] {
            outermost_ = call_trace::enter();
            start_ns_ = call_trace::now_ns();
        }
    }
    ~CallTrace() {
        if (!on_) [[likely]]
            return;
        const ViStatus status = call_trace::leave();
        if (!outermost_)
            return;
        // Described after the call: its output arguments are filled in by now.
        guarded([&] {
            CallArgs args(status);
            describe_(args);
            call_trace::finish(op_, start_ns_, status, args);
            return VI_SUCCESS;
        });
    }
    CallTrace(const CallTrace&) = delete;
    CallTrace& operator=(const CallTrace&) = delete;

  private:
    bool on_;
    bool outermost_ = false;
    const char* op_;
    std::int64_t start_ns_ = 0;
    Describe describe_;
};

}  // namespace sgvisa::api
