// The whole bridge in this process, with a broker and simulated terminals:
// states, events and commands over MQTT, an outage of the broker and a restart
// of the bridge with events still queued.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <map>
#include <set>
#include <thread>

#include "sim/device.h"
#include "sim/sim_terminal.h"
#include "tests/bridge/test_broker.h"
#include "tests/bridge/test_client.h"
#include "tests/support/temp_dir.h"
#include "tools/bridge/bridge.h"

namespace ks318::bridge {
namespace {

constexpr const char *kUid = "00:1A:2B:3C:4D:5E";

class BridgeTest : public ::testing::Test {
protected:
    BridgeSettings settings() const {
        BridgeSettings bridge;
        bridge.site = "lab";
        bridge.broker.host = "127.0.0.1";
        bridge.broker.port = broker.port();
        bridge.clientId = "ks318-bridge-lab";
        bridge.terminalPort = 0;
        bridge.bind = "127.0.0.1";
        bridge.queueDirectory = dir.path() / "queue";
        bridge.uploadDirectory = dir.path() / "uploads";
        std::filesystem::create_directories(bridge.uploadDirectory);
        return bridge;
    }
    // (Takes the messages, not the client: a wait's condition runs under the client's lock.)
    static std::vector<nlohmann::json> eventsOf(const std::vector<TestClient::Message> &messages,
                                                const std::string &kind) {
        std::vector<nlohmann::json> out;
        for (const auto &message : messages)
            if (message.topic == std::string("ks318/lab/terminals/") + kUid + "/events/" + kind)
                out.push_back(nlohmann::json::parse(message.payload));
        return out;
    }
    // Distinct keys by seq: a QoS 1 duplicate (same boot and seq) may come after a reconnection.
    static bool keysArrived(const std::vector<TestClient::Message> &messages, std::size_t count) {
        std::set<int> seqs;
        for (const auto &key : eventsOf(messages, "key")) seqs.insert(key["seq"].get<int>());
        return seqs.size() >= count;
    }

    // Waits (bounded) until a queue file holds `text`.
    bool queueHolds(const std::string &text) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ks318::test::kEventWaitMs);
        do {
            for (const auto &entry : std::filesystem::directory_iterator(dir.path() / "queue")) {
                if (entry.path().extension() != ".queue") continue;
                std::ifstream in(entry.path(), std::ios::binary);
                const std::string bytes((std::istreambuf_iterator<char>(in)), {});
                if (bytes.find(text) != std::string::npos) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < until);
        return false;
    }

    ks318::test::TempDir dir;
    TestBroker broker{dir.path() / "broker"};
};

TEST_F(BridgeTest, StatesEventsAndCommandsOverTheBroker) {
    broker.start();
    TestClient watcher(broker.port(), "watcher");
    watcher.subscribe("ks318/lab/#");
    watcher.subscribe("ks318-reply/#");
    Bridge bridge(settings());
    const int port = bridge.start();

    sim::SimTerminal terminal;
    sim::Device device(terminal);
    ASSERT_TRUE(terminal.connectAndIdentify("127.0.0.1", port));
    const std::string stateTopic = std::string("ks318/lab/terminals/") + kUid;
    ASSERT_TRUE(watcher.waitForTopic(stateTopic));
    const auto state = nlohmann::json::parse(watcher.on(stateTopic).back().payload);
    EXPECT_EQ(state["connected"], true);
    EXPECT_EQ(state["number"], 1);
    EXPECT_EQ(state["uid"], kUid);
    EXPECT_EQ(state["text"], "SIM TERMINAL");
    ASSERT_TRUE(device.pressKey('z'));
    ASSERT_TRUE(watcher.waitForTopic(stateTopic + "/events/key"));
    const auto connect = eventsOf(watcher.messages(), "connect");
    const auto key = eventsOf(watcher.messages(), "key");
    ASSERT_EQ(connect.size(), 1u);
    ASSERT_EQ(key.size(), 1u);
    EXPECT_EQ(key[0]["key"], 'z');
    EXPECT_EQ(key[0]["char"], "z");
    EXPECT_EQ(key[0]["site"], "lab");
    EXPECT_EQ(key[0]["id"], kUid);
    EXPECT_EQ(key[0]["terminal"], 1);
    EXPECT_EQ(key[0]["boot"], connect[0]["boot"]);
    EXPECT_EQ(key[0]["seq"].get<int>(), connect[0]["seq"].get<int>() + 1);
    ASSERT_FALSE(watcher.on("ks318/lab/online").empty());
    EXPECT_EQ(watcher.on("ks318/lab/online").back().payload, "true");

    TestClient asker(broker.port(), "asker");
    asker.publish(stateTopic + "/commands/fill", R"({"index":7})", false, "ks318-reply/fill", "c1");
    asker.publish("ks318/lab/terminals/nobody/commands/live", "", false, "ks318-reply/nobody", "c2");
    asker.publish("ks318/lab/all/commands/volume", "", false, "ks318-reply/volume", "c3");
    ASSERT_TRUE(watcher.waitForTopic("ks318-reply/volume"));
    const auto fill = watcher.on("ks318-reply/fill");
    ASSERT_EQ(fill.size(), 1u);
    EXPECT_EQ(fill[0].correlation, "c1");
    const auto filled = nlohmann::json::parse(fill[0].payload);
    EXPECT_EQ(filled["site"], "lab");
    EXPECT_EQ(filled["action"], "fill");
    ASSERT_EQ(filled["results"].size(), 1u);
    EXPECT_EQ(filled["results"][0]["id"], kUid);
    EXPECT_EQ(filled["results"][0]["status"], "sent");
    auto frame = terminal.waitForFrame(33, ks318::test::kEventWaitMs);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, sim::le16(7));
    EXPECT_EQ(nlohmann::json::parse(watcher.on("ks318-reply/nobody")[0].payload)["error"], "no terminal \"nobody\" at site lab");
    const auto volume = nlohmann::json::parse(watcher.on("ks318-reply/volume")[0].payload);
    ASSERT_EQ(volume["results"].size(), 1u);
    EXPECT_EQ(volume["results"][0]["value"], 50);

    bridge.stop();
    ASSERT_TRUE(watcher.waitFor([](const auto &all) {
        return !all.empty() && all.back().topic == "ks318/lab/online" && all.back().payload == "false";
    }));
    EXPECT_EQ(nlohmann::json::parse(watcher.on(stateTopic).back().payload)["connected"], false);
    EXPECT_EQ(eventsOf(watcher.messages(), "disconnect").size(), 1u);
}

TEST_F(BridgeTest, NothingIsLostOrReorderedWhileTheBrokerIsAway) {
    broker.start();
    auto collector = std::make_unique<TestClient>(broker.port(), "collector", true);
    collector->subscribe("ks318/lab/terminals/+/events/+");
    Bridge bridge(settings());
    const int port = bridge.start();
    sim::SimTerminal terminal;
    sim::Device device(terminal);
    ASSERT_TRUE(terminal.connectAndIdentify("127.0.0.1", port));
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(device.pressKey(static_cast<std::uint8_t>('a' + i)));
    ASSERT_TRUE(collector->waitFor([](const auto &all) { return keysArrived(all, 10); }));

    broker.stop();
    for (int i = 10; i < 40; ++i) ASSERT_TRUE(device.pressKey(static_cast<std::uint8_t>('a' + i % 26)));
    broker.start();
    for (int i = 40; i < 50; ++i) ASSERT_TRUE(device.pressKey(static_cast<std::uint8_t>('a' + i % 26)));
    ASSERT_TRUE(collector->waitFor([](const auto &all) { return keysArrived(all, 50); }));

    // Each key once at least (a duplicate is the same event again); by seq, all of them in the order pressed.
    std::map<int, nlohmann::json> bySeq;
    for (const auto &key : eventsOf(collector->messages(), "key")) {
        const int seq = key["seq"].get<int>();
        if (bySeq.count(seq)) {
            EXPECT_EQ(bySeq[seq], key) << "two different events with seq " << seq;
        }
        bySeq[seq] = key;
    }
    ASSERT_EQ(bySeq.size(), 50u);
    int expected = 0;
    int previous = 0;
    for (const auto &[seq, key] : bySeq) {
        if (previous) {
            EXPECT_EQ(seq, previous + 1) << "a gap in the sequence";
        }
        EXPECT_EQ(key["key"], 'a' + expected % 26);
        previous = seq;
        ++expected;
    }
    bridge.stop();
}

TEST_F(BridgeTest, EventsQueuedWhenTheBridgeStopsGoOutAfterItsRestart) {
    broker.start();
    {
        TestClient collector(broker.port(), "collector", true);
        collector.subscribe("ks318/lab/terminals/+/events/+");
    }
    broker.stop();
    std::int64_t firstBoot = 0;
    {
        Bridge bridge(settings());
        const int port = bridge.start();
        sim::SimTerminal terminal;
        sim::Device device(terminal);
        ASSERT_TRUE(terminal.connectAndIdentify("127.0.0.1", port));
        ASSERT_TRUE(device.pressKey('q'));
        // Closed only once the key is queued: a terminal that closes with frames
        // still unread may reset the connection, and the server loses what it had not read.
        ASSERT_TRUE(queueHolds("events/key")) << "the key never reached the queue";
        terminal.close();
        terminal.waitDisconnected(ks318::test::kEventWaitMs);
        bridge.stop();  // the broker is away: everything stays queued
    }
    broker.start();
    TestClient collector(broker.port(), "collector", true);
    Bridge bridge(settings());
    bridge.start();
    ASSERT_TRUE(collector.waitFor([](const auto &all) { return !eventsOf(all, "disconnect").empty(); }))
        << collector.messages().size() << " messages; queue state: "
        << std::string(std::istreambuf_iterator<char>(*std::make_unique<std::ifstream>(dir.path() / "queue" / "state")), {});
    const auto connect = eventsOf(collector.messages(), "connect");
    const auto key = eventsOf(collector.messages(), "key");
    ASSERT_EQ(connect.size(), 1u);
    ASSERT_EQ(key.size(), 1u);
    firstBoot = connect[0]["boot"].get<std::int64_t>();
    EXPECT_EQ(key[0]["boot"], firstBoot);
    EXPECT_EQ(key[0]["key"], 'q');
    EXPECT_EQ(connect[0]["seq"], 1);
    EXPECT_EQ(key[0]["seq"], 2);
    EXPECT_EQ(eventsOf(collector.messages(), "disconnect")[0]["seq"], 3);
    bridge.stop();
}

}  // namespace
}  // namespace ks318::bridge
