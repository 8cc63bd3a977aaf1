// The retained terminal states: their JSON (with the library's terminal id), when
// they go out, and the correction of states an earlier run left.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "tools/bridge/terminal_states.h"

namespace ks318::bridge {
namespace {

class TerminalStatesTest : public ::testing::Test {
protected:
    std::shared_ptr<web::TerminalRecord> terminal(int number, const std::string &uid, std::uint16_t model = 320) {
        auto record = std::make_shared<web::TerminalRecord>(KQ_FIRST_TERMINAL_ID + number, model, 32);
        record->address = "127.0.0.1";
        record->connectedSince = 1700000000000 + number;
        record->uid = uid;
        record->uidText = "SIM " + std::to_string(number);
        numbers[record->id] = number;
        return record;
    }
    nlohmann::json lastOn(const std::string &topic) const {
        for (auto it = published.rbegin(); it != published.rend(); ++it)
            if (it->first == topic) return nlohmann::json::parse(it->second);
        return nullptr;
    }

    fleet::SiteTopics topics{"lab"};
    std::map<std::int32_t, int> numbers;  // the library's, by terminal id
    std::vector<std::pair<std::string, std::string>> published;
    TerminalStates states{topics,
                          [this](std::int32_t terminalId) {
                              auto found = numbers.find(terminalId);
                              return found == numbers.end() ? 0 : found->second;
                          },
                          [this](const std::string &topic, const std::string &payload) {
                              published.emplace_back(topic, payload);
                          }};
};

TEST_F(TerminalStatesTest, AnIdentifiedTerminalIsPublishedConnectedWithEveryField) {
    auto one = terminal(1, "00:1A:2B:3C:4D:5E");
    states.identified(one, "00:1A:2B:3C:4D:5E");
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].first, "ks318/lab/terminals/00:1A:2B:3C:4D:5E");
    EXPECT_EQ(nlohmann::json::parse(published[0].second),
              nlohmann::json::parse(R"({"site":"lab","id":"00:1A:2B:3C:4D:5E","terminal_id":65537,"number":1,"model":320,"version":32,
                 "uid":"00:1A:2B:3C:4D:5E","text":"SIM 1","address":"127.0.0.1","connected_since":1700000000001,
                 "connected":true})"));
    ASSERT_EQ(states.withId("00:1A:2B:3C:4D:5E").size(), 1u);
    EXPECT_EQ(states.withId("00:1A:2B:3C:4D:5E")[0].record, one);
}

TEST_F(TerminalStatesTest, ALeavingTerminalIsPublishedGoneAndNoOtherStateMoves) {
    auto one = terminal(1, "A1");
    auto two = terminal(2, "A2");
    auto three = terminal(3, "A3");
    states.identified(one, "A1");
    states.identified(two, "A2");
    states.identified(three, "A3");
    published.clear();

    numbers.erase(one->id);  // the library closes up its numbers
    numbers[two->id] = 1;
    numbers[three->id] = 2;
    states.departed(one, "A1");
    // Only the one that left: the others' states name them by terminal_id, which did not move.
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(lastOn("ks318/lab/terminals/A1")["connected"], false);
    EXPECT_EQ(lastOn("ks318/lab/terminals/A1")["number"], 0);
    EXPECT_EQ(lastOn("ks318/lab/terminals/A1")["terminal_id"], one->id);
    EXPECT_TRUE(states.withId("A1").empty());
    ASSERT_EQ(states.withId("A3").size(), 1u);
    EXPECT_EQ(states.withId("A3")[0].record, three);
    EXPECT_EQ(states.known().size(), 2u);
}

TEST_F(TerminalStatesTest, ATerminalGoneTooIsNotRepublishedAsConnected) {
    auto one = terminal(1, "A1");
    auto two = terminal(2, "A2");
    states.identified(one, "A1");
    states.identified(two, "A2");
    published.clear();
    numbers.clear();  // both left at once
    states.departed(one, "A1");
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].first, "ks318/lab/terminals/A1");
}

TEST_F(TerminalStatesTest, OneThatLeftBeforeItsIdWasPublishedIsOnlyToldAsGone) {
    auto one = terminal(1, "");
    numbers.clear();
    states.identified(one, "127.0.0.1");
    EXPECT_TRUE(published.empty());
    states.departed(one, "127.0.0.1");
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(lastOn("ks318/lab/terminals/127.0.0.1")["connected"], false);
}

TEST_F(TerminalStatesTest, TwoTerminalsOfOneIdLeaveItConnectedUntilBothAreGone) {
    auto one = terminal(1, "");
    auto two = terminal(2, "");
    states.identified(one, "127.0.0.1");
    states.identified(two, "127.0.0.1");
    EXPECT_EQ(states.withId("127.0.0.1").size(), 2u);
    numbers.erase(one->id);
    numbers[two->id] = 1;
    states.departed(one, "127.0.0.1");
    EXPECT_EQ(lastOn("ks318/lab/terminals/127.0.0.1")["connected"], true);
    EXPECT_EQ(lastOn("ks318/lab/terminals/127.0.0.1")["terminal_id"], two->id);
    numbers.clear();
    states.departed(two, "127.0.0.1");
    EXPECT_EQ(lastOn("ks318/lab/terminals/127.0.0.1")["connected"], false);
}

TEST_F(TerminalStatesTest, RetainedStatesOfTerminalsNotHereAreCorrected) {
    auto one = terminal(1, "A1");
    states.identified(one, "A1");
    published.clear();

    const std::string stale = R"({"site":"lab","id":"OLD","number":4,"model":318,"connected":true,"text":"kept"})";
    states.retainedSeen("OLD", stale);
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].first, "ks318/lab/terminals/OLD");
    nlohmann::json corrected = nlohmann::json::parse(stale);
    corrected["connected"] = false;
    corrected["number"] = 0;
    EXPECT_EQ(nlohmann::json::parse(published[0].second), corrected);

    states.retainedSeen("A1", R"({"connected":true})");   // here now
    states.retainedSeen("GONE", R"({"connected":false})");  // already right
    states.retainedSeen("ODD", "not json");
    states.retainedSeen("ODD", "[true]");
    states.retainedSeen("ODD", R"({"connected":"yes"})");
    EXPECT_EQ(published.size(), 1u);
}

}  // namespace
}  // namespace ks318::bridge
