// The dashboard's screen mirror: a whole-screen image shared by many mirrors
// shows exactly as a copy of it would, gives way to what is drawn over it, and
// holds up under concurrent sends and picture requests.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "sim/screen.h"
#include "sim/wire.h"
#include "tools/shop/screen_mirror.h"

namespace ks318 {
namespace {

using web::ScreenMirror;

// A whole-screen image of the given size: a palette of greys and stripes of indices.
std::shared_ptr<const sim::Frame> stripes(int width, int height, std::uint8_t shift) {
    sim::Bytes payload(768 + static_cast<std::size_t>(width) * height);
    for (int entry = 0; entry < 256; ++entry)
        for (int c = 0; c < 3; ++c) payload[entry * 3 + c] = static_cast<std::uint8_t>(255 - entry);
    for (std::size_t i = 768; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(((i - 768) % width) / 8 + shift);
    return std::make_shared<const sim::Frame>(
        sim::Frame{37, static_cast<std::int32_t>(payload.size()), std::move(payload)});
}

std::vector<std::uint8_t> pngOf(const ScreenMirror &mirror) {
    std::uint64_t revision = 0;
    return mirror.png(1.0, revision);
}

TEST(ScreenMirror, SharedImageShowsAsItsCopyWouldAndGivesWayToWhatIsDrawnOverIt) {
    const auto image = stripes(480, 272, 3);
    ScreenMirror shared(320), copied(320), untouched(320);
    EXPECT_EQ(shared.showImage(image), 1u);
    EXPECT_EQ(copied.apply(*image), 1u);
    EXPECT_EQ(pngOf(shared), pngOf(copied));
    EXPECT_NE(pngOf(shared), pngOf(untouched));

    // A fill over the shared image covers it; the image shown again comes back.
    const sim::Frame fill{33, 2, sim::le16(9)};
    EXPECT_EQ(shared.apply(fill), 2u);
    EXPECT_EQ(copied.apply(fill), 2u);
    EXPECT_EQ(pngOf(shared), pngOf(copied));
    EXPECT_EQ(shared.showImage(image), 3u);
    EXPECT_EQ(copied.apply(*image), 3u);
    EXPECT_EQ(pngOf(shared), pngOf(copied));

    // A later image replaces one still waiting: only the last one shows.
    EXPECT_EQ(shared.showImage(stripes(480, 272, 40)), 4u);
    EXPECT_EQ(shared.showImage(image), 5u);
    EXPECT_EQ(pngOf(shared), pngOf(copied));
}

TEST(ScreenMirror, SizeOfASharedImageIsKnownBeforeItIsCopied) {
    ScreenMirror mirror(318);
    EXPECT_EQ(mirror.width(), 320);
    EXPECT_EQ(mirror.height(), 240);
    mirror.showImage(stripes(480, 272, 0));
    EXPECT_EQ(mirror.width(), 480);
    EXPECT_EQ(mirror.height(), 272);
    ScreenMirror copied(318);
    copied.apply(*stripes(480, 272, 0));
    EXPECT_EQ(pngOf(mirror), pngOf(copied));
    EXPECT_EQ(mirror.width(), 480);
}

TEST(ScreenMirror, WhatIsNotAWholeScreenImageChangesNothing) {
    ScreenMirror mirror(320);
    const std::vector<std::uint8_t> black = pngOf(mirror);
    auto cut = std::make_shared<sim::Frame>(*stripes(480, 272, 0));
    cut->payload.pop_back();
    EXPECT_EQ(mirror.showImage(cut), 0u);
    EXPECT_EQ(mirror.showImage(std::make_shared<const sim::Frame>(sim::Frame{33, 2, sim::le16(9)})), 0u);
    EXPECT_EQ(mirror.showImage(nullptr), 0u);
    EXPECT_EQ(mirror.revision(), 0u);
    EXPECT_EQ(pngOf(mirror), black);
}

// Senders showing images and drawing while readers ask for pictures and sizes:
// every picture read is one of the screens that were shown, whole.
TEST(ScreenMirror, ConcurrentSendsAndReadsSeeWholePictures) {
    const auto first = stripes(480, 272, 0), second = stripes(480, 272, 100);
    ScreenMirror expectFirst(320), expectSecond(320), mirror(320);
    expectFirst.apply(*first);
    expectSecond.apply(*second);
    const std::vector<std::uint8_t> a = pngOf(expectFirst), b = pngOf(expectSecond);
    mirror.showImage(first);

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                if ((i + t) % 2) mirror.showImage(first);
                else mirror.apply(*second);
            }
        });
    threads.emplace_back([&] {
        while (!done) {
            const std::vector<std::uint8_t> seen = pngOf(mirror);
            if (seen != a && seen != b) ++torn;
            if (mirror.width() != 480) ++torn;
        }
    });
    threads[0].join();
    threads[1].join();
    done = true;
    threads[2].join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(mirror.revision(), 401u);
}

}  // namespace
}  // namespace ks318
