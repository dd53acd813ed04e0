#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "actor.h"
#include "message_checks.h"
#include "operations.h"

namespace torture {
namespace {

// A job's buffers must stay valid until its completion; when the session
// is closed first, nothing tells when the library is done with them, so
// they are kept for the rest of the process.
struct JobBuffers {
    std::string message;
    unsigned char reply[256] = {};
};

std::mutex g_kept_mutex;
std::vector<std::unique_ptr<JobBuffers>> g_kept;

void keep_for_good(std::unique_ptr<JobBuffers> buffers) {
    std::lock_guard lock(g_kept_mutex);
    g_kept.push_back(std::move(buffers));
}

struct Completion {
    ViStatus wait_status = VI_ERROR_TMO;
    ViJobId job = VI_NULL;
    ViStatus status = VI_SUCCESS;
    ViUInt32 count = 0;
};

// Waits for the next completion event, at most `timeout_ms`, and reads it.
Completion next_completion(Actor& a, const Target& t, ViUInt32 timeout_ms) {
    Completion c;
    ViEventType type = 0;
    ViEvent context = VI_NULL;
    c.wait_status = a.call(
        fn_wait_on_event,
        "viWaitOnEvent(" + std::to_string(t.vi) + ", IO_COMPLETION, " + std::to_string(timeout_ms) +
            ")",
        Actor::fixed(timeout_ms),
        [&] { return viWaitOnEvent(t.vi, VI_EVENT_IO_COMPLETION, timeout_ms, &type, &context); });
    a.expect(fn_wait_on_event, t, c.wait_status,
             {VI_SUCCESS, VI_SUCCESS_QUEUE_NEMPTY, VI_WARN_QUEUE_OVERFLOW, VI_ERROR_TMO});
    if (c.wait_status < 0)
        return c;
    ViUInt32 status = 0;
    const ViStatus s1 = viGetAttribute(context, VI_ATTR_JOB_ID, &c.job);
    const ViStatus s2 = viGetAttribute(context, VI_ATTR_STATUS, &status);
    const ViStatus s3 = viGetAttribute(context, VI_ATTR_RET_COUNT, &c.count);
    c.status = static_cast<ViStatus>(status);
    a.note("  completion of job " + std::to_string(c.job) + ": " + status_name(c.status) + ", " +
           std::to_string(c.count) + " bytes");
    // The context goes with its resource manager, which another thread may
    // have closed meanwhile (with the session).
    const auto gone = [&](ViStatus st) { return st == VI_ERROR_INV_OBJECT && !a.slot(t).holds(t); };
    const auto read = [&](ViStatus st) { return st == VI_SUCCESS || gone(st); };
    if (!read(s1) || !read(s2) || !read(s3)) {
        a.violation("only the statuses VISA gives for the call",
                    "an I/O completion event's VI_ATTR_JOB_ID, VI_ATTR_STATUS or "
                    "VI_ATTR_RET_COUNT could not be read");
    }
    if (gone(s1) || gone(s2) || gone(s3))
        c.wait_status = VI_ERROR_INV_OBJECT;  // nothing known of the job
    const ViStatus closed = viClose(context);
    if (closed != VI_SUCCESS && !gone(closed)) {
        a.violation("only the statuses VISA gives for the call",
                    "viClose of an event context returned " + status_name(closed));
    }
    return c;
}

ViStatus submit(Actor& a, const Target& t, bool write, JobBuffers& b, ViJobId& job) {
    job = VI_NULL;
    const std::string vi = std::to_string(t.vi);
    const ViStatus st =
        write ? a.call(fn_write_async, "viWriteAsync(" + vi + ", " + printable(b.message) + ")",
                       Actor::fixed(0),
                       [&] {
                           return viWriteAsync(t.vi, reinterpret_cast<ViConstBuf>(b.message.data()),
                                               static_cast<ViUInt32>(b.message.size()), &job);
                       })
              : a.call(fn_read_async, "viReadAsync(" + vi + ", 255)", Actor::fixed(0),
                       [&] { return viReadAsync(t.vi, b.reply, 255, &job); });
    a.expect(write ? fn_write_async : fn_read_async, t, st, {VI_SUCCESS});
    if (st == VI_SUCCESS)
        a.note("  job " + std::to_string(job));
    return st;
}

// The longest two queued jobs of the session may take, with the slack: the
// wait for their completions.
ViUInt32 completion_bound(Actor& a, const Target& t, int jobs) {
    return static_cast<ViUInt32>(jobs * 2 * a.slot(t).timeout_max_ms.load() + a.slack_ms());
}

// A message and its reply as two jobs: both complete, in order, and the
// reply follows the rules of a split read.
void write_and_read(Actor& a, const Target& t, JobBuffers& b, bool& all_done) {
    const std::uint64_t token = a.next_token(TokenKind::split);
    b.message = a.worker.instrument(t.instrument).io_test
                    ? "*ESE " + std::to_string(token % 256) + ";*ESE?\n"
                    : generator_token_query(token);
    const Actor::Snapshot before = a.snapshot(t);
    ViJobId write_job = VI_NULL;
    ViJobId read_job = VI_NULL;
    if (submit(a, t, true, b, write_job) != VI_SUCCESS)
        return;
    all_done = false;
    const bool read_too = submit(a, t, false, b, read_job) == VI_SUCCESS;
    const int jobs = read_too ? 2 : 1;
    for (int i = 0; i < jobs; ++i) {
        const Completion c = next_completion(a, t, completion_bound(a, t, jobs));
        if (c.wait_status == VI_ERROR_TMO) {
            if (a.slot(t).holds(t)) {
                a.violation("no hang: an asynchronous job completes within its bound",
                            "no completion event for job " +
                                std::to_string(i == 0 ? write_job : read_job) + " within " +
                                std::to_string(completion_bound(a, t, jobs)) + " ms");
            }
            return;
        }
        if (c.wait_status < 0)
            return;
        const ViJobId expected = i == 0 ? write_job : read_job;
        if (!a.slot(t).holds(t))
            return;  // closed meanwhile: jobs waiting end aborted, the running one unseen
        if (c.job != expected) {
            a.violation("asynchronous jobs complete in order, each once",
                        "completion of job " + std::to_string(c.job) + " where job " +
                            std::to_string(expected) + " was next");
            return;
        }
        const bool is_write = i == 0;
        a.check_io(is_write ? fn_write_async : fn_read_async, t, before, c.status,
                   is_write ? Needs::answer : Needs::nothing);
        if (!is_write && c.status >= 0) {
            const std::string reply(reinterpret_cast<const char*>(b.reply), c.count);
            a.note("  read " + printable(reply));
            check_split_reply(a, t, reply, token, false);
        }
    }
    all_done = true;
}

// A read that waits for a reply nobody asked for, ended by viTerminate: its
// completion comes at once.
void terminate_read(Actor& a, const Target& t, JobBuffers& b, bool& all_done) {
    ViJobId job = VI_NULL;
    if (submit(a, t, false, b, job) != VI_SUCCESS)
        return;
    all_done = false;
    if (a.rng.percent(50)) {
        // Lets the job start (or not) first; it may even complete.
        const Completion early = next_completion(a, t, a.rng.pick<ViUInt32>({1, 5, 50}));
        if (early.wait_status >= 0) {
            all_done = early.job == job;
            return;
        }
    }
    const ViStatus st = a.call(
        fn_terminate, "viTerminate(" + std::to_string(t.vi) + ", job " + std::to_string(job) + ")",
        Actor::fixed(0), [&] { return viTerminate(t.vi, VI_NULL, job); });
    // VI_ERROR_INV_JOB_ID: it completed meanwhile.
    a.expect(fn_terminate, t, st, {VI_SUCCESS, VI_ERROR_INV_JOB_ID});
    if (st != VI_SUCCESS && st != VI_ERROR_INV_JOB_ID)
        return;
    const ViUInt32 bound = static_cast<ViUInt32>(a.slack_ms());
    const Completion c = next_completion(a, t, bound);
    if (c.wait_status == VI_ERROR_TMO && a.slot(t).holds(t)) {
        a.violation("viTerminate ends a job at once",
                    "no completion event for job " + std::to_string(job) + " within " +
                        std::to_string(bound) + " ms of viTerminate returning " + status_name(st));
        return;
    }
    if (c.wait_status >= 0)
        all_done = c.job == job;
}

// A session closed with jobs queued: viClose returns at once all the same.
void close_with_jobs(Actor& a, const Target& t, JobBuffers& b, bool& all_done) {
    ViJobId job = VI_NULL;
    if (submit(a, t, false, b, job) != VI_SUCCESS)
        return;
    all_done = false;
    submit(a, t, false, b, job);
    std::shared_lock rm_lock(a.worker.rm_mutex());
    const int instrument = t.instrument;
    const ViSession vi = a.take_for_close(t.slot);
    if (vi == VI_NULL)
        return;
    const ViStatus st = a.call(fn_close, "viClose(" + std::to_string(vi) + ") with jobs queued",
                               a.service_request_bound(instrument), [&] { return viClose(vi); });
    if (st != VI_SUCCESS) {
        a.violation("only the statuses VISA gives for the call",
                    "viClose of an open session returned " + status_name(st));
    }
    a.note_released(instrument);
}

}  // namespace

void op_async(Actor& a) {
    Target t;
    if (!a.borrow_open(t))
        return;
    // Not on a raw socket: a read ended by viTerminate leaves its reply in
    // the stream, the next read's, and the sequences here check replies.
    if (a.link(t) == Link::socket) {
        a.give_back(t.slot);
        return;
    }
    const std::string vi = std::to_string(t.vi);
    ViStatus st = a.call(
        fn_enable_event, "viEnableEvent(" + vi + ", IO_COMPLETION, VI_QUEUE)", Actor::fixed(0),
        [&] { return viEnableEvent(t.vi, VI_EVENT_IO_COMPLETION, VI_QUEUE, VI_NULL); });
    a.expect(fn_enable_event, t, st, {VI_SUCCESS, VI_SUCCESS_EVENT_EN});
    if (st < 0) {
        a.give_back(t.slot);
        return;
    }
    // Every type's: the queue is one for all the session's event types, and
    // service requests left in it by a thread that enabled them and never
    // waited would fill it, and the completions would be lost to overflow.
    st = a.call(fn_discard_events, "viDiscardEvents(" + vi + ", VI_ALL_ENABLED_EVENTS, VI_QUEUE)",
                Actor::fixed(0),
                [&] { return viDiscardEvents(t.vi, VI_ALL_ENABLED_EVENTS, VI_QUEUE); });
    a.expect(fn_discard_events, t, st, {VI_SUCCESS, VI_SUCCESS_QUEUE_EMPTY});
    auto buffers = std::make_unique<JobBuffers>();
    bool all_done = true;
    switch (a.rng.below(5)) {
        case 0:
        case 1:
            write_and_read(a, t, *buffers, all_done);
            break;
        case 2:
        case 3:
            terminate_read(a, t, *buffers, all_done);
            break;
        default:
            close_with_jobs(a, t, *buffers, all_done);
            break;
    }
    if (!all_done)
        keep_for_good(std::move(buffers));
    if (a.slot(t).holds(t)) {
        st = a.call(fn_disable_event, "viDisableEvent(" + vi + ", IO_COMPLETION, VI_QUEUE)",
                    Actor::fixed(0),
                    [&] { return viDisableEvent(t.vi, VI_EVENT_IO_COMPLETION, VI_QUEUE); });
        a.expect(fn_disable_event, t, st, {VI_SUCCESS, VI_SUCCESS_EVENT_DIS});
    }
    a.give_back(t.slot);
}

}  // namespace torture
