#include "tools/bridge/command_queue.h"

namespace ks318::bridge {

CommandQueue::CommandQueue(std::size_t maxJobs, std::size_t maxBytes) : maxJobs_(maxJobs), maxBytes_(maxBytes) {}

CommandQueue::~CommandQueue() { stop("the bridge is stopping"); }

void CommandQueue::start() { worker_ = std::thread([this] { work(); }); }

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
        arrived_.notify_one();
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
    arrived_.notify_all();
    if (worker_.joinable()) worker_.join();
    for (Job &job : left)
        if (job.refuse) job.refuse(reason);
}

void CommandQueue::work() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            arrived_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            bytes_ -= job.bytes;
        }
        job.run();
    }
}

}  // namespace ks318::bridge
