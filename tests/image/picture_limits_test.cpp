// Picture files at the host's edges: each format's headers read before any
// decoding, files over the byte limit and pictures over the pixel limit, large
// JPEGs decoded at a reduced scale, files cut short, and a host whose address
// space runs short.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "image/picture_conversion.h"
#include "port/icon_file.h"
#include "port/picture.h"
#include "port/picture_pixels.h"
#include "tests/image/picture_files.h"
#include "tests/image/picture_screen.h"

namespace ks318 {
namespace {

using namespace test;  // picture files, colours and colour classes

constexpr std::uintmax_t kMiB = 1024 * 1024;

void put16At(FileBytes &bytes, std::size_t at, std::uint32_t value, bool bigEndian) {
    bytes[at + (bigEndian ? 1 : 0)] = static_cast<std::uint8_t>(value);
    bytes[at + (bigEndian ? 0 : 1)] = static_cast<std::uint8_t>(value >> 8);
}

void put32At(FileBytes &bytes, std::size_t at, std::uint32_t value, bool bigEndian) {
    for (int i = 0; i < 4; ++i) bytes[at + (bigEndian ? 3 - i : i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Where a JPEG's first frame header (SOF0 from the test codec) starts.
std::size_t frameHeaderAt(const FileBytes &jpeg) {
    for (std::size_t i = 2; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) return i;
    ADD_FAILURE() << "no frame header";
    return 0;
}

// The same JPEG with its frame header giving another size (its picture data
// unchanged, so too short for that size).
FileBytes withJpegSize(FileBytes jpeg, int width, int height) {
    const std::size_t at = frameHeaderAt(jpeg);
    put16At(jpeg, at + 5, static_cast<std::uint32_t>(height), true);
    put16At(jpeg, at + 7, static_cast<std::uint32_t>(width), true);
    return jpeg;
}

std::uint32_t crc32Of(const std::uint8_t *data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

FileBytes cut(const FileBytes &bytes, std::size_t length) { return FileBytes(bytes.begin(), bytes.begin() + length); }

std::optional<port::PictureHeader> iconHeader(const std::uint8_t *bytes, std::size_t count) {
    const std::optional<port::IconImage> image = port::largestIconImage(bytes, count);
    if (!image) return std::nullopt;
    return port::PictureHeader{image->width, image->height, count};
}

// 64 × 48 palette indices: 0 in the left half, 1 in the right.
std::vector<std::uint8_t> halvesIndices() {
    std::vector<std::uint8_t> indices(64 * 48, 0);
    for (int y = 0; y < 48; ++y)
        for (int x = 32; x < 64; ++x) indices[static_cast<std::size_t>(y) * 64 + x] = 1;
    return indices;
}

TestPicture redBlueHalves() {
    TestPicture halves(64, 48, kRed);
    halves.paintColumns(32, 64, kBlue);
    return halves;
}

// ---- Headers, read before anything is decoded -----------------------------------

TEST(PictureHeaders, EachFormatGivesItsOwnSizeAndTheBytesItIsMadeOf) {
    const TestPicture picture(37, 21, kRed);
    for (const auto &[name, bytes, read] :
         std::vector<std::tuple<std::string, FileBytes, decltype(&port::readBmpHeader)>>{
             {"bmp", bmpFile(picture), &port::readBmpHeader},
             {"jpeg", jpegFile(picture, 90), &port::readJpegHeader},
             {"progressive jpeg", jpegFile(picture, 90, true), &port::readJpegHeader},
             {"png", pngFile(picture), &port::readPngHeader},
             {"rle bmp", bmpRle8File(37, 21, {kRed}, std::vector<std::uint8_t>(37 * 21, 0)), &port::readBmpHeader},
         }) {
        const std::optional<port::PictureHeader> header = read(bytes.data(), bytes.size());
        ASSERT_TRUE(header) << name;
        EXPECT_EQ(header->width, 37) << name;
        EXPECT_EQ(header->height, 21) << name;
        EXPECT_EQ(header->length, bytes.size()) << name;
    }
    // Rows top first (a negative height) count as rows.
    FileBytes topDown = bmpFile(picture);
    put32At(topDown, 22, static_cast<std::uint32_t>(-21), false);
    ASSERT_TRUE(port::readBmpHeader(topDown.data(), topDown.size()));
    EXPECT_EQ(port::readBmpHeader(topDown.data(), topDown.size())->height, 21);
    // A JPEG is made of the bytes up to its end marker; what follows is not part of it.
    const FileBytes jpeg = jpegFile(picture, 90);
    FileBytes trailed = jpeg;
    trailed.insert(trailed.end(), 300, 0xFF);
    ASSERT_TRUE(port::readJpegHeader(trailed.data(), trailed.size()));
    EXPECT_EQ(port::readJpegHeader(trailed.data(), trailed.size())->length, jpeg.size());
    // Icons: the largest image's own header, whether a bitmap or a PNG.
    for (bool png : {false, true}) {
        const FileBytes icon = icoFile({{TestPicture(16, 16, kRed), !png}, {TestPicture(40, 24, kBlue), png}});
        const std::optional<port::IconImage> image = port::largestIconImage(icon.data(), icon.size());
        ASSERT_TRUE(image) << png;
        EXPECT_EQ(image->png, png);
        EXPECT_EQ(image->width, 40);
        EXPECT_EQ(image->height, 24);
    }
}

TEST(PictureHeaders, TheJpegSizeIsItsFramesNotAnEmbeddedPictures) {
    const FileBytes main = jpegFile(TestPicture(48, 32, kRed), 90);
    const FileBytes thumbnail = jpegFile(TestPicture(8, 8, kBlue), 90);
    // An APP1 segment holding a whole small JPEG (as a camera's thumbnail) after the start marker.
    FileBytes withThumbnail{0xFF, 0xD8, 0xFF, 0xE1};
    const std::size_t segment = 2 + 6 + thumbnail.size();
    withThumbnail.push_back(static_cast<std::uint8_t>(segment >> 8));
    withThumbnail.push_back(static_cast<std::uint8_t>(segment));
    withThumbnail.insert(withThumbnail.end(), {'E', 'x', 'i', 'f', 0, 0});
    withThumbnail.insert(withThumbnail.end(), thumbnail.begin(), thumbnail.end());
    withThumbnail.insert(withThumbnail.end(), main.begin() + 2, main.end());
    std::optional<port::PictureHeader> header = port::readJpegHeader(withThumbnail.data(), withThumbnail.size());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->width, 48);
    EXPECT_EQ(header->height, 32);
    EXPECT_EQ(header->length, withThumbnail.size());
    // The thumbnail alone, cut from the file without its end marker, is not a whole picture.
    EXPECT_FALSE(port::readJpegHeader(withThumbnail.data(), withThumbnail.size() - 2));
}

TEST(PictureHeaders, AFileCutAnywhereBeforeItsEndIsNotTaken) {
    const TestPicture picture = redBlueHalves();
    using Reader = std::optional<port::PictureHeader> (*)(const std::uint8_t *, std::size_t);
    const std::vector<std::tuple<std::string, FileBytes, Reader>> files{
        {"bmp", bmpFile(picture), &port::readBmpHeader},
        {"jpeg", jpegFile(picture, 90), &port::readJpegHeader},
        {"progressive jpeg", jpegFile(picture, 90, true), &port::readJpegHeader},
        {"png", pngFile(picture), &port::readPngHeader},
        {"bitmap icon", icoFile({{TestPicture(16, 16, kRed), true}, {picture, false}}), &iconHeader},
        {"png icon", icoFile({{picture, true}, {TestPicture(16, 16, kRed), false}}), &iconHeader},
    };
    for (const auto &[name, bytes, read] : files) {
        ASSERT_TRUE(read(bytes.data(), bytes.size())) << name;
        int taken = 0;
        for (std::size_t length = 0; length < bytes.size(); ++length)
            if (read(bytes.data(), length)) ++taken;
        EXPECT_EQ(taken, 0) << name << ": cut short, yet taken";
    }
    // An RLE bitmap is whole once its last row has ended: only its end-of-bitmap
    // code (the last 2 bytes) may be missing.
    const FileBytes rle = bmpRle8File(64, 48, {kRed, kBlue}, halvesIndices());
    for (std::size_t length = 0; length < rle.size(); ++length)
        EXPECT_EQ(port::readBmpHeader(rle.data(), length).has_value(), length >= rle.size() - 2) << length;
}

TEST(PictureHeaders, AJpegIsDecodedAtTheSmallestScaleThatKeepsThePixelsNeeded) {
    EXPECT_EQ(port::jpegScaleDenominator(8000, 6000, {320, 240}), 8);
    EXPECT_EQ(port::jpegScaleDenominator(12000, 9000, {362, 272}), 8);
    EXPECT_EQ(port::jpegScaleDenominator(2560, 1920, {320, 240}), 8);  // 320 × 240 exactly
    EXPECT_EQ(port::jpegScaleDenominator(2551, 1920, {320, 240}), 4);  // 319 columns at 1/8
    EXPECT_EQ(port::jpegScaleDenominator(640, 480, {320, 240}), 2);
    EXPECT_EQ(port::jpegScaleDenominator(639, 480, {320, 240}), 2);    // 320 columns at 1/2
    EXPECT_EQ(port::jpegScaleDenominator(1920, 1080, {483, 272}), 2);
    EXPECT_EQ(port::jpegScaleDenominator(200, 100, {320, 160}), 1);
    // The picture's place on the screen, not the screen, sets what is needed.
    EXPECT_EQ(port::jpegScaleDenominator(1000, 10000, {24, 240}), 8);
    EXPECT_EQ(image::neededPixels(12000, 9000, {480, 272}).width, 362);
    EXPECT_EQ(image::neededPixels(12000, 9000, {480, 272}).height, 272);
}

// ---- On a terminal's screen ----------------------------------------------------------

using PictureLimits = PictureScreenTest;

TEST_F(PictureLimits, AFileOverTheByteLimitIsRefusedWithoutBeingRead) {
    const std::int32_t number = join(318);
    // A small JPEG, then zeros up to the file's size: the decoder would take it.
    const FileBytes jpeg = jpegFile(TestPicture(64, 48, kRed), 90);
#ifndef _WIN32  // (there the C runtime will not make a file larger than the disk's free space)
    expectRefused(number, sparseFile(dir_, "100GiB.jpg", jpeg, std::uintmax_t{100} << 30));
#endif
    // Past what 32 bits count: read as 1 KiB by a 32-bit size, it would show.
    expectRefused(number, sparseFile(dir_, "4GiB.jpg", jpeg, (std::uintmax_t{4} << 30) + 1024));
    expectRefused(number, sparseFile(dir_, "over.jpg", jpeg, port::kMaxPictureFileBytes + 1));
    show(number, sparseFile(dir_, "at-limit.jpg", jpeg, port::kMaxPictureFileBytes));
    EXPECT_TRUE(isRed(screen(number).colour(160, 120)));
}

TEST_F(PictureLimits, APictureOverThePixelLimitIsRefusedBeforeItIsDecoded) {
    const std::int32_t number = join(318);
    // 8192 × 4096 is the limit itself: shown (a black picture of zeros).
    const auto bmpOf = [&](const std::string &name, int width, int height) {
        const std::uintmax_t rowBytes = (static_cast<std::uintmax_t>(width) * 3 + 3) / 4 * 4;
        return sparseFile(dir_, name, bmpHeader(width, height, 24), 54 + rowBytes * height);
    };
    static_assert(8192LL * 4096 == port::kMaxPicturePixels);
    show(number, bmpOf("at-limit.bmp", 8192, 4096));
    EXPECT_TRUE(isDark(screen(number).colour(160, 120)));
    expectRefused(number, bmpOf("wider.bmp", 8193, 4096));
    expectRefused(number, bmpOf("taller.bmp", 4096, 8193));

    // Headers announcing pictures far over the limit, in files of a few bytes.
    FileBytes rle = bmpRle8File(1, 1, {kRed}, {0});  // one row and its end-of-bitmap code
    put32At(rle, 18, 30000, false);
    put32At(rle, 22, 30000, false);
    expectRefused(number, dir_.write("rle.bmp", rle));
    FileBytes icon = icoFile({{TestPicture(16, 16, kRed), true}});
    constexpr std::size_t kIhdr = 22 + 8;  // the PNG's first chunk, after the directory and the signature
    put32At(icon, kIhdr + 8, 30000, true);  // width and height
    put32At(icon, kIhdr + 12, 30000, true);
    put32At(icon, kIhdr + 21, crc32Of(icon.data() + kIhdr + 4, 17), true);
    expectRefused(number, dir_.write("png.ico", icon));
    // 65500 × 65500 stays 8188 × 8188 at the smallest scale a JPEG decodes at.
    expectRefused(number, dir_.write("huge.jpg", withJpegSize(jpegFile(TestPicture(16, 16, kRed), 90), 65500, 65500)));
}

// A design of coloured regions: red, green, blue and yellow quadrants, and a
// black block over the middle quarter of each side.
Rgb designColour(int x, int y, int width, int height) {
    if (x >= 3 * width / 8 && x < 5 * width / 8 && y >= 3 * height / 8 && y < 5 * height / 8) return kBlack;
    const bool right = x >= width / 2, bottom = y >= height / 2;
    return bottom ? (right ? kYellow : kBlue) : (right ? kGreen : kRed);
}

char colourClass(sim::Colour c) {
    if (isWhite(c)) return 'w';
    if (isDark(c)) return 'k';
    if (isRed(c)) return 'r';
    if (isBlue(c)) return 'b';
    if (c.g >= 150 && c.r <= 100 && c.b <= 100) return 'g';
    if (c.r >= 170 && c.g >= 160 && c.b <= 110) return 'y';
    return '?';
}

std::string screenClasses(const sim::SimScreen &screen) {
    std::string classes;
    for (int y = 0; y < screen.height(); ++y)
        for (int x = 0; x < screen.width(); ++x) classes.push_back(colourClass(screen.colour(x, y)));
    return classes;
}

TEST_F(PictureLimits, LargeJpegsAreShownAsTheirSmallCopyIs) {
    const std::int32_t small318 = join(318), small320 = join(320);
    const std::int32_t large318 = join(318), large320 = join(320);
    for (auto [width, height] : {std::pair{8000, 6000}, std::pair{12000, 9000}}) {
        const int smallWidth = width / 20, smallHeight = height / 20;
        const HostPath small = dir_.write("small.jpg", jpegFileOf(smallWidth, smallHeight, 90, [&](int x, int y) {
            return designColour(x, y, smallWidth, smallHeight);
        }));
        const HostPath large = dir_.write("large.jpg", jpegFileOf(width, height, 90, [&](int x, int y) {
            return designColour(x, y, width, height);
        }));
        for (auto [smallOne, largeOne] : {std::pair{small318, large318}, std::pair{small320, large320}}) {
            show(smallOne, small);
            show(largeOne, large);
            const std::string expected = screenClasses(screen(smallOne)), got = screenClasses(screen(largeOne));
            ASSERT_EQ(got.size(), expected.size());
            // The regions' edges may fall a pixel apart; the regions themselves agree.
            const int w = screen(largeOne).width(), h = screen(largeOne).height();
            int differing = 0, unclassified = 0;
            for (std::size_t i = 0; i < got.size(); ++i) {
                if (got[i] != expected[i]) ++differing;
                if (got[i] == '?') ++unclassified;
            }
            const int edgePixels = w + h + (w + h) / 2;  // one column, one row, and the block's outline, at most
            EXPECT_LE(differing, edgePixels) << width << " x " << height << " on a " << w << " x " << h << " screen";
            EXPECT_LE(unclassified, edgePixels) << width << " x " << height;
            // And the layout is the design's: quadrant colours, the block, white bands on the wider screen.
            const auto at = [&](double fx, double fy) {
                return got[static_cast<std::size_t>(fy * h) * w + static_cast<std::size_t>(fx * w)];
            };
            EXPECT_EQ(at(0.5, 0.5), 'k');
            if (w == 320) {
                EXPECT_EQ(at(0.2, 0.2), 'r');
                EXPECT_EQ(at(0.8, 0.2), 'g');
                EXPECT_EQ(at(0.2, 0.8), 'b');
                EXPECT_EQ(at(0.8, 0.8), 'y');
            } else {  // 362 × 272 at column 59 on a 480 × 272 screen
                EXPECT_EQ(at(0.05, 0.5), 'w');
                EXPECT_EQ(at(0.95, 0.5), 'w');
                EXPECT_EQ(at(0.25, 0.2), 'r');
                EXPECT_EQ(at(0.75, 0.8), 'y');
            }
        }
    }
    // The pixel limit counts a JPEG at the scale it is decoded at: 65500 × 32784
    // (65500 is the most the codec takes) decodes as 8188 × 4098 at 1/8, 8 pixels
    // under the limit (grey: its picture data is only 16 × 16 pixels long), and
    // 65500 × 32792 as 8188 × 4099, over it.
    static_assert(8188LL * 4098 <= port::kMaxPicturePixels && 8188LL * 4099 > port::kMaxPicturePixels);
    const FileBytes tiny = jpegFile(TestPicture(16, 16, kRed), 90);
    const HostPath underLimit = dir_.write("under-limit.jpg", withJpegSize(tiny, 65500, 32784));
    show(large318, underLimit);
    EXPECT_TRUE(isGrey(screen(large318).colour(160, 120)));
    expectRefused(large318, dir_.write("over-limit.jpg", withJpegSize(tiny, 65500, 32792)));
}

TEST_F(PictureLimits, ACutShortFileSendsNothingInEveryFormat) {
    const std::int32_t number = join(318);
    const TestPicture halves = redBlueHalves();
    const std::vector<std::pair<std::string, FileBytes>> files{
        {"picture.bmp", bmpFile(halves)},
        {"rle.bmp", bmpRle8File(64, 48, {kRed, kBlue}, halvesIndices())},
        {"picture.jpg", jpegFile(halves, 90)},
        {"progressive.jpg", jpegFile(halves, 90, true)},
        {"bitmap-icon.ico", icoFile({{TestPicture(16, 16, kRed), true}, {halves, false}})},
        {"png-icon.ico", icoFile({{halves, true}, {TestPicture(16, 16, kRed), false}})},
    };
    for (const auto &[name, bytes] : files) {
        // Whole, and whole with bytes after it: shown.
        show(number, dir_.write(name, bytes));
        EXPECT_TRUE(isRed(screen(number).colour(80, 120))) << name;
        EXPECT_TRUE(isBlue(screen(number).colour(240, 120))) << name;
        FileBytes trailed = bytes;
        trailed.insert(trailed.end(), 100, 0x5A);
        show(number, dir_.write("trailed-" + name, trailed));
        EXPECT_TRUE(isBlue(screen(number).colour(240, 120))) << name;
        // Cut at half, or by its last few bytes: nothing. (An RLE bitmap is whole
        // once its last row has ended: only its 2-byte end-of-bitmap code may go.)
        std::vector<std::size_t> lengths{bytes.size() / 2, bytes.size() - 3};
        if (name != "rle.bmp") lengths.push_back(bytes.size() - 1);
        for (std::size_t length : lengths)
            expectRefused(number, dir_.write(std::to_string(length) + "-" + name, cut(bytes, length)));
    }
}

// Each refusal names its cause, on the thread that asked, in kq_lastfailure.
TEST_F(PictureLimits, EachRefusalSaysWhy) {
    const std::int32_t number = join(318);
    const auto refusal = [&](const std::string &path) {
        EXPECT_EQ(kq_sendimgfromfile(number, path.c_str()), 0) << path;
        return std::string(kq_lastfailure());
    };
    const auto inDir = [&](const std::string &name) { return std::string(HostPath(dir_.path() / name)); };
    const FileBytes jpeg = jpegFile(TestPicture(64, 48, kRed), 90);
    EXPECT_EQ(refusal(inDir("absent.jpg")), "no file " + inDir("absent.jpg"));
    EXPECT_EQ(refusal(dir_.write("picture.png", pngFile(TestPicture(8, 8, kRed)))),
              inDir("picture.png") + " is not a .bmp, .jpg, .jpeg, .ico, .wmf or .emf file");
    const std::string over = sparseFile(dir_, "over.jpg", jpeg, port::kMaxPictureFileBytes + 1);
    EXPECT_EQ(refusal(over), over + " is larger than 268435456 bytes");
    EXPECT_EQ(refusal(sparseFile(dir_, "wide.bmp", bmpHeader(8193, 4096, 24), 54 + 24580ULL * 4096)),
              "the picture (8193 x 4096) has more than 33554432 pixels");
    const FileBytes wmf = wmfFile(40, 30, {{0, 0, 20, 30, kRed}});
    EXPECT_EQ(refusal(dir_.write("cut.wmf", cut(wmf, wmf.size() - 6))),
              "the metafile is damaged or cut short: a record reaches past its end, or the end record is missing");
    const FileBytes bmp = bmpFile(TestPicture(64, 48, kRed));
    const std::string cutBmp = dir_.write("cut.bmp", cut(bmp, bmp.size() / 2));
    EXPECT_EQ(refusal(cutBmp), "the picture in " + cutBmp + " could not be decoded");

    // A success clears the reason; a number with no terminal names itself.
    show(number, dir_.write("shown.jpg", jpeg));
    EXPECT_STREQ(kq_lastfailure(), "");
    EXPECT_EQ(kq_sendimgfromfile(number + 7, inDir("shown.jpg").c_str()), 0);
    EXPECT_EQ(std::string(kq_lastfailure()), "no terminal " + std::to_string(number + 7));
}

// ---- A host short of memory (in a child process) ----------------------------------

#ifndef _WIN32

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their shadow memory needs the address space a limit takes away
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

long statusKiB(const char *field) {
    std::ifstream status("/proc/self/status");
    const std::string key = std::string(field) + ":";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    return -1;
}

struct ShortOfMemoryFiles {
    std::string gigabyte, withinByteLimit, bitmap, largeJpeg, small;
};

// Runs in a child process: 0 when each call gave what it should.
int sendWithLittleAddressSpace(const ShortOfMemoryFiles &files) {
    ExportSession session;
    sim::Identity identity;
    identity.model = 318;
    const auto terminal = session.join(identity);
    if (kq_sendimgfromfile(1, files.small.c_str()) != 1) return 10;  // the decoders are loaded
    // 150 MiB of address space left.
    const rlimit limit{static_cast<rlim_t>(statusKiB("VmSize") + 150 * 1024) * 1024, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return 11;
    std::fprintf(stderr, "address space limited to %llu MiB\n", static_cast<unsigned long long>(limit.rlim_cur >> 20));
    if (kq_sendimgfromfile(1, files.gigabyte.c_str()) != 0) return 1;         // over the byte limit
    if (kq_sendimgfromfile(1, files.withinByteLimit.c_str()) != 0) return 2;  // cannot be read into memory
    if (kq_sendimgfromfile(1, files.bitmap.c_str()) != 0) return 3;           // read, but cannot be decoded
    if (kq_sendimgfromfile(1, files.largeJpeg.c_str()) != 1) return 4;        // decoded at 1/8
    if (kq_sendimgfromfile(1, files.small.c_str()) != 1) return 5;            // and the host goes on
    return 0;
}

TEST(PictureMemoryDeathTest, ShortOfAddressSpaceAPictureThatDoesNotFitGivesZeroAndTheHostLivesOn) {
    if (kSanitized) GTEST_SKIP() << "sanitizers reserve the address space a limit would take";
    TempDir dir;
    const FileBytes jpeg = jpegFile(TestPicture(64, 48, kRed), 90);
    ShortOfMemoryFiles files;
    files.gigabyte = sparseFile(dir, "gigabyte.jpg", jpeg, 1024 * kMiB);
    files.withinByteLimit = sparseFile(dir, "200MiB.jpg", jpeg, 200 * kMiB);
    // 8000 × 4000 (within the pixel limit): 96 MB of file, and 96 MB more to decode.
    files.bitmap = sparseFile(dir, "black.bmp", bmpHeader(8000, 4000, 24), 54 + 8000ULL * 3 * 4000);
    files.largeJpeg = dir.write("large.jpg", jpegFileOf(12000, 9000, 90, [](int x, int y) {
        return designColour(x, y, 12000, 9000);
    }));
    files.small = dir.write("small.bmp", bmpFile(TestPicture(64, 48, kBlue)));
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(sendWithLittleAddressSpace(files)), ::testing::ExitedWithCode(0), "");
}

// Runs in a child process: converts the picture, and tells its peak memory.
int convertWithinPeak(const std::string &path, long maxGrowthKiB) {
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    const long before = statusKiB("VmRSS");
    image::TerminalImage converted;
    const bool done = image::convertPictureFile(path.c_str(), {320, 240}, converted);
    const long growth = statusKiB("VmHWM") - before;
    std::fprintf(stderr, "%s: converted %d, peak %ld KiB above the %ld KiB before\n", path.c_str(), done, growth,
                 before);
    return !done ? 1 : before <= 0 || growth > maxGrowthKiB ? 2 : 0;
}

TEST(PictureMemoryDeathTest, LargeJpegsAreDecodedInLittleMemory) {
    if (kSanitized) GTEST_SKIP() << "sanitizers change what memory a process holds";
    if (!std::ofstream("/proc/self/clear_refs")) GTEST_SKIP() << "this system cannot reset a process's peak memory";
    TempDir dir;
    for (auto [width, height] : {std::pair{8000, 6000}, std::pair{12000, 9000}}) {
        const std::string path = dir.write("large.jpg", jpegFileOf(width, height, 90, [&](int x, int y) {
            return designColour(x, y, width, height);
        }));
        // Decoded whole, these take 144 MB and 324 MB as RGB alone.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        EXPECT_EXIT(std::exit(convertWithinPeak(path, 40 * 1024)), ::testing::ExitedWithCode(0), "")
            << width << " x " << height;
    }
}

// Runs in a child process: each file is refused, and the peak memory stays
// far below what decoding any of them would take.
int refuseWithinPeak(const std::vector<std::string> &paths, long maxGrowthKiB) {
    // A guard: were a picture decoded after all, it could not take the machine's memory.
    const rlimit limit{static_cast<rlim_t>(statusKiB("VmSize") + 1024 * 1024) * 1024, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return 11;
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = statusKiB("VmRSS");
    for (const std::string &path : paths) {
        image::TerminalImage converted;
        if (image::convertPictureFile(path.c_str(), {320, 240}, converted)) return 1;
        const long growth = statusKiB("VmHWM") - before;
        std::fprintf(stderr, "%s: peak %ld KiB above the %ld KiB before\n", path.c_str(), growth, before);
        if (before <= 0 || growth > maxGrowthKiB) return 2;
    }
    return 0;
}

TEST(PictureMemoryDeathTest, PicturesOverThePixelLimitAreRefusedBeforeTheyAreDecoded) {
    if (kSanitized) GTEST_SKIP() << "sanitizers reserve the address space a limit would take";
    if (!std::ofstream("/proc/self/clear_refs")) GTEST_SKIP() << "this system cannot reset a process's peak memory";
    TempDir dir;
    // Files of a few hundred bytes whose headers announce pictures far over the limit;
    // the JPEG's decoder would write 8188 × 8188 pixels (201 MB) at 1/8 scale.
    const std::string jpeg =
        dir.write("huge.jpg", withJpegSize(jpegFile(TestPicture(16, 16, kRed), 90), 65500, 65500));
    FileBytes rle = bmpRle8File(1, 1, {kRed}, {0});
    put32At(rle, 18, 30000, false);
    put32At(rle, 22, 30000, false);
    const std::string bmp = dir.write("huge.bmp", rle);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(refuseWithinPeak({jpeg, bmp}, 16 * 1024)), ::testing::ExitedWithCode(0), "");
}

#endif  // _WIN32

}  // namespace
}  // namespace ks318
