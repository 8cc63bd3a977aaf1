// The connection's read-ahead stream: headers, payloads and skipped bytes come
// out in order whatever pieces the socket delivers them in, across refills of
// the buffer, and every limit of the old one-read-per-field path still holds.
#include "server/inbound_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "server/frame.h"
#include "sim/wire.h"
#include "tests/support/socket_pair.h"
#include "tests/support/waits.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::encodeFrame;
using test::SocketPair;
using test::kEventWaitMs;
using Clock = std::chrono::steady_clock;

constexpr int kCapacity = InboundStream::kCapacity;

void write(port::SocketHandle socket, const Bytes &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int sent = port::sendSome(socket, bytes.data() + done, static_cast<int>(bytes.size() - done));
        ASSERT_GT(sent, 0);
        done += static_cast<std::size_t>(sent);
    }
}

Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + seed);
    return bytes;
}

Bytes join(std::initializer_list<Bytes> parts) { return sim::concat(parts); }

// Writes the pieces with a pause before each but the first, so that every piece
// after the first reaches the stream by a receive of its own.
std::thread writeInPieces(port::SocketHandle socket, std::vector<Bytes> pieces, int pauseMs = 40) {
    return std::thread([socket, pieces = std::move(pieces), pauseMs] {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            write(socket, pieces[i]);
        }
    });
}

TEST(InboundStream, HeadersOfOneReceiveComeOutInOrder) {
    SocketPair pair;
    const Bytes headers = join({encodeFrame(0x1234, 0x01020304), {0x03, 0x14, 0x00, 0x04, 0x00, 0x00, 0x00},
                                encodeFrame(0, 4), encodeFrame(83, 9)});
    write(pair.client, headers);
    ASSERT_TRUE(test::waitReceivable(pair.server, static_cast<int>(headers.size()), kEventWaitMs));
    InboundStream stream(pair.server);
    std::int32_t length = 0;
    EXPECT_EQ(stream.receiveHeader(length, kEventWaitMs), 0x1234);
    EXPECT_EQ(length, 0x01020304);
    EXPECT_EQ(stream.buffered(), 21) << "the headers behind the first were read ahead";
    length = -7;
    EXPECT_EQ(stream.receiveHeader(length, kEventWaitMs), kReceiveIgnored) << "bad start byte: exactly 7 bytes consumed";
    EXPECT_EQ(length, -7) << "the length is not written for an ignored header";
    EXPECT_EQ(stream.receiveHeader(length, kEventWaitMs), kReceiveIgnored) << "code 0";
    EXPECT_EQ(stream.receiveHeader(length, kEventWaitMs), 83);
    EXPECT_EQ(length, 9);
    EXPECT_EQ(stream.buffered(), 0);
}

TEST(InboundStream, SilenceAndAClosedPeerAreTold) {
    SocketPair pair;
    InboundStream stream(pair.server);
    std::int32_t length = 0;
    const auto start = Clock::now();
    EXPECT_EQ(stream.receiveHeader(length, 150), kReceiveSilent);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(140));
    port::shutdownSocket(pair.client);
    EXPECT_EQ(stream.receiveHeader(length, kEventWaitMs), kReceiveGone);
}

TEST(InboundStream, AHeaderInOneBytePiecesIsCompleted) {
    SocketPair pair;
    std::vector<Bytes> pieces;
    for (std::uint8_t byte : encodeFrame(171, 4)) pieces.push_back({byte});
    std::thread writer = writeInPieces(pair.client, pieces, 20);
    InboundStream stream(pair.server);
    std::int32_t length = 0;
    EXPECT_EQ(stream.receiveHeader(length, kEventWaitMs), 171);
    EXPECT_EQ(length, 4);
    writer.join();
}

TEST(InboundStream, AHeaderOrPayloadThatStopsShortBreaksTheStream) {
    SocketPair pair;
    write(pair.client, {0x02, 0x14});
    ASSERT_TRUE(test::waitReceivable(pair.server, 2, kEventWaitMs));
    InboundStream stream(pair.server);
    std::int32_t length = 0;
    EXPECT_EQ(stream.receiveHeader(length, 150), kReceiveGone) << "what follows a cut header is no frame's start";
    EXPECT_TRUE(stream.broken());

    SocketPair second;
    write(second.client, encodeFrame(83, 10, {1, 2, 3}));
    InboundStream payload(second.server);
    ASSERT_EQ(payload.receiveHeader(length, kEventWaitMs), 83);
    std::uint8_t got[10];
    EXPECT_EQ(payload.receiveFully(got, 10, 150), 3);
    EXPECT_TRUE(payload.broken());
}

TEST(InboundStream, AHeaderAcrossTheEndOfTheBufferIsJoined) {
    SocketPair pair;
    // The first frame ends 3 bytes before the buffer does: the next header is cut
    // by the end of the first receive and completed by the second.
    const Bytes filler = pattern(kCapacity - 3 - kHeaderBytes, 1);
    const Bytes payload = pattern(500, 2);
    const Bytes frames = join({encodeFrame(18, filler), encodeFrame(83, payload), encodeFrame(150, 0)});
    write(pair.client, frames);
    ASSERT_TRUE(test::waitReceivable(pair.server, static_cast<int>(frames.size()), kEventWaitMs));
    InboundStream stream(pair.server);
    std::int32_t length = 0;
    ASSERT_EQ(stream.receiveHeader(length, kEventWaitMs), 18);
    ASSERT_EQ(stream.buffered(), kCapacity - kHeaderBytes) << "the first receive filled the buffer";
    EXPECT_TRUE(stream.discard(length, kEventWaitMs));
    EXPECT_EQ(stream.buffered(), 3);
    EXPECT_EQ(stream.receiveHeader(length, kEventWaitMs), 83);
    ASSERT_EQ(length, 500);
    Bytes got(500);
    EXPECT_EQ(stream.receiveFully(got.data(), 500, kEventWaitMs), 500);
    EXPECT_EQ(got, payload);
    EXPECT_EQ(stream.receiveHeader(length, kEventWaitMs), 150);
}

TEST(InboundStream, APayloadLongerThanTheBufferArrivesWhole) {
    SocketPair pair;
    const Bytes payload = pattern(3 * kCapacity + 100, 3);
    std::thread writer = writeInPieces(pair.client, {encodeFrame(26, payload), encodeFrame(53, Bytes{'k'})});
    InboundStream stream(pair.server);
    std::int32_t length = 0;
    ASSERT_EQ(stream.receiveHeader(length, kEventWaitMs), 26);
    Bytes got(payload.size());
    EXPECT_EQ(stream.receiveFully(got.data(), length, kEventWaitMs), length);
    EXPECT_EQ(got, payload);
    EXPECT_EQ(stream.receiveHeader(length, kEventWaitMs), 53);
    writer.join();
}

TEST(InboundStream, AFrameCutByThePeerAnywhereIsJoinedAcrossReceives) {
    SocketPair pair;
    const Bytes first = encodeFrame(69, pattern(388, 4));
    const Bytes second = encodeFrame(83, pattern(66, 5));
    const Bytes stream_ = join({first, second});
    // Cuts inside the first header, inside the first payload, and between the
    // second header and its payload.
    std::thread writer = writeInPieces(pair.client, {Bytes(stream_.begin(), stream_.begin() + 4),
                                                     Bytes(stream_.begin() + 4, stream_.begin() + 200),
                                                     Bytes(stream_.begin() + 200, stream_.begin() + 395 + 7),
                                                     Bytes(stream_.begin() + 395 + 7, stream_.end())});
    InboundStream stream(pair.server);
    std::int32_t length = 0;
    Bytes got(388);
    ASSERT_EQ(stream.receiveHeader(length, kEventWaitMs), 69);
    ASSERT_EQ(stream.receiveFully(got.data(), length, kEventWaitMs), 388);
    EXPECT_EQ(got, Bytes(first.begin() + 7, first.end()));
    ASSERT_EQ(stream.receiveHeader(length, kEventWaitMs), 83);
    got.resize(66);
    ASSERT_EQ(stream.receiveFully(got.data(), length, kEventWaitMs), 66);
    EXPECT_EQ(got, Bytes(second.begin() + 7, second.end()));
    writer.join();
}

TEST(InboundStream, DiscardAcrossRefillsConsumesExactlyTheCount) {
    SocketPair pair;
    const Bytes skipped(100000, 0x02);  // read as headers, these would show
    std::thread writer = writeInPieces(pair.client, {Bytes(skipped.begin(), skipped.begin() + 30000),
                                                     Bytes(skipped.begin() + 30000, skipped.end()),
                                                     encodeFrame(150, 0)});
    InboundStream stream(pair.server);
    EXPECT_TRUE(stream.discard(100000, kEventWaitMs));
    std::int32_t length = -1;
    EXPECT_EQ(stream.receiveHeader(length, kEventWaitMs), 150);
    EXPECT_EQ(length, 0);
    writer.join();
}

TEST(InboundStream, ReadsAndDiscardsStopAtTheLimitWithWhatArrived) {
    SocketPair pair;
    write(pair.client, Bytes(100, 0x55));
    ASSERT_TRUE(test::waitReceivable(pair.server, 100, kEventWaitMs));
    InboundStream stream(pair.server);
    std::uint8_t buffer[222];
    auto start = Clock::now();
    EXPECT_EQ(stream.receiveFully(buffer, 222, 150), 100);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(140));
    write(pair.client, Bytes(100, 0x55));
    EXPECT_FALSE(stream.discard(300, 150));
    EXPECT_EQ(stream.receiveFully(buffer, 0, 150), 0);
    EXPECT_EQ(stream.receiveFully(buffer, -4, 150), 0);
}

TEST(InboundStream, TheEndOfTheStreamInsideAFrameEndsEveryReadAtOnce) {
    SocketPair pair;
    write(pair.client, join({encodeFrame(26, 222, pattern(20, 6))}));
    port::shutdownSocket(pair.client);
    InboundStream stream(pair.server);
    std::int32_t length = 0;
    ASSERT_EQ(stream.receiveHeader(length, 5000), 26);
    std::uint8_t buffer[222];
    const auto start = Clock::now();
    EXPECT_EQ(stream.receiveFully(buffer, length, 5000), 20);
    EXPECT_FALSE(stream.discard(10, 5000));
    EXPECT_EQ(stream.receiveHeader(length, 5000), kReceiveGone);
    const std::uint8_t *piece = nullptr;
    EXPECT_EQ(stream.receivePiece(piece, 10, 5000), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000)) << "no read waited for its limit";
}

TEST(InboundStream, AHeaderCutByTheEndOfTheStreamIsGone) {
    SocketPair pair;
    write(pair.client, {0x02, 0x53, 0x00});
    port::shutdownSocket(pair.client);
    InboundStream stream(pair.server);
    std::int32_t length = 0;
    EXPECT_EQ(stream.receiveHeader(length, 5000), kReceiveGone);
}

TEST(InboundStream, PiecesAreHandedOutInPlaceInOrderAndBounded) {
    SocketPair pair;
    const Bytes bytes = pattern(1000, 7);
    write(pair.client, bytes);
    ASSERT_TRUE(test::waitReceivable(pair.server, static_cast<int>(bytes.size()), kEventWaitMs));
    InboundStream stream(pair.server);
    Bytes got;
    const std::uint8_t *piece = nullptr;
    while (got.size() < bytes.size()) {
        const int count = stream.receivePiece(piece, 300, kEventWaitMs);
        ASSERT_GT(count, 0);
        EXPECT_LE(count, 300);
        got.insert(got.end(), piece, piece + count);
    }
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(stream.receivePiece(piece, 300, 100), 0) << "nothing more came within the limit";  // a short look
}

}  // namespace
}  // namespace ks318
