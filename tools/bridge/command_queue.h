// Commands wait here for the one worker thread that carries them out, in the
// order they came. An asking action waits up to 5 s for its answers, so no
// command ever runs on the MQTT network thread. The queue is bounded in count
// and bytes; a command that finds it full is refused at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace ks318::bridge {

class CommandQueue {
public:
    struct Job {
        std::function<void()> run;
        std::function<void(const std::string &reason)> refuse;  // when it will not run
        std::size_t bytes = 0;
    };

    CommandQueue(std::size_t maxJobs, std::size_t maxBytes);
    ~CommandQueue();
    CommandQueue(const CommandQueue &) = delete;
    CommandQueue &operator=(const CommandQueue &) = delete;

    void start();
    // Queues the job; when full or stopped it is refused (on the calling thread) and false returned.
    bool push(Job job);
    // Lets the running job finish; the waiting ones are refused with `reason`.
    void stop(const std::string &reason);

private:
    void work();

    const std::size_t maxJobs_;
    const std::size_t maxBytes_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Job> jobs_;
    std::size_t bytes_ = 0;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace ks318::bridge
