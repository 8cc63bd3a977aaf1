// When the host hears of a terminal: after the terminal's handshake, so that
// what the host sends on connect follows the greeting, listings made then find
// the terminal identified, and a stop made from the handler is the last word.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "ks318.h"
#include "server/listings.h"
#include "server/outbound.h"
#include "tests/support/host_recorder.h"
#include "tests/support/record_fields.h"
#include "tests/support/socket_pair.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::encodeFrame;
using test::Notification;
using test::TestServer;
using test::int32At;
using test::kEventWaitMs;

// No probe, and all the time a terminal needs to identify itself.
ServerLimits quietLimits() { return test::steadyLimits(); }

TEST(Announce, WhatTheHostSendsOnConnectFollowsTheGreetingAndTheTerminalIsListed) {
    TestServer server(quietLimits());
    std::atomic<int> modelAtConnect{-1};
    std::atomic<int> listedAtConnect{-1};
    server.host().onPosted([&](const Notification &n) {
        if (!n.isConnect()) return;
        TerminalRef record = server.server().terminals().get(static_cast<int>(n.high()));
        if (!record) return;
        modelAtConnect = record->modelNumber();
        std::vector<std::uint8_t> list(kTerminalListBytes);
        fillTerminalList(server.server().terminals(), list.data());
        listedAtConnect = int32At(list, 34816 + 4 * (static_cast<std::size_t>(n.high()) - 1));
        sendGatedFrame(*record, kEventWaitMs, 17, nullptr, 0);
    });
    auto terminal = server.join();
    ASSERT_TRUE(terminal->waitForFrameCount(4, kEventWaitMs));
    const std::vector<sim::Frame> frames = terminal->frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].code, 19) << "the greeting is the first frame the terminal gets";
    EXPECT_EQ(frames[1].code, 21);
    EXPECT_EQ(frames[2].code, 27);
    EXPECT_EQ(frames[3].code, 17) << "the host's frame from its connect handler";
    EXPECT_EQ(modelAtConnect.load(), 320);
    EXPECT_EQ(listedAtConnect.load(), 1) << "a listing from the connect handler keeps and lists the terminal";
    EXPECT_FALSE(terminal->disconnected());
    EXPECT_EQ(server.server().terminals().count(), 1);
}

// A connection in its handshake has no number: nothing the host sends can reach
// it, no listing names it, and one that arrives behind it is numbered first.
TEST(Announce, AConnectionInItsHandshakeHasNoNumberAndNoListingNamesIt) {
    TestServer server(quietLimits());
    auto first = server.join();
    port::SocketHandle slow = port::connectTcp("127.0.0.1", server.port());
    std::uint8_t greeting[7];
    ASSERT_EQ(test::readExactly(slow, greeting, 7, kEventWaitMs), 7);
    EXPECT_EQ(greeting[1], 19);
    EXPECT_EQ(server.server().terminals().count(), 1);
    EXPECT_EQ(server.server().terminals().get(2), nullptr);

    std::vector<std::uint8_t> list(kTerminalListBytes, 0xCC);
    fillTerminalList(server.server().terminals(), list.data());
    EXPECT_EQ(int32At(list, 47104), 1) << "neither listed nor counted while it identifies";
    std::vector<std::uint8_t> table(kConnectedTableBytes, 0xCC);
    fillConnectedTable(server.server().terminals(), table.data());
    EXPECT_EQ(int32At(table, 8192), 1);
    EXPECT_EQ(int32At(table, 4), 0);

    auto third = server.join();  // behind the slow one, numbered before it
    ASSERT_TRUE(server.host().waitFor([](const Notification &n) { return n.isConnect() && n.high() == 2; }, kEventWaitMs));
    const Bytes identify = encodeFrame(20, {32, 0x01, 0x3E, 0});
    ASSERT_EQ(port::sendSome(slow, identify.data(), static_cast<int>(identify.size())), 11);
    ASSERT_TRUE(server.host().waitFor([](const Notification &n) { return n.isConnect() && n.high() == 3; }, kEventWaitMs));
    fillTerminalList(server.server().terminals(), list.data());
    EXPECT_EQ(int32At(list, 34816 + 8), 3);
    EXPECT_EQ(int32At(list, 43008 + 8), 318);

    // A handshake that fails is told as connect, then disconnect, as before.
    server.host().clear();
    port::SocketHandle failing = port::connectTcp("127.0.0.1", server.port());
    ASSERT_EQ(test::readExactly(failing, greeting, 7, kEventWaitMs), 7);
    port::closeSocket(failing);
    ASSERT_TRUE(server.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, kEventWaitMs));
    std::vector<std::string> kinds;
    for (const Notification &n : server.host().matching([](const Notification &n) { return n.posted; }))
        kinds.push_back(n.isConnect() ? "connect " + std::to_string(n.high()) : "disconnect");
    EXPECT_EQ(kinds, (std::vector<std::string>{"connect 4", "disconnect"}));
    port::closeSocket(slow);
}

// A host that sends to every number it can find while terminals keep arriving:
// every terminal gets 19, then 21 and 27, before anything of the host's.
TEST(Announce, NoHostFrameReachesATerminalBeforeItsGreeting) {
    TestServer server(quietLimits());
    std::atomic<bool> sending{true};
    std::atomic<int> sent{0};
    std::thread host([&] {
        while (sending.load()) {
            for (int number = 1; number <= 4; ++number) {
                if (TerminalRef record = server.server().terminals().get(number)) {
                    if (sendGatedFrame(*record, 1000, 17, nullptr, 0) == 7) sent.fetch_add(1);
                }
            }
        }
    });
    constexpr int kArrivals = 120;
    int checked = 0;
    for (int i = 0; i < kArrivals; ++i) {
        sim::SimTerminal terminal;
        ASSERT_TRUE(terminal.connectAndIdentify("127.0.0.1", server.port()));
        ASSERT_TRUE(terminal.waitForFrameCount(4, kEventWaitMs)) << "the host's sends reach every terminal";
        const std::vector<sim::Frame> frames = terminal.frames();
        ASSERT_EQ(frames[0].code, 19) << "arrival " << i;
        ASSERT_EQ(frames[1].code, 21) << "arrival " << i;
        ASSERT_EQ(frames[2].code, 27) << "arrival " << i;
        ++checked;
        terminal.close();
        ASSERT_TRUE(server.waitForCount(0));
    }
    sending = false;
    host.join();
    EXPECT_EQ(checked, kArrivals);
    EXPECT_GT(sent.load(), kArrivals);
}

// Silent connections cannot keep terminals out: at the capacity, the one that has
// waited longest in its handshake gives its place to a newcomer.
TEST(Announce, AtTheCapacityASilentHandshakeGivesItsPlaceToANewcomer) {
    ServerLimits limits = quietLimits();
    limits.capacity = 3;
    limits.displaceAfterMs = 200;
    TestServer server(limits);
    auto identified = server.join();
    port::SocketHandle silent[2];
    std::uint8_t greeting[7];
    for (port::SocketHandle &socket : silent) {
        socket = port::connectTcp("127.0.0.1", server.port());
        ASSERT_EQ(test::readExactly(socket, greeting, 7, kEventWaitMs), 7);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto late = server.join();  // takes the place of the first silent connection
    EXPECT_EQ(server.server().terminals().count(), 2);
    EXPECT_EQ(test::readExactly(silent[0], greeting, 1, kEventWaitMs), 0) << "the oldest silent one was closed";

    EXPECT_FALSE(identified->disconnected());
    for (port::SocketHandle socket : silent) port::closeSocket(socket);
}

}  // namespace
}  // namespace ks318
