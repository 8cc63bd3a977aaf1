// ks318-term as a device that is there: it answers the server's live signal, so
// a terminal that has nothing to say stays connected through any number of
// silent periods instead of being dropped after the second.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/host_recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/waits.h"

namespace ks318 {
namespace {

int countLines(const std::filesystem::path &path, const std::string &part) {
    std::ifstream in(path);
    int count = 0;
    for (std::string line; std::getline(in, line);) count += line.find(part) != std::string::npos;
    return count;
}

TEST(TermProbe, AnIdleTerminalAnswersEveryLiveSignalAndStaysConnected) {
    // Short limits: a silent terminal is probed every 300 ms and dropped after two probes in a row.
    test::TestServer server;
    const test::TempDir dir;
    const std::filesystem::path log = dir / "term.log";
    // Four live signals: without answers the terminal is gone after the second.
    const std::string command = "printf 'wait frame 17 4\\nquit\\n' | timeout 60 " KS318_TERM_PROGRAM " --port " +
                                std::to_string(server.port()) + " --files '" + (dir / "files").string() +
                                "' > '" + log.string() + "' 2>&1";
    const int ran = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(ran)) << command;
    EXPECT_EQ(WEXITSTATUS(ran), 0) << "ks318-term did not see four live signals:\n" << std::ifstream(log).rdbuf();
    EXPECT_GE(countLines(log, "<-  17 live"), 4);
    EXPECT_GE(countLines(log, "->  20 identification"), 5) << "the handshake's identification, then one answer per live signal";
    // Connected all along: the server announced it and saw it leave only when it quit.
    EXPECT_TRUE(server.host().waitFor([](const test::Notification &n) { return n.isDisconnect(); }, test::kEventWaitMs));
    EXPECT_EQ(server.host().matching([](const test::Notification &n) { return n.isConnect(); }).size(), 1u);
    EXPECT_EQ(server.host().matching([](const test::Notification &n) { return n.isDisconnect(); }).size(), 1u);
}

}  // namespace
}  // namespace ks318
