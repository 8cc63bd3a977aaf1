// The hub's listener: every event, in publish order, with the record of the
// terminal it came from, even while a slow stream is dropped.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ks318.h"
#include "sim/device.h"
#include "sim/sim_terminal.h"
#include "tests/support/waits.h"
#include "tools/shop/event_hub.h"
#include "tools/shop/terminal_registry.h"

namespace ks318::bridge {
namespace {

struct Heard {
    std::uint64_t seq;
    std::string kind;
    int terminal;
    std::shared_ptr<web::TerminalRecord> source;
    std::int32_t terminalId;
};

TEST(EventListener, HearsEveryEventInOrderWhileSlowStreamsMissSome) {
    web::EventHub hub;
    std::vector<Heard> heard;  // written under the hub's lock only
    hub.setListener([&](const web::Event &event, const std::shared_ptr<web::TerminalRecord> &source) {
        heard.push_back({event.seq, event.kind, event.body["terminal"].get<int>(), source,
                         event.body.value("terminal_id", std::int32_t{0})});
    });
    auto slow = hub.subscribe(10);  // never read: misses what comes after 256 events
    std::vector<std::shared_ptr<web::TerminalRecord>> records;
    for (int t = 0; t < 4; ++t) records.push_back(std::make_shared<web::TerminalRecord>(KQ_FIRST_TERMINAL_ID + t, 320, 32));
    std::vector<std::thread> publishers;
    for (int t = 0; t < 4; ++t)
        publishers.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) hub.publish("key", {t + 1, KQ_FIRST_TERMINAL_ID + t}, {{"key", i}}, records[static_cast<std::size_t>(t)]);
        });
    for (auto &publisher : publishers) publisher.join();
    hub.publish("action", {}, {});

    // The stream never read missed what its queue could not hold, and says so once read.
    for (std::size_t i = 0; i < web::EventHub::kQueuePerSubscriber; ++i) ASSERT_TRUE(slow->next(std::chrono::milliseconds(0)));
    const auto gap = slow->next(std::chrono::milliseconds(0));
    ASSERT_TRUE(gap);
    EXPECT_EQ(gap->kind, "gap");
    EXPECT_EQ(gap->body["dropped"], 2001 - web::EventHub::kQueuePerSubscriber);
    ASSERT_EQ(heard.size(), 2001u);
    for (std::size_t i = 0; i < heard.size(); ++i) EXPECT_EQ(heard[i].seq, i + 1);
    for (std::size_t i = 0; i + 1 < heard.size(); ++i)
        ASSERT_EQ(heard[i].source, records[static_cast<std::size_t>(heard[i].terminal - 1)]);
    EXPECT_EQ(heard.back().source, nullptr);

    hub.setListener(nullptr);
    hub.publish("key", {1, KQ_FIRST_TERMINAL_ID}, {});
    EXPECT_EQ(heard.size(), 2001u);
}

TEST(EventListener, TheRegistryNamesTheRecordOfEveryTerminalEvent) {
    web::EventHub hub;
    web::TerminalRegistry registry(hub);
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Heard> heard;
    hub.setListener([&](const web::Event &event, const std::shared_ptr<web::TerminalRecord> &source) {
        std::lock_guard lock(mutex);
        heard.push_back({event.seq, event.kind, event.body["terminal"].get<int>(), source,
                         event.body.value("terminal_id", std::int32_t{0})});
        changed.notify_all();
    });
    ASSERT_EQ(kq_startserverex(registry.target(), 0x401, 0x402, "127.0.0.1", 0), 1) << kq_lastfailure();
    const int port = kq_getserverport();
    sim::Identity firstIdentity, secondIdentity;
    secondIdentity.uid[5] = 0x5F;
    sim::SimTerminal first(firstIdentity), second(secondIdentity);
    sim::Device firstDevice(first), secondDevice(second);
    ASSERT_TRUE(first.connectAndIdentify("127.0.0.1", port));
    ASSERT_TRUE(second.connectAndIdentify("127.0.0.1", port));
    auto waitFor = [&](auto done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(test::kEventWaitMs), done);
    };
    ASSERT_TRUE(waitFor([&] {
        int identified = 0;
        for (const Heard &one : heard) identified += one.kind == "identified";
        return identified == 2;
    }));
    std::shared_ptr<web::TerminalRecord> firstRecord = registry.findByIdOrNumber(1), secondRecord = registry.findByIdOrNumber(2);
    ASSERT_TRUE(firstRecord && secondRecord);

    first.close();  // the second terminal's number becomes 1
    ASSERT_TRUE(waitFor([&] { return !heard.empty() && heard.back().kind == "disconnect"; }));
    ASSERT_TRUE(secondDevice.pressKey('k'));
    ASSERT_TRUE(waitFor([&] { return heard.back().kind == "key"; }));
    kq_finishserver();

    std::lock_guard lock(mutex);
    for (const Heard &one : heard) {
        ASSERT_TRUE(one.source) << one.kind;
        EXPECT_TRUE(one.source == firstRecord || one.source == secondRecord);
    }
    auto key = std::find_if(heard.begin(), heard.end(), [](const Heard &one) { return one.kind == "key"; });
    ASSERT_NE(key, heard.end());
    EXPECT_EQ(key->source, secondRecord) << "the key came from the terminal now numbered 1";
    EXPECT_EQ(key->terminal, 1);
    EXPECT_EQ(key->terminalId, secondRecord->id) << "and is named by the id it had all along";
    // Every event names its terminal by the id of its source, the departures too.
    for (const Heard &one : heard) EXPECT_EQ(one.terminalId, one.source->id) << one.kind;
}

}  // namespace
}  // namespace ks318::bridge
