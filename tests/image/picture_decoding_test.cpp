// The library's own bitmap decoding: a JPEG's EXIF orientation, progressive
// JPEGs within and over the decoder's memory bound, and BMP and icon encodings
// each shown as they say.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "image/picture_conversion.h"
#include "ks318.h"
#include "port/picture.h"
#include "tests/image/picture_files.h"
#include "tests/image/picture_screen.h"

namespace ks318 {
namespace {

using namespace test;

// A JPEG with an EXIF block (APP1, right after the start marker) giving
// `orientation`, in either byte order.
FileBytes withOrientation(const FileBytes &jpeg, int orientation, bool bigEndian) {
    FileBytes tiff;
    const auto u16 = [&](std::uint32_t v) {
        tiff.push_back(static_cast<std::uint8_t>(bigEndian ? v >> 8 : v));
        tiff.push_back(static_cast<std::uint8_t>(bigEndian ? v : v >> 8));
    };
    const auto u32 = [&](std::uint32_t v) {
        if (bigEndian) u16(v >> 16), u16(v & 0xFFFF);
        else u16(v & 0xFFFF), u16(v >> 16);
    };
    tiff.insert(tiff.end(), bigEndian ? std::initializer_list<std::uint8_t>{'M', 'M', 0, 42}
                                      : std::initializer_list<std::uint8_t>{'I', 'I', 42, 0});
    u32(8);       // the first directory
    u16(2);       // two entries: a resolution unit before the orientation
    u16(0x0128), u16(3), u32(1), u16(2), u16(0);
    u16(0x0112), u16(3), u32(1), u16(static_cast<std::uint32_t>(orientation)), u16(0);
    u32(0);       // no next directory
    FileBytes segment{0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    segment.insert(segment.end(), tiff.begin(), tiff.end());
    segment[2] = static_cast<std::uint8_t>((segment.size() - 2) >> 8);
    segment[3] = static_cast<std::uint8_t>(segment.size() - 2);
    FileBytes out(jpeg.begin(), jpeg.begin() + 2);
    out.insert(out.end(), segment.begin(), segment.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

bool near(const std::uint8_t *pixel, Rgb c) {
    return std::abs(pixel[0] - c.r) <= 40 && std::abs(pixel[1] - c.g) <= 40 && std::abs(pixel[2] - c.b) <= 40;
}

class PictureDecoding : public ::testing::Test {
protected:
    TempDir dir_;
};

// Stored as red, green over blue, yellow (64 × 32); each orientation as the
// EXIF definition shows it: which stored quarter lands top left, top right,
// bottom left, bottom right.
TEST_F(PictureDecoding, EachExifOrientationShowsThePictureAsItsCameraSawIt) {
    TestPicture stored(64, 32, kRed);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x) stored.set(x, y, y < 16 ? (x < 32 ? kRed : kGreen) : (x < 32 ? kBlue : kYellow));
    const FileBytes jpeg = jpegFile(stored, 95);
    const Rgb R = kRed, G = kGreen, B = kBlue, Y = kYellow;
    const Rgb expected[9][4] = {{},           {R, G, B, Y}, {G, R, Y, B}, {Y, B, G, R}, {B, Y, R, G},
                                {R, B, G, Y}, {B, R, Y, G}, {Y, G, B, R}, {G, Y, R, B}};
    for (int orientation = 1; orientation <= 8; ++orientation) {
        for (bool bigEndian : {false, true}) {
            SCOPED_TRACE("orientation " + std::to_string(orientation) + (bigEndian ? ", big-endian" : ", little-endian"));
            const std::string path = dir_.write("photo.jpg", withOrientation(jpeg, orientation, bigEndian));
            const std::unique_ptr<port::Picture> picture = port::loadPicture(path.c_str());
            ASSERT_NE(picture, nullptr);
            const bool turned = orientation >= 5;
            EXPECT_EQ(picture->width(), turned ? 32 : 64);
            EXPECT_EQ(picture->height(), turned ? 64 : 32);
            ASSERT_EQ(picture->pixelWidth(), picture->width());
            ASSERT_EQ(picture->pixelHeight(), picture->height());
            const int w = picture->width(), h = picture->height();
            const auto at = [&](int x, int y) { return picture->pixels() + (static_cast<std::size_t>(y) * w + x) * 3; };
            EXPECT_TRUE(near(at(w / 4, h / 4), expected[orientation][0])) << "top left";
            EXPECT_TRUE(near(at(3 * w / 4, h / 4), expected[orientation][1])) << "top right";
            EXPECT_TRUE(near(at(w / 4, 3 * h / 4), expected[orientation][2])) << "bottom left";
            EXPECT_TRUE(near(at(3 * w / 4, 3 * h / 4), expected[orientation][3])) << "bottom right";
        }
    }
    // A turned photo is fitted as it shows: upright (taller than wide), it takes the screen's height.
    const std::string upright = dir_.write("upright.jpg", withOrientation(jpegFileOf(1200, 400, 90, [](int, int) {
        return kBlue;
    }), 6, false));
    std::vector<std::uint8_t> palette(768), pixels(KQ_PIXELS_318);
    ASSERT_EQ(kq_convertimgfromfile(upright.c_str(), 318, palette.data(), pixels.data()), KQ_PIXELS_318);
    const auto colourAt = [&](int x, int y) {
        const std::uint8_t *p = palette.data() + pixels[static_cast<std::size_t>(y) * 320 + x] * 3;
        return Rgb{p[0], p[1], p[2]};
    };
    const Rgb middle = colourAt(160, 120), side = colourAt(20, 120);
    EXPECT_TRUE(middle.b > 150 && middle.r < 100) << "the photo is in the middle";
    EXPECT_TRUE(side.r > 200 && side.g > 200 && side.b > 200) << "white beside a photo 80 pixels wide";
}

TEST_F(PictureDecoding, AProgressiveJpegWithinTheBoundShowsAsItsBaselineTwin) {
    TestPicture picture(1600, 1200, kRed);
    for (int y = 0; y < 1200; ++y)
        for (int x = 0; x < 1600; ++x)
            picture.set(x, y, Rgb{static_cast<std::uint8_t>(x * 255 / 1600), static_cast<std::uint8_t>(y * 255 / 1200),
                                  static_cast<std::uint8_t>((x / 100 + y / 100) % 2 ? 200 : 40)});
    image::TerminalImage baseline, progressive;
    ASSERT_TRUE(image::convertPictureFile(dir_.write("baseline.jpg", jpegFile(picture, 90)).c_str(), {480, 272}, baseline));
    ASSERT_TRUE(image::convertPictureFile(dir_.write("progressive.jpg", jpegFile(picture, 90, true)).c_str(), {480, 272},
                                          progressive));
    EXPECT_EQ(progressive.pixels, baseline.pixels);
    EXPECT_TRUE(std::equal(std::begin(progressive.palette), std::end(progressive.palette), std::begin(baseline.palette)));
}

// The first frame header of a JPEG (SOF0 or SOF2) given another size; the data
// stays as it was, too short for that size, as a damaged file may be.
FileBytes withFrameSize(FileBytes jpeg, int width, int height) {
    for (std::size_t i = 2; i + 8 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
            jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8), jpeg[i + 6] = static_cast<std::uint8_t>(height);
            jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8), jpeg[i + 8] = static_cast<std::uint8_t>(width);
            return jpeg;
        }
    ADD_FAILURE() << "no frame header";
    return jpeg;
}

TEST_F(PictureDecoding, AProgressiveJpegOverTheBoundIsRefusedWithTheMemoryItWouldNeed) {
    std::vector<std::uint8_t> palette(768), pixels(KQ_PIXELS_318);
    // 4:2:0 colour: 1.5 samples a pixel, 2 bytes a sample: 6000 x 6000 needs 103 MiB.
    const std::string path =
        dir_.write("large.jpg", withFrameSize(jpegFile(TestPicture(64, 48, kRed), 90, true), 6000, 6000));
    EXPECT_EQ(kq_convertimgfromfile(path.c_str(), 318, palette.data(), pixels.data()), 0);
    EXPECT_STREQ(kq_lastfailure(),
                 "the JPEG (6000 x 6000, progressive) needs 103 MiB to decode, more than the 64 MiB a picture may take");
    // Just within: 4000 x 3000 needs 35 MiB; shown, its missing data as the codec fills it.
    const std::string within =
        dir_.write("within.jpg", withFrameSize(jpegFile(TestPicture(64, 48, kRed), 90, true), 4000, 3000));
    EXPECT_EQ(kq_convertimgfromfile(within.c_str(), 318, palette.data(), pixels.data()), KQ_PIXELS_318);
}

// Each BMP encoding of the same picture (left third red, middle green, right
// blue, with a white column in the middle) shows the same.
TEST_F(PictureDecoding, EveryBmpEncodingShowsThePictureItHolds) {
    const Rgb colours[3] = {kRed, kGreen, kBlue};
    const int width = 30, height = 20;
    const auto index = [](int x) { return static_cast<std::uint8_t>(x == 15 ? 3 : x / 10); };
    // Palette files: 1 bit, 4 and 8 bits, and RLE8 and RLE4.
    const auto paletteFile = [&](int bits, std::uint32_t compression, const FileBytes &data, int colourCount) {
        FileBytes out{'B', 'M'};
        put32(out, 0), put32(out, 0), put32(out, 54 + 4 * colourCount);
        put32(out, 40), put32(out, width), put32(out, height), put16(out, 1), put16(out, bits);
        put32(out, compression), put32(out, static_cast<std::uint32_t>(data.size())), put32(out, 2835), put32(out, 2835);
        put32(out, colourCount), put32(out, 0);
        const Rgb table[4] = {kRed, kGreen, kBlue, {255, 255, 255}};
        for (int i = 0; i < colourCount; ++i) out.insert(out.end(), {table[i].b, table[i].g, table[i].r, 0});
        out.insert(out.end(), data.begin(), data.end());
        patch32(out, 2, static_cast<std::uint32_t>(out.size()));
        return out;
    };
    const auto packedRows = [&](int bits) {
        FileBytes data;
        for (int y = height - 1; y >= 0; --y) {
            FileBytes row((width * bits + 31) / 32 * 4, 0);
            for (int x = 0; x < width; ++x) {
                const std::uint8_t i = bits == 1 ? (index(x) == 3 ? 1 : 0) : index(x);
                row[x * bits / 8] |= static_cast<std::uint8_t>(i << (8 - bits - (x * bits) % 8));
            }
            data.insert(data.end(), row.begin(), row.end());
        }
        return data;
    };
    const auto rle = [&](bool four) {
        FileBytes data;
        for (int y = 0; y < height; ++y) {  // bottom row first; all rows alike
            for (int x = 0; x < width;) {
                int run = 1;
                while (x + run < width && index(x + run) == index(x)) ++run;
                const std::uint8_t i = index(x);
                data.insert(data.end(), {static_cast<std::uint8_t>(run), static_cast<std::uint8_t>(four ? i << 4 | i : i)});
                x += run;
            }
            data.insert(data.end(), {0, 0});
        }
        data.insert(data.end(), {0, 1});
        return data;
    };
    // 16 bits, 5-6-5 through bit fields, top row first.
    FileBytes sixteen{'B', 'M'};
    put32(sixteen, 0), put32(sixteen, 0), put32(sixteen, 66);
    put32(sixteen, 40), put32(sixteen, width), put32(sixteen, static_cast<std::uint32_t>(-height)), put16(sixteen, 1);
    put16(sixteen, 16), put32(sixteen, 3), put32(sixteen, 0), put32(sixteen, 0), put32(sixteen, 0), put32(sixteen, 0);
    put32(sixteen, 0), put32(sixteen, 0xF800), put32(sixteen, 0x07E0), put32(sixteen, 0x001F);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const Rgb c = index(x) == 3 ? Rgb{255, 255, 255} : colours[index(x)];
            put16(sixteen, (c.r >> 3) << 11 | (c.g >> 2) << 5 | c.b >> 3);
        }
    patch32(sixteen, 2, static_cast<std::uint32_t>(sixteen.size()));

    TestPicture picture(width, height, kRed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) picture.set(x, y, index(x) == 3 ? Rgb{255, 255, 255} : colours[index(x)]);
    const std::vector<std::pair<std::string, FileBytes>> files = {
        {"24.bmp", bmpFile(picture)},         {"8.bmp", paletteFile(8, 0, packedRows(8), 4)},
        {"4.bmp", paletteFile(4, 0, packedRows(4), 4)}, {"rle8.bmp", paletteFile(8, 1, rle(false), 4)},
        {"rle4.bmp", paletteFile(4, 2, rle(true), 4)},  {"16.bmp", sixteen},
        {"1.bmp", paletteFile(1, 0, packedRows(1), 2)}};
    for (const auto &[name, bytes] : files) {
        SCOPED_TRACE(name);
        const std::string path = dir_.write(name, bytes);
        const std::unique_ptr<port::Picture> loaded = port::loadPicture(path.c_str());
        ASSERT_NE(loaded, nullptr);
        ASSERT_EQ(loaded->pixelWidth(), width);
        ASSERT_EQ(loaded->pixelHeight(), height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const bool oneBit = name == "1.bmp";
                // The 1-bit file has two colours: red, and green for the column.
                const Rgb want = oneBit ? (index(x) == 3 ? kGreen : kRed)
                                        : index(x) == 3 ? Rgb{255, 255, 255} : colours[index(x)];
                const std::uint8_t *got = loaded->pixels() + (static_cast<std::size_t>(y) * width + x) * 3;
                // 5 bits a channel in the 16-bit file: within 8.
                ASSERT_TRUE(std::abs(got[0] - want.r) <= 8 && std::abs(got[1] - want.g) <= 8 && std::abs(got[2] - want.b) <= 8)
                    << x << ", " << y << ": " << int(got[0]) << " " << int(got[1]) << " " << int(got[2]);
            }
    }
}

#ifndef _WIN32

long statusKiB(const char *field) {
    std::ifstream status("/proc/self/status");
    const std::string key = std::string(field) + ":";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    return -1;
}

// Runs in a child process: the file is refused and the peak memory stays far
// below what decoding it would take.
int refusedWithinPeak(const std::string &path, long maxGrowthKiB) {
    // A guard: were the picture decoded after all, it could not take the machine's memory.
    const rlimit limit{static_cast<rlim_t>(statusKiB("VmSize") + 2048 * 1024) * 1024, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return 11;
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = statusKiB("VmRSS");
    image::TerminalImage converted;
    const bool done = image::convertPictureFile(path.c_str(), {320, 240}, converted);
    const long growth = statusKiB("VmHWM") - before;
    std::fprintf(stderr, "%s: converted %d, peak %ld KiB above the %ld KiB before\n", path.c_str(), done, growth, before);
    return done ? 1 : before <= 0 || growth > maxGrowthKiB ? 2 : 0;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

TEST_F(PictureDecoding, AHugeProgressiveJpegIsRefusedInLittleMemory) {
    if (kSanitized) GTEST_SKIP() << "sanitizers change what memory a process holds";
    if (!std::ofstream("/proc/self/clear_refs")) GTEST_SKIP() << "this system cannot reset a process's peak memory";
    // 20000 x 14000 colour: 801 MiB of coefficients, though a 1/8 scale would give only 2500 x 1750 pixels.
    const std::string path =
        dir_.write("huge.jpg", withFrameSize(jpegFile(TestPicture(64, 48, kRed), 90, true), 20000, 14000));
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(refusedWithinPeak(path, 16 * 1024)), ::testing::ExitedWithCode(0), "");
}

#endif  // _WIN32

}  // namespace
}  // namespace ks318
