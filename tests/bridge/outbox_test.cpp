// The outbox: order, what survives a restart, the bound and its dropped count,
// and damaged queue files found at start.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tools/bridge/outbox.h"
#include "tools/bridge/outbox_record.h"

namespace ks318::bridge {
namespace {

namespace fs = std::filesystem;

class OutboxTest : public ::testing::Test {
protected:
    std::unique_ptr<Outbox> open(std::size_t limit = 1000, std::uint64_t fileBytes = 8u << 20) {
        return std::make_unique<Outbox>(Outbox::Settings{folder(), limit, fileBytes},
                                        [this](const std::string &text) { warnings.push_back(text); });
    }
    fs::path folder() const { return dir.path() / "queue"; }
    std::vector<fs::path> queueFiles() const {
        std::vector<fs::path> files;
        for (const auto &entry : fs::directory_iterator(folder()))
            if (entry.path().extension() == ".queue") files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        return files;
    }
    static std::string payloadOf(int n) { return "{\"n\":" + std::to_string(n) + "}"; }
    static void appendNumbered(Outbox &outbox, int from, int to) {
        for (int n = from; n < to; ++n) outbox.append("t/" + std::to_string(n), payloadOf(n));
    }
    // Hands out everything waiting; the payloads in order.
    static std::vector<std::string> takeAll(Outbox &outbox, std::vector<std::uint64_t> *indexes = nullptr) {
        std::vector<std::string> payloads;
        while (auto entry = outbox.next()) {
            EXPECT_EQ(entry->message.topic.substr(0, 2), "t/");
            payloads.push_back(entry->message.payload);
            if (indexes) indexes->push_back(entry->index);
        }
        return payloads;
    }
    static std::vector<std::string> numbered(int from, int to) {
        std::vector<std::string> out;
        for (int n = from; n < to; ++n) out.push_back(payloadOf(n));
        return out;
    }

    test::TempDir dir;
    std::vector<std::string> warnings;
};

TEST(OutboxRecord, KeepsTopicAndBinaryPayloadAndRefusesEveryFlippedByte) {
    std::string file;
    const std::string payload("{\"k\":1}\0\xff", 9);
    appendRecord(file, "ks318/a/terminals/x/events/key", payload);
    EXPECT_EQ(file.substr(0, 4), "KQOB");
    EXPECT_EQ(static_cast<unsigned char>(file[4]), 2 + 30 + 9);  // body length, little-endian
    OutboxMessage message;
    std::size_t bytes = 0;
    ASSERT_EQ(readRecord(file, &message, bytes), RecordStatus::Whole);
    EXPECT_EQ(message.topic, "ks318/a/terminals/x/events/key");
    EXPECT_EQ(message.payload, payload);
    EXPECT_EQ(bytes, file.size());
    for (std::size_t at = 0; at < file.size(); ++at) {
        std::string broken = file;
        broken[at] = static_cast<char>(broken[at] ^ 0x40);
        EXPECT_NE(readRecord(broken, nullptr, bytes), RecordStatus::Whole) << "byte " << at;
    }
}

TEST_F(OutboxTest, HandsOutInOrderAndLetsGoOnlyPastAcknowledgedHead) {
    auto outbox = open();
    appendNumbered(*outbox, 0, 5);
    EXPECT_EQ(outbox->waiting(), 5u);
    std::vector<std::uint64_t> indexes;
    EXPECT_EQ(takeAll(*outbox, &indexes), numbered(0, 5));
    EXPECT_EQ(outbox->handedOut(), 5u);
    EXPECT_EQ(outbox->waiting(), 0u);

    outbox->acknowledge(indexes[1]);  // acknowledgements may come out of order
    outbox->acknowledge(indexes[2]);
    EXPECT_EQ(outbox->size(), 5u) << "the oldest is not acknowledged yet";
    outbox->acknowledge(indexes[0]);
    EXPECT_EQ(outbox->size(), 2u);
    outbox->acknowledge(indexes[0]);   // twice: nothing more
    outbox->acknowledge(999);          // never handed out
    EXPECT_EQ(outbox->size(), 2u);
    EXPECT_TRUE(warnings.empty());
}

TEST_F(OutboxTest, WhatWasNotAcknowledgedIsSentAgainAfterARestartInOrder) {
    {
        auto outbox = open();
        appendNumbered(*outbox, 0, 10);
        std::vector<std::uint64_t> indexes;
        takeAll(*outbox, &indexes);
        for (int i = 0; i < 4; ++i) outbox->acknowledge(indexes[i]);
        appendNumbered(*outbox, 10, 12);  // buffered only: the close writes them
    }
    auto outbox = open();
    EXPECT_EQ(outbox->waiting(), 8u);
    EXPECT_EQ(takeAll(*outbox), numbered(4, 12));
    EXPECT_TRUE(warnings.empty()) << warnings.front();
}

TEST_F(OutboxTest, FullQueueDropsTheOldestAndKeepsCountingAcrossRestarts) {
    {
        auto outbox = open(5);
        appendNumbered(*outbox, 0, 8);
        EXPECT_EQ(outbox->size(), 5u);
        EXPECT_EQ(outbox->dropped(), 3u);
    }
    auto outbox = open(5);
    EXPECT_EQ(outbox->dropped(), 3u);
    appendNumbered(*outbox, 8, 10);
    EXPECT_EQ(outbox->dropped(), 5u);
    EXPECT_EQ(takeAll(*outbox), numbered(5, 10));
}

TEST_F(OutboxTest, HandedOutEventsLeaveAFullQueueWithoutCountingAsDropped) {
    auto outbox = open(3);
    appendNumbered(*outbox, 0, 3);
    ASSERT_TRUE(outbox->next());
    ASSERT_TRUE(outbox->next());
    appendNumbered(*outbox, 3, 5);  // the two handed out make room: the client library still sends them
    EXPECT_EQ(outbox->dropped(), 0u);
    EXPECT_EQ(outbox->handedOut(), 0u);
    appendNumbered(*outbox, 5, 6);  // now one never handed out goes
    EXPECT_EQ(outbox->dropped(), 1u);
    EXPECT_EQ(takeAll(*outbox), numbered(3, 6));
}

TEST_F(OutboxTest, ManyEventsOfMixedSizesComeBackWholeAcrossFilesAndReads) {
    // Sizes that straddle the reader's window, one record larger than it, and small queue files.
    auto sized = [](int n) { return std::string(static_cast<std::size_t>((n * 7919) % 3000), static_cast<char>('a' + n % 26)); };
    {
        auto outbox = open(100000, 256 * 1024);
        for (int n = 0; n < 3000; ++n) {
            outbox->append("t/" + std::to_string(n), n == 1500 ? std::string(600000, 'x') : sized(n));
            if (n % 100 == 0) outbox->flush();
        }
    }
    EXPECT_GT(queueFiles().size(), 10u);
    auto outbox = open(100000, 256 * 1024);
    int n = 0;
    while (auto entry = outbox->next()) {
        ASSERT_EQ(entry->message.topic, "t/" + std::to_string(n));
        ASSERT_EQ(entry->message.payload, n == 1500 ? std::string(600000, 'x') : sized(n)) << n;
        outbox->acknowledge(entry->index);
        ++n;
    }
    EXPECT_EQ(n, 3000);
    outbox->save();
    EXPECT_EQ(queueFiles().size(), 1u) << "delivered files are removed";
    EXPECT_TRUE(warnings.empty());
}

TEST_F(OutboxTest, ATornLastRecordIsCutAwayAndTheQueueGoesOnAfterIt) {
    {
        auto outbox = open();
        appendNumbered(*outbox, 0, 3);
    }
    const fs::path file = queueFiles().back();
    std::string torn;
    appendRecord(torn, "t/torn", "never finished");
    std::ofstream(file, std::ios::binary | std::ios::app) << torn.substr(0, torn.size() - 3);
    {
        auto outbox = open();
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find("ends inside an event"), std::string::npos) << warnings[0];
        EXPECT_EQ(outbox->waiting(), 3u);
        appendNumbered(*outbox, 3, 4);
    }
    warnings.clear();
    auto outbox = open();
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(takeAll(*outbox), numbered(0, 4));
}

TEST_F(OutboxTest, ADamagedRecordLosesTheRestOfItsFileOnly) {
    {
        auto outbox = open(1000, 48);  // two events of 24 bytes a file
        appendNumbered(*outbox, 0, 2);
        outbox->flush();
        appendNumbered(*outbox, 2, 6);
    }
    const std::vector<fs::path> files = queueFiles();
    ASSERT_GE(files.size(), 3u);
    // The first file holds events 0 and 1: damage the second one's checksum.
    std::fstream first(files[0], std::ios::binary | std::ios::in | std::ios::out);
    std::string bytes((std::istreambuf_iterator<char>(first)), {});
    std::string one;
    appendRecord(one, "t/0", payloadOf(0));
    ASSERT_GT(bytes.size(), one.size() + 9);
    first.seekp(static_cast<std::streamoff>(one.size() + 9));
    first.put(static_cast<char>(bytes[one.size() + 9] ^ 1));
    first.close();

    auto outbox = open(1000, 48);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("damaged at byte " + std::to_string(one.size())), std::string::npos) << warnings[0];
    std::vector<std::string> expected = numbered(0, 1);
    for (const auto &later : numbered(2, 6)) expected.push_back(later);
    EXPECT_EQ(takeAll(*outbox), expected);
}

TEST_F(OutboxTest, ADamagedStateSendsEverythingAgainAndSaysSo) {
    {
        auto outbox = open();
        appendNumbered(*outbox, 0, 4);
        std::vector<std::uint64_t> indexes;
        takeAll(*outbox, &indexes);
        outbox->acknowledge(indexes[0]);
        outbox->acknowledge(indexes[1]);
    }
    std::ofstream(folder() / "state", std::ios::trunc) << "garbage";
    auto outbox = open();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("damaged"), std::string::npos);
    EXPECT_EQ(outbox->dropped(), 0u);
    EXPECT_EQ(takeAll(*outbox), numbered(0, 4));
}

TEST_F(OutboxTest, AHeadBetweenRecordsMovesToTheNextWholeOne) {
    {
        auto outbox = open();
        appendNumbered(*outbox, 0, 3);
    }
    std::ofstream(folder() / "state", std::ios::trunc) << "head 1 5\ndropped 7\n";
    auto outbox = open();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("is not at an event"), std::string::npos) << warnings[0];
    EXPECT_EQ(outbox->dropped(), 7u);
    EXPECT_EQ(takeAll(*outbox), numbered(1, 3));
}

TEST_F(OutboxTest, JunkFilesAndAHeadPastTheEndAreHarmless) {
    fs::create_directories(folder());
    std::ofstream(folder() / "0000000000000001.queue", std::ios::binary) << std::string(100, '\xee');
    std::ofstream(folder() / "notes.txt") << "not a queue file";
    std::ofstream(folder() / "state") << "head 1 99999\ndropped 0\n";
    {
        auto outbox = open();
        EXPECT_EQ(outbox->waiting(), 0u);
        EXPECT_FALSE(warnings.empty());
        appendNumbered(*outbox, 0, 2);
    }
    auto outbox = open();
    EXPECT_EQ(takeAll(*outbox), numbered(0, 2));
}

TEST_F(OutboxTest, OneFolderServesOneOutboxAtATime) {
    auto outbox = open();
    EXPECT_THROW(open(), OutboxError);
    outbox.reset();
    EXPECT_NO_THROW(open());
}

TEST_F(OutboxTest, AFolderThatCannotBeMadeIsAClearError) {
    std::ofstream(dir.path() / "plain-file") << "x";
    try {
        Outbox outbox(Outbox::Settings{dir.path() / "plain-file" / "queue", 10}, [](const std::string &) {});
        FAIL() << "no error";
    } catch (const OutboxError &error) {
        EXPECT_NE(std::string(error.what()).find("cannot make the queue folder"), std::string::npos) << error.what();
    }
}

}  // namespace
}  // namespace ks318::bridge

namespace ks318::bridge {
namespace {

// A disk of 4 KiB for the queue files, filled while the broker is away: writes
// past it fail with ENOSPC after writing what fits, as a full filesystem does.
TEST_F(OutboxTest, AFullDiskDropsTheOldestKeepsTheRestAndRecoversByItself) {
    constexpr std::uint64_t kDisk = 4096;
    auto used = [this] {
        std::uint64_t bytes = 0;
        for (const fs::path &file : queueFiles()) bytes += fs::file_size(file);
        return bytes;
    };
    Outbox::Settings settings{folder(), 100000};
    settings.unwrittenBytes = 2048;
    settings.write = [&](int fd, const void *data, std::size_t size) -> ssize_t {
        const std::uint64_t taken = used();
        if (taken >= kDisk) {
            errno = ENOSPC;
            return -1;
        }
        return ::write(fd, data, static_cast<std::size_t>(std::min<std::uint64_t>(size, kDisk - taken)));
    };
    auto warn = [this](const std::string &text) { warnings.push_back(text); };
    // Delivers everything the outbox holds, saving as the forwarder does; the payloads in order.
    auto deliver = [](Outbox &outbox) {
        std::vector<std::string> delivered;
        for (int round = 0; round < 10000 && outbox.size() > 0; ++round) {
            while (auto entry = outbox.next()) {
                delivered.push_back(entry->message.payload);
                outbox.acknowledge(entry->index);
            }
            outbox.save();
        }
        return delivered;
    };
    std::uint64_t dropped = 0;
    {
        Outbox outbox(settings, warn);
        for (int n = 0; n < 1000; ++n) {
            outbox.append("t/" + std::to_string(n), payloadOf(n));
            if (n % 10 == 9) outbox.flush();
            if (n % 50 == 49) outbox.save();
        }
        dropped = outbox.dropped();
        EXPECT_GT(dropped, 0u);
        EXPECT_EQ(dropped + outbox.size(), 1000u);
        // The broker is back: what was kept goes out, the newest of them, none missing.
        EXPECT_EQ(deliver(outbox), numbered(static_cast<int>(dropped), 1000));
        EXPECT_LE(used(), kDisk);
        // Room came back with the delivery: later events are all kept and sent.
        appendNumbered(outbox, 1000, 1300);
        EXPECT_EQ(deliver(outbox), numbered(1000, 1300));
        EXPECT_EQ(outbox.dropped(), dropped);
    }
    EXPECT_LT(warnings.size(), 12u) << "the repeated warning floods the log";
    // The state survived the full disk: the count stays and nothing delivered comes again.
    Outbox again(settings, warn);
    EXPECT_EQ(again.dropped(), dropped);
    EXPECT_FALSE(again.next().has_value());
}

}  // namespace
}  // namespace ks318::bridge
