// The listings' byte layouts, the removal of unidentified terminals, and the
// address exports.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ks318.h"
#include "server/listings.h"
#include "tests/support/host_recorder.h"
#include "tests/support/record_fields.h"

namespace ks318 {
namespace {

using test::Notification;
using test::TestServer;
using test::int32At;

sim::Identity model(std::uint16_t number, const std::string &text = "") {
    sim::Identity identity;
    identity.model = number;
    identity.uidText = text;
    return identity;
}

TEST(Listings, ConnectedTableOfAnEmptyServerIsAllZero) {
    std::vector<std::uint8_t> table(kConnectedTableBytes, 0xCC);
    EXPECT_EQ(GetTabConectados(table.data()), table.data());
    EXPECT_EQ(table, std::vector<std::uint8_t>(kConnectedTableBytes, 0));
}

TEST(Listings, ConnectedTableListsNumbersAndAddresses) {
    TestServer server(test::steadyLimits());  // no terminal is dropped for silence meanwhile
    auto a = server.join(), b = server.join(), c = server.join();
    std::vector<std::uint8_t> table(kConnectedTableBytes, 0xCC);
    fillConnectedTable(server.server().terminals(), table.data());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(int32At(table, 4 * i), i + 1);
        EXPECT_EQ(std::vector<std::uint8_t>(table.begin() + 4096 + 4 * i, table.begin() + 4100 + 4 * i),
                  (std::vector<std::uint8_t>{127, 0, 0, 1}));
    }
    EXPECT_EQ(int32At(table, 12), 0);
    EXPECT_EQ(int32At(table, 4096 + 12), 0);
    EXPECT_EQ(int32At(table, 8192), 3);
}

TEST(Listings, TerminalListDropsUnidentifiedTerminalsAndRenumbers) {
    TestServer server(test::steadyLimits());  // only the listing drops a terminal here
    auto first = server.join(model(320, "first"));
    auto unidentified = server.join(model(0, "nobody"));
    auto third = server.join(model(318, std::string(40, 'L')));
    ASSERT_TRUE(server.host().waitFor([](const Notification &n) { return n.isData(KQ_NOTIFY_UID); }, test::kEventWaitMs, 3));
    std::vector<std::uint8_t> list(kTerminalListBytes, 0xCC);
    fillTerminalList(server.server().terminals(), list.data());

    EXPECT_EQ(int32At(list, 47104), 2);
    EXPECT_STREQ(reinterpret_cast<const char *>(list.data()), "first");
    // A 32-byte text without a zero is listed whole and still ends with one.
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(list.data() + 34)), std::string(32, 'L'));
    EXPECT_EQ(int32At(list, 34816), 1);
    EXPECT_EQ(int32At(list, 34816 + 4), 2);
    EXPECT_EQ(int32At(list, 34816 + 8), 0);
    EXPECT_EQ(int32At(list, 38912 + 4), static_cast<std::int32_t>(port::inetAddr("127.0.0.1")));
    EXPECT_EQ(int32At(list, 43008), 320);
    EXPECT_EQ(int32At(list, 43008 + 4), 318);
    EXPECT_EQ(server.server().terminals().count(), 2);

    // The removed terminal's connection ends with its disconnect notification.
    EXPECT_TRUE(unidentified->waitDisconnected(test::kEventWaitMs));
    EXPECT_TRUE(server.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, test::kEventWaitMs));
    EXPECT_FALSE(first->disconnected());
}

TEST(Listings, IpFromIdThroughTheExports) {
    test::HostRecorder host;
    EXPECT_EQ(kq_ipfromid(1), nullptr) << "empty table";
    ASSERT_EQ(kq_startserverex(host.target(), test::kConnectMessage, test::kDataMessage, "127.0.0.1", 0), 1);
    sim::SimTerminal terminal;
    ASSERT_TRUE(terminal.connectAndIdentify("127.0.0.1", kq_getserverport()));
    ASSERT_NE(kq_ipfromid(1), nullptr);
    EXPECT_STREQ(kq_ipfromid(1), "127.0.0.1");
    EXPECT_EQ(kq_ipfromid(0), nullptr);
    EXPECT_EQ(kq_ipfromid(-1), nullptr);
    EXPECT_EQ(kq_ipfromid(2), nullptr);

    std::vector<std::uint8_t> list(kTerminalListBytes);
    EXPECT_EQ(kq_gettermconectados(list.data()), list.data());
    EXPECT_EQ(int32At(list, 47104), 1);
    EXPECT_EQ(kq_finishserver(), 0);
}

TEST(Addresses, ConversionsRoundTrip) {
    EXPECT_EQ(kq_version(), 32);
    const std::uint32_t address = kq_inet_addr("192.168.0.10");
    const std::uint8_t *octets = reinterpret_cast<const std::uint8_t *>(&address);
    EXPECT_EQ(octets[0], 192);
    EXPECT_EQ(octets[3], 10);
    EXPECT_EQ(KQinet_addr("192.168.0.10"), address);
    EXPECT_STREQ(kq_inet_ntoa(address), "192.168.0.10");
    char buffer[16];
    EXPECT_EQ(KQinet_ntoa(address, buffer), buffer);
    EXPECT_STREQ(buffer, "192.168.0.10");
    EXPECT_EQ(kq_inet_addr("not an address"), 0xFFFFFFFFu);
    EXPECT_EQ(KQinet_addr("255.255.255.255"), 0xFFFFFFFFu);
}

TEST(Addresses, HostAddressIsDottedTextOrNull) {
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    char *result = kq_gethostip(buffer);
    if (result == nullptr) {
        EXPECT_STREQ(buffer, "") << "an unknown address leaves an empty text";
    } else {
        EXPECT_EQ(result, buffer);
        EXPECT_NE(kq_inet_addr(buffer), 0xFFFFFFFFu) << buffer;
        EXPECT_STREQ(GetIPFromHost(buffer), result);
    }
}

}  // namespace
}  // namespace ks318
