// Texts on the simulated screen: the record's fields, and the pixels the
// painter draws for known texts on pictures of known palette entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "sim/screen_text.h"
#include "tests/support/temp_dir.h"

namespace ks318::sim {
namespace {

constexpr int kWidth = 100, kHeight = 60;

// Entry 0 black, 1 white, 2 mid grey; every other entry pure red, far from all three.
std::array<std::uint8_t, 768> greyPalette() {
    std::array<std::uint8_t, 768> palette{};
    for (int entry = 3; entry < 256; ++entry) palette[entry * 3] = 255;
    palette[3] = palette[4] = palette[5] = 255;
    palette[6] = palette[7] = palette[8] = 128;
    return palette;
}

struct Picture {
    std::vector<std::uint8_t> indices = std::vector<std::uint8_t>(kWidth * kHeight, 0);
    std::uint8_t at(int x, int y) const { return indices[static_cast<std::size_t>(y) * kWidth + x]; }
};

Picture drawn(TextRecord record, const std::array<std::uint8_t, 768> &palette = greyPalette(),
              const std::filesystem::path &files = {}) {
    TextPainter painter(KS318_TEXT_FONT);
    painter.setFontDirectory(files);
    Picture picture;
    EXPECT_TRUE(painter.draw(record, picture.indices, kWidth, kHeight, palette));
    return picture;
}

TextRecord text(const std::string &words, int x, int y, int height = 20, int colour = 1) {
    TextRecord record;
    record.text = words;
    record.x = static_cast<std::int16_t>(x);
    record.y = static_cast<std::int16_t>(y);
    record.height = static_cast<std::int16_t>(height);
    record.colour = static_cast<std::int16_t>(colour);
    return record;
}

struct Box {
    int left = kWidth, top = kHeight, right = -1, bottom = -1;
    bool empty() const { return right < 0; }
};

Box inked(const Picture &picture) {
    Box box;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            if (picture.at(x, y) != 0) {
                box.left = std::min(box.left, x), box.right = std::max(box.right, x);
                box.top = std::min(box.top, y), box.bottom = std::max(box.bottom, y);
            }
    return box;
}

TEST(TextRecord, FieldsAtTheirOffsets) {
    Bytes payload(170, 0);
    payload[0] = 0xFE, payload[1] = 0xFF;  // -2
    payload[2] = 0x2C, payload[3] = 0x01;  // 300
    std::fill_n(payload.begin() + 4, 128, 'a');  // a text that fills its field, unterminated
    payload[132] = 'f', payload[133] = '.', payload[134] = 't';
    payload[164] = 1;
    payload[166] = 0x07, payload[167] = 0x01;  // 263: palette entry 7
    payload[168] = 20;
    const auto record = TextRecord::parse(payload);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->x, -2);
    EXPECT_EQ(record->y, 300);
    EXPECT_EQ(record->text, std::string(128, 'a'));
    EXPECT_EQ(record->fontName, "f.t");
    EXPECT_EQ(record->builtByEnviaTexto, 1);
    EXPECT_EQ(record->colour, 263);
    EXPECT_EQ(record->colourIndex(), 7);
    EXPECT_EQ(record->height, 20);
    EXPECT_EQ(record->lineHeight(), 20);

    TextRecord shorter = *record;
    shorter.text = "abc";
    const auto again = TextRecord::parse(shorter.encode());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->text, "abc");
    EXPECT_EQ(again->x, -2);
    EXPECT_EQ(again->colour, 263);
    EXPECT_EQ(record->encode()[131], 0) << "encode always ends the text inside its field";

    EXPECT_FALSE(TextRecord::parse(Bytes(169, 0)));
    EXPECT_FALSE(TextRecord::parse(Bytes(171, 0)));
    TextRecord sizes;
    EXPECT_EQ(sizes.lineHeight(), 16);
    sizes.height = 3;
    EXPECT_EQ(sizes.lineHeight(), 6);
    sizes.height = 5000;
    EXPECT_EQ(sizes.lineHeight(), 200);
}

TEST(TextRecord, TextsAreUtf8WhenValidElseLatin1) {
    EXPECT_EQ(decodeText("A\xC3\xA9"), U"A\u00E9");
    EXPECT_EQ(decodeText("A\xE9"), U"A\u00E9");
    EXPECT_EQ(decodeText("\xE2\x82\xAC"), U"\u20AC");
    EXPECT_EQ(decodeText("\xC3("), U"\u00C3(");            // a broken sequence: every byte a letter
    EXPECT_EQ(decodeText("\xC0\xAF"), U"\u00C0\u00AF");    // an overlong form is no UTF-8
    EXPECT_EQ(decodeText("\xED\xA0\x80"), U"\u00ED\u00A0\u0080");  // nor a surrogate
}

TEST(TextRecord, NearestEntryPrefersThePixelsOwnThenTheLowest) {
    std::array<std::uint8_t, 768> palette{};
    palette[5 * 3] = 10;  // entries 5 and 6 equally near (10, 0, 0)
    palette[6 * 3] = 10;
    EXPECT_EQ(nearestEntry(palette, 10, 0, 0, 0), 5);
    EXPECT_EQ(nearestEntry(palette, 10, 0, 0, 6), 6);
    EXPECT_EQ(nearestEntry(palette, 0, 0, 0, 9), 9);  // entry 9 is black as well: kept
}

TEST(TextPainter, AFullBlockIsSolidInTheTextColourAndStaysBelowRightOfItsCorner) {
    const Picture picture = drawn(text("\u2588", 10, 20, 20));
    const Box box = inked(picture);
    ASSERT_FALSE(box.empty());
    EXPECT_GE(box.left, 10);
    EXPECT_LE(box.left, 12);
    EXPECT_GE(box.top, 19);
    EXPECT_LE(box.bottom, 20 + 24);
    EXPECT_GE(box.right - box.left, 8);
    EXPECT_GE(box.bottom - box.top, 16);
    for (int y = box.top + 1; y < box.bottom; ++y)
        for (int x = box.left + 1; x < box.right; ++x) ASSERT_EQ(picture.at(x, y), 1) << x << "," << y;
}

TEST(TextPainter, ThePositionMovesTheTextByExactlyThatMuch) {
    const Picture first = drawn(text("Ag", 5, 5));
    const Picture moved = drawn(text("Ag", 17, 29));
    ASSERT_FALSE(inked(first).empty());
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const bool inside = x >= 12 && y >= 24;
            ASSERT_EQ(moved.at(x, y), inside ? first.at(x - 12, y - 24) : 0) << x << "," << y;
        }
}

TEST(TextPainter, ANewLineStartsBelowAtTheSameX) {
    const Picture one = drawn(text("H", 30, 2, 16));
    const Picture two = drawn(text("H\nH", 30, 2, 16));
    // The lines do not overlap: every pixel is the first line's or the first line's 16 rows higher.
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const std::uint8_t expected = one.at(x, y) != 0 ? one.at(x, y) : y >= 16 ? one.at(x, y - 16) : 0;
            ASSERT_EQ(two.at(x, y), expected) << x << "," << y;
        }
}

TEST(TextPainter, EdgesTakeTheNearestEntryOfThePalette) {
    const Picture picture = drawn(text("O", 20, 10, 40));
    std::array<int, 256> counts{};
    for (std::uint8_t index : picture.indices) counts[index]++;
    EXPECT_GT(counts[1], 20) << "the letter itself";
    EXPECT_GT(counts[2], 0) << "part-covered pixels become the grey between black and white";
    EXPECT_EQ(counts[0] + counts[1] + counts[2], kWidth * kHeight) << "never the far red entries";

    // On white, drawing in black: the letter's fully covered pixels are the
    // same ones, now black, with grey edges again.
    Picture white;
    std::fill(white.indices.begin(), white.indices.end(), 1);
    TextPainter painter(KS318_TEXT_FONT);
    ASSERT_TRUE(painter.draw(text("O", 20, 10, 40, 0), white.indices, kWidth, kHeight, greyPalette()));
    int grey = 0;
    for (std::size_t i = 0; i < white.indices.size(); ++i) {
        ASSERT_EQ(white.indices[i] == 0, picture.indices[i] == 1) << i;
        ASSERT_LE(white.indices[i], 2) << i;
        grey += white.indices[i] == 2;
    }
    EXPECT_GT(grey, 0);
}

TEST(TextPainter, Utf8AndLatin1DrawTheSameLetters) {
    const Picture utf8 = drawn(text("caf\xC3\xA9", 2, 2));
    const Picture latin1 = drawn(text("caf\xE9", 2, 2));
    EXPECT_EQ(utf8.indices, latin1.indices);
    EXPECT_NE(utf8.indices, drawn(text("cafe", 2, 2)).indices);
}

TEST(TextPainter, ColourIsTheLowByteOfTheThirdNumber) {
    const Picture picture = drawn(text("\u2588", 10, 10, 20, 0x0103));
    const Box box = inked(picture);
    ASSERT_FALSE(box.empty());
    EXPECT_EQ(picture.at((box.left + box.right) / 2, (box.top + box.bottom) / 2), 3);
}

TEST(TextPainter, ClippedAtEveryEdge) {
    for (auto [x, y] : {std::pair{-7, -9}, std::pair{90, 40}, std::pair{-30000, 0}, std::pair{0, 30000}, std::pair{90, -10}}) {
        const Picture picture = drawn(text("WWW\u2588", x, y, 30));
        const Box box = inked(picture);
        if (x < -100 || y > 100) {
            EXPECT_TRUE(box.empty());
        } else {
            ASSERT_FALSE(box.empty()) << x << "," << y;
            EXPECT_TRUE(box.left == 0 || box.right == kWidth - 1 || box.top == 0 || box.bottom == kHeight - 1);
        }
    }
}

TEST(TextPainter, AFontSentToTheTerminalIsTakenByItsName) {
    test::TempDir files;
    std::filesystem::create_directories(files / "FONTS_DIR");
    const std::filesystem::path mono = std::filesystem::path(KS318_TEXT_FONT).parent_path() / "DejaVuSansMono.ttf";
    ASSERT_TRUE(std::filesystem::exists(mono));
    std::filesystem::copy_file(mono, files / "FONTS_DIR/mono.ttf");
    files.write("FONTS_DIR/broken.ttf", Bytes(100, 7));

    TextRecord record = text("iiii", 0, 0);
    const Box plain = inked(drawn(record, greyPalette(), files.path()));
    record.fontName = "mono.ttf";
    const Box monospaced = inked(drawn(record, greyPalette(), files.path()));
    EXPECT_GT(monospaced.right - monospaced.left, plain.right - plain.left + 10) << "mono's i is wider";

    // No such font, a file that is no font, or a name outside FONTS_DIR: the terminal's own.
    record.text = "iiii";
    for (const char *name : {"none.ttf", "broken.ttf", "../FONTS_DIR/mono.ttf", ".."}) {
        record.fontName = name;
        EXPECT_EQ(inked(drawn(record, greyPalette(), files.path())).right, plain.right) << name;
    }
}

TEST(TextPainter, WithoutAFontNothingIsDrawn) {
    TextPainter painter("/nonexistent/font.ttf");
    Picture picture;
    EXPECT_FALSE(painter.draw(text("A", 1, 1), picture.indices, kWidth, kHeight, greyPalette()));
    EXPECT_TRUE(inked(picture).empty());
}

}  // namespace
}  // namespace ks318::sim
