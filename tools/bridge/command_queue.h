// Commands wait here for the workers that carry them out. Each command has a
// lane: the terminal it names, or none for a command to every terminal of the
// site. A terminal's commands run one at a time in the order they came; those
// of different terminals run side by side (up to `workers` at once), so a
// terminal whose link is slow holds up its own commands only. A command for
// every terminal waits for all that came before it, and all that come after it
// wait for it. An asking action waits up to 5 s for its answers, so no command
// ever runs on the MQTT network thread. The queue is bounded in count and
// bytes; a command that finds it full is refused at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace ks318::bridge {

class CommandQueue {
public:
    struct Job {
        std::function<void()> run;
        std::function<void(const std::string &reason)> refuse;  // when it will not run
        std::size_t bytes = 0;
        std::optional<std::string> lane{};  // a terminal's id; nothing: every terminal
    };

    CommandQueue(std::size_t maxJobs, std::size_t maxBytes, std::size_t workers = 8);
    ~CommandQueue();
    CommandQueue(const CommandQueue &) = delete;
    CommandQueue &operator=(const CommandQueue &) = delete;

    void start();
    // Queues the job; when full or stopped it is refused (on the calling thread) and false returned.
    bool push(Job job);
    // Lets the running jobs finish; the waiting ones are refused with `reason`.
    void stop(const std::string &reason);

private:
    void work();
    // The first waiting job that may start now (under mutex_); jobs_.end() when none.
    std::deque<Job>::iterator runnable();

    const std::size_t maxJobs_;
    const std::size_t maxBytes_;
    const std::size_t workerCount_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    std::size_t bytes_ = 0;
    std::multiset<std::string> runningLanes_;
    std::size_t runningAll_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace ks318::bridge
