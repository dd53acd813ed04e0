#include "async_jobs.h"

#include <atomic>
#include <utility>

namespace sgvisa {

AsyncJobs::AsyncJobs(Complete complete, CancelRunning cancel_running)
    : complete_(std::move(complete)), cancel_running_(std::move(cancel_running)) {}

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
    if (!worker_.joinable() && !stopping_)
        worker_ = std::thread([this] { run(); });
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
        lock.unlock();
        cancel_running_();
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
        running_ = job.id;
        lock.unlock();
        VisaEvent done = job.work();
        done.job_id = job.id;
        complete_(done);
        lock.lock();
        running_ = 0;
    }
}

void AsyncJobs::shut_down() {
    std::deque<Job> left;
    std::thread worker;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        left.swap(waiting_);
        worker = std::move(worker_);
        changed_.notify_all();
    }
    for (const Job& job : left)
        complete_(job.aborted);
    if (worker.joinable()) {
        if (worker.get_id() == std::this_thread::get_id())
            worker.detach();
        else
            worker.join();
    }
}

}  // namespace sgvisa
