// The image exports on the wire: full-screen images, blocks, palettes, stored
// images and the image-update configuration, their gates and results.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "ks318.h"
#include "sim/screen.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::concat;
using sim::Frame;
using sim::le32;
using test::ExportSession;
using test::Notification;
using Clock = std::chrono::steady_clock;

Bytes pattern(std::size_t count, unsigned seed) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>((i * 7 + seed + i / 251) & 0xFF);
    return bytes;
}

sim::Identity identity(std::uint16_t model, std::uint8_t version = 32) {
    sim::Identity id;
    id.model = model;
    id.version = version;
    return id;
}

// Ends a check that nothing was sent: an empty block is sent after the calls
// under test, and it must be the first frame to arrive.
void expectOnlyTheMarkerArrives(sim::SimTerminal &terminal, std::int32_t number) {
    ASSERT_EQ(kq_sendimageblock(number, 0, 0, 0, 0, nullptr), 1);
    ASSERT_TRUE(terminal.waitForFrame(131, test::kEventWaitMs));
    std::vector<Frame> frames = terminal.frames();
    ASSERT_EQ(frames.size(), 1u) << "first frame code " << frames[0].code;
    EXPECT_EQ(frames[0].length, 8);
}

class ImageCommands : public ::testing::Test {
protected:
    std::unique_ptr<sim::SimTerminal> join(sim::Identity id = identity(320)) {
        auto terminal = session_.join(std::move(id));
        terminal->clearFrames();
        return terminal;
    }

    ExportSession session_;
};

TEST_F(ImageCommands, FullScreenImageSizeFollowsTheModel) {
    struct Case {
        std::uint16_t model;
        std::size_t pixels;
        std::int32_t length;
        std::size_t wire;
    };
    // Every terminal stays until the end, so that none leaving renumbers the next.
    std::vector<std::unique_ptr<sim::SimTerminal>> joined;
    for (Case c : {Case{318, 76800, 77568, 77575}, Case{320, 130560, 131328, 131335}, Case{500, 130560, 131328, 131335}}) {
        auto &terminal = joined.emplace_back(join(identity(c.model)));
        const auto number = static_cast<std::int32_t>(globalServer().terminals().count());
        Bytes palette = pattern(768, c.model);
        Bytes pixels = pattern(c.pixels, 3);
        pixels.resize(pixels.size() + 4096, 0xEE);  // more than the model takes: the rest must stay home
        EXPECT_EQ(kq_sendimage(number, palette.data(), pixels.data()), 1);
        auto frame = terminal->waitForFrame(37, test::kEventWaitMs);
        ASSERT_TRUE(frame) << "model " << c.model;
        EXPECT_EQ(frame->length, c.length);
        EXPECT_EQ(frame->wire().size(), c.wire);
        EXPECT_EQ(frame->payload, concat({palette, Bytes(pixels.begin(), pixels.begin() + c.pixels)}));
        terminal->clearFrames();
        expectOnlyTheMarkerArrives(*terminal, number);
    }
}

TEST_F(ImageCommands, BlockHeaderRowsAndLength) {
    auto terminal = join();
    Bytes pixels = pattern(32, 9);
    EXPECT_EQ(kq_sendimageblock(1, 10, 20, 16, 2, pixels.data()), 1);
    auto frame = terminal->waitForFrame(131, test::kEventWaitMs);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->length, 40);
    EXPECT_EQ(frame->payload, concat({{0x0A, 0x00, 0x14, 0x00, 0x10, 0x00, 0x02, 0x00}, pixels}));

    EXPECT_EQ(kq_sendimageblock(1, 5, 6, 300, 0, nullptr), 1);
    frame = terminal->waitForFrame(131, test::kEventWaitMs, 2);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->wire(), (Bytes{0x02, 0x83, 0x00, 0x08, 0, 0, 0, 0x05, 0x00, 0x06, 0x00, 0x2C, 0x01, 0x00, 0x00}));

    // Only the low 16 bits reach the header; the full width sizes the rows and the length.
    Bytes wide = pattern(2 * 70000, 4);
    EXPECT_EQ(kq_sendimageblock(1, 70000, -1, 70000, 2, wide.data()), 1);
    frame = terminal->waitForFrame(131, test::kEventWaitMs, 3);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->length, 140008);
    EXPECT_EQ(Bytes(frame->payload.begin(), frame->payload.begin() + 8),
              (Bytes{0x70, 0x11, 0xFF, 0xFF, 0x70, 0x11, 0x02, 0x00}));
    EXPECT_EQ(Bytes(frame->payload.begin() + 8, frame->payload.end()), wide);
}

TEST_F(ImageCommands, NegativeBlockSidesAndBadNumbersSendNothing) {
    auto terminal = join();
    Bytes pixels(64, 1);
    EXPECT_EQ(kq_sendimageblock(1, 0, 0, -8, 8, pixels.data()), 0);
    EXPECT_EQ(kq_sendimageblock(1, 0, 0, 8, -8, pixels.data()), 0);
    for (std::int32_t number : {-1, 0, 2}) {
        EXPECT_EQ(kq_sendimageblock(number, 0, 0, 8, 8, pixels.data()), 0);
        EXPECT_EQ(kq_sendimage(number, pixels.data(), pixels.data()), 0);
        EXPECT_EQ(kq_loadimage(number, 1), 0);
        EXPECT_EQ(kq_enviapaleta(number, pixels.data()), 0);
        EXPECT_EQ(kq_reqimageupdate(number), 0);
        EXPECT_EQ(kq_getimageupdateconfig(number, pixels.data()), 0);
    }
    expectOnlyTheMarkerArrives(*terminal, 1);
}

TEST_F(ImageCommands, SingleFrameCommandsAndTheirResults) {
    auto terminal = join();
    EXPECT_EQ(kq_loadimage(1, 3), 11);
    auto frame = terminal->waitForFrame(129, test::kEventWaitMs);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->wire(), (Bytes{0x02, 0x81, 0x00, 0x04, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}));

    Bytes palette = pattern(768, 5);
    EXPECT_EQ(kq_enviapaleta(1, palette.data()), 1);
    frame = terminal->waitForFrame(133, test::kEventWaitMs);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->length, 768);
    EXPECT_EQ(frame->payload, palette);

    Bytes config = pattern(112, 6);  // passed as it is, even without a zero in its text
    EXPECT_EQ(kq_sendimageupdate(1, config.data()), 119);
    frame = terminal->waitForFrame(145, test::kEventWaitMs);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, config);

    EXPECT_EQ(kq_reqimageupdate(1), 7);
    EXPECT_EQ(kq_sendupdateimages(1), 7);
    ASSERT_TRUE(terminal->waitForFrame(149, test::kEventWaitMs));
    EXPECT_EQ(terminal->framesWithCode(147).at(0).wire(), (Bytes{0x02, 0x93, 0x00, 0, 0, 0, 0}));
    EXPECT_EQ(terminal->framesWithCode(149).at(0).wire(), (Bytes{0x02, 0x95, 0x00, 0, 0, 0, 0}));
    EXPECT_EQ(terminal->frames().size(), 5u);
}

TEST_F(ImageCommands, VersionBelow32GatesFiveExportsOnly) {
    auto terminal = join(identity(320, 31));
    Bytes buffer(131072, 0);
    EXPECT_EQ(kq_loadimage(1, 3), -1);
    EXPECT_EQ(kq_enviapaleta(1, buffer.data()), -1);
    EXPECT_EQ(kq_sendimageupdate(1, buffer.data()), -1);
    EXPECT_EQ(kq_reqimageupdate(1), -1);
    EXPECT_EQ(kq_sendupdateimages(1), -1);
    EXPECT_EQ(kq_getimageupdateconfig(1, buffer.data()), 1);
    expectOnlyTheMarkerArrives(*terminal, 1);
    EXPECT_EQ(kq_sendimage(1, buffer.data(), buffer.data()), 1);
    EXPECT_TRUE(terminal->waitForFrame(37, test::kEventWaitMs));
}

TEST_F(ImageCommands, ASecondImageToABusyTerminalIsRefusedAtOnceAndOthersGoOn) {
    auto first = join();
    auto second = join();
    TerminalRef record = session_.record(1);
    ASSERT_TRUE(record);
    Bytes palette = pattern(768, 1), pixels = pattern(130560, 2), block = pattern(64, 3);

    // With the first terminal's send gate held, its image waits with the image flag taken.
    ASSERT_TRUE(record->sendGate.take(test::kEventWaitMs)) << "the connection thread may be sending a moment";
    auto pending = std::async(std::launch::async, [&] { return kq_sendimage(1, palette.data(), pixels.data()); });
    const auto deadline = Clock::now() + std::chrono::milliseconds(test::kEventWaitMs);
    while (!record->imageBusy.isTaken() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(record->imageBusy.isTaken());

    auto start = Clock::now();
    EXPECT_EQ(kq_sendimage(1, palette.data(), pixels.data()), -2);
    EXPECT_EQ(kq_sendimageblock(1, 0, 0, 8, 8, block.data()), -2);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500)) << "refused without waiting on the gate";
    EXPECT_EQ(kq_sendimageblock(2, 0, 0, 8, 8, block.data()), 1);
    EXPECT_TRUE(second->waitForFrame(131, test::kEventWaitMs));

    record->sendGate.release();
    EXPECT_EQ(pending.get(), 1);
    ASSERT_TRUE(first->waitForFrame(37, test::kEventWaitMs));
    EXPECT_FALSE(record->imageBusy.isTaken());
    EXPECT_EQ(first->frames().size(), 1u) << "only the image that waited went out";
    EXPECT_EQ(kq_sendimageblock(1, 0, 0, 8, 8, block.data()), 1) << "the flag is free again";
}

TEST_F(ImageCommands, ImageUpdateConfigurationRoundTrip) {
    auto terminal = join();
    auto screen = sim::SimScreen::install(*terminal);

    std::uint8_t record[112];
    std::memset(record, 0xEE, sizeof record);
    EXPECT_EQ(kq_getimageupdateconfig(1, record), 1);
    EXPECT_EQ(Bytes(record, record + 5), Bytes(5, 0)) << "zeros and an empty text before any report";
    EXPECT_EQ(record[5], 0xEE) << "bytes behind the text's zero are left alone";
    EXPECT_EQ(Bytes(record + 104, record + 112), Bytes(8, 0));

    Bytes sent = concat({le32(5), sim::field("pictures/main", 100), le32(6), le32(0xFFFFFFF9)});
    EXPECT_EQ(kq_sendimageupdate(1, sent.data()), 119);
    ASSERT_TRUE(screen->waitForUpdates(1, test::kEventWaitMs));
    EXPECT_EQ(screen->imageUpdateConfig(), sent);

    auto reported = [](const Notification &n) { return n.isData(KQ_NOTIFY_IMAGE_UPDATE); };
    EXPECT_EQ(kq_reqimageupdate(1), 7);
    ASSERT_TRUE(session_.host().waitFor(reported, test::kEventWaitMs));
    std::memset(record, 0xEE, sizeof record);
    EXPECT_EQ(kq_getimageupdateconfig(1, record), 1);
    EXPECT_EQ(Bytes(record, record + 4 + 14), Bytes(sent.begin(), sent.begin() + 4 + 14));
    EXPECT_EQ(record[4 + 14], 0xEE);
    EXPECT_EQ(Bytes(record + 104, record + 112), Bytes(sent.begin() + 104, sent.end()));
    EXPECT_EQ(kq_getimageupdateconfig(1, record), 1) << "reading does not consume it";
    EXPECT_EQ(record[0], 5);

    EXPECT_EQ(kq_sendupdateimages(1), 7);
    EXPECT_TRUE(session_.host().waitFor([](const Notification &n) { return n.isData(KQ_NOTIFY_IMAGES_UPDATED); }, test::kEventWaitMs));
}

}  // namespace
}  // namespace ks318
