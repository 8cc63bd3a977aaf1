#include "server/stores.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "server/gates.h"
#include "server/terminal.h"
#include "tests/support/waits.h"

namespace ks318 {
namespace {

std::vector<std::uint8_t> bytes(std::size_t count, std::uint8_t value) { return std::vector<std::uint8_t>(count, value); }

TEST(SerialStore, PopsNewestFirstWithLengthAndSource) {
    SerialStore store;
    EXPECT_TRUE(store.push(bytes(3, 'A').data(), 0, 3));
    EXPECT_TRUE(store.push(bytes(5, 'B').data(), 1, 5));
    EXPECT_TRUE(store.push(bytes(7, 'C').data(), 0, 7));
    std::uint8_t out[256] = {};
    std::int32_t source = -1;
    int length = 0;
    ASSERT_TRUE(store.pop(out, source, length));
    EXPECT_EQ(length, 7);
    EXPECT_EQ(out[6], 'C');
    EXPECT_EQ(source, 0);
    ASSERT_TRUE(store.pop(out, source, length));
    EXPECT_EQ(length, 5);
    EXPECT_EQ(source, 1);
    ASSERT_TRUE(store.pop(out, source, length));
    EXPECT_EQ(length, 3);
    std::memset(out, 0x77, sizeof out);
    source = 42;
    EXPECT_FALSE(store.pop(out, source, length));
    EXPECT_EQ(out[0], 0x77) << "an empty pop leaves the output alone";
    EXPECT_EQ(source, 42);
}

TEST(SerialStore, CutsLongDataTo256AndRefusesTheSeventeenth) {
    SerialStore store;
    EXPECT_TRUE(store.push(bytes(300, 'x').data(), 0, 300));
    for (int i = 1; i < 16; ++i) EXPECT_TRUE(store.push(bytes(1, static_cast<std::uint8_t>(i)).data(), 0, 1));
    EXPECT_FALSE(store.push(bytes(1, 'z').data(), 0, 1));
    EXPECT_EQ(store.count(), 16);
    std::uint8_t out[256];
    std::int32_t source;
    int length = 0;
    for (int i = 15; i >= 1; --i) {
        ASSERT_TRUE(store.pop(out, source, length));
        EXPECT_EQ(out[0], i);
    }
    ASSERT_TRUE(store.pop(out, source, length));
    EXPECT_EQ(length, 256);
}

TEST(MagStore, StoresPairsByFlags) {
    MagStore store;
    EXPECT_FALSE(store.push("first", "second", 0)) << "flags 0 store nothing";
    EXPECT_EQ(store.textCount(), 0);
    EXPECT_TRUE(store.push("ignored", "only second", 2));
    char first[128], second[128];
    ASSERT_TRUE(store.pop(first, second));
    EXPECT_STREQ(first, "");
    EXPECT_STREQ(second, "only second");
    EXPECT_TRUE(store.push("only first", "ignored", 1));
    ASSERT_TRUE(store.pop(first, second));
    EXPECT_STREQ(first, "only first");
    EXPECT_STREQ(second, "");
}

TEST(MagStore, RefusesTheNinthPair) {
    MagStore store;
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(store.push("a", "b", 3));
    EXPECT_EQ(store.textCount(), 16);
    EXPECT_FALSE(store.push("a", "b", 3));
}

TEST(MagStore, TextWithoutZeroIsCutInsideItsSlot) {
    MagStore store;
    char unterminated[256];
    std::memset(unterminated, 'F', 128);
    std::memset(unterminated + 128, 'S', 128);
    EXPECT_TRUE(store.push(unterminated, unterminated + 128, 3));
    char first[128], second[128];
    ASSERT_TRUE(store.pop(first, second));
    EXPECT_EQ(std::string(first), std::string(127, 'F'));
    EXPECT_EQ(std::string(second), std::string(127, 'S'));
}

TEST(EventStack, HoldsTwentyAnswersNewestFirst) {
    EventStack events;
    EXPECT_EQ(events.top(), -1);
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(events.push(static_cast<std::uint8_t>(167 + i), i));
    EXPECT_FALSE(events.push(99, 99)) << "a full stack refuses the 21st answer";
    EXPECT_EQ(events.top(), 19);
    EventStack::Event event{};
    int remaining = -1;
    ASSERT_TRUE(events.pop(event, remaining));
    EXPECT_EQ(event.code, 167 + 19);
    EXPECT_EQ(event.value, 19);
    EXPECT_EQ(remaining, 19);
    EXPECT_EQ(events.valueAt(19), 19) << "a popped slot keeps its value";
}

TEST(KeyBuffer, HoldsKeysOfAllTerminalsNewestFirstUpTo128) {
    KeyBuffer keys;
    EXPECT_TRUE(keys.push(11, 'a'));
    EXPECT_TRUE(keys.push(12, 0xFF));
    std::int32_t handle = 0;
    std::uint8_t key = 0;
    ASSERT_TRUE(keys.pop(handle, key));
    EXPECT_EQ(handle, 12);
    EXPECT_EQ(key, 0xFF);
    ASSERT_TRUE(keys.pop(handle, key));
    EXPECT_EQ(handle, 11);
    EXPECT_FALSE(keys.pop(handle, key));
    for (int i = 0; i < 128; ++i) EXPECT_TRUE(keys.push(i, 1));
    EXPECT_FALSE(keys.push(999, 1));
    keys.reset();
    EXPECT_EQ(keys.count(), 0);
}

TEST(GatedStack, ConcurrentPushAndPopLoseNothing) {
    SerialStore store;
    constexpr int kItems = 20000;
    std::atomic<bool> done{false};
    std::atomic<long> poppedSum{0};
    std::atomic<int> popped{0};
    std::thread consumer([&] {
        std::uint8_t out[256];
        std::int32_t source;
        int length;
        while (!done.load() || store.count() > 0) {
            if (store.pop(out, source, length)) {
                ASSERT_EQ(length, 4);
                int value;
                std::memcpy(&value, out, 4);
                poppedSum += value;
                ++popped;
            }
        }
    });
    long pushedSum = 0;
    for (int i = 1; i <= kItems; ++i) {
        while (!store.push(reinterpret_cast<const std::uint8_t *>(&i), 0, 4)) std::this_thread::yield();
        pushedSum += i;
    }
    done = true;
    consumer.join();
    EXPECT_EQ(popped.load(), kItems);
    EXPECT_EQ(poppedSum.load(), pushedSum);
}

TEST(SendGate, WaiterGivesUpAfterTheLimitAndTakesAFreedGateAtOnce) {
    SendGate gate;
    ASSERT_TRUE(gate.take(0));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(gate.take(200));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(195));
    std::thread holder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gate.release();
    });
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(gate.take(test::kEventWaitMs));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    holder.join();
    EXPECT_TRUE(gate.isBusy());
    EXPECT_FALSE(gate.waitFree(20));
    gate.release();
    EXPECT_TRUE(gate.waitFree(0));
}

TEST(TTerminal, NewRecordIsEmptyAndDecodesItsIdentificationWord) {
    TTerminal terminal(port::kNoSocket, 0x0100007F);
    EXPECT_EQ(terminal.socket(), port::kNoSocket);
    EXPECT_STREQ(terminal.ip(), "127.0.0.1");
    EXPECT_EQ(terminal.ipValue(), 0x0100007Fu);
    EXPECT_EQ(terminal.events.top(), -1);
    EXPECT_EQ(terminal.serial.count(), 0);
    EXPECT_EQ(terminal.modelNumber(), 0);
    // Handshake bytes 20 01 40 00: version 32, model 0x0140 = 320.
    terminal.setIdent(0x00400120);
    EXPECT_EQ(terminal.terminalVersion(), 32);
    EXPECT_EQ(terminal.modelNumber(), 320);
    terminal.setIdent(0x003E011F);  // 1F 01 3E 00
    EXPECT_EQ(terminal.terminalVersion(), 31);
    EXPECT_EQ(terminal.modelNumber(), 318);
}

TEST(TTerminal, ImageUpdateTextIsKeptWithinItsField) {
    TTerminal terminal(port::kNoSocket, 0);
    ImageUpdateConfig config;
    config.first = 1;
    std::memset(config.text, 'T', sizeof config.text);
    config.second = 2;
    config.third = 3;
    terminal.setImageUpdateConfig(config);
    ImageUpdateConfig stored = terminal.imageUpdateConfig();
    EXPECT_EQ(stored.first, 1);
    EXPECT_EQ(std::string(stored.text), std::string(99, 'T'));
    EXPECT_EQ(stored.second, 2);
    EXPECT_EQ(stored.third, 3);
}

}  // namespace
}  // namespace ks318
