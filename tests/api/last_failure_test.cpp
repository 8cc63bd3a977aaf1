// kq_lastfailure: why the calling thread's last export failed, in words, while
// the exports' own results stay what they were.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "ks318.h"
#include "port/socket.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

using test::ExportSession;

std::string lastFailure() { return kq_lastfailure(); }

TEST(LastFailure, AStartThatFailsSaysWhy) {
    test::HostRecorder host;
    port::socketsStartup();
    const port::SocketHandle taken = port::listenTcp("127.0.0.1", 0, 1);
    ASSERT_NE(taken, port::kNoSocket);
    const int takenPort = port::localPort(taken);

    EXPECT_EQ(kq_startserverex(host.target(), 1, 2, "not-an-address", 0), 0);
    EXPECT_EQ(lastFailure(), "'not-an-address' is not an IPv4 address");
    EXPECT_EQ(kq_startserverex(host.target(), 1, 2, "10.99.99.99", 0), 0);
    EXPECT_EQ(lastFailure(), "10.99.99.99 is not an address of this computer");
    EXPECT_EQ(kq_startserverex(host.target(), 1, 2, "127.0.0.1", takenPort), 0);
    EXPECT_EQ(lastFailure(), "127.0.0.1 port " + std::to_string(takenPort) + " is in use");
    EXPECT_EQ(kq_startserverex(host.target(), 1, 2, "127.0.0.1", 70000), 0);
    EXPECT_EQ(lastFailure(), "port 70000 is outside 0 ... 65535");
    EXPECT_EQ(kq_getserverport(), 0) << "none of them started anything";

    // A start that works leaves no reason; a second one is refused with its own.
    ASSERT_EQ(kq_startserverex(host.target(), 1, 2, "127.0.0.1", 0), 1);
    EXPECT_EQ(lastFailure(), "");
    const int port = kq_getserverport();
    EXPECT_EQ(kq_startserverex(host.target(), 1, 2, "127.0.0.1", 0), 0);
    EXPECT_EQ(lastFailure(), "a server already runs, on port " + std::to_string(port));
    EXPECT_EQ(kq_getserverport(), port) << "the running server is untouched";
    EXPECT_EQ(kq_finishserver(), 0);
    port::closeSocket(taken);
    port::socketsCleanup();
}

TEST(LastFailure, ATerminalExportNamesTheTerminalAndWhatItLacks) {
    ExportSession session;
    auto model318 = session.join(sim::Identity{.version = 32, .model = 318});
    auto version31 = session.join(sim::Identity{.version = 31, .model = 320});

    EXPECT_EQ(kq_sendlive(9), 0);
    EXPECT_EQ(lastFailure(), "no terminal 9");
    EXPECT_EQ(kq_sendlive(-3), 0);
    EXPECT_EQ(lastFailure(), "no terminal -3");
    EXPECT_EQ(kq_setvolume(1, 5), -1);
    EXPECT_EQ(lastFailure(), "terminal 1 is model 318; only model 320 takes this command");
    EXPECT_EQ(kq_restart(2), -1);
    EXPECT_EQ(lastFailure(), "terminal 2 has terminal version 31; this needs version 32 or above");
    EXPECT_EQ(kq_sendlive(1), 7);
    EXPECT_EQ(lastFailure(), "") << "a call that works starts the reason afresh";
}

// Each failing call of every family that takes arguments from the host: none
// may fail without a reason, and an empty destination name sends nothing.
TEST(LastFailure, EveryFailingCallOfEachFamilySaysWhy) {
    ExportSession session;
    auto terminal = session.join();
    const std::string missing = "/nonexistent/ks318/file.bin";
    const std::string longName(299, 'n');
    const char data[4] = {1, 2, 3, 4};
    std::int32_t progress = 0;
    struct Call {
        const char *what;
        std::function<std::int32_t()> call;
        std::int32_t result;
    };
    const Call calls[] = {
        {"kq_sendfile of a missing file", [&] { return kq_sendfile(1, missing.c_str(), "x.bin"); }, 0},
        {"kq_sendfile, no name", [&] { return kq_sendfile(1, missing.c_str(), nullptr); }, 0},
        {"kq_sendfileptr, a 299-character name", [&] { return kq_sendfileptr(1, longName.c_str(), data, 4); }, 0},
        {"kq_sendfileptr, an empty name", [&] { return kq_sendfileptr(1, "", data, 4); }, 0},
        {"kq_sendfileptr, no data", [&] { return kq_sendfileptr(1, "x.bin", nullptr, 4); }, 0},
        {"kq_sendfileStatus, an empty name", [&] { return kq_sendfileStatus(1, missing.c_str(), "", &progress); }, -1},
        {"kq_sendfileStatus, no path", [&] { return kq_sendfileStatus(1, nullptr, "x.bin", &progress); }, -1},
        {"kq_sendfontfile of a missing file", [&] { return kq_sendfontfile(1, missing.c_str()); }, 0},
        {"kq_sendmediaconf of a missing file", [&] { return kq_sendmediaconf(1, missing.c_str()); }, 0},
        {"kq_sendtext, no record", [&] { return kq_sendtext(1, nullptr); }, 0},
        {"kq_sendconfig, no record", [&] { return kq_sendconfig(1, nullptr); }, 0},
        {"kq_sendimgfromfile of a missing file", [&] { return kq_sendimgfromfile(1, missing.c_str()); }, 0},
    };
    for (const Call &c : calls) {
        EXPECT_EQ(c.call(), c.result) << c.what;
        EXPECT_NE(lastFailure(), "") << c.what << " failed without a reason";
    }
    EXPECT_EQ(kq_sendfileptr(1, "", data, 4), 0);
    EXPECT_EQ(lastFailure(), "the destination file name is empty");
    EXPECT_EQ(kq_sendlive(1), 7);  // a frame after them all: nothing of theirs came before it
    ASSERT_TRUE(terminal->waitForFrame(17, test::kEventWaitMs));
    EXPECT_TRUE(terminal->framesWithCode(99).empty()) << "no failed call sent a file";
    EXPECT_TRUE(terminal->framesWithCode(35).empty());
}

TEST(LastFailure, EachThreadKeepsItsOwnReason) {
    ExportSession session;
    auto terminal = session.join();
    EXPECT_EQ(kq_sendlive(5), 0);
    std::string otherThreads;
    std::thread([&] {
        EXPECT_EQ(kq_sendlive(1), 7);
        otherThreads = kq_lastfailure();
        EXPECT_EQ(kq_sendlive(6), 0);
    }).join();
    EXPECT_EQ(otherThreads, "");
    EXPECT_EQ(lastFailure(), "no terminal 5") << "another thread's calls leave this thread's reason";
}

}  // namespace
}  // namespace ks318
