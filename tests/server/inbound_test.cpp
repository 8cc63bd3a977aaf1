// Every code of the inbound catalogue: what is stored and what the host is told.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "ks318.h"
#include "server/connection.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::concat;
using sim::le16;
using sim::le32;
using test::Notification;
using test::TestServer;
using test::kEventWaitMs;

class Inbound : public ::testing::Test {
protected:
    void SetUp() override {
        terminal_ = server_.join();
        // The terminal stays however slowly the test goes: it answers probes.
        test::answerProbes(*terminal_);
        record_ = server_.server().terminals().get(1);
        ASSERT_TRUE(record_);
        handle_ = static_cast<std::uint32_t>(record_->socket()) & 0xFFFF;
        // The handshake's identifier answer arrives first; start from a clean slate.
        ASSERT_TRUE(host().waitFor([](const Notification &n) { return n.isData(28); }, kEventWaitMs));
        host().clear();
    }

    test::HostRecorder &host() { return server_.host(); }

    // Sends a frame and waits for its data notification; returns it.
    Notification sendAndWait(std::uint16_t code, const Bytes &payload, std::uint32_t notifyCode) {
        terminal_->send(code, payload);
        return waitData(notifyCode);
    }

    Notification waitData(std::uint32_t notifyCode, std::size_t count = 1) {
        auto match = [&](const Notification &n) { return n.isData(notifyCode); };
        EXPECT_TRUE(host().waitFor(match, kEventWaitMs, count)) << "no data notification " << notifyCode;
        auto found = host().matching(match);
        return found.empty() ? Notification{} : found.back();
    }

    // Frames that notify nothing are followed by one that does, so the first is known handled.
    void sync() { sendAndWait(150, {}, 150); }

    // Sends a frame whose payload never completes, and waits until the server
    // has ended the connection: what would follow is no longer at a frame's start.
    void sendShortAndWaitUntilDropped(std::uint16_t code, std::int32_t length, const Bytes &payload) {
        terminal_->sendWithLength(code, length, payload);
        ASSERT_TRUE(terminal_->waitDisconnected(kEventWaitMs));
        ASSERT_TRUE(host().waitFor([](const Notification &n) { return n.isDisconnect(); }, kEventWaitMs));
    }

    TestServer server_;  // 300 ms receive limit
    std::unique_ptr<sim::SimTerminal> terminal_;
    TerminalRef record_;
    std::uint32_t handle_ = 0;
};

// The named codes are the numbers host programs were built with: a name that
// moved would break every host compiled before. The tests here send the
// terminal's frames by their own numbers and see them notified under these.
TEST(NotificationNames, EachNameKeepsTheNumberHostsWereBuiltWith) {
    constexpr std::pair<int, int> kNamed[] = {
        {KQ_NOTIFY_CONFIG_SET, 24}, {KQ_NOTIFY_CONFIG, 26}, {KQ_NOTIFY_UID, 28}, {KQ_NOTIFY_ADV_STOPPED, 45},
        {KQ_NOTIFY_KEY, 53}, {KQ_NOTIFY_CARD, 69}, {KQ_NOTIFY_SERIAL0, 83}, {KQ_NOTIFY_SERIAL1, 89},
        {KQ_NOTIFY_FILE, 98}, {KQ_NOTIFY_SOFTWARE_UPDATE, 114}, {KQ_NOTIFY_ADV_RELOADED, 118},
        {KQ_NOTIFY_RESTART, 122}, {KQ_NOTIFY_SC, 124}, {KQ_NOTIFY_IMAGE_UPDATE, 148},
        {KQ_NOTIFY_IMAGES_UPDATED, 150}, {KQ_NOTIFY_WIFI_SET, 152}, {KQ_NOTIFY_WIFI, 154},
        {KQ_NOTIFY_SERIAL_STATUS, 161}, {KQ_NOTIFY_MEDIA_SHOWN, 167}, {KQ_NOTIFY_SENSOR_SET, 169},
        {KQ_NOTIFY_SENSOR, 171}, {KQ_NOTIFY_AUDIO_SET, 173}, {KQ_NOTIFY_AUDIO, 175}, {KQ_NOTIFY_VOLUME_SET, 177},
        {KQ_NOTIFY_VOLUME, 179}, {KQ_NOTIFY_BRIGHTNESS_SET, 181}, {KQ_NOTIFY_BRIGHTNESS, 183},
        {KQ_NOTIFY_MEDIA_DELETED, 185}, {KQ_NOTIFY_INTERNAL_CLEANED, 187}, {KQ_NOTIFY_EXTERNAL_CLEANED, 189},
        {KQ_ANSWER_DISPLAY_TIME, 42},
    };
    for (const auto &[named, number] : kNamed) EXPECT_EQ(named, number);
    // lParam of a data notification from handle 0x1234 with extra value 3, and of a connect of terminal 7.
    EXPECT_EQ(KQ_DATA_HANDLE(0x00031234u), 0x1234u);
    EXPECT_EQ(KQ_DATA_EXTRA(0x00031234u), 3u);
    EXPECT_TRUE(KQ_LINK_IS_CONNECT(0x00070001u));
    EXPECT_EQ(KQ_LINK_TERMINAL(0x00070001u), 7u);
    EXPECT_FALSE(KQ_LINK_IS_CONNECT(0x12340000u));
    EXPECT_EQ(KQ_LINK_HANDLE(0x12340000u), 0x1234u);
    // Identification word bytes 20 01 3E 00: version 32, model 0x01 * 256 + 0x3E = 318.
    EXPECT_EQ(KQ_IDENT_VERSION(0x003E0120), 32);
    EXPECT_EQ(KQ_IDENT_MODEL(0x003E0120), 318);
}

TEST_F(Inbound, ResultCodesReportTheirFlag) {
    struct Case {
        std::uint16_t code;
        std::uint32_t notified;
    };
    for (Case c : {Case{24, 24}, Case{46, 45}, Case{114, 114}, Case{118, 118}, Case{122, 122}, Case{152, 152}}) {
        for (std::uint32_t value : {1u, 2u, 0u}) {
            host().clear();
            Notification n = sendAndWait(c.code, le32(value), c.notified);
            EXPECT_EQ(n.high(), value == 1 ? 1u : 0u) << "code " << c.code << " value " << value;
            EXPECT_EQ(n.low(), handle_);
            EXPECT_EQ(n.message, test::kDataMessage);
        }
    }
}

TEST_F(Inbound, ConfigurationAndWifiRecordsArePushed) {
    Bytes config(222);
    for (std::size_t i = 0; i < config.size(); ++i) config[i] = static_cast<std::uint8_t>(i);
    Bytes wifi(100, 0x5A);
    EXPECT_EQ(sendAndWait(26, config, 26).high(), 0u);
    EXPECT_EQ(sendAndWait(154, wifi, 154).high(), 0u);
    std::uint8_t out[222];
    ASSERT_TRUE(record_->config.pop(out));
    EXPECT_EQ(Bytes(out, out + 222), config);
    ASSERT_TRUE(record_->wifi.pop(out));
    EXPECT_EQ(Bytes(out, out + 100), wifi);
}

TEST_F(Inbound, AShortPayloadStoresAndNotifiesNothing) {
    sendShortAndWaitUntilDropped(26, 222, Bytes(100, 1));
    EXPECT_EQ(record_->config.count(), 0);
    EXPECT_TRUE(host().matching([](const Notification &n) { return n.isData(26); }).empty());
}

TEST_F(Inbound, IdentifierAndScBlockAreKept) {
    Bytes uid{1, 2, 3, 4, 5, 6};
    sendAndWait(28, concat({uid, sim::field("terminal text", 32)}), 28);
    sendAndWait(124, {9, 8, 7, 6, 5, 4, 3, 2}, 124);
    TerminalReports reports = record_->reports();
    EXPECT_EQ(Bytes(reports.uid, reports.uid + 6), uid);
    EXPECT_STREQ(reports.uidText, "terminal text");
    EXPECT_EQ(Bytes(reports.scData, reports.scData + 8), (Bytes{9, 8, 7, 6, 5, 4, 3, 2}));
}

TEST_F(Inbound, TextAnswerIsReadAndDropped) {
    terminal_->send(36, Bytes(10, 1));
    sync();
    EXPECT_EQ(host().all().size(), 1u) << "only the sync frame notified";
}

TEST_F(Inbound, DisplayTimeLandsOnTheEventStackAndIsReportedAs171) {
    Notification n = sendAndWait(42, {0x0A, 0x00}, 171);
    EXPECT_EQ(n.high(), 0u);
    EventStack::Event event{};
    int remaining = -1;
    ASSERT_TRUE(record_->events.pop(event, remaining));
    EXPECT_EQ(event.code, 42);
    EXPECT_EQ(event.value, 10);
}

TEST_F(Inbound, KeysGoToTheServerWideBufferWithTheHandle) {
    Notification n = sendAndWait(53, {'7'}, 53);
    EXPECT_EQ(n.high(), static_cast<std::uint32_t>('7'));
    std::int32_t handle = 0;
    std::uint8_t key = 0;
    ASSERT_TRUE(server_.server().keys().pop(handle, key));
    EXPECT_EQ(key, '7');
    EXPECT_EQ(handle, record_->socket());
}

TEST_F(Inbound, AShortKeyIsStoredButNotNotified) {
    sendShortAndWaitUntilDropped(53, 2, {'q'});
    EXPECT_TRUE(host().matching([](const Notification &n) { return n.isData(53); }).empty());
    std::int32_t handle = 0;
    std::uint8_t key = 0;
    ASSERT_TRUE(server_.server().keys().pop(handle, key));
    EXPECT_EQ(key, 'q');
}

TEST_F(Inbound, CardReadStoresBothTextsAndReportsItsFlags) {
    Bytes card(388, 0);
    std::memcpy(card.data(), "track one", 9);
    std::memcpy(card.data() + 128, "track two", 9);
    std::memcpy(card.data() + 384, le32(0x10003).data(), 4);
    Notification n = sendAndWait(69, card, 69);
    EXPECT_EQ(n.high(), 3u) << "the low 16 bits of the flags";
    char first[128], second[128];
    ASSERT_TRUE(record_->mag.pop(first, second));
    EXPECT_STREQ(first, "track one");
    EXPECT_STREQ(second, "track two");
}

TEST_F(Inbound, CardReadWithFlagsZeroStoresNothingButIsNotified) {
    sendAndWait(69, Bytes(388, 'x'), 69);
    EXPECT_EQ(record_->mag.textCount(), 0);
}

TEST_F(Inbound, SerialDataFromBothPorts) {
    Bytes data(300, 'd');
    sendAndWait(83, concat({le16(300), data}), 83);
    sendAndWait(89, concat({le16(3), {'a', 'b', 'c'}}), 89);
    std::uint8_t out[256];
    std::int32_t source = -1;
    int length = 0;
    ASSERT_TRUE(record_->serial.pop(out, source, length));
    EXPECT_EQ(length, 3);
    EXPECT_EQ(source, 1);
    EXPECT_EQ(Bytes(out, out + 3), (Bytes{'a', 'b', 'c'}));
    ASSERT_TRUE(record_->serial.pop(out, source, length));
    EXPECT_EQ(length, 256);
    EXPECT_EQ(source, 0);
}

TEST_F(Inbound, ABurstLongerThanTheReadAheadIsHandledFrameByFrameInOrder) {
    // 400 frames of 73 bytes in one write: far more than one buffer's worth, with
    // frames cut at every refill. The host collects each entry as it is told.
    std::vector<Bytes> popped;
    host().onData([&](const Notification &n) {
        if (!n.isData(83)) return;
        std::uint8_t out[256];
        std::int32_t source = -1;
        int length = 0;
        if (record_->serial.pop(out, source, length)) popped.emplace_back(out, out + length);
    });
    Bytes burst;
    std::vector<Bytes> sent;
    for (int i = 0; i < 400; ++i) {
        Bytes data(64);
        for (std::size_t j = 0; j < data.size(); ++j) data[j] = static_cast<std::uint8_t>(i * 7 + j);
        sent.push_back(data);
        Bytes frame = sim::encodeFrame(83, concat({le16(64), data}));
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(terminal_->sendRaw(burst));
    waitData(83, 400);
    sync();
    host().onData(nullptr);
    EXPECT_EQ(popped, sent);
}

TEST_F(Inbound, SerialCountBeyondWhatArrivedNeverReadsPastTheFrame) {
    // A longer frame first, so that its bytes would show through if the frame
    // buffer were not cleared behind a shorter one.
    sendAndWait(83, concat({le16(256), Bytes(256, 0xEE)}), 83);
    terminal_->send(83, concat({le16(0xFFFF), {'x'}}));
    waitData(83, 2);
    std::uint8_t out[256];
    std::int32_t source;
    int length = 0;
    ASSERT_TRUE(record_->serial.pop(out, source, length));
    EXPECT_EQ(length, 256);
    EXPECT_EQ(out[0], 'x');
    EXPECT_EQ(std::count(out + 1, out + 256, 0), 255) << "bytes that did not arrive read as zero";
    ASSERT_TRUE(record_->serial.pop(out, source, length));
    EXPECT_EQ(std::count(out, out + 256, 0xEE), 256);
}

TEST_F(Inbound, FileAnswerIsReadByItsLengthAndKept) {
    Bytes answer = concat({sim::field("some/file", 128), le32(1), Bytes(5000, 0xAA)});
    Notification n = sendAndWait(98, answer, 98);
    EXPECT_EQ(n.high(), 1u);
    sync();  // the stream is still in step
    EXPECT_EQ(record_->pendingFile.size, 5000);
}

TEST_F(Inbound, ImageUpdateConfigurationIsKept) {
    Bytes config = concat({le32(7), sim::field("images/", 100), le32(8), le32(0xFFFFFFFF)});
    sendAndWait(148, config, 148);
    ImageUpdateConfig stored = record_->imageUpdateConfig();
    EXPECT_EQ(stored.first, 7);
    EXPECT_STREQ(stored.text, "images/");
    EXPECT_EQ(stored.second, 8);
    EXPECT_EQ(stored.third, -1);
}

TEST_F(Inbound, ImageUpdateConfigurationOfAnyOtherLengthIsDroppedWhole) {
    sendAndWait(148, concat({le32(1), sim::field("kept", 100), le32(2), le32(3)}), 148);
    host().clear();
    // Shorter, longer, and longer than the frame buffer: each is read past, nothing stored.
    for (std::size_t length : {111u, 113u, 100u, 400u}) terminal_->send(148, Bytes(length, 0x39));
    sync();
    EXPECT_TRUE(host().matching([](const Notification &n) { return n.isData(148); }).empty());
    ImageUpdateConfig stored = record_->imageUpdateConfig();
    EXPECT_EQ(stored.first, 1);
    EXPECT_STREQ(stored.text, "kept");
    EXPECT_EQ(stored.third, 3);
}

TEST_F(Inbound, ImageUpdateTextWithoutItsZeroIsCutToFit) {
    sendAndWait(148, concat({le32(1), Bytes(100, 'z'), le32(2), le32(3)}), 148);
    ImageUpdateConfig stored = record_->imageUpdateConfig();
    EXPECT_EQ(std::string(stored.text), std::string(99, 'z'));
    EXPECT_EQ(stored.second, 2) << "the numbers behind the text are still read from their offsets";
}

TEST_F(Inbound, ImagesUpdatedIsNotifiedWithOrWithoutPayload) {
    sendAndWait(150, Bytes(20, 1), 150);
    sendAndWait(150, {}, 150);
    sendAndWait(150, Bytes(1000, 2), 150);
    EXPECT_EQ(waitData(150, 3).high(), 0u);
}

TEST_F(Inbound, SerialStatusChoosesItsSlotByTheFirstByte) {
    Notification n = sendAndWait(162, {0x01, 0x05}, 161);
    EXPECT_EQ(n.high(), 1u);
    host().clear();
    n = sendAndWait(162, {0x00, 0x07}, 161);
    EXPECT_EQ(n.high(), 0u);
    TerminalReports reports = record_->reports();
    EXPECT_EQ(reports.serialStatus[1], 0x0501);
    EXPECT_EQ(reports.serialStatus[0], 0x0700);
}

TEST_F(Inbound, AnswersGoOnTheEventStackAndStatusValuesAreKeptWhole) {
    for (int code = 167; code <= 189; code += 2) {
        host().clear();
        Notification n = sendAndWait(static_cast<std::uint16_t>(code), {0x02, 0x00, 0x01, 0x00}, static_cast<std::uint32_t>(code));
        EXPECT_EQ(n.high(), 0u);
        EventStack::Event event{};
        int remaining = -1;
        ASSERT_TRUE(record_->events.pop(event, remaining)) << code;
        EXPECT_EQ(event.code, code);
        EXPECT_EQ(event.value, 2) << "the low 16 bits";
    }
    EXPECT_EQ(record_->sensorStatus.load(), 0x00010002);
    EXPECT_EQ(record_->audioStatus.load(), 0x00010002);
    EXPECT_EQ(record_->volume.load(), 0x00010002);
    EXPECT_EQ(record_->brightness.load(), 0x00010002);
}

TEST_F(Inbound, FullStoresRefuseButTheHostIsStillTold) {
    for (int i = 0; i < 21; ++i) sendAndWait(177, le32(static_cast<std::uint32_t>(i)), 177);
    EXPECT_EQ(waitData(177, 21).high(), 0u);
    EXPECT_EQ(record_->events.top(), 19);
    EXPECT_EQ(record_->events.valueAt(19), 19) << "the 21st answer was not written past the stack";
    for (int i = 0; i < 17; ++i) terminal_->send(83, concat({le16(1), {static_cast<std::uint8_t>(i)}}));
    waitData(83, 17);
    EXPECT_EQ(record_->serial.count(), 16);
}

TEST_F(Inbound, ALaterIdentificationMayChangeTheVersionButNotTheModel) {
    terminal_->send(20, {31, 0x01, 0x40, 7});
    sync();
    EXPECT_EQ(record_->terminalVersion(), 31);
    EXPECT_EQ(record_->ident(), 0x0740011Fu);

    // Another model would change the screen size under a host that sized its
    // image by the first: the terminal is dropped and comes back as a new one.
    terminal_->send(20, {31, 0x01, 0x3E, 0});
    EXPECT_TRUE(terminal_->waitDisconnected(kEventWaitMs));
    EXPECT_TRUE(host().waitFor([](const Notification &n) { return n.isDisconnect(); }, kEventWaitMs));
    EXPECT_EQ(record_->modelNumber(), 320) << "the record kept the model of its handshake";
}

TEST_F(Inbound, CodesOutsideTheCatalogueAreSkippedWhole) {
    terminal_->send(18, {0x02, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00});  // looks like a header inside
    sync();
    EXPECT_EQ(host().all().size(), 1u);
}

}  // namespace
}  // namespace ks318
