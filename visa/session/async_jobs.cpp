#include "session/async_jobs.h"

#include <atomic>
#include <thread>
#include <utility>

namespace sgvisa::session {

AsyncJobs::AsyncJobs(Complete complete, Cancel cancel)
    : complete_(std::move(complete)), cancel_(std::move(cancel)) {}

AsyncJobs::~AsyncJobs() {
    shut_down();
}

namespace {

// Job IDs are drawn from one counter for the process, so that no two jobs
// of any sessions share one for a long time.
ViJobId new_job_id() {
    static std::atomic<ViJobId> next{0x1000};
    ViJobId id;
    do {
        id = next.fetch_add(1);
    } while (id == VI_NULL);
    return id;
}

}  // namespace

ViJobId AsyncJobs::submit(Work work, VisaEvent aborted) {
    std::lock_guard lock(mutex_);
    const ViJobId id = new_job_id();
    aborted.job_id = id;
    waiting_.push_back({id, std::move(work), std::move(aborted)});
    if (!worker_started_ && !stopping_) {
        // Never joined: closing the session must not wait for a job to end.
        std::thread([self = shared_from_this()] { self->run(); }).detach();
        worker_started_ = true;
    }
    changed_.notify_all();
    return id;
}

ViStatus AsyncJobs::terminate(ViJobId job) {
    std::unique_lock lock(mutex_);
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        if (it->id != job)
            continue;
        const VisaEvent aborted = it->aborted;
        waiting_.erase(it);
        lock.unlock();
        complete_(aborted);
        return VI_SUCCESS;
    }
    if (running_ != 0 && running_ == job) {
        cancel_(*running_token_);  // under the lock: the token lives until the job clears it
        return VI_SUCCESS;
    }
    return VI_ERROR_INV_JOB_ID;
}

void AsyncJobs::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_)
            return;
        Job job = std::move(waiting_.front());
        waiting_.pop_front();
        CancelToken token;
        running_ = job.id;
        running_token_ = &token;
        lock.unlock();
        VisaEvent done;
        try {
            done = job.work(token);
        } catch (...) {
            // Nothing may escape this thread: the job fails instead.
            done = job.aborted;
            done.status = VI_ERROR_SYSTEM_ERROR;
        }
        done.job_id = job.id;
        complete_(done);
        lock.lock();
        running_ = 0;
        running_token_ = nullptr;
    }
}

void AsyncJobs::shut_down() {
    std::deque<Job> left;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        left.swap(waiting_);
        if (running_token_ != nullptr)
            cancel_(*running_token_);
        changed_.notify_all();
    }
    for (const Job& job : left)
        complete_(job.aborted);
}

}  // namespace sgvisa::session
