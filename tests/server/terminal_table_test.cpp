#include "server/terminal_table.h"

#include <gtest/gtest.h>

#include <vector>

namespace ks318 {
namespace {

// Records need real, distinct handles: the table finds terminals by them.
TerminalRef makeTerminal() {
    return std::make_shared<TTerminal>(port::listenTcp("127.0.0.1", 0, 1), 0x0100007F);
}

TEST(TerminalTable, NumbersFollowArrivalAndCloseUp) {
    TerminalTable table;
    TerminalRef a = makeTerminal(), b = makeTerminal(), c = makeTerminal();
    EXPECT_EQ(table.add(a), 1);
    EXPECT_EQ(table.add(b), 2);
    EXPECT_EQ(table.add(c), 3);
    EXPECT_EQ(table.get(2), b);
    EXPECT_TRUE(table.removeByHandle(b->socket()));
    EXPECT_EQ(table.get(2), c);
    EXPECT_EQ(table.get(3), nullptr);
    EXPECT_EQ(table.count(), 2);
}

TEST(TerminalTable, NumbersBelowOneAndPastTheEndNameNoTerminal) {
    TerminalTable table;
    table.add(makeTerminal());
    EXPECT_EQ(table.get(0), nullptr);
    EXPECT_EQ(table.get(-1), nullptr);
    EXPECT_EQ(table.get(2), nullptr);
    EXPECT_FALSE(table.removeByNumber(0));
    EXPECT_FALSE(table.removeByNumber(2));
    EXPECT_FALSE(table.removeByHandle(0));
    EXPECT_FALSE(table.removeByHandle(-1));
    EXPECT_EQ(table.findByHandle(0), nullptr);
}

TEST(TerminalTable, RemovingTheLastOrOnlyTerminalKeepsTheChainRight) {
    TerminalTable table;
    TerminalRef a = makeTerminal(), b = makeTerminal(), c = makeTerminal();
    table.add(a);
    table.add(b);
    EXPECT_TRUE(table.removeByNumber(2));
    EXPECT_EQ(table.add(c), 2) << "the next terminal follows the new last one";
    EXPECT_EQ(table.get(2), c);
    table.clear();
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.add(a), 1);
    EXPECT_TRUE(table.remove(a.get()));
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.add(b), 1);
}

TEST(TerminalTable, RefusesThe1025thTerminal) {
    TerminalTable table;
    TerminalRef shared = std::make_shared<TTerminal>(port::kNoSocket, 0);
    for (int i = 1; i <= 1024; ++i) ASSERT_EQ(table.add(shared), i);
    EXPECT_EQ(table.add(shared), 0);
    EXPECT_EQ(table.count(), 1024);
}

TEST(TerminalTable, FindsByHandle) {
    TerminalTable table;
    TerminalRef a = makeTerminal(), b = makeTerminal();
    table.add(a);
    table.add(b);
    EXPECT_EQ(table.findByHandle(b->socket()), b);
    EXPECT_EQ(table.findByHandle(12345678), nullptr);
    EXPECT_TRUE(table.contains(a.get()));
}

TEST(TerminalTable, ARemovedRecordStaysValidForItsHolders) {
    TerminalTable table;
    TerminalRef a = makeTerminal();
    table.add(a);
    std::weak_ptr<TTerminal> watch = a;
    TerminalRef held = table.get(1);
    a.reset();
    EXPECT_TRUE(table.removeByNumber(1));
    ASSERT_FALSE(watch.expired()) << "a holder keeps the record";
    EXPECT_STREQ(held->ip(), "127.0.0.1");
    held.reset();
    EXPECT_TRUE(watch.expired());
}

TEST(TerminalTable, RemoveIfDropsEveryMatchInOneWalk) {
    TerminalTable table;
    std::vector<TerminalRef> terminals;
    for (int i = 0; i < 5; ++i) {
        terminals.push_back(makeTerminal());
        terminals.back()->setIdent(i % 2 == 0 ? 0 : 0x00400120);
        table.add(terminals.back());
    }
    EXPECT_EQ(table.removeIf([](const TTerminal &t) { return t.modelNumber() == 0; }), 3);
    EXPECT_EQ(table.get(1), terminals[1]);
    EXPECT_EQ(table.get(2), terminals[3]);
}

}  // namespace
// At the capacity only a connection that has waited long enough in its handshake
// gives its place, the oldest first; numbered terminals never do.
TEST(TerminalTable, AtTheCapacityOnlyALongHandshakeGivesItsPlace) {
    TerminalTable table(3);
    TerminalRef numbered = makeTerminal(), older = makeTerminal(), younger = makeTerminal(), newcomer = makeTerminal();
    ASSERT_EQ(table.add(numbered), 1);
    ASSERT_TRUE(table.admit(older, 0));
    ASSERT_TRUE(table.admit(younger, 0));
    EXPECT_EQ(table.count(), 1) << "connections in their handshake have no number";
    EXPECT_FALSE(table.admit(makeTerminal(), 60000)) << "nobody has waited a minute";
    EXPECT_TRUE(table.admit(newcomer, 0));
    EXPECT_FALSE(older->listed()) << "the oldest gave its place";
    EXPECT_TRUE(younger->listed());
    EXPECT_EQ(table.promote(older.get()), 0) << "a displaced connection is never numbered";
    EXPECT_EQ(table.promote(younger.get()), 2);
    EXPECT_EQ(table.promote(newcomer.get()), 3);
    EXPECT_FALSE(table.admit(makeTerminal(), 0)) << "numbered terminals are never displaced";
}

}  // namespace ks318
