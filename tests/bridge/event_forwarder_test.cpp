// The forwarder between the hub and the broker: what an event becomes, that
// nothing goes out while disconnected, acknowledgements and restarts, and the
// order after a reconnection.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "tests/bridge/fake_sink.h"
#include "tests/support/temp_dir.h"
#include "tests/support/waits.h"
#include "tools/bridge/event_forwarder.h"

namespace ks318::bridge {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kBoot = 1700000000123;

class EventForwarderTest : public ::testing::Test {
protected:
    void SetUp() override { open(); }
    void open() {
        outbox = std::make_unique<Outbox>(Outbox::Settings{dir.path() / "queue", 1000},
                                          [this](const std::string &text) { warn(text); });
        states = std::make_unique<TerminalStates>(
            topics, [](std::int32_t) { return 1; },  // every terminal is still here
            [this](const std::string &topic, const std::string &payload) { sink.publish(topic, payload, true); });
        forwarder = std::make_unique<EventForwarder>(topics, kBoot, *outbox, *states, sink,
                                                     [this](const std::string &text) { warn(text); });
        forwarder->start();
    }
    // Ends the forwarder as the program does (the sink disconnected: at once), and the outbox.
    void close() {
        sink.setConnected(false);
        forwarder->drain(Clock::now() + std::chrono::seconds(30));
        forwarder.reset();
        states.reset();
        outbox.reset();
    }
    void warn(const std::string &text) {
        std::lock_guard lock(warningsMutex);
        warnings.push_back(text);
    }
    std::int32_t nextTerminalId = KQ_FIRST_TERMINAL_ID;
    std::shared_ptr<web::TerminalRecord> terminal(const std::string &address, const std::string &uid) {
        auto record = std::make_shared<web::TerminalRecord>(nextTerminalId++, 320, 32);
        record->address = address;
        record->uid = uid;
        return record;
    }
    void send(const std::shared_ptr<web::TerminalRecord> &record, const std::string &kind, nlohmann::json fields = {}) {
        web::Event event;
        event.seq = ++hubSeq;
        event.kind = kind;
        event.body = {{"seq", event.seq}, {"time", 1}, {"kind", kind}, {"terminal", 1}};
        for (auto &[key, value] : fields.items()) event.body[key] = value;
        forwarder->take(event, record);
    }
    void identify(const std::shared_ptr<web::TerminalRecord> &record) {
        send(record, "connect", {{"address", record->address}});
        send(record, "identified", {{"uid", record->uid}, {"text", "T"}});
    }
    bool waitForwarded(std::uint64_t count) {
        const auto until = Clock::now() + std::chrono::milliseconds(ks318::test::kEventWaitMs);
        while (forwarder->forwarded() < count && Clock::now() < until) std::this_thread::yield();
        return forwarder->forwarded() >= count;
    }
    void acknowledge(int messageId) {
        sink.markAcknowledged(messageId);
        forwarder->acknowledged(messageId);
    }

    ks318::test::TempDir dir;
    fleet::SiteTopics topics{"lab"};
    FakeSink sink;
    std::mutex warningsMutex;
    std::vector<std::string> warnings;
    std::unique_ptr<Outbox> outbox;
    std::unique_ptr<TerminalStates> states;
    std::unique_ptr<EventForwarder> forwarder;
    std::uint64_t hubSeq = 100;
};

TEST_F(EventForwarderTest, AnEventGoesOutWithSiteIdBootAndTheBridgesOwnSequence) {
    sink.setConnected(true);
    auto one = terminal("10.0.0.1", "00:1A:2B:3C:4D:5E");
    identify(one);
    send(one, "key", {{"key", 65}, {"char", "A"}});
    ASSERT_TRUE(sink.waitForEvents(2));
    const auto events = sink.events();
    EXPECT_EQ(events[0].topic, "ks318/lab/terminals/00:1A:2B:3C:4D:5E/events/connect");
    EXPECT_EQ(events[1].topic, "ks318/lab/terminals/00:1A:2B:3C:4D:5E/events/key");
    EXPECT_FALSE(events[1].retain);
    EXPECT_EQ(nlohmann::json::parse(events[1].payload),
              nlohmann::json::parse(R"({"seq":2,"time":1,"kind":"key","terminal":1,"key":65,"char":"A","site":"lab",
                                     "id":"00:1A:2B:3C:4D:5E","boot":1700000000123})"));
    EXPECT_EQ(nlohmann::json::parse(events[0].payload)["seq"], 1);
    // The retained state went out when the id became known, before the held connect.
    const auto all = sink.all();
    auto state = std::find_if(all.begin(), all.end(), [](const auto &p) { return p.topic == "ks318/lab/terminals/00:1A:2B:3C:4D:5E"; });
    ASSERT_NE(state, all.end());
    EXPECT_TRUE(state->retain);
    EXPECT_LT(state->messageId, events[0].messageId);
}

TEST_F(EventForwarderTest, NothingGoesOutWhileDisconnectedAndAllOfItInOrderOnceConnected) {
    auto one = terminal("10.0.0.1", "00:00:00:00:00:01");
    auto two = terminal("10.0.0.2", "00:00:00:00:00:02");
    identify(one);
    identify(two);
    for (int i = 0; i < 100; ++i) send(i % 3 ? one : two, "key", {{"key", i}});
    ASSERT_TRUE(waitForwarded(102));
    EXPECT_TRUE(sink.events().empty());
    sink.setConnected(true);
    forwarder->connectionChanged();
    ASSERT_TRUE(sink.waitForEvents(102));
    const auto events = sink.events();
    for (std::size_t i = 0; i < events.size(); ++i)
        ASSERT_EQ(nlohmann::json::parse(events[i].payload)["seq"], i + 1);
    EXPECT_FALSE(sink.publishedWhileDisconnected());
}

TEST_F(EventForwarderTest, OnlyAcknowledgedEventsAreForgottenAcrossARestart) {
    sink.setConnected(true);
    auto one = terminal("10.0.0.1", "00:00:00:00:00:01");
    identify(one);
    send(one, "key", {{"key", 1}});
    send(one, "key", {{"key", 2}});
    ASSERT_TRUE(sink.waitForEvents(3));
    auto events = sink.events();
    acknowledge(events[0].messageId);
    acknowledge(events[2].messageId);  // the second is still missing: the third stays too
    close();

    Outbox reopened(Outbox::Settings{dir.path() / "queue", 1000}, [](const std::string &) {});
    std::vector<std::string> again;
    while (auto entry = reopened.next()) again.push_back(entry->message.payload);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0], events[1].payload);
    EXPECT_EQ(again[1], events[2].payload);
}

TEST_F(EventForwarderTest, AfterAReconnectionNewEventsWaitForTheOlderOnesAcknowledgement) {
    sink.setConnected(true);
    auto one = terminal("10.0.0.1", "00:00:00:00:00:01");
    identify(one);
    ASSERT_TRUE(sink.waitForEvents(1));
    sink.setConnected(false);
    forwarder->connectionChanged();
    sink.setConnected(true);  // a new connection: the client library resends the connect itself
    forwarder->connectionChanged();
    send(one, "key", {{"key", 1}});
    ASSERT_TRUE(waitForwarded(2));
    acknowledge(sink.events()[0].messageId);
    ASSERT_TRUE(sink.waitForEvents(2));
    const auto events = sink.events();
    EXPECT_FALSE(events[1].olderUnacknowledged) << "the key overtook the unacknowledged connect";
    EXPECT_EQ(events[1].connection, 2u);
}

TEST_F(EventForwarderTest, AnEventNotTakenIsTriedAgainInItsPlace) {
    sink.setConnected(true);
    auto one = terminal("10.0.0.1", "00:00:00:00:00:01");
    identify(one);
    ASSERT_TRUE(sink.waitForEvents(1));
    sink.refuseNext(1, PublishResult::Status::Retry);
    send(one, "key", {{"key", 1}});
    send(one, "key", {{"key", 2}});
    ASSERT_TRUE(waitForwarded(3));
    forwarder->connectionChanged();  // any wake-up tries again
    ASSERT_TRUE(sink.waitForEvents(3));
    const auto events = sink.events();
    EXPECT_EQ(nlohmann::json::parse(events[1].payload)["key"], 1);
    EXPECT_EQ(nlohmann::json::parse(events[2].payload)["key"], 2);
}

TEST_F(EventForwarderTest, AnEventTheBrokerCanNeverTakeIsLeftOutWithAWarning) {
    sink.setConnected(true);
    auto one = terminal("10.0.0.1", "00:00:00:00:00:01");
    identify(one);
    ASSERT_TRUE(sink.waitForEvents(1));
    sink.refuseNext(1, PublishResult::Status::Refused);
    send(one, "key", {{"key", 1}});
    send(one, "key", {{"key", 2}});
    ASSERT_TRUE(sink.waitForEvents(2));
    EXPECT_EQ(nlohmann::json::parse(sink.events()[1].payload)["key"], 2);
    std::lock_guard lock(warningsMutex);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("cannot be sent"), std::string::npos);
}

TEST_F(EventForwarderTest, TheEndSendsHeldEventsUnderTheAddress) {
    sink.setConnected(true);
    auto quiet = terminal("10.0.0.7", "");
    send(quiet, "connect", {{"address", "10.0.0.7"}});
    send(quiet, "key", {{"key", 9}});
    ASSERT_TRUE(sink.waitFor([](const auto &all) { return std::any_of(all.begin(), all.end(), [](const auto &p) {
        return p.topic == "ks318/lab/dropped"; }); }));
    EXPECT_TRUE(sink.events().empty());
    // Acknowledged as they come, so that the drain ends once all are in.
    std::thread acknowledger([&] {
        if (sink.waitForEvents(2))
            for (const auto &event : sink.events()) acknowledge(event.messageId);
    });
    forwarder->drain(Clock::now() + std::chrono::milliseconds(ks318::test::kEventWaitMs));
    acknowledger.join();
    const auto events = sink.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].topic, "ks318/lab/terminals/10.0.0.7~65536/events/connect");
    EXPECT_EQ(events[1].topic, "ks318/lab/terminals/10.0.0.7~65536/events/key");
}

TEST_F(EventForwarderTest, TheDroppedCountIsPublishedRetainedOnEachConnection) {
    sink.setConnected(true);
    forwarder->connectionChanged();
    ASSERT_TRUE(sink.waitFor([](const auto &all) {
        return std::count_if(all.begin(), all.end(), [](const auto &p) { return p.topic == "ks318/lab/dropped"; }) >= 1;
    }));
    sink.setConnected(false);
    forwarder->connectionChanged();
    sink.setConnected(true);
    forwarder->connectionChanged();
    ASSERT_TRUE(sink.waitFor([](const auto &all) {
        return std::count_if(all.begin(), all.end(), [](const auto &p) { return p.topic == "ks318/lab/dropped"; }) >= 2;
    }));
    for (const auto &one : sink.all())
        if (one.topic == "ks318/lab/dropped") {
            EXPECT_EQ(one.payload, "0");
            EXPECT_TRUE(one.retain);
        }
}

}  // namespace
}  // namespace ks318::bridge
