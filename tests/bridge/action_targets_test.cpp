// Actions aimed at terminals by their records (as the bridge names terminals by
// id): the terminal chosen is the one reached, even when terminals below it
// left and its number moved down since it was chosen.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "ks318.h"
#include "sim/device.h"
#include "sim/sim_terminal.h"
#include "tests/support/temp_dir.h"
#include "tests/support/waits.h"
#include "tools/web/actions.h"

namespace ks318::web {
namespace {

constexpr std::uint32_t kConnectMessage = 0x0401;
constexpr std::uint32_t kDataMessage = 0x0402;
constexpr std::uint16_t kFillCode = 33;

class ActionTargetsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.path() / "uploads");
        ASSERT_EQ(kq_startserverex(registry.target(), kConnectMessage, kDataMessage, "127.0.0.1", 0), 1)
            << kq_lastfailure();
        for (auto &terminal : terminals) {
            terminal = std::make_unique<sim::SimTerminal>();
            ASSERT_TRUE(terminal->connectAndIdentify("127.0.0.1", kq_getserverport()));
            // One at a time, so that terminal k is number k.
            ASSERT_TRUE(waitForCount(static_cast<std::size_t>(&terminal - terminals.data()) + 1));
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

    test::TempDir dir;
    EventHub events;
    TerminalRegistry registry{events};
    UploadStore uploads{dir.path() / "uploads", 1 << 20};
    FileTransfers transfers{events};
    ActionRunner actions{registry, uploads, transfers, events, {}};
    std::array<std::unique_ptr<sim::SimTerminal>, 3> terminals;
};

TEST_F(ActionTargetsTest, ARecordReachesItsTerminalAfterTheNumbersMoved) {
    const auto listed = registry.list();
    ASSERT_EQ(listed.size(), 3u);
    const std::shared_ptr<TerminalRecord> first = listed[0].record, third = listed[2].record;
    ASSERT_EQ(registry.numberOf(*third), 3);

    terminals[0]->close();
    ASSERT_TRUE(waitForCount(2));
    ASSERT_EQ(registry.numberOf(*third), 2) << "the numbers close up";

    const nlohmann::json answer = actions.run({{"action", "fill"}, {"index", 5}}, {third, first});
    ASSERT_EQ(answer["results"].size(), 2u);
    EXPECT_EQ(answer["results"][0]["terminal"], 2);
    EXPECT_EQ(answer["results"][0]["status"], "sent");
    EXPECT_EQ(answer["results"][1]["status"], "no terminal") << answer.dump();
    EXPECT_EQ(answer["results"][1]["result"], 0);

    // The chosen terminal got the fill, the one now numbered as it was chosen did not.
    const auto frame = terminals[2]->waitForFrame(kFillCode, test::kEventWaitMs);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, sim::le16(5));
    // A live signal after it: once it is there, a fill sent before it would be too.
    const std::size_t livesBefore = terminals[1]->framesWithCode(17).size();
    const nlohmann::json ping = actions.run({{"action", "live"}}, {listed[1].record});
    ASSERT_EQ(ping["results"][0]["status"], "sent");
    ASSERT_TRUE(terminals[1]->waitForFrame(17, test::kEventWaitMs, livesBefore + 1));
    EXPECT_TRUE(terminals[1]->framesWithCode(kFillCode).empty());
}

TEST_F(ActionTargetsTest, ATerminalLeavingDuringAnActionMovesTheOthersAnswersNowhereElse) {
    // Terminals 2 and 3 answer the brightness question, each with its own value;
    // terminal 1 is asked too, then leaves while the action waits for its answer.
    sim::Device second(*terminals[1]), third(*terminals[2]);
    second.setBrightness(20);
    third.setBrightness(30);
    constexpr std::uint16_t kAskBrightness = 182;

    auto asking = std::async(std::launch::async, [&] {
        return actions.run({{"action", "brightness"}, {"targets", "all"}});
    });
    ASSERT_TRUE(terminals[0]->waitForFrame(kAskBrightness, test::kEventWaitMs));
    ASSERT_TRUE(terminals[2]->waitForFrame(kAskBrightness, test::kEventWaitMs));
    terminals[0]->close();
    ASSERT_TRUE(waitForCount(2));
    const nlohmann::json answer = asking.get();

    ASSERT_EQ(answer["results"].size(), 3u) << answer.dump();
    EXPECT_EQ(answer["results"][0]["value"], nullptr) << "terminal 1 left without answering";
    EXPECT_EQ(answer["results"][1]["value"], 20) << "read from terminal 2, now number 1";
    EXPECT_EQ(answer["results"][2]["value"], 30) << "read from terminal 3, now number 2";
}

}  // namespace
}  // namespace ks318::web
