// The names the bridge is given: broker URLs, site names, the credentials
// file, and the command and state topics it reads.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/temp_dir.h"
#include "tools/fleet/broker_address.h"
#include "tools/fleet/topics.h"

namespace ks318::bridge {
namespace {

TEST(BrokerUrl, TakesHostsPortsAndTheTlsScheme) {
    std::string error;
    auto plain = fleet::parseBrokerUrl("mqtt://broker.example", error);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->host, "broker.example");
    EXPECT_EQ(plain->port, 1883);
    EXPECT_FALSE(plain->tls);

    auto secure = fleet::parseBrokerUrl("mqtts://10.0.0.1", error);
    ASSERT_TRUE(secure);
    EXPECT_EQ(secure->port, 8883);
    EXPECT_TRUE(secure->tls);

    auto ported = fleet::parseBrokerUrl("mqtt://127.0.0.1:18830/", error);
    ASSERT_TRUE(ported);
    EXPECT_EQ(ported->host, "127.0.0.1");
    EXPECT_EQ(ported->port, 18830);

    auto v6 = fleet::parseBrokerUrl("mqtts://[::1]:9000", error);
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->port, 9000);
}

TEST(BrokerUrl, RefusesWhatIsNotABrokerWithAReason) {
    for (const char *bad : {"", "http://h", "mqtt://", "mqtt://:1883", "mqtt://h:0", "mqtt://h:65536", "mqtt://h:12x",
                            "mqtt://h:", "mqtt://user@h", "mqtt://h/path", "mqtt://[::1", "mqtt://[::1]x", "tcp://h:1"}) {
        std::string error;
        EXPECT_FALSE(fleet::parseBrokerUrl(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(SiteName, IsOneTopicLevelOfSafeCharacters) {
    EXPECT_TRUE(fleet::validSiteName("a"));
    EXPECT_TRUE(fleet::validSiteName("Shop_12-north"));
    EXPECT_TRUE(fleet::validSiteName(std::string(64, 'x')));
    for (const std::string &bad : {std::string(), std::string(65, 'x'), std::string("a/b"), std::string("+"),
                                  std::string("#"), std::string("a b"), std::string("caf\xc3\xa9")})
        EXPECT_FALSE(fleet::validSiteName(bad)) << bad;
}

TEST(Credentials, UserOnTheFirstLinePasswordOnTheSecond) {
    test::TempDir dir;
    std::ofstream(dir.path() / "both") << "operator\r\ns3cret: with spaces \n";
    std::string error;
    auto both = fleet::readCredentials((dir.path() / "both").string(), error);
    ASSERT_TRUE(both) << error;
    EXPECT_EQ(both->user, "operator");
    EXPECT_EQ(both->password, "s3cret: with spaces ");

    std::ofstream(dir.path() / "user-only") << "alone";
    auto userOnly = fleet::readCredentials((dir.path() / "user-only").string(), error);
    ASSERT_TRUE(userOnly);
    EXPECT_EQ(userOnly->password, "");

    std::ofstream(dir.path() / "empty") << "\nsecret\n";
    EXPECT_FALSE(fleet::readCredentials((dir.path() / "empty").string(), error));
    EXPECT_NE(error.find("no user name"), std::string::npos);
    EXPECT_FALSE(fleet::readCredentials((dir.path() / "missing").string(), error));
    EXPECT_NE(error.find("cannot read"), std::string::npos);
}

TEST(SiteTopics, ReadsCommandsAndStatesOfItsOwnSiteOnly) {
    const fleet::SiteTopics topics("lab");
    auto one = topics.command("ks318/lab/terminals/00:1A:2B:3C:4D:5E/commands/fill");
    ASSERT_TRUE(one);
    EXPECT_EQ(one->terminalId, "00:1A:2B:3C:4D:5E");
    EXPECT_EQ(one->action, "fill");
    auto all = topics.command("ks318/lab/all/commands/restart");
    ASSERT_TRUE(all);
    EXPECT_FALSE(all->terminalId);
    EXPECT_EQ(all->action, "restart");

    for (const char *other : {"ks318/lab2/all/commands/fill", "ks318/la/all/commands/fill", "ks318/lab/all/commands/",
                              "ks318/lab/all/commands/fill/more", "ks318/lab/terminals//commands/fill",
                              "ks318/lab/terminals/x/events/key", "ks318/lab/terminals/x", "ks318/lab/online"})
        EXPECT_FALSE(topics.command(other)) << other;

    EXPECT_EQ(topics.stateId("ks318/lab/terminals/127.0.0.1"), "127.0.0.1");
    EXPECT_FALSE(topics.stateId("ks318/other/terminals/127.0.0.1"));
    EXPECT_FALSE(topics.stateId("ks318/lab/terminals/x/events/key"));
    EXPECT_FALSE(topics.stateId("ks318/lab/terminals/"));
}

}  // namespace
}  // namespace ks318::bridge
