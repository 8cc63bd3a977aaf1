// Round trips through a simulated device for every read export: what the
// terminal sent, stored, and handed to the host newest first.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "ks318.h"
#include "sim/device.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::le32;
using test::ExportSession;
using test::Notification;

class Reads : public ::testing::Test {
protected:
    void SetUp() override {
        terminal_ = session_.join();
        device_ = std::make_unique<sim::Device>(*terminal_);
    }
    void TearDown() override {
        terminal_->close();  // the device's answers stop before the device goes
    }
    bool notified(std::uint32_t code, std::size_t count = 1) {
        return session_.host().waitFor([&](const Notification &n) { return n.isData(code); }, test::kEventWaitMs, count);
    }

    ExportSession session_;
    std::unique_ptr<sim::SimTerminal> terminal_;
    std::unique_ptr<sim::Device> device_;
};

TEST_F(Reads, SerialEntriesComeNewestFirstAndAnEmptyStoreLeavesTheOutputsAlone) {
    device_->serialIn(0, Bytes(3, 'a'));
    device_->serialIn(1, Bytes(5, 'b'));
    device_->serialIn(0, Bytes(7, 'c'));
    ASSERT_TRUE(notified(83, 2) && notified(89));
    std::uint8_t buffer[256];
    std::int32_t source = -1;
    EXPECT_EQ(kq_getserial(1, &source, buffer), 7);
    EXPECT_EQ(buffer[6], 'c');
    EXPECT_EQ(source, 0);
    EXPECT_EQ(kq_getserial(1, &source, buffer), 5);
    EXPECT_EQ(source, 1);
    EXPECT_EQ(kq_getserial(1, &source, buffer), 3);
    std::memset(buffer, 0x5A, sizeof buffer);
    source = 77;
    EXPECT_EQ(kq_getserial(1, &source, buffer), 0);
    EXPECT_EQ(buffer[0], 0x5A);
    EXPECT_EQ(source, 77);
}

TEST_F(Reads, SerialEntriesOf200And256Bytes) {
    Bytes two(200), full(256);
    for (int i = 0; i < 256; ++i) full[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    std::copy_n(full.begin(), 200, two.begin());
    device_->serialIn(0, full);
    device_->serialIn(0, two);
    ASSERT_TRUE(notified(83, 2));
    std::uint8_t buffer[256];
    std::int32_t source;
    EXPECT_EQ(kq_getserial(1, &source, buffer), 200);
    EXPECT_EQ(Bytes(buffer, buffer + 200), two);
    EXPECT_EQ(kq_getserial(1, &source, buffer), 256);
    EXPECT_EQ(Bytes(buffer, buffer + 256), full);
}

TEST_F(Reads, CardReadsComeAsPairsWithAbsentTextsEmpty) {
    device_->swipeCard("", "second only");
    ASSERT_TRUE(notified(69));
    char first[128] = "untouched", second[128] = "untouched";
    EXPECT_EQ(kq_getmag(1, first, second), 1);
    EXPECT_STREQ(first, "");
    EXPECT_STREQ(second, "second only");
    EXPECT_EQ(kq_getmag(1, first, second), 0);
}

TEST_F(Reads, ConfigurationAndWifiRecordsRoundTrip) {
    Bytes config(222), wifi(100);
    for (std::size_t i = 0; i < config.size(); ++i) config[i] = static_cast<std::uint8_t>(i * 5);
    for (std::size_t i = 0; i < wifi.size(); ++i) wifi[i] = static_cast<std::uint8_t>(i + 9);
    EXPECT_EQ(kq_sendconfig(1, config.data()), 229);
    EXPECT_EQ(kq_sendconfigwifi(1, wifi.data()), 107);
    ASSERT_TRUE(notified(24) && notified(152));
    EXPECT_EQ(session_.host().matching([](const Notification &n) { return n.isData(KQ_NOTIFY_CONFIG_SET); }).front().high(), 1u);
    EXPECT_EQ(kq_reqconfig(1), 7);
    EXPECT_EQ(kq_reqconfigwifi(1), 7);
    ASSERT_TRUE(notified(26) && notified(154));
    std::uint8_t out[222] = {};
    EXPECT_EQ(kq_getconfig(1, out), 1);
    EXPECT_EQ(Bytes(out, out + 222), config);
    EXPECT_EQ(kq_getconfig(1, out), 0);
    EXPECT_EQ(kq_getconfigwifi(1, out), 1);
    EXPECT_EQ(Bytes(out, out + 100), wifi);
    EXPECT_EQ(kq_getconfigwifi(1, out), 0);
}

TEST_F(Reads, StatusValuesAreTheLastReported) {
    device_->setSensorStatus(0x00010002);
    device_->setAudioStatus(4);
    EXPECT_EQ(kq_getvolume(1), 0) << "nothing reported yet";
    EXPECT_EQ(kq_setvolume(1, 70), 11);
    EXPECT_EQ(kq_setbrightness(1, 33), 11);
    ASSERT_TRUE(notified(177) && notified(181));
    EXPECT_EQ(kq_pedevolume(1), 7);
    EXPECT_EQ(kq_pedebrightness(1), 7);
    EXPECT_EQ(kq_pedesensorstatus(1), 7);
    EXPECT_EQ(kq_pedeaudiostatus(1), 7);
    ASSERT_TRUE(notified(179) && notified(183) && notified(171) && notified(175));
    EXPECT_EQ(kq_getvolume(1), 70);
    EXPECT_EQ(kq_getbrightness(1), 33);
    EXPECT_EQ(kq_getsensorstatus(1), 0x00010002);
    EXPECT_EQ(kq_getaudiostatus(1), 4);
}

TEST_F(Reads, IdentifierScBlockIdentAndSerialStatus) {
    device_->setScData({1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(kq_reqsc(1), 7);
    EXPECT_EQ(kq_sersetstatus(1, 1, 0x55), 9);
    EXPECT_EQ(kq_serreqstatus(1, 1), 8);
    ASSERT_TRUE(notified(124) && notified(161));
    std::uint8_t sc[8] = {};
    EXPECT_EQ(kq_getsc(1, sc), 1);
    EXPECT_EQ(Bytes(sc, sc + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    std::int16_t status = 0;
    EXPECT_EQ(kq_sergetstatus(1, 7, &status), 1);
    EXPECT_EQ(status, 0x5501);
    EXPECT_EQ(kq_sergetstatus(1, 0, &status), 1);
    EXPECT_EQ(status, 0);

    char text[64] = "ID=";
    char uidText[32];
    EXPECT_EQ(kq_getuid(1, text, uidText), 1);
    EXPECT_STREQ(text, "ID=00:1A:2B:3C:4D:5E");
    EXPECT_STREQ(uidText, "SIM TERMINAL");
    EXPECT_EQ(kq_getident(1), 0x00400120);  // version 32, model 320
}

TEST_F(Reads, DisplayTimeAnswerLandsOnTheAnswerEvents) {
    EXPECT_EQ(SetaTempoExib(1, 25), 9);
    PedeTempoExib(1);
    ASSERT_TRUE(notified(171));
    std::int32_t number = 0, value = 0, count = -1;
    unsigned char code = 0;
    ASSERT_EQ(kq_TemResposta(&number, &code, &value, &count), 1);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(code, 42);
    EXPECT_EQ(value, 25);
    EXPECT_EQ(count, 0);
}

TEST(ReadsWithoutReports, IdentifierOfATerminalThatNeverReportedIsZero) {
    ExportSession session;
    sim::SimTerminal silent;
    silent.onFrame(27, nullptr);
    ASSERT_TRUE(silent.connectAndIdentify("127.0.0.1", session.port()));
    char text[32] = "";
    std::uint8_t uidText[32];
    std::memset(uidText, 0xEE, sizeof uidText);
    EXPECT_EQ(kq_getuid(1, text, uidText), 1);
    EXPECT_STREQ(text, "00:00:00:00:00:00");
    EXPECT_EQ(Bytes(uidText, uidText + 32), Bytes(32, 0));
    std::uint8_t sc[8];
    EXPECT_EQ(kq_getsc(1, sc), 1);
    EXPECT_EQ(Bytes(sc, sc + 8), Bytes(8, 0));
    EXPECT_EQ(kq_getuid(2, text, uidText), 0);
}

TEST(Answers, ScanTakesTheLowestNumberedTerminalNewestFirst) {
    ExportSession session;
    auto first = session.join();
    auto second = session.join();
    second->send(167, le32(1));
    second->send(185, le32(0));
    ASSERT_TRUE(session.host().waitFor([](const Notification &n) { return n.isData(KQ_NOTIFY_MEDIA_DELETED); }, test::kEventWaitMs));
    std::int32_t number = 0, value = -5, count = -5;
    unsigned char code = 0;
    ASSERT_EQ(kq_TemResposta(&number, &code, &value, &count), 1);
    EXPECT_EQ(number, 2);
    EXPECT_EQ(code, 185);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(count, 1);
    ASSERT_EQ(kq_TemResposta(&number, &code, &value, &count), 1);
    EXPECT_EQ(code, 167);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(count, 0);
    number = 99;
    EXPECT_EQ(kq_TemResposta(&number, &code, &value, &count), 0);
    EXPECT_EQ(number, 99) << "nothing written when no terminal has an answer";
}

TEST(Answers, IndexedReadsSeeSlotsWithoutPopping) {
    ExportSession session;
    auto terminal = session.join();
    EXPECT_EQ(kq_GetResposta(1, -1), -1);
    for (std::uint32_t value : {10u, 11u, 12u}) terminal->send(169, le32(value));
    ASSERT_TRUE(session.host().waitFor([](const Notification &n) { return n.isData(KQ_NOTIFY_SENSOR_SET); }, test::kEventWaitMs, 3));
    EXPECT_EQ(kq_GetResposta(1, -1), 2);
    EXPECT_EQ(kq_GetResposta(1, 0), 10);
    EXPECT_EQ(kq_GetResposta(1, 2), 12);
    EXPECT_EQ(kq_GetResposta(1, 19), 0);
    EXPECT_EQ(kq_GetResposta(1, 20), -1);
    EXPECT_EQ(kq_GetResposta(1, -2), -1);
    EXPECT_EQ(kq_GetResposta(2, 0), -1) << "no terminal 2";
    std::int32_t number, value, count;
    unsigned char code;
    ASSERT_EQ(kq_TemResposta(&number, &code, &value, &count), 1);
    EXPECT_EQ(kq_GetResposta(1, -1), 1);
    EXPECT_EQ(kq_GetResposta(1, 2), 12) << "a popped slot keeps its value";
}

TEST(ReadGates, StatusReadsOfAnotherModelGiveTheFailValueEvenWhenStored) {
    ExportSession session;
    sim::Identity small;
    small.model = 318;
    auto terminal = session.join(small);
    session.record(1)->volume = 55;
    session.record(1)->sensorStatus = 5;
    EXPECT_EQ(kq_getvolume(1), -1);
    EXPECT_EQ(kq_getaudiostatus(1), -1);
    EXPECT_EQ(kq_getbrightness(1), -1);
    EXPECT_EQ(kq_getsensorstatus(1), 0);
    EXPECT_EQ(kq_getident(1), 0x003E0120);
    std::uint8_t buffer[256];
    std::int32_t source;
    EXPECT_EQ(kq_getserial(-1, &source, buffer), 0);
    EXPECT_EQ(kq_getserial(0, &source, buffer), 0);
    EXPECT_EQ(kq_getserial(2, &source, buffer), 0);
}

}  // namespace
}  // namespace ks318
