// Which terminal a notification is about, for the host that handles it.
//
// With a KqHostTarget the host's handler runs on the notifying connection
// thread itself, so the id is kept per thread for the length of the call: exact
// whatever other terminals do meanwhile. With a window (Windows) handlers run on
// the window's thread: a data notification is found by its connection handle
// among those whose thread waits for it (the handle cannot be reused while it
// waits), and a connect or disconnect by its exact values in a journal of the
// posts not yet asked about, oldest first, as the window's queue delivers them.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "server/terminal_id.h"

namespace ks318 {

class NotifiedTerminal {
public:
    // Set on the notifying thread while the host's function runs.
    class Scope {
    public:
        explicit Scope(TerminalId id);
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        TerminalId previous_;
    };
    // The id of the notification this thread is handling; 0 outside a handler.
    static TerminalId onThisThread();

    // Window path only (handlers elsewhere than the notifying thread).
    // Journals a link and posts it under one lock, so the journal's order is the
    // order in which the window's queue receives the posts.
    template <class Post>
    void postLink(std::uint32_t wParam, std::uint32_t lParam, TerminalId id, Post &&post) {
        std::lock_guard lock(mutex_);
        if (journal_.size() >= kJournalEntries) journal_.pop_front();
        journal_.push_back(Link{wParam, lParam, id});
        post();
    }
    // A new start: posts of an earlier server name terminals that are gone.
    void forgetLinks();
    void dataSending(std::uint32_t handleWord, TerminalId id);
    void dataHandled(std::uint32_t handleWord, TerminalId id);
    // The terminal of a link notification (claimed: asked once; every older post
    // has been delivered by then and is forgotten) or of a data
    // notification whose thread waits; 0 when none matches.
    TerminalId claimLink(std::uint32_t wParam, std::uint32_t lParam);
    TerminalId dataSender(std::uint32_t handleWord) const;

    // Posts kept unclaimed at most (the oldest go first).
    static constexpr std::size_t kJournalEntries = 4096;

private:
    struct Link {
        std::uint32_t wParam;
        std::uint32_t lParam;
        TerminalId id;
    };
    struct Sending {
        std::uint32_t handleWord;
        TerminalId id;
    };
    mutable std::mutex mutex_;
    std::deque<Link> journal_;
    std::vector<Sending> sending_;
};

}  // namespace ks318
