// Every command export: arguments to exact code, payload and header length on
// the wire, and the result; then the gates and the send gate.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "ks318.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::concat;
using sim::le32;
using test::ExportSession;
using test::kEventWaitMs;

enum class Group { Plain, MinusOne, Sensor, MediaAndAudio, Versioned };

struct CommandCase {
    const char *name;
    std::function<std::int32_t(std::int32_t)> call;
    std::uint16_t code;
    Bytes payload;
    Group group;
};

Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 3);
    return bytes;
}

const Bytes kConfig = pattern(222, 1);
const Bytes kWifi = pattern(100, 2);
const Bytes kText = pattern(170, 3);
const Bytes kSerialSettings = pattern(12, 4);
const Bytes kSerialData = pattern(300, 5);  // only the first 256 travel
const Bytes kConfirmation = {0x8D, 0xB2, 0x71, 0x4E};

std::int32_t noResult(std::function<void()> call) {
    call();
    return 0;
}

std::vector<CommandCase> commandCases() {
    return {
        {"kq_sendlive", [](int n) { return kq_sendlive(n); }, 17, {}, Group::Plain},
        {"kq_sendalwayslive", [](int n) { return kq_sendalwayslive(n); }, 29, {}, Group::Plain},
        {"kq_reqconfig", [](int n) { return kq_reqconfig(n); }, 25, {}, Group::Plain},
        {"kq_sendconfig", [](int n) { return kq_sendconfig(n, kConfig.data()); }, 23, kConfig, Group::Plain},
        {"kq_reqconfigwifi", [](int n) { return kq_reqconfigwifi(n); }, 153, {}, Group::Plain},
        {"kq_sendconfigwifi", [](int n) { return kq_sendconfigwifi(n, kWifi.data()); }, 151, kWifi, Group::MinusOne},
        {"kq_updatesoft", [](int n) { return kq_updatesoft(n); }, 113, kConfirmation, Group::Plain},
        {"kq_restart", [](int n) { return kq_restart(n); }, 121, kConfirmation, Group::Versioned},
        {"kq_requid", [](int n) { return kq_requid(n); }, 27, {}, Group::Versioned},
        {"kq_reqsc", [](int n) { return kq_reqsc(n); }, 123, {}, Group::Versioned},
        {"kq_stopadv", [](int n) { return kq_stopadv(n); }, 45, {}, Group::Plain},
        {"kq_goadv", [](int n) { return kq_goadv(n); }, 43, {}, Group::Plain},
        {"kq_reloadadv", [](int n) { return kq_reloadadv(n, 0x01020304); }, 117, {4, 3, 2, 1}, Group::Plain},
        {"kq_deleteadv", [](int n) { return kq_deleteadv(n); }, 101, {}, Group::Plain},
        {"kq_reloadpreimg", [](int n) { return kq_reloadpreimg(n, -2); }, 119, {0xFE, 0xFF, 0xFF, 0xFF}, Group::Plain},
        {"kq_deletepreimg", [](int n) { return kq_deletepreimg(n); }, 103, {}, Group::Plain},
        {"kq_sendtext", [](int n) { return kq_sendtext(n, kText.data()); }, 35, kText, Group::Plain},
        {"kq_fillscreen", [](int n) { return kq_fillscreen(n, 65537); }, 33, {0x01, 0x00}, Group::Plain},
        {"SetaTempoExib", [](int n) { return SetaTempoExib(n, 0x12345); }, 39, {0x45, 0x23}, Group::Plain},
        {"PedeTempoExib", [](int n) { return noResult([n] { PedeTempoExib(n); }); }, 41, {}, Group::Plain},
        {"HabilitaTeclado", [](int n) { return HabilitaTeclado(n, 1); }, 49, {1, 0, 0, 0}, Group::Plain},
        {"HabilitaLEC", [](int n) { return HabilitaLEC(n, 0x100); }, 65, {0, 1, 0, 0}, Group::Plain},
        {"kq_sendconfigserial port 0", [](int n) { return kq_sendconfigserial(n, 0, kSerialSettings.data()); }, 81,
         kSerialSettings, Group::Plain},
        {"kq_sendconfigserial port 2", [](int n) { return kq_sendconfigserial(n, 2, kSerialSettings.data()); }, 87,
         kSerialSettings, Group::Plain},
        {"kq_writeserial port 0", [](int n) { return kq_writeserial(n, 0, 300, kSerialData.data()); }, 85,
         concat({{0x2C, 0x01}, Bytes(kSerialData.begin(), kSerialData.begin() + 256)}), Group::Plain},
        {"kq_writeserial port 1", [](int n) { return kq_writeserial(n, 1, 5, kSerialData.data()); }, 91,
         concat({{0x05, 0x00}, Bytes(kSerialData.begin(), kSerialData.begin() + 256)}), Group::Plain},
        {"kq_serreqstatus", [](int n) { return kq_serreqstatus(n, 0x101); }, 161, {0x01}, Group::Plain},
        {"kq_sersetstatus", [](int n) { return kq_sersetstatus(n, 0x1FF, 0x203); }, 163, {0xFF, 0x03}, Group::Plain},
        {"kq_pedesensorstatus", [](int n) { return kq_pedesensorstatus(n); }, 170, {}, Group::Sensor},
        {"kq_setsensor", [](int n) { return kq_setsensor(n, 3); }, 168, {3, 0, 0, 0}, Group::Sensor},
        {"kq_ShowLocalMedia", [](int n) { return kq_ShowLocalMedia(n, "abc"); }, 166, {'a', 'b', 'c', 0}, Group::MediaAndAudio},
        {"kq_ShowLocalMedia empty", [](int n) { return kq_ShowLocalMedia(n, ""); }, 166, {0}, Group::MediaAndAudio},
        {"kq_DeleteLocalMedia", [](int n) { return kq_DeleteLocalMedia(n, "v.mp4"); }, 184, {'v', '.', 'm', 'p', '4', 0},
         Group::MediaAndAudio},
        {"kq_CleanInternalMem", [](int n) { return kq_CleanInternalMem(n); }, 186, {}, Group::MediaAndAudio},
        {"kq_CleanExternalMem", [](int n) { return kq_CleanExternalMem(n); }, 188, {}, Group::MediaAndAudio},
        {"kq_setaudio", [](int n) { return kq_setaudio(n, 1); }, 172, {1, 0, 0, 0}, Group::MediaAndAudio},
        {"kq_pedeaudiostatus", [](int n) { return kq_pedeaudiostatus(n); }, 174, {}, Group::MediaAndAudio},
        {"kq_setvolume", [](int n) { return kq_setvolume(n, 70); }, 176, {70, 0, 0, 0}, Group::MediaAndAudio},
        {"kq_pedevolume", [](int n) { return kq_pedevolume(n); }, 178, {}, Group::MediaAndAudio},
        {"kq_setbrightness", [](int n) { return kq_setbrightness(n, 30); }, 180, {30, 0, 0, 0}, Group::MediaAndAudio},
        {"kq_pedebrightness", [](int n) { return kq_pedebrightness(n); }, 182, {}, Group::MediaAndAudio},
    };
}

std::int32_t failValue(Group group) {
    return group == Group::MinusOne || group == Group::MediaAndAudio ? -1 : 0;
}

bool isVoid(const CommandCase &c) { return std::string(c.name) == "PedeTempoExib"; }

sim::Identity identity(std::uint8_t version, std::uint16_t model) {
    sim::Identity id;
    id.version = version;
    id.model = model;
    return id;
}

TEST(Commands, EachExportSendsItsExactFrame) {
    ExportSession session;
    auto terminal = session.join();
    for (const CommandCase &c : commandCases()) {
        SCOPED_TRACE(c.name);
        terminal->clearFrames();
        std::int32_t result = c.call(1);
        if (!isVoid(c)) {
            EXPECT_EQ(result, 7 + static_cast<std::int32_t>(c.payload.size()));
        }
        auto frame = terminal->waitForFrame(c.code, kEventWaitMs);
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(frame->length, static_cast<std::int32_t>(c.payload.size()));
        EXPECT_EQ(frame->payload, c.payload);
        EXPECT_EQ(terminal->frames().size(), 1u) << "exactly one frame";
    }
}

TEST(Commands, NumbersThatNameNoTerminalGetTheFailValueAndSendNothing) {
    ExportSession session;
    for (const CommandCase &c : commandCases())
        if (!isVoid(c)) {
            EXPECT_EQ(c.call(1), failValue(c.group)) << c.name << " on an empty table";
        }
    auto first = session.join();
    auto second = session.join();
    first->clearFrames();
    second->clearFrames();
    for (const CommandCase &c : commandCases()) {
        for (std::int32_t number : {-1, 0, 3, 1000}) {
            std::int32_t result = c.call(number);
            if (!isVoid(c)) {
                EXPECT_EQ(result, failValue(c.group)) << c.name << " number " << number;
            }
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // nothing comes: a short look
    EXPECT_TRUE(first->frames().empty());
    EXPECT_TRUE(second->frames().empty());
}

TEST(Commands, NewerCommandsNeedModel320) {
    ExportSession session;
    auto small = session.join(identity(32, 318));
    small->clearFrames();
    for (const CommandCase &c : commandCases()) {
        if (c.group != Group::Sensor && c.group != Group::MediaAndAudio) continue;
        EXPECT_EQ(c.call(1), failValue(c.group)) << c.name;
    }
    EXPECT_EQ(kq_setbrightness(1, 5), -1);
    EXPECT_EQ(kq_setsensor(1, 5), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // nothing comes: a short look
    EXPECT_TRUE(small->frames().empty());
}

TEST(Commands, VersionGatedCommandsNeedVersion32) {
    ExportSession session;
    auto old = session.join(identity(31, 320));
    old->clearFrames();
    for (const CommandCase &c : commandCases())
        if (c.group == Group::Versioned) {
            EXPECT_EQ(c.call(1), -1) << c.name;
        }
    EXPECT_EQ(kq_restart(-1), 0) << "a rejected number still gives the fail value";
    EXPECT_EQ(kq_reqconfig(1), 7) << "ungated commands still go";
    EXPECT_TRUE(old->waitForFrame(25, kEventWaitMs).has_value());
    EXPECT_EQ(old->frames().size(), 1u);
}

TEST(Commands, NullRecordPointersSendNothing) {
    ExportSession session;
    auto terminal = session.join();
    terminal->clearFrames();
    EXPECT_EQ(kq_sendconfig(1, nullptr), 0);
    EXPECT_EQ(kq_sendconfigwifi(1, nullptr), -1);
    EXPECT_EQ(kq_sendtext(1, nullptr), 0);
    EXPECT_EQ(kq_writeserial(1, 0, 5, nullptr), 0);
    EXPECT_EQ(kq_ShowLocalMedia(1, nullptr), 8) << "a null name is sent as an empty one";
    ASSERT_TRUE(terminal->waitForFrame(166, kEventWaitMs).has_value());
    EXPECT_EQ(terminal->frames().size(), 1u);
}

TEST(Commands, AfterADisconnectTheNextTerminalAnswersToTheFreedNumber) {
    ExportSession session;
    auto first = session.join();
    auto second = session.join();
    first->close();
    ASSERT_TRUE(session.host().waitFor([](const test::Notification &n) { return n.isDisconnect(); }, kEventWaitMs));
    second->clearFrames();
    EXPECT_EQ(kq_reqconfig(1), 7);
    EXPECT_TRUE(second->waitForFrame(25, kEventWaitMs).has_value());
    EXPECT_EQ(kq_reqconfig(2), 0);
}

// The real 10-second limit, once.
TEST(SendGate, ABusyGateGivesMinusTwoAfterTenSecondsButTextAndFillStillGo) {
    ExportSession session;
    auto terminal = session.join();
    TerminalRef record = session.record(1);
    ASSERT_TRUE(record->sendGate.take(kEventWaitMs)) << "the connection thread may be sending a moment";
    terminal->clearFrames();

    std::atomic<std::int32_t> textResult{0}, fillResult{0};
    std::thread ungated([&] {
        textResult = kq_sendtext(1, kText.data());
        fillResult = kq_fillscreen(1, 7);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kq_reqconfig(1), -2);
    auto waited = std::chrono::steady_clock::now() - start;
    ungated.join();
    EXPECT_GE(waited, std::chrono::milliseconds(9900));
    EXPECT_LE(waited, std::chrono::milliseconds(12000));
    EXPECT_EQ(textResult.load(), 177);
    EXPECT_EQ(fillResult.load(), 9);
    EXPECT_TRUE(terminal->framesWithCode(25).empty());

    record->sendGate.release();
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(kq_reqconfig(1), 7);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(terminal->waitForFrame(25, kEventWaitMs).has_value());
}

TEST(SendGate, FramesOfManyThreadsNeverInterleave) {
    ExportSession session;
    auto terminal = session.join();
    terminal->clearFrames();
    constexpr int kEach = 300;
    // Texts and fills never wait: while the terminal falls behind, their queue
    // may fill up, and those refused with -1 are not sent at all.
    std::atomic<int> ungatedSent{0};
    auto ungated = [&](auto send, int expected) {
        for (int i = 0; i < kEach; ++i) {
            const int result = send(i);
            if (result == expected) ++ungatedSent;
            else ASSERT_EQ(result, -1);
        }
    };
    std::vector<std::thread> senders;
    senders.emplace_back([] { for (int i = 0; i < kEach; ++i) ASSERT_EQ(kq_sendconfig(1, kConfig.data()), 229); });
    senders.emplace_back([&] { ungated([](int) { return kq_sendtext(1, kText.data()); }, 177); });
    senders.emplace_back([&] { ungated([](int i) { return kq_fillscreen(1, i); }, 9); });
    senders.emplace_back([] { for (int i = 0; i < kEach; ++i) ASSERT_EQ(kq_writeserial(1, 1, 3, kSerialData.data()), 265); });
    for (std::thread &sender : senders) sender.join();
    EXPECT_GT(ungatedSent.load(), 0);
    const std::size_t expected = 2 * kEach + static_cast<std::size_t>(ungatedSent.load());
    ASSERT_TRUE(terminal->waitForFrameCount(expected, kEventWaitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // nothing more comes: a short look
    EXPECT_EQ(terminal->frames().size(), expected) << "every frame reported sent arrived, and no other";
    EXPECT_FALSE(terminal->disconnected());
    for (const sim::Frame &frame : terminal->frames()) {
        switch (frame.code) {
        case 23: EXPECT_EQ(frame.payload, kConfig); break;
        case 35: EXPECT_EQ(frame.payload, kText); break;
        case 33: EXPECT_EQ(frame.payload.size(), 2u); break;
        case 91: EXPECT_EQ(frame.payload.size(), 258u); break;
        default: ADD_FAILURE() << "unexpected code " << frame.code;
        }
    }
}

}  // namespace
}  // namespace ks318
