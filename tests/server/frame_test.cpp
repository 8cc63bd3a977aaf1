#include "server/frame.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "sim/wire.h"
#include "tests/support/socket_pair.h"
#include "tests/support/waits.h"

namespace ks318 {
namespace {

using sim::Bytes;
using test::SocketPair;

Bytes receiveAvailable(port::SocketHandle socket, std::size_t count) {
    Bytes bytes(count);
    EXPECT_EQ(test::readExactly(socket, bytes.data(), static_cast<int>(count), test::kEventWaitMs), static_cast<int>(count));
    return bytes;
}

// A short look: a byte sent before would be there at once.
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

TEST(SendAllPieces, PiecesArriveInOrderAcrossPartialSends) {
    SocketPair pair;
    // Far more than the socket takes in one call, so sends stop inside pieces;
    // empty pieces and more pieces than one call gathers are passed over.
    Bytes data(6 * 1024 * 1024);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + i / 997);
    std::vector<port::SendPiece> pieces;
    for (std::size_t at = 0, size = 1; at < data.size(); at += size, size = size * 3 % 4099 + 1) {
        size = std::min(size, data.size() - at);
        pieces.push_back({data.data() + at, static_cast<int>(size)});
        if (pieces.size() % 7 == 0) pieces.push_back({data.data(), 0});
    }
    ASSERT_GT(pieces.size(), static_cast<std::size_t>(port::kMaxSendPieces));
    Bytes got(data.size());
    std::thread reader([&] {
        EXPECT_EQ(test::readExactly(pair.client, got.data(), static_cast<int>(got.size()), test::kEventWaitMs), static_cast<int>(got.size()));
    });
    EXPECT_EQ(sendAllPieces(pair.server, pieces), static_cast<int>(data.size()));
    reader.join();
    EXPECT_TRUE(got == data);
    EXPECT_TRUE(nothingMore(pair.client));
}

TEST(SendAllPieces, FailsOnADeadPeer) {
    SocketPair pair;
    port::closeSocket(pair.client);  // a peer that is gone (shut down is not gone everywhere)
    pair.client = port::kNoSocket;
    std::vector<std::uint8_t> block(64 * 1024);
    int result = 0;
    for (int i = 0; i < 200 && result >= 0; ++i) {
        port::SendPiece pieces[] = {{block.data(), 1000}, {block.data(), static_cast<int>(block.size())}};
        result = sendAllPieces(pair.server, pieces);
    }
    EXPECT_EQ(result, -1);
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

}  // namespace
}  // namespace ks318
