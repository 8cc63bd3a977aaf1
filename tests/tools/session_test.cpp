// Both programs as a person runs them: the console with a script, against one
// ks318-term process playing a model-318 and a model-320 terminal. Checks what
// the console printed, the files that moved and the screens that were drawn.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/png_file.h"
#include "tests/support/temp_dir.h"
#include "tests/support/waits.h"

namespace ks318 {
namespace {

using sim::Bytes;
using test::Png;
using test::readPng;

std::string readText(const std::filesystem::path &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const std::filesystem::path &path, const std::string &text) { std::ofstream(path) << text; }

// Runs the console on a free port with the script, and the terminals with the
// input, both bounded in time; the two exit statuses. The programs' own waits
// (the console's, and the terminals' which are that long at first) and the wait
// for the port are bounded as the tests' waits are.
std::pair<int, int> runSession(const test::TempDir &dir, const std::string &script, const std::string &input) {
    writeText(dir / "console.ks", script);
    writeText(dir / "term.in", input);
    const std::string waitMs = std::to_string(test::kEventWaitMs);
    const std::string portChecks = std::to_string(test::kEventWaitMs / 50);  // every 50 ms
    writeText(dir / "run.sh", std::string("cd \"$(dirname \"$0\")\"\n") +
                                   "timeout 60 " KS318_CONSOLE_PROGRAM " --port 0 --bind 127.0.0.1 --port-file port "
                                   "--timeout " + waitMs + " --script console.ks > console.log 2>&1 &\n"
                                   "console=$!\n"
                                   "for i in $(seq " + portChecks + "); do [ -s port ] && break; sleep 0.05; done\n"
                                   "timeout 60 " KS318_TERM_PROGRAM " --port \"$(cat port)\" --count 2 --model 318,320 "
                                   "--files files --screen screen.png < term.in > term.log 2>&1\n"
                                   "echo $? > term.status\n"
                                   "wait $console\n"
                                   "echo $? > console.status\n");
    const int ran = std::system(("bash " + (dir / "run.sh").string()).c_str());
    EXPECT_TRUE(WIFEXITED(ran) && WEXITSTATUS(ran) == 0);
    return {std::stoi("0" + readText(dir / "console.status")), std::stoi("0" + readText(dir / "term.status"))};
}

TEST(ToolsSession, AConsoleScriptDrivesTwoSimulatedTerminals) {
    test::TempDir dir;
    const Bytes sent = test::patternBytes(300000);
    dir.write("clip.bin", sent);
    const auto [console, term] = runSession(dir,
                                            "wait terminals 2\n"
                                            "list\n"
                                            "makepicture sample.bmp 320 200\n"
                                            "image 1 sample.bmp\n"
                                            "palette 2 standard\n"
                                            "fill 65537 4\n"
                                            "block 2 400 180 64 64\n"
                                            "text 2 20 20 \"Terminal 2\" 15 24\n"
                                            "file 2 clip.bin MEDIA/clip.bin\n"
                                            "get 2 MEDIA/clip.bin fetched.bin\n"
                                            "volume 2 10\n"
                                            "volume 2\n"
                                            "wait data key 2\n"
                                            "wait data serial-0\n"
                                            "wait data card\n"
                                            "summary\n"
                                            "quit\n",
                                            "wait identified\n"
                                            "@2 wait frame volume-request\n"
                                            "@1 key 13\n"
                                            "@2 key 65\n"
                                            "@2 serial 0 hello\n"
                                            "@1 card 'first track' 'second track'\n"
                                            "wait disconnected\n");
    const std::string said = readText(dir / "console.log");
    EXPECT_EQ(console, 0) << said;
    EXPECT_EQ(term, 0) << readText(dir / "term.log");

    // A fresh library gives its first connection id 65536 and counts up: the
    // fill above went to terminal 2 by its id.
    for (const char *line : {"connect     terminal 1     id 65536  127.0.0.1", "connect     terminal 2     id 65537  127.0.0.1",
                             "  1  65536   127.0.0.1        318    32       00:1A:2B:3C:4D:5E  \"SIM TERMINAL 1\"",
                             "  2  65537   127.0.0.1        320    32       00:1A:2B:3C:4D:5F  \"SIM TERMINAL 2\"",
                             "kq_fillscreen(65537, 4) = 9",
                             "kq_sendimgfromfile(1) \"sample.bmp\" = 1", "kq_sendtext(2) \"Terminal 2\" = 177",
                             "[########################################] 100%  300000 bytes",
                             "terminal 65537 file \"MEDIA/clip.bin\", 300000 bytes", "300000 bytes written to fetched.bin",
                             "kq_getvolume(2) = 10", "key 13 \"\\r\"", "key 65 \"A\"",
                             "id 65537  extra 0      terminal 65537 port 0, 5 bytes \"hello\"",
                             "id 65536  extra 3      terminal 65536 first \"first track\" second \"second track\"", "data  53 key                  x 2",
                             "disconnect  handle", "server stopped"})
        EXPECT_NE(said.find(line), std::string::npos) << line << "\n" << said;
    EXPECT_EQ(said.find("error:"), std::string::npos) << said;

    const std::string log = readText(dir / "term.log");
    EXPECT_NE(log.find("T2 <-  99 file                   300128 B  name \"MEDIA/clip.bin\" size 300000"), std::string::npos)
        << log;
    EXPECT_NE(log.find("T1 ->  53 key                         1 B  key 13"), std::string::npos) << log;
    EXPECT_NE(log.find("T1 connection closed"), std::string::npos) << log;

    // The file went there and came back byte for byte.
    EXPECT_EQ(test::TempDir::read(dir / "files/2/MEDIA/clip.bin"), sent);
    EXPECT_EQ(test::TempDir::read(dir / "fetched.bin"), sent);
    EXPECT_FALSE(std::filesystem::exists(dir / "files/1/MEDIA"));

    const Png small = readPng(dir / "screen-1.png");
    ASSERT_EQ(small.width, 320u);
    ASSERT_EQ(small.height, 240u);
    const auto sky = small.at(160, 3), water = small.at(160, 236);
    EXPECT_GT(sky.b, 200) << "the sample's sky is light blue";
    EXPECT_GT(water.b, water.r + 40) << "its water is blue";

    const Png wide = readPng(dir / "screen-2.png");
    ASSERT_EQ(wide.width, 480u);
    ASSERT_EQ(wide.height, 272u);
    EXPECT_EQ(wide.at(5, 265), (sim::Colour{0, 0, 128})) << "filled with entry 4 of the standard palette";
    EXPECT_EQ(wide.at(401, 181), (sim::Colour{0, 0, 0})) << "the swatch's first entry";
    EXPECT_EQ(wide.at(462, 242), (sim::Colour{238, 238, 238})) << "the swatch's last entry";
    int white = 0;
    for (unsigned y = 20; y < 50; ++y)
        for (unsigned x = 20; x < 160; ++x) white += wide.at(x, y) == sim::Colour{255, 255, 255};
    EXPECT_GT(white, 150) << "the text, in entry 15";
}

TEST(ToolsSession, AScriptStopsAtAFailingCommandAndSaysSo) {
    test::TempDir dir;
    const auto [console, term] = runSession(dir,
                                            "wait terminals 2\n"
                                            "fill 3 0\n"
                                            "list\n",
                                            "wait disconnected\n");
    const std::string said = readText(dir / "console.log");
    EXPECT_EQ(console, 1) << said;
    EXPECT_EQ(term, 0) << readText(dir / "term.log");
    EXPECT_NE(said.find("error: fill: there is no terminal 3 (2 connected; list shows them)"), std::string::npos) << said;
    EXPECT_NE(said.find("the script stops at this line"), std::string::npos) << said;
    EXPECT_EQ(said.find("> list"), std::string::npos) << said;
}

}  // namespace
}  // namespace ks318
