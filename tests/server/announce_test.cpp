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

TEST(Announce, ConnectComesBeforeTheTerminalsFirstDataAndItsNumberIsCurrent) {
    TestServer server(quietLimits());
    auto first = server.join();
    // A terminal in its handshake holds its place; one that arrives behind it is
    // told with the number it has when the host hears of it.
    port::SocketHandle slow = port::connectTcp("127.0.0.1", server.port());
    ASSERT_TRUE(server.waitForCount(2));
    auto third = server.join();
    ASSERT_TRUE(server.host().waitFor([](const Notification &n) { return n.isData(KQ_NOTIFY_UID); }, kEventWaitMs, 2));
    first->close();
    ASSERT_TRUE(server.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, kEventWaitMs));
    server.host().clear();
    port::closeSocket(slow);
    ASSERT_TRUE(server.waitForCount(1));
    auto fourth = server.join();
    ASSERT_TRUE(server.host().waitFor([](const Notification &n) { return n.isData(KQ_NOTIFY_UID); }, kEventWaitMs));
    const std::vector<Notification> all = server.host().all();
    // The handshake that failed: connect then disconnect; the fourth: connect (as number 2) then its data.
    std::vector<std::string> kinds;
    for (const Notification &n : all) kinds.push_back(n.isConnect() ? "connect " + std::to_string(n.high())
                                                      : n.isDisconnect() ? "disconnect"
                                                      : "data " + std::to_string(n.wParam));
    EXPECT_EQ(kinds, (std::vector<std::string>{"connect 1", "disconnect", "connect 2", "data 28"}));
}

TEST(Announce, AListingLeavesATerminalInItsHandshakeAlone) {
    TestServer server(quietLimits());
    auto first = server.join();
    port::SocketHandle slow = port::connectTcp("127.0.0.1", server.port());
    ASSERT_TRUE(server.waitForCount(2));
    std::uint8_t greeting[7];
    ASSERT_EQ(test::readExactly(slow, greeting, 7, kEventWaitMs), 7);

    std::vector<std::uint8_t> list(kTerminalListBytes, 0xCC);
    fillTerminalList(server.server().terminals(), list.data());
    EXPECT_EQ(int32At(list, 34816), 1);
    EXPECT_EQ(int32At(list, 43008), 320);
    EXPECT_EQ(int32At(list, 34816 + 4), 0) << "not listed while it identifies";
    EXPECT_EQ(int32At(list, 38912 + 4), 0);
    EXPECT_EQ(int32At(list, 43008 + 4), 0);
    EXPECT_EQ(list[34], 0);
    EXPECT_EQ(int32At(list, 47104), 2) << "but still counted";
    EXPECT_EQ(server.server().terminals().count(), 2) << "and not removed";

    const Bytes identify = encodeFrame(20, {32, 0x01, 0x3E, 0});
    ASSERT_EQ(port::sendSome(slow, identify.data(), static_cast<int>(identify.size())), 11);
    ASSERT_TRUE(server.host().waitFor([](const Notification &n) { return n.isConnect() && n.high() == 2; }, kEventWaitMs));
    fillTerminalList(server.server().terminals(), list.data());
    EXPECT_EQ(int32At(list, 34816 + 4), 2);
    EXPECT_EQ(int32At(list, 43008 + 4), 318);
    port::closeSocket(slow);
}

}  // namespace
}  // namespace ks318
