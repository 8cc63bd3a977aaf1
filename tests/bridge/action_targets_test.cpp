// Actions and events keyed by terminal id (as the dashboard and the bridge name
// terminals): a command reaches the terminal chosen or fails, and an event is
// named by its own terminal, however many others leave meanwhile.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ks318.h"
#include "sim/device.h"
#include "sim/sim_terminal.h"
#include "tests/support/temp_dir.h"
#include "tests/support/waits.h"
#include "tools/shop/actions.h"

namespace ks318::web {
namespace {

constexpr std::uint32_t kConnectMessage = 0x0401;
constexpr std::uint32_t kDataMessage = 0x0402;
constexpr std::uint16_t kFillCode = 33;
constexpr std::uint16_t kLiveCode = 17;
constexpr std::size_t kTerminals = 6;

class ActionTargetsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.path() / "uploads");
        ASSERT_EQ(kq_startserverex(registry.target(), kConnectMessage, kDataMessage, "127.0.0.1", 0), 1)
            << kq_lastfailure();
        for (std::size_t k = 0; k < kTerminals; ++k) {
            sim::Identity identity;
            identity.uid[5] = static_cast<std::uint8_t>(0x10 + k);
            terminals[k] = std::make_unique<sim::SimTerminal>(identity);
            ASSERT_TRUE(terminals[k]->connectAndIdentify("127.0.0.1", kq_getserverport()));
            // One at a time, so that terminal k comes k-th (and its id is the k-th).
            ASSERT_TRUE(waitForCount(k + 1));
            records[k] = registry.list().back().record;
        }
    }
    void TearDown() override { kq_finishserver(); }

    bool waitForCount(std::size_t count) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(test::kEventWaitMs);
        while (registry.count() != count) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    // Once a live signal sent after them has arrived, every earlier frame would have.
    void settle(std::size_t k) {
        const std::size_t before = terminals[k]->framesWithCode(kLiveCode).size();
        ASSERT_EQ(actions.run({{"action", "live"}}, {records[k]})["results"][0]["status"], "sent");
        ASSERT_TRUE(terminals[k]->waitForFrame(kLiveCode, test::kEventWaitMs, before + 1));
    }

    test::TempDir dir;
    EventHub events;
    TerminalRegistry registry{events};
    UploadStore uploads{dir.path() / "uploads", 1 << 20};
    FileTransfers transfers{events};
    ActionRunner actions{registry, uploads, transfers, events, {}};
    std::array<std::unique_ptr<sim::SimTerminal>, kTerminals> terminals;
    std::array<std::shared_ptr<TerminalRecord>, kTerminals> records;
};

TEST_F(ActionTargetsTest, AnIdReachesItsTerminalAfterOthersLeftAndAGoneIdReachesNobody) {
    EXPECT_GE(records[0]->id, KQ_FIRST_TERMINAL_ID);
    const std::int32_t third = records[2]->id, first = records[0]->id;
    terminals[0]->close();
    ASSERT_TRUE(waitForCount(kTerminals - 1));

    // Named by id in the request, as the page and the API's users do.
    const nlohmann::json answer = actions.run({{"action", "fill"}, {"index", 5}, {"targets", {third, first}}});
    ASSERT_EQ(answer["results"].size(), 2u);
    EXPECT_EQ(answer["results"][0]["terminal_id"], third);
    EXPECT_EQ(answer["results"][0]["terminal"], 2) << "the number it has now, shown";
    EXPECT_EQ(answer["results"][0]["status"], "sent");
    EXPECT_EQ(answer["results"][1]["terminal_id"], first);
    EXPECT_EQ(answer["results"][1]["status"], "no terminal") << answer.dump();
    EXPECT_EQ(answer["results"][1]["result"], 0);

    // The chosen terminal got the fill; the one that now has its former number did not.
    const auto frame = terminals[2]->waitForFrame(kFillCode, test::kEventWaitMs);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, sim::le16(5));
    settle(3);
    EXPECT_TRUE(terminals[3]->framesWithCode(kFillCode).empty());

    // A number is read at once: 2 is the third terminal now.
    const nlohmann::json byNumber = actions.run({{"action", "fill"}, {"index", 6}, {"targets", {2}}});
    EXPECT_EQ(byNumber["results"][0]["terminal_id"], third);
    ASSERT_TRUE(terminals[2]->waitForFrame(kFillCode, test::kEventWaitMs, 2));
}

TEST_F(ActionTargetsTest, ATerminalLeavingDuringAnActionMovesTheOthersAnswersNowhereElse) {
    // Terminals 2 and 3 answer the brightness question, each with its own value;
    // terminal 1 is asked too, then leaves while the action waits for its answer.
    sim::Device second(*terminals[1]), third(*terminals[2]);
    second.setBrightness(20);
    third.setBrightness(30);
    constexpr std::uint16_t kAskBrightness = 182;

    auto asking = std::async(std::launch::async, [&] {
        return actions.run({{"action", "brightness"}, {"targets", {records[0]->id, records[1]->id, records[2]->id}}});
    });
    ASSERT_TRUE(terminals[0]->waitForFrame(kAskBrightness, test::kEventWaitMs));
    ASSERT_TRUE(terminals[2]->waitForFrame(kAskBrightness, test::kEventWaitMs));
    terminals[0]->close();
    ASSERT_TRUE(waitForCount(kTerminals - 1));
    const nlohmann::json answer = asking.get();

    ASSERT_EQ(answer["results"].size(), 3u) << answer.dump();
    EXPECT_EQ(answer["results"][0]["value"], nullptr) << "terminal 1 left without answering";
    EXPECT_EQ(answer["results"][1]["value"], 20) << "read from terminal 2, whose number moved to 1";
    EXPECT_EQ(answer["results"][2]["value"], 30) << "read from terminal 3, whose number moved to 2";
    EXPECT_EQ(answer["results"][1]["terminal_id"], records[1]->id);
}

// Terminals leave one after another while the others press keys and each is
// sent fills of its own index: every key event names the terminal that pressed
// it, and every fill lands on the terminal it was meant for or on none.
TEST_F(ActionTargetsTest, EventsAndActionsStayWithTheirTerminalsWhileOthersLeave) {
    std::mutex mutex;
    std::map<std::int32_t, std::vector<std::uint32_t>> keysById;
    events.setListener([&](const Event &event, const std::shared_ptr<TerminalRecord> &) {
        if (event.kind != "key") return;
        std::lock_guard lock(mutex);
        keysById[event.body.value("terminal_id", 0)].push_back(event.body["key"].get<std::uint32_t>());
    });
    const auto keyOf = [](std::size_t k) { return static_cast<std::uint8_t>('a' + k); };
    const auto indexOf = [](std::size_t k) { return static_cast<std::int32_t>(100 + k); };

    std::atomic<bool> stop{false};
    std::array<std::atomic<bool>, kTerminals> typing;
    std::vector<std::thread> typists, workers;
    for (std::size_t k = 0; k < kTerminals; ++k) {
        // The terminal presses its own key; a thread sends it fills of its own index.
        typing[k] = true;
        typists.emplace_back([&, k] {
            sim::Device device(*terminals[k]);
            while (typing[k] && device.pressKey(keyOf(k))) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        });
        workers.emplace_back([&, k] {
            while (!stop) {
                const nlohmann::json answer =
                    actions.run({{"action", "fill"}, {"index", indexOf(k)}, {"targets", {records[k]->id}}});
                const nlohmann::json &result = answer["results"][0];
                if (result["terminal_id"] != records[k]->id || result["status"] == "no terminal") break;
            }
        });
    }
    // The first half leave, the lowest numbers first, so that every other number moves.
    for (std::size_t k = 0; k < kTerminals / 2; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        // Its typist stops first: a terminal is not closed under a thread still sending on it.
        typing[k] = false;
        typists[k].join();
        terminals[k]->close();
        ASSERT_TRUE(waitForCount(kTerminals - k - 1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    stop = true;
    for (std::size_t k = 0; k < kTerminals; ++k) typing[k] = false;
    for (std::thread &typist : typists)
        if (typist.joinable()) typist.join();
    for (std::thread &worker : workers) worker.join();
    for (std::size_t k = kTerminals / 2; k < kTerminals; ++k) settle(k);

    std::lock_guard lock(mutex);
    for (std::size_t k = 0; k < kTerminals; ++k) {
        const auto &keys = keysById[records[k]->id];
        EXPECT_FALSE(keys.empty()) << "terminal " << k;
        for (const std::uint32_t key : keys) ASSERT_EQ(key, keyOf(k)) << "a key of terminal " << k;
        const auto fills = terminals[k]->framesWithCode(kFillCode);
        if (k >= kTerminals / 2) {
            EXPECT_FALSE(fills.empty()) << "terminal " << k;
        }
        for (const sim::Frame &fill : fills)
            ASSERT_EQ(fill.payload, sim::le16(static_cast<std::uint16_t>(indexOf(k)))) << "a fill on terminal " << k;
    }
    EXPECT_EQ(keysById.count(0), 0u) << "a key event without its terminal's id";
}

}  // namespace
}  // namespace ks318::web
