// Commands from the broker made into action requests: every way a payload can
// be refused as a whole, the file it carries, and base64 itself.
#include <gtest/gtest.h>

#include "tools/fleet/base64.h"
#include "tools/bridge/command_request.h"

namespace ks318::bridge {
namespace {

std::string refusal(const std::string &action, std::string_view payload, std::size_t maxPayload = 1000) {
    try {
        parseCommand(action, payload, maxPayload);
    } catch (const CommandRefused &refused) {
        return refused.what();
    }
    return "";
}

TEST(Base64, DecodesStrictPaddedText) {
    EXPECT_EQ(fleet::decodeBase64(""), "");
    EXPECT_EQ(fleet::decodeBase64("Zg=="), "f");
    EXPECT_EQ(fleet::decodeBase64("Zm8="), "fo");
    EXPECT_EQ(fleet::decodeBase64("Zm9v"), "foo");
    EXPECT_EQ(fleet::decodeBase64("AP8A/w=="), std::string("\x00\xff\x00\xff", 4));
    EXPECT_EQ(fleet::decodeBase64("+/+/"), std::string("\xfb\xff\xbf", 3));
}

TEST(Base64, RefusesAnythingElse) {
    for (const char *bad : {"Zg", "Zg=", "Zm9", "Z===", "Zg==Zg==", "Zm 9v", " Zm9v", "Zm9v\n", "Zm-v", "Zm_v", "Zm=v",
                            "====", "Zm9v!"})
        EXPECT_FALSE(fleet::decodeBase64(bad)) << bad;
}

TEST(Base64, WhatIsEncodedDecodesToTheSameBytes) {
    EXPECT_EQ(fleet::encodeBase64("", 0), "");
    EXPECT_EQ(fleet::encodeBase64("f", 1), "Zg==");
    EXPECT_EQ(fleet::encodeBase64("fo", 2), "Zm8=");
    EXPECT_EQ(fleet::encodeBase64("\xfb\xff\xbf", 3), "+/+/");
    // Past the encoder's piece of 3 MiB, with every byte value and both paddings.
    for (const std::size_t size : {std::size_t{3} << 20, (std::size_t{3} << 20) + 1, (std::size_t{7} << 20) + 2}) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131) >> 3);
        const std::string text = fleet::encodeBase64(bytes.data(), bytes.size());
        EXPECT_EQ(text.size(), (size + 2) / 3 * 4);
        EXPECT_EQ(fleet::decodeBase64(text), bytes) << size;
    }
}

TEST(CommandRequest, AnEmptyPayloadIsAnEmptyObject) {
    const CommandRequest request = parseCommand("restart", "", 10);
    EXPECT_EQ(request.action, "restart");
    EXPECT_EQ(request.fields, nlohmann::json::object());
    EXPECT_FALSE(request.file);
}

TEST(CommandRequest, KeepsTheDashboardFieldsForTheRunner) {
    const CommandRequest request = parseCommand("text", R"({"x":1,"y":2,"text":"hi","colour":3})", 1000);
    EXPECT_EQ(request.fields, nlohmann::json::parse(R"({"x":1,"y":2,"text":"hi","colour":3})"));
    // An "action" that agrees with the topic is tolerated and taken away.
    EXPECT_EQ(parseCommand("fill", R"({"action":"fill","index":2})", 1000).fields, nlohmann::json({{"index", 2}}));
}

TEST(CommandRequest, RefusesTheCommandAsAWholeWithItsReason) {
    EXPECT_EQ(refusal("dance", "{}"), "unknown action \"dance\"");
    EXPECT_EQ(refusal("fill", "{\"index\":1", 1000), "the payload is not valid JSON");
    EXPECT_EQ(refusal("fill", "[1,2]"), "the payload must be a JSON object");
    EXPECT_EQ(refusal("fill", "\"text\""), "the payload must be a JSON object");
    EXPECT_EQ(refusal("fill", "{\"index\":1}\xff"), "the payload is not valid JSON");
    EXPECT_EQ(refusal("fill", R"({"index":1,"targets":"all"})"), "the topic names the targets: leave \"targets\" out");
    EXPECT_EQ(refusal("fill", R"({"action":"restart"})"), "the payload's \"action\" is not the topic's");
    EXPECT_NE(refusal("picture", R"({"upload":"0123456789abcdef"})").find("not \"upload\""), std::string::npos);
    EXPECT_EQ(refusal("fill", std::string(1001, ' ')), "the command's payload is larger than 1000 bytes");
}

TEST(CommandRequest, TheSizeIsCheckedBeforeTheActionOrTheJson) {
    EXPECT_EQ(refusal("dance", std::string(2000, '['), 1000), "the command's payload is larger than 1000 bytes");
}

TEST(CommandRequest, DeeplyNestedJsonIsRefusedOrParsedNeverACrash) {
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_EQ(refusal("fill", deep, 1 << 20), "the payload must be a JSON object");
    const std::string deepObject = "{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
    EXPECT_NO_THROW(parseCommand("fill", deepObject, 1 << 20));
}

TEST(CommandRequest, FilesComeDecodedWithTheirName) {
    const CommandRequest request = parseCommand("file", R"({"data":"aGVsbG8=","filename":"notes.bin","name":"n.txt"})", 1000);
    ASSERT_TRUE(request.file);
    EXPECT_EQ(request.file->bytes, "hello");
    EXPECT_EQ(request.file->filename, "notes.bin");
    EXPECT_EQ(request.fields, nlohmann::json({{"name", "n.txt"}}));

    EXPECT_EQ(refusal("picture", R"({"filename":"a.jpg"})"), "the action needs \"data\": the file's bytes in base64");
    EXPECT_EQ(refusal("picture", R"({"data":5,"filename":"a.jpg"})"), "the action needs \"data\": the file's bytes in base64");
    EXPECT_NE(refusal("font", R"({"data":"Zg=="})").find("\"filename\""), std::string::npos);
    EXPECT_EQ(refusal("font", R"({"data":"Zg==","filename":""})"), "\"filename\" must have 1 to 255 bytes");
    EXPECT_EQ(refusal("font", R"({"data":"Zg==","filename":")" + std::string(256, 'f') + "\"}"),
              "\"filename\" must have 1 to 255 bytes");
    EXPECT_EQ(refusal("picture", R"({"data":"not base64!","filename":"a.jpg"})"), "\"data\" is not valid base64");
}

}  // namespace
}  // namespace ks318::bridge
