// A session's asynchronous operations (viReadAsync, viWriteAsync): run one
// after the other on a thread of the session, each ending with an I/O
// completion event. viTerminate ends a waiting job before it starts, or a
// running one through its own operation's token, whatever it waits for; no
// other operation of the session is touched. Thread-safe.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "session/session_events.h"
#include "transport/cancel_token.h"
#include "visa.h"

namespace sgvisa::session {

class AsyncJobs : public std::enable_shared_from_this<AsyncJobs> {
  public:
    // Runs a job as an operation whose waits block on `token`: returns its
    // completion event (`job_id` filled in by the caller).
    using Work = std::function<VisaEvent(CancelToken& token)>;
    // Delivers a completion event (to the session's events).
    using Complete = std::function<void(const VisaEvent&)>;
    // Ends the operation of `token` at once (see DeviceConnection::cancel).
    using Cancel = std::function<void(CancelToken& token)>;

    // Owned by a shared_ptr: the job thread keeps it alive while it runs.
    AsyncJobs(Complete complete, Cancel cancel);
    ~AsyncJobs();
    AsyncJobs(const AsyncJobs&) = delete;
    AsyncJobs& operator=(const AsyncJobs&) = delete;

    // Queues `work` under a new job ID (unique in the process, never
    // VI_NULL); `aborted` is its completion event should it be ended before
    // it runs.
    ViJobId submit(Work work, VisaEvent aborted);

    // viTerminate: VI_SUCCESS when the job was ended (or is being ended),
    // VI_ERROR_INV_JOB_ID when there is no such job waiting or running.
    ViStatus terminate(ViJobId job);

    // Ends every job: waiting ones complete as aborted, the running one is
    // cancelled. Returns at once: the thread ends by itself once that job
    // has given up.
    void shut_down();

  private:
    struct Job {
        ViJobId id;
        Work work;
        VisaEvent aborted;
    };
    void run();

    Complete complete_;
    Cancel cancel_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> waiting_;
    ViJobId running_ = 0;
    CancelToken* running_token_ = nullptr;  // while `running_`
    bool stopping_ = false;
    bool worker_started_ = false;
};

}  // namespace sgvisa::session
