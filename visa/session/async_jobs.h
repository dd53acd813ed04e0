// A session's asynchronous operations (viReadAsync, viWriteAsync): run one
// after the other on a thread of the session, each ending with an I/O
// completion event; viTerminate ends a waiting one before it starts, or a
// running one through the session's cancel. Thread-safe.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "visa.h"
#include "visa_event.h"

namespace sgvisa {

class AsyncJobs {
  public:
    // Runs a job: returns its completion event (`job_id` filled in by the caller).
    using Work = std::function<VisaEvent()>;
    // Delivers a completion event (to the session's events).
    using Complete = std::function<void(const VisaEvent&)>;
    // Ends the running job at once (the session's operation gives up).
    using CancelRunning = std::function<void()>;

    AsyncJobs(Complete complete, CancelRunning cancel_running);
    ~AsyncJobs();
    AsyncJobs(const AsyncJobs&) = delete;
    AsyncJobs& operator=(const AsyncJobs&) = delete;

    // Queues `work` under a new job ID (unique in the process, never
    // VI_NULL); `aborted` is its
    // completion event should it be ended before it runs.
    ViJobId submit(Work work, VisaEvent aborted);

    // viTerminate: VI_SUCCESS when the job was ended (or is being ended),
    // VI_ERROR_INV_JOB_ID when there is no such job waiting or running.
    ViStatus terminate(ViJobId job);

    // Ends every job (waiting ones complete as aborted) and the thread.
    void shut_down();

  private:
    struct Job {
        ViJobId id;
        Work work;
        VisaEvent aborted;
    };
    void run();

    Complete complete_;
    CancelRunning cancel_running_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> waiting_;
    ViJobId running_ = 0;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace sgvisa
