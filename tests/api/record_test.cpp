// The configuration records built from, and unpacked into, separate arguments.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ks318.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::concat;
using sim::field;
using sim::le16;
using sim::le32;
using test::ExportSession;
using test::Notification;

std::string textAt(const Bytes &bytes, std::size_t offset, std::size_t width) {
    std::string text(reinterpret_cast<const char *>(bytes.data() + offset), width);
    return text.substr(0, text.find('\0'));
}

TEST(SendConfig, BuildsTheRecordFieldByField) {
    ExportSession session;
    auto terminal = session.join();
    terminal->clearFrames();
    const std::string longText(150, 'x');
    EXPECT_EQ(SendConfig(1, "192.168.0.10", "10.0.0.1", "bad address", "", "255.255.255.0", "first text", 0x12345,
                         longText.c_str(), "third", longText.c_str(), 0x01020304, -1),
              229);
    auto frame = terminal->waitForFrame(23, test::kEventWaitMs);
    ASSERT_TRUE(frame.has_value());
    const Bytes &record = frame->payload;
    ASSERT_EQ(record.size(), 222u);
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 4), (Bytes{0xC0, 0xA8, 0x00, 0x0A}));
    EXPECT_EQ(Bytes(record.begin() + 4, record.begin() + 8), (Bytes{10, 0, 0, 1}));
    EXPECT_EQ(Bytes(record.begin() + 8, record.begin() + 12), Bytes(4, 0xFF)) << "text that is no address";
    EXPECT_EQ(Bytes(record.begin() + 12, record.begin() + 16), Bytes(4, 0xFF)) << "an empty address text";
    EXPECT_EQ(Bytes(record.begin() + 16, record.begin() + 20), (Bytes{255, 255, 255, 0}));
    EXPECT_EQ(textAt(record, 20, 32), "first text");
    EXPECT_EQ(Bytes(record.begin() + 52, record.begin() + 54), (Bytes{0x45, 0x23}));
    EXPECT_EQ(textAt(record, 54, 100), std::string(99, 'x')) << "cut to keep its zero inside the field";
    EXPECT_EQ(record[153], 0);
    EXPECT_EQ(textAt(record, 154, 30), "third");
    EXPECT_EQ(textAt(record, 184, 30), std::string(29, 'x'));
    EXPECT_EQ(record[213], 0);
    EXPECT_EQ(Bytes(record.begin() + 214, record.begin() + 218), (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(Bytes(record.begin() + 218, record.begin() + 222), Bytes(4, 0xFF));
    EXPECT_EQ(SendConfig(2, "", "", "", "", "", "", 0, "", "", "", 0, 0), 0) << "no terminal 2";
}

Bytes configRecord(const std::string &first, std::uint32_t second, std::uint32_t third, const Bytes &fill = {}) {
    Bytes record = concat({{192, 168, 1, 2}, {10, 0, 0, 1}, {0, 0, 0, 0}, {255, 255, 255, 255}, {1, 2, 3, 4},
                           field(first, 32), le16(0xFFFE), field("second", 100), field("third", 30),
                           field("fourth", 30), le32(second), le32(third)});
    if (!fill.empty()) std::copy(fill.begin(), fill.end(), record.begin() + 54);
    return record;
}

TEST(GetConfig, UnpacksTheNewestRecordOfTheLowestNumberedTerminal) {
    ExportSession session;
    auto first = session.join(), second = session.join(), third = session.join();
    second->send(26, configRecord("from two", 0x1234, 0x00FF));
    third->send(26, configRecord("from three, older", 1, 2));
    third->send(26, configRecord("from three", 3, 4, Bytes(100, 'z')));  // second text fills its field
    ASSERT_TRUE(session.host().waitFor([](const Notification &n) { return n.isData(KQ_NOTIFY_CONFIG); }, test::kEventWaitMs, 3));

    std::int32_t number = 0;
    char a1[16], a2[16], a3[16], a4[16], a5[16], t1[32], t2[100], t3[30], t4[30];
    std::int16_t n1 = 0;
    unsigned char n2 = 0, n3 = 0;
    ASSERT_EQ(GetConfig(&number, a1, a2, a3, a4, a5, t1, &n1, t2, t3, t4, &n2, &n3), 1);
    EXPECT_EQ(number, 2);
    EXPECT_STREQ(a1, "192.168.1.2");
    EXPECT_STREQ(a2, "10.0.0.1");
    EXPECT_STREQ(a3, "0.0.0.0");
    EXPECT_STREQ(a4, "255.255.255.255");
    EXPECT_STREQ(a5, "1.2.3.4");
    EXPECT_STREQ(t1, "from two");
    EXPECT_EQ(n1, -2);
    EXPECT_STREQ(t2, "second");
    EXPECT_STREQ(t3, "third");
    EXPECT_STREQ(t4, "fourth");
    EXPECT_EQ(n2, 0x34) << "only the low byte";
    EXPECT_EQ(n3, 0xFF);

    ASSERT_EQ(GetConfig(&number, a1, a2, a3, a4, a5, t1, &n1, t2, t3, t4, &n2, &n3), 1);
    EXPECT_EQ(number, 3);
    EXPECT_STREQ(t1, "from three");
    EXPECT_EQ(std::string(t2), std::string(99, 'z')) << "a full field is cut to fit its 100-byte buffer";
    ASSERT_EQ(GetConfig(&number, a1, a2, a3, a4, a5, t1, &n1, t2, t3, t4, &n2, &n3), 1);
    EXPECT_EQ(number, 3);
    EXPECT_STREQ(t1, "from three, older");
    number = 42;
    EXPECT_EQ(GetConfig(&number, a1, a2, a3, a4, a5, t1, &n1, t2, t3, t4, &n2, &n3), 0);
    EXPECT_EQ(number, 42);
}

TEST(SendConfigWifi, FillsItsTextFieldsWithoutRoomForAZero) {
    ExportSession session;
    auto terminal = session.join();
    terminal->clearFrames();
    EXPECT_EQ(SendConfigWifi(1, 1, -2, "abcdefghijklmnopqrstuvwxy", 3, 4, "net"), 107);
    auto frame = terminal->waitForFrame(151, test::kEventWaitMs);
    ASSERT_TRUE(frame.has_value());
    const Bytes expected = concat({le32(1), le32(0xFFFFFFFE), field("abcdefghijklmnopqrst", 20), le32(3), le32(4),
                                   field("net", 64)});
    EXPECT_EQ(frame->payload, expected);
    EXPECT_EQ(SendConfigWifi(0, 1, 2, "a", 3, 4, "b"), -1);
}

TEST(AbreSerialCOM, BuildsTheSerialRecordAndPicksTheCodeByPort) {
    ExportSession session;
    auto terminal = session.join();
    terminal->clearFrames();
    EXPECT_EQ(AbreSerialCOM(1, 1, 0x1FF, 9600, 8, 0x100), 19);
    auto frame = terminal->waitForFrame(87, test::kEventWaitMs);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->payload, (Bytes{0xFF, 0, 0, 0, 0x80, 0x25, 0, 0, 0x08, 0x00, 0x0A, 0x00}));
    EXPECT_EQ(AbreSerialCOM(1, 0x100, 1, 2, 3, 4), 19) << "the port's low byte is 0";
    EXPECT_TRUE(terminal->waitForFrame(81, test::kEventWaitMs).has_value());
    EXPECT_EQ(AbreSerialCOM(-1, 0, 1, 2, 3, 4), 0);
}

}  // namespace
}  // namespace ks318
