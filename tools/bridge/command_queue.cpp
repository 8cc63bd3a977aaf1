#include "tools/bridge/command_queue.h"

#include <algorithm>

namespace ks318::bridge {

CommandQueue::CommandQueue(std::size_t maxJobs, std::size_t maxBytes, std::size_t workers)
    : maxJobs_(maxJobs), maxBytes_(maxBytes), workerCount_(std::max<std::size_t>(1, workers)) {}

CommandQueue::~CommandQueue() { stop("the bridge is stopping"); }

void CommandQueue::start() {
    for (std::size_t i = 0; i < workerCount_; ++i) workers_.emplace_back([this] { work(); });
}

bool CommandQueue::push(Job job) {
    std::string refusal;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) refusal = "the bridge is stopping";
        else if (jobs_.size() >= maxJobs_ || (!jobs_.empty() && bytes_ + job.bytes > maxBytes_))
            refusal = "too many commands are waiting; try again later";
        else {
            bytes_ += job.bytes;
            jobs_.push_back(std::move(job));
        }
    }
    if (refusal.empty()) {
        changed_.notify_all();
        return true;
    }
    if (job.refuse) job.refuse(refusal);
    return false;
}

void CommandQueue::stop(const std::string &reason) {
    std::deque<Job> left;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        left.swap(jobs_);
        bytes_ = 0;
    }
    changed_.notify_all();
    for (std::thread &worker : workers_)
        if (worker.joinable()) worker.join();
    workers_.clear();
    for (Job &job : left)
        if (job.refuse) job.refuse(reason);
}

std::deque<CommandQueue::Job>::iterator CommandQueue::runnable() {
    if (runningAll_ > 0) return jobs_.end();
    std::set<std::string> passed;  // lanes of earlier jobs still waiting
    for (auto job = jobs_.begin(); job != jobs_.end(); ++job) {
        if (!job->lane) {
            // Every terminal: only once nothing runs and nothing came before it.
            return job == jobs_.begin() && runningLanes_.empty() ? job : jobs_.end();
        }
        if (!runningLanes_.count(*job->lane) && !passed.count(*job->lane)) return job;
        passed.insert(*job->lane);
    }
    return jobs_.end();
}

void CommandQueue::work() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            std::deque<Job>::iterator next;
            changed_.wait(lock, [&] { return stopping_ || (next = runnable()) != jobs_.end(); });
            if (stopping_) return;
            job = std::move(*next);
            jobs_.erase(next);
            bytes_ -= job.bytes;
            if (job.lane) runningLanes_.insert(*job.lane);
            else ++runningAll_;
        }
        job.run();
        {
            std::lock_guard lock(mutex_);
            if (job.lane) runningLanes_.erase(runningLanes_.find(*job.lane));
            else --runningAll_;
        }
        changed_.notify_all();
    }
}

}  // namespace ks318::bridge
