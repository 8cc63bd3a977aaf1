// The broker link against a real broker: what libmosquitto does with messages
// published while disconnected (the outbox relies on it), the session that keeps
// commands while the bridge is away, answers' correlation data, and refusals.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/bridge/test_broker.h"
#include "tests/bridge/test_client.h"
#include "tests/support/temp_dir.h"
#include "tools/bridge/mqtt_link.h"

namespace ks318::bridge {
namespace {

using Clock = std::chrono::steady_clock;

class MqttLinkTest : public ::testing::Test {
protected:
    LinkSettings settings(const std::string &clientId = "link-under-test") const {
        LinkSettings link;
        link.broker.host = "127.0.0.1";
        link.broker.port = broker.port();
        link.clientId = clientId;
        link.willTopic = "ks318/t/online";
        return link;
    }
    bool waitUntil(const std::function<bool()> &done) {
        const auto until = Clock::now() + std::chrono::milliseconds(ks318::test::kEventWaitMs);
        while (!done() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return done();
    }

    ks318::test::TempDir dir;
    TestBroker broker{dir.path() / "broker"};
};

TEST_F(MqttLinkTest, MessagesPublishedBeforeTheBrokerIsUpArriveOnceItIs) {
    std::atomic<int> acknowledgements{0};
    MqttLink::Handlers handlers;
    handlers.acknowledged = [&](int, int) { ++acknowledgements; };
    MqttLink link(settings(), handlers);
    link.start();  // nothing listens yet: it keeps trying
    EXPECT_FALSE(link.connection());
    for (int i = 0; i < 5; ++i) {
        const PublishResult result = link.publish("ks318/t/kept/" + std::to_string(i), std::to_string(i), true);
        ASSERT_EQ(result.status, PublishResult::Status::Accepted) << result.reason;
        EXPECT_GT(result.messageId, 0);
    }
    EXPECT_EQ(link.unacknowledged(), 5u);
    broker.start();
    ASSERT_TRUE(waitUntil([&] { return acknowledgements == 5; }));
    EXPECT_EQ(link.unacknowledged(), 0u);
    ASSERT_TRUE(link.connection());

    TestClient reader(broker.port(), "reader");
    reader.subscribe("ks318/t/kept/+");
    ASSERT_TRUE(reader.waitFor([](const auto &all) { return all.size() == 5; }));
    for (const auto &message : reader.messages()) EXPECT_TRUE(message.retained);
    link.stop(Clock::now() + std::chrono::seconds(5));
}

TEST_F(MqttLinkTest, TheSessionKeepsCommandsWhileTheBridgeIsAwayWithTheirResponseProperties) {
    broker.start();
    {
        std::atomic<bool> subscribed{false};
        MqttLink::Handlers handlers;
        MqttLink *self = nullptr;
        handlers.connected = [&] {
            subscribed = self->subscribe("ks318/t/all/commands/+", false);
        };
        MqttLink link(settings(), handlers);
        self = &link;
        link.start();
        ASSERT_TRUE(waitUntil([&] { return subscribed.load(); }));
        // Let the subscription reach the broker before leaving.
        ASSERT_EQ(link.publish("ks318/t/sync", "x", false).status, PublishResult::Status::Accepted);
        ASSERT_TRUE(waitUntil([&] { return link.unacknowledged() == 0; }));
        link.stop(Clock::now() + std::chrono::seconds(5));
    }
    {
        TestClient sender(broker.port(), "sender");
        sender.publish("ks318/t/all/commands/live", "{}", false, "replies/1", std::string("c\0rr", 4));
        sender.subscribe("ks318/t/#");  // the publish went before this
    }
    std::mutex mutex;
    std::vector<std::tuple<std::string, std::string, std::optional<std::string>, std::optional<std::string>>> received;
    MqttLink::Handlers handlers;
    handlers.message = [&](const IncomingMessage &message) {
        std::lock_guard lock(mutex);
        received.emplace_back(std::string(message.topic), std::string(message.payload), message.responseTopic,
                              message.correlationData);
    };
    MqttLink again(settings(), handlers);
    again.start();
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(mutex);
        return !received.empty();
    }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(std::get<0>(received[0]), "ks318/t/all/commands/live");
    EXPECT_EQ(std::get<1>(received[0]), "{}");
    EXPECT_EQ(std::get<2>(received[0]), "replies/1");
    EXPECT_EQ(std::get<3>(received[0]), std::string("c\0rr", 4));
}

TEST_F(MqttLinkTest, AnswersCarryTheCorrelationDataAndBadTopicsAreRefused) {
    broker.start();
    MqttLink link(settings(), {});
    link.start();
    ASSERT_TRUE(waitUntil([&] { return link.connection().has_value(); }));
    TestClient asker(broker.port(), "asker");
    asker.subscribe("replies/#");
    const std::string correlation("\x01\x00\xff", 3);
    ASSERT_EQ(link.publishAnswer("replies/9", "{\"ok\":1}", correlation).status, PublishResult::Status::Accepted);
    ASSERT_EQ(link.publishAnswer("replies/10", "{}", std::nullopt).status, PublishResult::Status::Accepted);
    ASSERT_TRUE(asker.waitForTopic("replies/10"));
    const auto first = asker.on("replies/9");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].payload, "{\"ok\":1}");
    EXPECT_EQ(first[0].correlation, correlation);
    EXPECT_FALSE(first[0].retained);
    EXPECT_FALSE(asker.on("replies/10")[0].correlation);

    for (const char *bad : {"replies/#", "replies/+/x", ""})
        EXPECT_EQ(link.publishAnswer(bad, "{}", std::nullopt).status, PublishResult::Status::Refused) << bad;
    EXPECT_EQ(link.publish(std::string("bad\xff", 4), "{}", false).status, PublishResult::Status::Refused);
    link.stop(Clock::now() + std::chrono::seconds(5));
}

TEST_F(MqttLinkTest, AnUnreadableCaFileIsRefusedBeforeAnyConnection) {
    LinkSettings secure = settings();
    secure.broker.tls = true;
    secure.cafile = (dir.path() / "missing.pem").string();
    EXPECT_THROW(MqttLink(secure, {}), LinkError);
}

}  // namespace
}  // namespace ks318::bridge
