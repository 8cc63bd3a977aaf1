// The older export set: forwards reach the wire as the current exports do,
// scanners walk every terminal, stubs do nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

#include "ks318.h"
#include "sim/device.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::concat;
using sim::field;
using test::ExportSession;
using test::Notification;

struct Forward {
    const char *name;
    std::function<std::int32_t()> call;
    std::uint16_t code;
    Bytes payload;
};

TEST(LegacyForwards, ReachTheWireWithTheCurrentExportsBytes) {
    ExportSession session;
    auto terminal = session.join();
    static const Bytes data(256, 0x61);
    const std::vector<Forward> forwards = {
        {"EnviaVivo", [] { return EnviaVivo(1); }, 17, {}},
        {"EnviaSempreVivo", [] { return EnviaSempreVivo(1); }, 29, {}},
        {"PedeConfig", [] { return PedeConfig(1); }, 25, {}},
        {"UpdateSoft", [] { return UpdateSoft(1); }, 113, {0x8D, 0xB2, 0x71, 0x4E}},
        {"StopAdv", [] { return StopAdv(1); }, 45, {}},
        {"DeleteAdv", [] { return DeleteAdv(1); }, 101, {}},
        {"AtualizaAdv", [] { return AtualizaAdv(1, 5); }, 117, {5, 0, 0, 0}},
        {"ClearDisplay", [] { return ClearDisplay(1, 0x10005); }, 33, {5, 0}},
        {"EscreveSerial", [] { return EscreveSerial(1, 0x101, 5, data.data()); }, 91, concat({{5, 0}, data})},
        {"EscreveSerial port 0x100", [] { return EscreveSerial(1, 0x100, 1, data.data()); }, 85, concat({{1, 0}, data})},
    };
    for (const Forward &forward : forwards) {
        SCOPED_TRACE(forward.name);
        terminal->clearFrames();
        EXPECT_EQ(forward.call(), 7 + static_cast<std::int32_t>(forward.payload.size()));
        auto frame = terminal->waitForFrame(forward.code, test::kEventWaitMs);
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(frame->payload, forward.payload);
    }
    EXPECT_EQ(EnviaVivo(2), 0);
    EXPECT_EQ(ClearDisplay(-1, 0), 0);
}

TEST(LegacyForwards, EnviaTextoBuildsTheTextRecord) {
    ExportSession session;
    auto terminal = session.join();
    terminal->clearFrames();
    const std::string longText(200, 'T');
    EXPECT_EQ(EnviaTexto(1, 0x10002, -3, longText.c_str(), "a second text that is far too long", 7, 0x70008), 177);
    auto frame = terminal->waitForFrame(35, test::kEventWaitMs);
    ASSERT_TRUE(frame.has_value());
    const Bytes expected = concat({{0x02, 0x00, 0xFD, 0xFF}, field(std::string(127, 'T'), 128),
                                   field("a second text that is far too l", 32), {0x01, 0x00}, {0x07, 0x00},
                                   {0x08, 0x00}});
    EXPECT_EQ(frame->payload, expected);
    EXPECT_EQ(EnviaTexto(1, 0, 0, nullptr, nullptr, 0, 0), 177) << "absent texts are sent empty";
}

TEST(LegacyStubs, SendNothingForAnyArgument) {
    ExportSession session;
    auto terminal = session.join();
    terminal->clearFrames();
    for (std::int32_t number : {-1, 0, 1, 2}) {
        PedeHabilitaTeclado(number);
        PedeHabilitaLEC(number);
    }
    EXPECT_EQ(kq_sendlive(1), 7);  // a frame behind them shows that nothing came before it
    ASSERT_TRUE(terminal->waitForFrame(17, test::kEventWaitMs).has_value());
    EXPECT_EQ(terminal->frames().size(), 1u);
}

class Scanners : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i) {
            terminals_.push_back(session_.join());
            devices_.push_back(std::make_unique<sim::Device>(*terminals_.back()));
        }
    }
    void TearDown() override {
        for (auto &terminal : terminals_) terminal->close();
    }
    void waitData(std::uint32_t code, std::size_t count) {
        ASSERT_TRUE(session_.host().waitFor([&](const Notification &n) { return n.isData(code); }, test::kEventWaitMs, count));
    }

    ExportSession session_;
    std::vector<std::unique_ptr<sim::SimTerminal>> terminals_;
    std::vector<std::unique_ptr<sim::Device>> devices_;
};

TEST_F(Scanners, GetSerialDrainsTheLowestNumberFirst) {
    std::int32_t number = -1, source = -1, length = -1;
    std::uint8_t buffer[256];
    EXPECT_EQ(GetSerial(&number, &source, buffer, &length), 0);
    EXPECT_EQ(length, 0) << "the length is written first, whatever follows";

    devices_[2]->serialIn(1, {'c', 'c', 'c'});
    devices_[0]->serialIn(0, {'a'});
    waitData(KQ_NOTIFY_SERIAL0, 1);
    waitData(KQ_NOTIFY_SERIAL1, 1);
    ASSERT_EQ(GetSerial(&number, &source, buffer, &length), 1);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(buffer[0], 'a');
    ASSERT_EQ(GetSerial(&number, &source, buffer, &length), 1);
    EXPECT_EQ(number, 3);
    EXPECT_EQ(source, 1);
    EXPECT_EQ(length, 3);
    length = 9;
    EXPECT_EQ(GetSerial(&number, &source, buffer, &length), 0);
    EXPECT_EQ(length, 0);
}

TEST_F(Scanners, GetSerialTakesAwayEmptyEntriesAndGoesOn) {
    devices_[0]->serialIn(0, {});
    devices_[1]->serialIn(1, {'b', 'b'});
    waitData(KQ_NOTIFY_SERIAL0, 1);
    waitData(KQ_NOTIFY_SERIAL1, 1);
    std::int32_t number = 0, source = -1, length = 0;
    std::uint8_t buffer[256];
    ASSERT_EQ(GetSerial(&number, &source, buffer, &length), 1);
    EXPECT_EQ(number, 2);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(session_.record(1)->serial.count(), 0) << "the empty entry was taken away";
}

TEST_F(Scanners, GetLecGivesTheSecondTextAndAMask) {
    devices_[1]->swipeCard("only first", "");
    devices_[0]->swipeCard("first", "second");
    waitData(KQ_NOTIFY_CARD, 2);
    std::int32_t number = 0, mask = -1;
    char second[128];
    ASSERT_EQ(GetLEC(&number, second, &mask), 1);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(mask, 3);
    EXPECT_STREQ(second, "second");
    ASSERT_EQ(GetLEC(&number, second, &mask), 1);
    EXPECT_EQ(number, 2);
    EXPECT_EQ(mask, 1);
    EXPECT_STREQ(second, "");
    EXPECT_EQ(GetLEC(&number, second, &mask), 0);
}

TEST_F(Scanners, KeysOfAllTerminalsComeNewestFirstWithTheirHandles) {
    devices_[0]->pressKey('1');
    waitData(KQ_NOTIFY_KEY, 1);
    devices_[2]->pressKey('3');
    waitData(KQ_NOTIFY_KEY, 2);
    std::int32_t handle = 0;
    unsigned char key = 0;
    ASSERT_EQ(Get_KBD_char(&handle, &key), 1);
    EXPECT_EQ(key, '3');
    EXPECT_EQ(handle, session_.record(3)->socket());
    ASSERT_EQ(Get_KBD_char(&handle, &key), 1);
    EXPECT_EQ(key, '1');
    EXPECT_EQ(handle, session_.record(1)->socket());
    EXPECT_EQ(Get_KBD_char(&handle, &key), 0);
}

TEST_F(Scanners, GetConfigScansLikeTheOthers) {
    devices_[2]->setConfig(Bytes(222, 0));
    EXPECT_EQ(PedeConfig(3), 7);
    waitData(KQ_NOTIFY_CONFIG, 1);
    std::int32_t number = 0;
    char a[5][16], t1[32], t2[100], t3[30], t4[30];
    std::int16_t n1;
    unsigned char n2, n3;
    ASSERT_EQ(GetConfig(&number, a[0], a[1], a[2], a[3], a[4], t1, &n1, t2, t3, t4, &n2, &n3), 1);
    EXPECT_EQ(number, 3);
    EXPECT_STREQ(a[0], "0.0.0.0");
}

}  // namespace
}  // namespace ks318
