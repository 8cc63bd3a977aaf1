// The simulated terminal program's input lines and its one-line frame log.
#include <gtest/gtest.h>

#include "sim/screen_text.h"
#include "tools/term/frame_log.h"
#include "tools/term/term_input.h"

namespace ks318::tools {
namespace {

using Kind = TermCommand::Kind;

TermCommand parsed(const std::string &line, int terminals = 2) {
    const TermInput input = parseTermInput(line, terminals);
    EXPECT_EQ(input.error, "") << line;
    EXPECT_TRUE(input.command.has_value()) << line;
    return input.command.value_or(TermCommand{});
}

std::string refused(const std::string &line, int terminals = 2) {
    const TermInput input = parseTermInput(line, terminals);
    EXPECT_FALSE(input.command.has_value()) << line;
    return input.error;
}

TEST(TermInput, InputAndItsTargets) {
    TermCommand key = parsed("key 13");
    EXPECT_EQ(key.kind, Kind::Key);
    EXPECT_EQ(key.number, 13);
    EXPECT_FALSE(key.terminal.has_value()) << "every terminal";
    EXPECT_EQ(parsed("@2 key 0x41").terminal, 2);
    EXPECT_EQ(parsed("@2 key 0x41").number, 65);
    EXPECT_FALSE(parsed("@all quit").terminal.has_value());

    const TermCommand serial = parsed("serial 1 hello   \"big world\\r\\n\"");
    EXPECT_EQ(serial.kind, Kind::Serial);
    EXPECT_EQ(serial.number, 1);
    EXPECT_EQ(serial.text, "hello big world\r\n");

    const TermCommand card = parsed("card 'first track' 'second track'");
    EXPECT_EQ(card.kind, Kind::Card);
    EXPECT_EQ(card.text, "first track");
    EXPECT_EQ(card.second, "second track");
    EXPECT_EQ(parsed("card '' only-second").second, "only-second");
    EXPECT_EQ(parsed("card alone").second, "");

    const TermCommand frame = parsed("frame key 13 0xFF");
    EXPECT_EQ(frame.number, 53);
    EXPECT_EQ(frame.bytes, (sim::Bytes{13, 255}));
    EXPECT_EQ(parsed("keys 'ab c'").text, "ab c");
    EXPECT_EQ(parsed("sensor -3").number, -3);
}

TEST(TermInput, WaitsForHandshakeFramesAndDisconnection) {
    EXPECT_EQ(parsed("wait identified").kind, Kind::WaitIdentified);
    EXPECT_EQ(parsed("wait disconnected").kind, Kind::WaitDisconnected);
    const TermCommand frame = parsed("wait frame volume-request 2");
    EXPECT_EQ(frame.kind, Kind::WaitFrame);
    EXPECT_EQ(frame.number, 178);
    EXPECT_EQ(frame.count, 2);
    EXPECT_EQ(parsed("wait frame 35").count, 1);
    EXPECT_EQ(parsed("sleep 250").number, 250);
    EXPECT_EQ(parsed("timeout 100").kind, Kind::Timeout);
}

TEST(TermInput, BadLinesAreRefusedWithAReason) {
    EXPECT_EQ(refused("key 256"), "key: the key code must be a number from 0 to 255, not '256'");
    EXPECT_EQ(refused("key"), "key: usage: key CODE");
    EXPECT_EQ(refused("key 1 2"), "key: usage: key CODE");
    EXPECT_EQ(refused("serial 2 data"), "serial: the port must be a number from 0 to 1, not '2'");
    EXPECT_EQ(refused("card a b c"), "card: usage: card FIRST [SECOND]");
    EXPECT_EQ(refused("@3 key 1"), "@3: this process plays terminals 1 to 2 (or @all)");
    EXPECT_EQ(refused("@0 key 1"), "@0: this process plays terminals 1 to 2 (or @all)");
    EXPECT_EQ(refused("@1"), "a command must follow @1");
    EXPECT_EQ(refused("wait frame nosuch"), "wait: unknown code 'nosuch'");
    // A number the protocol has no frame for would only wait until the time-out.
    EXPECT_EQ(refused("wait frame 9999"), "wait: no frame of the protocol has code 9999");
    EXPECT_EQ(refused("wait frame 0x7fff"), "wait: no frame of the protocol has code 0x7fff");
    EXPECT_EQ(refused("wait frame 35 0"), "wait: the count must be a number from 1 to 1000000, not '0'");
    EXPECT_EQ(refused("wait soon"), "wait: wait for what? wait identified, wait frame CODE [COUNT] or wait disconnected");
    EXPECT_EQ(refused("frame 53 300"), "frame: a byte must be a number from 0 to 255, not '300'");
    EXPECT_EQ(refused("sleep -5"), "sleep: the time must be a number from 0 to 3600000, not '-5'");
    EXPECT_EQ(refused("jump"), "unknown command 'jump' (help lists them)");
    EXPECT_EQ(refused("card 'open"), "a ' quote is not closed");
    const TermInput blank = parseTermInput("   # nothing", 1);
    EXPECT_FALSE(blank.command.has_value());
    EXPECT_EQ(blank.error, "");
    EXPECT_NE(termInputHelp().find("serial PORT DATA..."), std::string::npos);
}

sim::Frame frame(std::uint16_t code, sim::Bytes payload) {
    return sim::Frame{code, static_cast<std::int32_t>(payload.size()), std::move(payload)};
}

TEST(FrameLog, OneLineWithTheFieldsThatMatter) {
    sim::TextRecord text;
    text.x = -4;
    text.y = 30;
    text.text = "Hi\n";
    text.colour = 15;
    text.height = 20;
    EXPECT_EQ(describeFrame(frame(35, text.encode())),
              " 35 text                      170 B  x -4 y 30 colour 15 height 20 font \"\" \"Hi\\n\"");
    EXPECT_EQ(describeFrame(frame(83, sim::concat({sim::le16(3), {'a', 'b', 'c', 'd'}}))),
              " 83 serial-0                    6 B  count 3 \"abc\"");
    EXPECT_EQ(describeFrame(frame(83, sim::concat({sim::le16(300), {'a'}}))),
              " 83 serial-0                    3 B  count 300 \"a\"") << "a count past the payload shows what is there";
    EXPECT_EQ(describeFrame(frame(98, sim::concat({sim::field("MEDIA/a.bin", 128), sim::le32(1), sim::Bytes(5, 0)}))),
              " 98 file-answer               137 B  name \"MEDIA/a.bin\" found 1 size 5");
    EXPECT_EQ(describeFrame(frame(176, sim::le32(static_cast<std::uint32_t>(-2)))),
              "176 volume-set                  4 B  value -2");
    EXPECT_EQ(describeFrame(frame(20, {32, 0x01, 0x40, 0})), " 20 identification              4 B  version 32 model 320");
    EXPECT_EQ(describeFrame(frame(17, {})), " 17 live                        0 B");
    EXPECT_EQ(describeFrame(frame(999, {1, 2, 3})), "999 code-999                    3 B  01 02 03");
    // Too short for its fields: the bytes, never a read past the payload.
    EXPECT_EQ(describeFrame(frame(131, {1, 2})), "131 image-block                 2 B  01 02");
    EXPECT_EQ(describeFrame(frame(69, {})), " 69 card                        0 B");
}

}  // namespace
}  // namespace ks318::tools
