// The console's commands carried out in-process, against simulated terminals:
// the records and frames they build, the checks before sending, the lines
// notifications print, and a clean error for anything wrong.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "ks318.h"
#include "sim/device.h"
#include "sim/screen_text.h"
#include "sim/sim_terminal.h"
#include "tests/support/temp_dir.h"
#include "tests/support/waits.h"
#include "tools/console/command_table.h"
#include "tools/console/console.h"

namespace ks318::tools {
namespace {

using sim::Bytes;

class ConsoleSession : public ::testing::Test {
protected:
    void SetUp() override {
        console_.setTimeoutMs(test::kEventWaitMs);  // its waits for terminals, notifications and answers
        ASSERT_TRUE(console_.startServer("127.0.0.1", 0)) << out_.str();
    }
    void TearDown() override {
        for (auto &terminal : terminals_) terminal->close();
        kq_finishserver();
    }

    sim::SimTerminal &join(std::uint16_t model, std::uint8_t version = 32) {
        sim::Identity identity;
        identity.model = model;
        identity.version = version;
        terminals_.push_back(std::make_unique<sim::SimTerminal>(identity));
        devices_.push_back(std::make_unique<sim::Device>(*terminals_.back()));
        EXPECT_TRUE(terminals_.back()->connectAndIdentify("127.0.0.1", kq_getserverport()));
        EXPECT_TRUE(console_.waitTerminals(static_cast<int>(terminals_.size())));
        return *terminals_.back();
    }

    // Runs a line; what it printed (notifications that came meanwhile included).
    std::string run(const std::string &line, bool succeeds = true) {
        {
            std::lock_guard lock(console_.outputLock());
            out_.str("");
        }
        const bool done = console_.execute(line);
        const std::string printed = said();
        EXPECT_EQ(done, succeeds) << line << "\n" << printed;
        return printed;
    }

    // Notifications print from the library's threads: read under the output lock.
    std::string said() {
        std::lock_guard lock(console_.outputLock());
        return out_.str();
    }

    std::ostringstream out_;
    Console console_{out_};
    std::vector<std::unique_ptr<sim::SimTerminal>> terminals_;
    std::vector<std::unique_ptr<sim::Device>> devices_;
};

TEST_F(ConsoleSession, TextBuildsTheRecordAsEnviaTextoDoes) {
    sim::SimTerminal &terminal = join(318);
    EXPECT_NE(run("text 1 -10 20 \"Olá\" 3 18 big.ttf").find("kq_sendtext(1) \"Ol\\xC3\\xA1\" = 177"), std::string::npos);
    const auto frame = terminal.waitForFrame(35, test::kEventWaitMs);
    ASSERT_TRUE(frame);
    const auto record = sim::TextRecord::parse(frame->payload);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->x, -10);
    EXPECT_EQ(record->y, 20);
    EXPECT_EQ(record->text, "Olá");
    EXPECT_EQ(record->fontName, "big.ttf");
    EXPECT_EQ(record->builtByEnviaTexto, 1);
    EXPECT_EQ(record->colour, 3);
    EXPECT_EQ(record->height, 18);

    run("text 1 0 0 plain");
    const auto defaults = sim::TextRecord::parse(terminal.waitForFrame(35, test::kEventWaitMs, 2)->payload);
    EXPECT_EQ(defaults->colour, 15);
    EXPECT_EQ(defaults->height, 0);

    EXPECT_NE(run("text 1 40000 0 far", false).find("error: text: x must fit in 16 bits"), std::string::npos);
    EXPECT_NE(run("text 1 0 0 " + std::string(128, 'a'), false).find("at most 127 bytes"), std::string::npos);
    EXPECT_EQ(terminal.framesWithCode(35).size(), 2u);
}

TEST_F(ConsoleSession, BlockWithoutIndexIsASwatchOfThePalette) {
    sim::SimTerminal &terminal = join(320);
    run("block 1 2 3 4 2");
    const auto frame = terminal.waitForFrame(131, test::kEventWaitMs);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, (Bytes{2, 0, 3, 0, 4, 0, 2, 0, 0, 4, 8, 12, 128, 132, 136, 140}));
    run("block 1 0 0 2 1 7");
    EXPECT_EQ(terminal.waitForFrame(131, test::kEventWaitMs, 2)->payload, (Bytes{0, 0, 0, 0, 2, 0, 1, 0, 7, 7}));
}

TEST_F(ConsoleSession, CommandsCheckModelAndVersionBeforeSending) {
    sim::SimTerminal &small = join(318, 31);
    EXPECT_NE(run("volume 1 10", false).find("error: volume: terminal 1 is a model 318; only model 320 takes this command"),
              std::string::npos);
    EXPECT_NE(run("uid 1", false).find("error: uid: terminal 1 has version 31; this command needs version 32 or above"),
              std::string::npos);
    EXPECT_NE(run("fill 2 1", false).find("error: fill: there is no terminal 2 (1 connected; list shows them)"),
              std::string::npos);
    EXPECT_TRUE(small.framesWithCode(176).empty());
    EXPECT_TRUE(small.framesWithCode(27).size() == 1);  // the handshake's request alone
    EXPECT_TRUE(console_.failed());
}

TEST_F(ConsoleSession, SettingsAreSetAndReadBackThroughTheirAnswers) {
    join(318);
    join(320);
    const std::string first = std::to_string(kq_terminalid(1)), second = std::to_string(kq_terminalid(2));
    const std::string set = run("volume 2 33");
    EXPECT_NE(set.find("kq_setvolume(2, 33) = 11"), std::string::npos) << set;
    EXPECT_NE(set.find("data 177 volume-set-done"), std::string::npos) << set;
    const std::string read = run("volume 2");
    // The answer names its terminal by id, and is read back by it.
    EXPECT_NE(read.find("terminal " + second + " answer 179 volume value 33, kq_getvolume = 33"), std::string::npos) << read;
    EXPECT_NE(read.find("kq_getvolume(2) = 33"), std::string::npos) << read;
    // The notification line comes before the command's result.
    EXPECT_LT(read.find("data 179"), read.find("kq_getvolume(2) = 33"));
    EXPECT_NE(run("displaytime 1").find("terminal " + first + " answer 42 display-time value 10"), std::string::npos);
    EXPECT_FALSE(console_.failed());
}

TEST_F(ConsoleSession, WhatTerminalsSendIsReadAndShownOnce) {
    join(320);
    join(320);
    const std::string firstId = std::to_string(kq_terminalid(1)), secondId = std::to_string(kq_terminalid(2));
    devices_[1]->serialIn(1, {'h', 'i', '\r'});
    ASSERT_TRUE(console_.waitData(KQ_NOTIFY_SERIAL1, 1));
    devices_[0]->swipeCard("first", "");
    ASSERT_TRUE(console_.waitData(KQ_NOTIFY_CARD, 1));
    devices_[1]->pressKey(27);
    ASSERT_TRUE(console_.waitData(KQ_NOTIFY_KEY, 1));
    const std::string lines = said();
    EXPECT_NE(lines.find("data  89 serial-1"), std::string::npos) << lines;
    // Each line carries the id of the terminal it is about; what is read names it by id too.
    EXPECT_NE(lines.find("id " + secondId + "  extra 0      terminal " + secondId + " port 1, 3 bytes \"hi\\r\""),
              std::string::npos) << lines;
    EXPECT_NE(lines.find("id " + firstId + "  extra 1      terminal " + firstId + " first \"first\" second \"\""),
              std::string::npos) << lines;
    EXPECT_NE(lines.find("id " + secondId + "  extra 27     key 27 \"\\x1B\" from terminal " + secondId),
              std::string::npos) << lines;
    // Drained: the stores hold nothing more.
    std::int32_t source;
    unsigned char data[256];
    char first[128], second[128];
    EXPECT_EQ(kq_getserial(2, &source, data), 0);
    EXPECT_EQ(kq_getmag(1, first, second), 0);
    // A second wait for the same data waits for a new notification (a short look).
    console_.setTimeoutMs(100);
    EXPECT_FALSE(console_.waitData(KQ_NOTIFY_SERIAL1, 1));
}

TEST_F(ConsoleSession, TheHostTurnsTheKeyboardAndCardReaderOffAndOn) {
    sim::SimTerminal &terminal = join(320);
    run("keyboard 1 0");
    run("cardreader 1 0");
    ASSERT_TRUE(terminal.waitForFrame(65, test::kEventWaitMs));
    EXPECT_FALSE(devices_[0]->pressKey(13));
    EXPECT_FALSE(devices_[0]->swipeCard("a", "b"));
    run("keyboard 1 0x100");
    ASSERT_TRUE(terminal.waitForFrame(49, test::kEventWaitMs, 2));
    EXPECT_TRUE(devices_[0]->pressKey(13));
    EXPECT_TRUE(console_.waitData(KQ_NOTIFY_KEY, 1));
    EXPECT_FALSE(devices_[0]->cardReaderEnabled());
}

// Terminal numbers close up when one leaves; ids stay. A command given an id
// reaches that terminal, one given a gone id fails and reaches no other, and the
// console's thread addresses by number again after each.
TEST_F(ConsoleSession, AnIdNamesOneTerminalWhateverLeaves) {
    sim::SimTerminal &first = join(320);
    sim::SimTerminal &second = join(320);
    sim::SimTerminal &third = join(318);
    const std::int32_t firstId = kq_terminalid(1), secondId = kq_terminalid(2), thirdId = kq_terminalid(3);
    ASSERT_GE(firstId, KQ_FIRST_TERMINAL_ID);
    const std::string connects = said();
    EXPECT_NE(connects.find("connect     terminal 2     id " + std::to_string(secondId) + "  127.0.0.1"), std::string::npos)
        << connects;

    EXPECT_NE(run("fill " + std::to_string(secondId) + " 5").find("kq_fillscreen(" + std::to_string(secondId) + ", 5) = 9"),
              std::string::npos);
    ASSERT_TRUE(second.waitForFrame(33, test::kEventWaitMs));
    EXPECT_EQ(kq_addressby(KQ_ADDRESS_BY_NUMBER), KQ_ADDRESS_BY_NUMBER) << "the command left its thread addressing by id";

    // The first leaves: the second becomes terminal 1, the third terminal 2.
    first.close();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(test::kEventWaitMs);
    while ((console_.counts().disconnects < 1 || Console::connectedCount() != 2) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(Console::connectedCount(), 2);
    const std::string lines = said();
    const std::size_t gone = lines.find("disconnect  handle");
    ASSERT_NE(gone, std::string::npos) << lines;
    const std::string goneLine = lines.substr(gone, lines.find('\n', gone) - gone);
    EXPECT_NE(goneLine.find(" id " + std::to_string(firstId) + "  127.0.0.1"), std::string::npos) << goneLine;

    const std::string list = run("list");
    EXPECT_NE(list.find("  1  " + std::to_string(secondId) + "   127.0.0.1        320"), std::string::npos) << list;
    EXPECT_NE(list.find("  2  " + std::to_string(thirdId) + "   127.0.0.1        318"), std::string::npos) << list;

    EXPECT_NE(run("fill " + std::to_string(firstId) + " 7", false)
                  .find("error: fill: there is no terminal id " + std::to_string(firstId) + " (2 connected; list shows them)"),
              std::string::npos);
    run("fill " + std::to_string(thirdId) + " 8");  // the third's id, though its number moved
    run("fill 1 6");                                // a number, as before: now the second
    ASSERT_TRUE(third.waitForFrame(33, test::kEventWaitMs));
    ASSERT_TRUE(second.waitForFrame(33, test::kEventWaitMs, 2));
    // In order on the second's connection: a stray 7 would have come before the 6.
    const auto fills = second.framesWithCode(33);
    ASSERT_EQ(fills.size(), 2u);
    EXPECT_EQ(fills[0].payload, (Bytes{5, 0}));
    EXPECT_EQ(fills[1].payload, (Bytes{6, 0}));
    EXPECT_EQ(third.framesWithCode(33).front().payload, (Bytes{8, 0}));
    EXPECT_EQ(third.framesWithCode(33).size(), 1u);
}

TEST_F(ConsoleSession, WaitsFailWithTheReasonAfterTheirTime) {
    run("timeout 50");
    EXPECT_NE(run("wait data key", false).find("error: wait data key: not 1 more notification(s) within 50 ms"),
              std::string::npos);
    EXPECT_NE(run("wait terminals 1", false).find("error: wait terminals 1: 0 connected and identified after 50 ms"),
              std::string::npos);
    EXPECT_NE(run("wait data nothing", false).find("unknown notification code 'nothing'"), std::string::npos);
    EXPECT_NE(run("wait forever 1", false).find("wait terminals COUNT, or wait data CODE [COUNT]"), std::string::npos);
}

// Every command, with missing, wrong or absent-terminal arguments, fails with
// one "error:" line and nothing worse.
TEST(ConsoleCommands, EveryCommandFailsCleanlyWithoutATerminal) {
    test::TempDir directory;
    test::WorkingDirectory inside(directory.path());
    std::ostringstream out;
    Console console(out);
    console.setTimeoutMs(50);
    for (const Command &command : consoleCommands().commands()) {
        if (command.name == "start") continue;  // would listen on the real port
        for (const std::string &arguments : {std::string(), std::string(" 1 2 3 4 5 6 7 8 9 10 11 12 13"),
                                             std::string(" x"), std::string(" 1 x y")}) {
            out.str("");
            const bool done = console.execute(command.name + arguments);
            const std::string said = out.str();
            if (!done) {
                EXPECT_EQ(said.rfind("error: ", 0), 0u) << command.name + arguments << "\n" << said;
                EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << command.name + arguments << "\n" << said;
            }
        }
    }
}

}  // namespace
}  // namespace ks318::tools
