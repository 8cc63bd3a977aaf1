#include "server/frame.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "sim/wire.h"
#include "tests/support/socket_pair.h"

namespace ks318 {
namespace {

using sim::Bytes;
using test::SocketPair;

Bytes receiveAvailable(port::SocketHandle socket, std::size_t count) {
    Bytes bytes(count);
    EXPECT_EQ(receiveFully(socket, bytes.data(), static_cast<int>(count), 2000), static_cast<int>(count));
    return bytes;
}

bool nothingMore(port::SocketHandle socket) { return port::waitReadable(socket, 50) == 0; }

TEST(SendFrame, EmptyPayloadIsSevenBytes) {
    SocketPair pair;
    EXPECT_EQ(sendFrame(pair.server, nullptr, 0, 0x13, 0), 7);
    EXPECT_EQ(receiveAvailable(pair.client, 7), (Bytes{0x02, 0x13, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(nothingMore(pair.client));
}

TEST(SendFrame, SmallPayloadFollowsItsHeader) {
    SocketPair pair;
    const std::uint8_t one[4] = {1, 0, 0, 0};
    EXPECT_EQ(sendFrame(pair.server, one, 4, 21, 4), 11);
    EXPECT_EQ(receiveAvailable(pair.client, 11), (Bytes{0x02, 0x15, 0x00, 0x04, 0, 0, 0, 0x01, 0, 0, 0}));
}

TEST(SendFrame, HeaderMayAnnounceMoreThanTheFirstPart) {
    SocketPair pair;
    std::vector<std::uint8_t> palette(768, 0xAB);
    EXPECT_EQ(sendFrame(pair.server, palette.data(), 768, 37, 131328), 775);
    Bytes sent = receiveAvailable(pair.client, 775);
    EXPECT_EQ(Bytes(sent.begin() + 3, sent.begin() + 7), (Bytes{0x00, 0x01, 0x02, 0x00}));
    EXPECT_EQ(sent[7], 0xAB);
    EXPECT_TRUE(nothingMore(pair.client));
}

TEST(SendFrame, CodeTravelsLowByteFirst) {
    SocketPair pair;
    EXPECT_EQ(sendFrame(pair.server, nullptr, 0, 0x1234, 0), 7);
    Bytes sent = receiveAvailable(pair.client, 7);
    EXPECT_EQ(sent[1], 0x34);
    EXPECT_EQ(sent[2], 0x12);
}

TEST(SendFrame, LargeFirstPartGoesOutWhole) {
    SocketPair pair;
    std::vector<std::uint8_t> payload(5000);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    std::thread reader([&] {
        Bytes got = receiveAvailable(pair.client, 5007);
        EXPECT_EQ(Bytes(got.begin() + 7, got.end()), Bytes(payload.begin(), payload.end()));
    });
    EXPECT_EQ(sendFrame(pair.server, payload.data(), 5000, 99, 5000), 5007);
    reader.join();
}

TEST(SendAll, SendsNothingForNoBytesAndFailsOnADeadPeer) {
    SocketPair pair;
    EXPECT_EQ(sendAll(pair.server, "x", 0), 0);
    EXPECT_EQ(sendAll(pair.server, "x", -5), 0);
    port::closeSocket(pair.client);
    pair.client = port::kNoSocket;
    std::vector<std::uint8_t> block(64 * 1024);
    // A peer that is gone makes a send fail (never a signal that kills the host).
    int result = 0;
    for (int i = 0; i < 200 && result >= 0; ++i) result = sendAll(pair.server, block.data(), static_cast<int>(block.size()));
    EXPECT_EQ(result, -1);
}

TEST(ReceiveHeader, ReadsCodeAndLength) {
    SocketPair pair;
    Bytes header = sim::encodeFrame(0x1234, 0x01020304);
    port::sendSome(pair.client, header.data(), 7);
    std::int32_t length = 0;
    EXPECT_EQ(receiveHeader(pair.server, length, 1000), 0x1234);
    EXPECT_EQ(length, 0x01020304);
}

TEST(ReceiveHeader, BadStartByteIsIgnoredAndConsumesSevenBytes) {
    SocketPair pair;
    Bytes stream = {0x03, 0x14, 0x00, 0x04, 0x00, 0x00, 0x00};
    Bytes next = sim::encodeFrame(83, 9);
    stream.insert(stream.end(), next.begin(), next.end());
    port::sendSome(pair.client, stream.data(), static_cast<int>(stream.size()));
    std::int32_t length = -7;
    EXPECT_EQ(receiveHeader(pair.server, length, 1000), kReceiveIgnored);
    EXPECT_EQ(length, -7) << "the length is not written for an ignored header";
    EXPECT_EQ(receiveHeader(pair.server, length, 1000), 83);
    EXPECT_EQ(length, 9);
}

TEST(ReceiveHeader, CodeZeroIsIgnored) {
    SocketPair pair;
    Bytes header = sim::encodeFrame(0, 4);
    port::sendSome(pair.client, header.data(), 7);
    std::int32_t length = 0;
    EXPECT_EQ(receiveHeader(pair.server, length, 1000), kReceiveIgnored);
}

TEST(ReceiveHeader, SilenceAndClosedPeerAreTold) {
    SocketPair pair;
    std::int32_t length = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receiveHeader(pair.server, length, 150), kReceiveSilent);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
    port::shutdownSocket(pair.client);
    EXPECT_EQ(receiveHeader(pair.server, length, 1000), kReceiveGone);
}

TEST(ReceiveHeader, CompletesAHeaderThatArrivesInPieces) {
    SocketPair pair;
    Bytes header = sim::encodeFrame(171, 4);
    std::thread writer([&] {
        for (std::uint8_t byte : header) {
            port::sendSome(pair.client, &byte, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::int32_t length = 0;
    EXPECT_EQ(receiveHeader(pair.server, length, 1000), 171);
    EXPECT_EQ(length, 4);
    writer.join();
}

TEST(ReceiveHeader, AHeaderThatNeverCompletesCountsAsSilence) {
    SocketPair pair;
    Bytes part = {0x02, 0x14};
    port::sendSome(pair.client, part.data(), 2);
    std::int32_t length = 0;
    EXPECT_EQ(receiveHeader(pair.server, length, 150), kReceiveSilent);
}

TEST(ReceiveFully, StopsAtTheLimitWithWhatArrived) {
    SocketPair pair;
    Bytes part(100, 0x55);
    port::sendSome(pair.client, part.data(), 100);
    std::uint8_t buffer[222];
    EXPECT_EQ(receiveFully(pair.server, buffer, 222, 150), 100);
}

TEST(DiscardBytes, ConsumesExactlyTheCount) {
    SocketPair pair;
    Bytes stream(10000, 0xEE);
    Bytes next = sim::encodeFrame(150, 0);
    stream.insert(stream.end(), next.begin(), next.end());
    std::thread writer([&] { port::sendSome(pair.client, stream.data(), static_cast<int>(stream.size())); });
    EXPECT_TRUE(discardBytes(pair.server, 10000, 1000));
    std::int32_t length = -1;
    EXPECT_EQ(receiveHeader(pair.server, length, 1000), 150);
    EXPECT_EQ(length, 0);
    writer.join();
}

}  // namespace
}  // namespace ks318
