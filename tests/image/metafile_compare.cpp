// Compares two renderings of the same picture files (metafile_render's PPMs from
// Linux and from Windows), prints a table of agreeing pixels and, on request,
// draws a contact sheet: per file the Linux and the Windows image side by side
// under the file's name.
//
//   metafile_compare [--tolerance N] [--threshold PERCENT] [--sheet PNG]
//                    LINUX_DIR WINDOWS_DIR NAME...
//
// A pixel agrees when each of red, green and blue differs by at most N (48:
// the colour reduction dithers, and the two platforms' anti-aliasing and
// palettes land colours a few steps apart; a different shape is a different
// colour by far more). A file passes when at least PERCENT (98) of its pixels
// agree; one that either side refused fails. Exit status 1 when any file fails.
#include <png.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/screen_text.h"
#include "tests/image/terminal_ppm.h"

namespace {

using namespace ks318;
using test::RgbImage;

struct Row {
    std::string name;
    RgbImage onLinux, onWindows;
    test::Agreement agreement;
    bool passed = false;
    std::string note;
};

struct Rgb8 {
    std::uint8_t r, g, b;
};

constexpr Rgb8 kSheet{224, 224, 224};
constexpr Rgb8 kFrame{96, 96, 96};
constexpr Rgb8 kText{0, 0, 0};
constexpr Rgb8 kFailText{200, 0, 0};
constexpr int kImageWidth = 320, kImageHeight = 240;
constexpr int kMargin = 16, kGap = 8, kLabel = 22, kPairsAcross = 2;

class Sheet {
public:
    Sheet(int width, int height) : width_(width), height_(height), rgb_(static_cast<std::size_t>(width) * height * 3) {
        fill(0, 0, width, height, kSheet);
        for (int i = 0; i < 256; ++i) greys_[i * 3] = greys_[i * 3 + 1] = greys_[i * 3 + 2] = static_cast<std::uint8_t>(i);
    }

    void fill(int x, int y, int w, int h, Rgb8 c) {
        for (int row = std::max(y, 0); row < std::min(y + h, height_); ++row)
            for (int column = std::max(x, 0); column < std::min(x + w, width_); ++column) put(column, row, c);
    }

    // The image inside a one-pixel frame; a grey box with a word when there is none.
    void image(int x, int y, const RgbImage &image, const char *missing) {
        fill(x - 1, y - 1, kImageWidth + 2, kImageHeight + 2, kFrame);
        if (image.width != kImageWidth || image.height != kImageHeight) {
            fill(x, y, kImageWidth, kImageHeight, {160, 160, 160});
            text(x + 10, y + kImageHeight / 2 - 10, missing, kFailText, 16);
            return;
        }
        for (int row = 0; row < kImageHeight; ++row)
            for (int column = 0; column < kImageWidth; ++column) {
                const std::uint8_t *p = image.at(column, row);
                put(x + column, y + row, {p[0], p[1], p[2]});
            }
    }

    // Anti-aliased text over what is there: drawn black on white in greys first,
    // each grey then read as the text's cover of the pixel.
    void text(int x, int y, const std::string &words, Rgb8 colour, int size) {
        const int w = std::min(width_ - x, 2 * kImageWidth + kGap), h = size + 8;
        if (w <= 0) return;
        std::vector<std::uint8_t> cover(static_cast<std::size_t>(w) * h, 255);
        sim::TextRecord record;
        record.text = words.substr(0, 127);
        record.height = static_cast<std::int16_t>(size);
        record.colour = 0;
        painter_.draw(record, cover, w, h, greys_);
        for (int row = 0; row < h && y + row < height_; ++row)
            for (int column = 0; column < w; ++column) {
                const int ink = 255 - cover[static_cast<std::size_t>(row) * w + column];
                if (ink == 0) continue;
                std::uint8_t *p = pixel(x + column, y + row);
                const auto mix = [&](std::uint8_t fore, std::uint8_t behind) {
                    return static_cast<std::uint8_t>((fore * ink + behind * (255 - ink) + 127) / 255);
                };
                p[0] = mix(colour.r, p[0]), p[1] = mix(colour.g, p[1]), p[2] = mix(colour.b, p[2]);
            }
    }

    bool save(const std::string &path) {
        png_image png{};
        png.version = PNG_IMAGE_VERSION;
        png.width = static_cast<png_uint_32>(width_);
        png.height = static_cast<png_uint_32>(height_);
        png.format = PNG_FORMAT_RGB;
        return png_image_write_to_file(&png, path.c_str(), 0, rgb_.data(), 0, nullptr) != 0;
    }

private:
    std::uint8_t *pixel(int x, int y) { return rgb_.data() + (static_cast<std::size_t>(y) * width_ + x) * 3; }
    void put(int x, int y, Rgb8 c) {
        std::uint8_t *p = pixel(x, y);
        p[0] = c.r, p[1] = c.g, p[2] = c.b;
    }

    int width_, height_;
    std::vector<std::uint8_t> rgb_;
    std::array<std::uint8_t, 768> greys_{};
    sim::TextPainter painter_{KS318_TEXT_FONT};
};

bool drawSheet(const std::string &path, const std::vector<Row> &rows, int tolerance, double threshold) {
    const int pairWidth = 2 * kImageWidth + kGap, cellHeight = kLabel + kImageHeight + kMargin;
    const int across = std::min<int>(kPairsAcross, std::max<int>(1, static_cast<int>(rows.size())));
    const int down = (static_cast<int>(rows.size()) + across - 1) / across;
    const int title = 34;
    Sheet sheet(kMargin + across * (pairWidth + kMargin), title + kMargin / 2 + down * cellHeight);
    char heading[128];
    std::snprintf(heading, sizeof heading, "Left: Linux   Right: Windows (Wine)   pass: %.0f %% of pixels within %d a channel",
                  threshold, tolerance);
    sheet.text(kMargin, 8, heading, kText, 16);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        const int x = kMargin + static_cast<int>(i % across) * (pairWidth + kMargin);
        const int y = title + kMargin / 2 + static_cast<int>(i / across) * cellHeight;
        char label[160];
        if (row.agreement.total > 0) {
            std::snprintf(label, sizeof label, "%s   %.2f %%  %s", row.name.c_str(), row.agreement.percent(),
                          row.passed ? "pass" : "FAIL");
        } else {
            std::snprintf(label, sizeof label, "%s   FAIL (%s)", row.name.c_str(), row.note.c_str());
        }
        sheet.text(x, y, label, row.passed ? kText : kFailText, 14);
        sheet.image(x, y + kLabel, row.onLinux, "refused on Linux");
        sheet.image(x + kImageWidth + kGap, y + kLabel, row.onWindows, "refused on Windows");
    }
    return sheet.save(path);
}

int usage(const char *program) {
    std::fprintf(stderr,
                 "usage: %s [--tolerance N] [--threshold PERCENT] [--sheet PNG] LINUX_DIR WINDOWS_DIR NAME...\n",
                 program);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    int tolerance = 48;
    double threshold = 98.0;
    std::string sheetPath;
    int at = 1;
    for (; at + 1 < argc && argv[at][0] == '-'; at += 2) {
        const std::string option = argv[at];
        if (option == "--tolerance") {
            tolerance = std::atoi(argv[at + 1]);
        } else if (option == "--threshold") {
            threshold = std::atof(argv[at + 1]);
        } else if (option == "--sheet") {
            sheetPath = argv[at + 1];
        } else {
            return usage(argv[0]);
        }
    }
    if (argc - at < 3 || tolerance < 0 || tolerance > 255 || threshold < 0 || threshold > 100) return usage(argv[0]);
    const std::string linuxDir = argv[at], windowsDir = argv[at + 1];

    std::vector<Row> rows;
    int passed = 0;
    std::printf("%-40s %10s  %s\n", "file", "agreeing", "result");
    for (int i = at + 2; i < argc; ++i) {
        Row row;
        row.name = argv[i];
        row.onLinux = test::readPpm(linuxDir + "/" + row.name + ".ppm");
        row.onWindows = test::readPpm(windowsDir + "/" + row.name + ".ppm");
        row.agreement = test::agreement(row.onLinux, row.onWindows, tolerance);
        if (row.onLinux.width == 0 && row.onWindows.width == 0) {
            row.note = "refused on both";
        } else if (row.onLinux.width == 0) {
            row.note = "refused on Linux";
        } else if (row.onWindows.width == 0) {
            row.note = "refused on Windows";
        } else if (row.agreement.total == 0) {
            row.note = "sizes differ";
        }
        row.passed = row.agreement.total > 0 && row.agreement.percent() >= threshold;
        passed += row.passed ? 1 : 0;
        if (row.agreement.total > 0) {
            std::printf("%-40s %8.2f %%  %s\n", row.name.c_str(), row.agreement.percent(), row.passed ? "pass" : "FAIL");
        } else {
            std::printf("%-40s %10s  FAIL (%s)\n", row.name.c_str(), "-", row.note.c_str());
        }
        rows.push_back(std::move(row));
    }
    const int failed = static_cast<int>(rows.size()) - passed;
    std::printf("Metafile comparison: %d of %zu files agree on at least %.0f %% of their pixels (tolerance %d)\n",
                passed, rows.size(), threshold, tolerance);
    if (!sheetPath.empty()) {
        if (!drawSheet(sheetPath, rows, tolerance, threshold)) {
            std::fprintf(stderr, "cannot write the contact sheet %s\n", sheetPath.c_str());
            return 2;
        }
        std::printf("Contact sheet: %s\n", sheetPath.c_str());
    }
    return failed == 0 ? 0 : 1;
}
