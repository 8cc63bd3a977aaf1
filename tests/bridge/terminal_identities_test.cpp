// Ids and the order of a terminal's events: held until the id is known, then
// sent in the order the terminal sent them.
#include <gtest/gtest.h>

#include <memory>

#include "tools/bridge/terminal_identities.h"

namespace ks318::bridge {
namespace {

using Step = TerminalIdentities::Step;
using Clock = TerminalIdentities::Clock;

class TerminalIdentitiesTest : public ::testing::Test {
protected:
    std::int32_t nextTerminalId = KQ_FIRST_TERMINAL_ID;
    std::shared_ptr<web::TerminalRecord> terminal(const std::string &address) {
        auto record = std::make_shared<web::TerminalRecord>(nextTerminalId++, 320, 32);
        record->address = address;
        return record;
    }
    void feed(const std::shared_ptr<web::TerminalRecord> &record, const std::string &kind, nlohmann::json body,
              Clock::time_point at) {
        web::Event event;
        event.seq = ++hubSeq;
        event.kind = kind;
        body["kind"] = kind;
        body["seq"] = event.seq;
        event.body = body;
        identities.accept(event, record, at, steps);
    }
    // What the steps say, one word each: "id:<id>", "<kind>@<id>", "gone:<id>".
    std::vector<std::string> said() {
        std::vector<std::string> words;
        for (const Step &step : steps) {
            if (step.kind == Step::Kind::Identified) words.push_back("id:" + step.id);
            else if (step.kind == Step::Kind::Departed) words.push_back("gone:" + step.id);
            else {
                EXPECT_EQ(step.event["kind"], step.eventKind);
                words.push_back(step.eventKind + "@" + step.id);
            }
        }
        steps.clear();
        return words;
    }

    TerminalIdentities identities;
    std::vector<Step> steps;
    std::uint64_t hubSeq = 0;
    const Clock::time_point start = Clock::now();
};

TEST_F(TerminalIdentitiesTest, EventsWaitForTheIdentifierThenGoInOrder) {
    auto one = terminal("10.0.0.5");
    feed(one, "connect", {{"address", "10.0.0.5"}}, start);
    feed(one, "key", {{"key", 65}}, start);
    EXPECT_TRUE(steps.empty());
    EXPECT_EQ(identities.waitingEvents(), 2u);
    EXPECT_EQ(identities.nextDeadline(), start + TerminalIdentities::kIdentifyWait);

    feed(one, "identified", {{"uid", "00:1A:2B:3C:4D:5E"}, {"text", "T"}}, start);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[2].event["key"], 65);  // held with its body
    EXPECT_EQ(steps[2].record, one);
    EXPECT_EQ(said(), (std::vector<std::string>{"id:00:1A:2B:3C:4D:5E", "connect@00:1A:2B:3C:4D:5E",
                                                "key@00:1A:2B:3C:4D:5E"}));
    feed(one, "card", {}, start);
    feed(one, "disconnect", {}, start);
    EXPECT_EQ(said(), (std::vector<std::string>{"card@00:1A:2B:3C:4D:5E", "disconnect@00:1A:2B:3C:4D:5E",
                                                "gone:00:1A:2B:3C:4D:5E"}));
    EXPECT_FALSE(identities.nextDeadline());
}

TEST_F(TerminalIdentitiesTest, WithoutAnIdentifierTheAddressAndLibraryIdAfterTheWait) {
    auto one = terminal("10.0.0.5");
    feed(one, "connect", {}, start);
    identities.expire(start + TerminalIdentities::kIdentifyWait - std::chrono::milliseconds(1), steps);
    EXPECT_TRUE(said().empty());
    identities.expire(start + TerminalIdentities::kIdentifyWait, steps);
    EXPECT_EQ(said(), (std::vector<std::string>{"id:10.0.0.5~65536", "connect@10.0.0.5~65536"}));
    // An identification after that keeps the id (its events already went out under it).
    feed(one, "identified", {{"uid", "00:1A:2B:3C:4D:5E"}}, start);
    feed(one, "key", {}, start);
    EXPECT_EQ(said(), (std::vector<std::string>{"id:10.0.0.5~65536", "key@10.0.0.5~65536"}));
}

TEST_F(TerminalIdentitiesTest, AnAllZeroOrUnusableIdentifierMeansTheAddressWithTheLibraryId) {
    EXPECT_EQ(terminalId("00:00:00:00:00:00", "10.0.0.5", 65540), "10.0.0.5~65540");
    EXPECT_EQ(terminalId("", "10.0.0.5", 65540), "10.0.0.5~65540");
    EXPECT_EQ(terminalId("00:1A/2B", "10.0.0.5", 65540), "10.0.0.5~65540");
    // An identifier text the dashboard would not take as a topic level goes by the address too.
    EXPECT_EQ(terminalId("shop 12", "10.0.0.5", 65540), "10.0.0.5~65540");
    EXPECT_EQ(terminalId("caf\xc3\xa9", "10.0.0.5", 65540), "10.0.0.5~65540");
    EXPECT_EQ(terminalId(std::string(65, 'A'), "10.0.0.5", 65540), "10.0.0.5~65540");
    EXPECT_EQ(terminalId(std::string(64, 'A'), "10.0.0.5", 65540), std::string(64, 'A'));
    EXPECT_EQ(terminalId("00:00:00:00:00:01", "10.0.0.5", 65540), "00:00:00:00:00:01");

    auto one = terminal("10.0.0.9");
    feed(one, "connect", {}, start);
    feed(one, "identified", {{"uid", "00:00:00:00:00:00"}}, start);
    EXPECT_EQ(said(), (std::vector<std::string>{"id:10.0.0.9~65536", "connect@10.0.0.9~65536"}));
}

TEST_F(TerminalIdentitiesTest, LeavingBeforeAnIdentifierSendsEverythingUnderTheAddress) {
    auto one = terminal("10.0.0.5");
    feed(one, "connect", {}, start);
    feed(one, "key", {}, start);
    feed(one, "disconnect", {}, start);
    EXPECT_EQ(said(), (std::vector<std::string>{"id:10.0.0.5~65536", "connect@10.0.0.5~65536", "key@10.0.0.5~65536",
                                                "disconnect@10.0.0.5~65536", "gone:10.0.0.5~65536"}));
    EXPECT_EQ(identities.waitingEvents(), 0u);
}

TEST_F(TerminalIdentitiesTest, OneTerminalWaitingNeverHoldsAnother) {
    auto slow = terminal("10.0.0.1");
    auto quick = terminal("10.0.0.2");
    feed(slow, "connect", {}, start);
    feed(quick, "connect", {}, start);
    feed(quick, "identified", {{"uid", "00:00:00:00:00:02"}}, start);
    feed(quick, "key", {}, start);
    feed(slow, "key", {}, start);
    EXPECT_EQ(said(), (std::vector<std::string>{"id:00:00:00:00:00:02", "connect@00:00:00:00:00:02",
                                                "key@00:00:00:00:00:02"}));
    identities.resolveAll(steps);  // the program stops
    EXPECT_EQ(said(), (std::vector<std::string>{"id:10.0.0.1~65536", "connect@10.0.0.1~65536", "key@10.0.0.1~65536"}));
}

TEST_F(TerminalIdentitiesTest, OnlyTheTerminalsOwnEventKindsGoOut) {
    auto one = terminal("10.0.0.5");
    feed(one, "identified", {{"uid", "00:00:00:00:00:05"}}, start);
    said();
    for (const char *kind : {"screen", "action", "something"}) feed(one, kind, {}, start);
    web::Event orphan;
    orphan.kind = "key";
    identities.accept(orphan, nullptr, start, steps);  // no record: not a terminal's
    EXPECT_TRUE(said().empty());
    for (const char *kind : {"connect", "disconnect", "key", "card", "serial", "answer", "file"})
        EXPECT_TRUE(forwardedKind(kind)) << kind;
}

// Two connected terminals claiming one identifier: each gets an id of its own,
// and the claim is reported.
TEST_F(TerminalIdentitiesTest, TerminalsSharingAnIdentifierGetIdsOfTheirOwn) {
    auto first = terminal("10.0.0.1");
    auto second = terminal("10.0.0.2");
    feed(first, "identified", {{"uid", "00:1A:2B:3C:4D:5E"}}, start);
    feed(second, "identified", {{"uid", "00:1A:2B:3C:4D:5E"}}, start);
    ASSERT_EQ(steps.size(), 3u);
    ASSERT_EQ(steps[1].kind, Step::Kind::Duplicate);
    EXPECT_EQ(steps[1].event, nlohmann::json::parse(R"({"uid":"00:1A:2B:3C:4D:5E","id":"00:1A:2B:3C:4D:5E~65537",
        "terminal_id":65537,"address":"10.0.0.2","holder":{"id":"00:1A:2B:3C:4D:5E","terminal_id":65536,"address":"10.0.0.1"}})"));
    steps.erase(steps.begin() + 1);
    EXPECT_EQ(said(), (std::vector<std::string>{"id:00:1A:2B:3C:4D:5E", "id:00:1A:2B:3C:4D:5E~65537"}));
    // Once the holder has left, the next to claim it has it.
    feed(first, "disconnect", {}, start);
    said();
    auto third = terminal("10.0.0.3");
    feed(third, "identified", {{"uid", "00:1A:2B:3C:4D:5E"}}, start);
    EXPECT_EQ(said(), (std::vector<std::string>{"id:00:1A:2B:3C:4D:5E"}));
    EXPECT_EQ(distinctId(std::string(64, 'A'), 65536), std::string(58, 'A') + "~65536");
}

}  // namespace
}  // namespace ks318::bridge
