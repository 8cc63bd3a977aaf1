// Converts picture files into terminal images through the library's export, so
// that the same files converted on Linux and on Windows (under Wine) can be
// compared byte for byte (scripts/compare_pictures.sh).
//
//   picture_render --write-set DIR   writes the test set of bmp, jpg and ico
//                                    files into DIR and prints their names
//   picture_render OUT FILE...       writes each file's images for model 318
//                                    (320 x 240) and another model (480 x 272) as
//                                    OUT/NAME.318 and OUT/NAME.480: the 768-byte
//                                    palette, then the pixels. A file the library
//                                    refuses is listed as "refused NAME: why".
// Exit status: 0, 1 when any file was refused, 2 on a usage or write error.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "ks318.h"
#include "tests/image/picture_files.h"

namespace {

#ifdef _WIN32
// KS318.dll exports plain names, as a Windows host finds them.
using Convert = std::int32_t(KQ_CALL *)(const char *, std::int32_t, void *, void *);
using LastFailure = const char *(KQ_CALL *)();
const HMODULE library = LoadLibraryA("KS318.dll");
const auto convertFile = reinterpret_cast<Convert>(reinterpret_cast<void *>(GetProcAddress(library, "kq_convertimgfromfile")));
const auto lastFailure = reinterpret_cast<LastFailure>(reinterpret_cast<void *>(GetProcAddress(library, "kq_lastfailure")));
#else
const auto convertFile = &kq_convertimgfromfile;
const auto lastFailure = &kq_lastfailure;
#endif

using namespace ks318::test;

Rgb design(int x, int y, int width, int height) {
    // Smooth gradients with a few sharp edges: what scaling and reduction see in a photo.
    const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
    const bool band = (x / std::max(width / 7, 1) + y / std::max(height / 5, 1)) % 2 == 0;
    return {static_cast<std::uint8_t>(255 * u), static_cast<std::uint8_t>(band ? 200 : 60),
            static_cast<std::uint8_t>(127 + 120 * std::sin(6.28 * (u + v)))};
}

TestPicture designed(int width, int height) {
    TestPicture picture(width, height, Rgb{});
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) picture.set(x, y, design(x, y, width, height));
    return picture;
}

// The EXIF block of a JPEG turned by `orientation`, right after its start marker.
FileBytes turned(const FileBytes &jpeg, int orientation) {
    const FileBytes segment{0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0,
                            1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, static_cast<std::uint8_t>(orientation), 0, 0, 0,
                            0, 0, 0, 0};
    FileBytes out(jpeg.begin(), jpeg.begin() + 2);
    out.insert(out.end(), segment.begin(), segment.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

// 32-bit bitmap with an alpha channel: a V4-sized header with colour masks.
FileBytes bmpWithAlpha(const TestPicture &picture) {
    FileBytes out{'B', 'M'};
    const std::uint32_t headerBytes = 14 + 108;
    put32(out, headerBytes + picture.width * picture.height * 4), put32(out, 0), put32(out, headerBytes);
    put32(out, 108), put32(out, picture.width), put32(out, picture.height), put16(out, 1), put16(out, 32);
    put32(out, 3), put32(out, picture.width * picture.height * 4), put32(out, 2835), put32(out, 2835);
    put32(out, 0), put32(out, 0);
    put32(out, 0x00FF0000), put32(out, 0x0000FF00), put32(out, 0x000000FF), put32(out, 0xFF000000);
    out.resize(headerBytes, 0);
    for (int y = picture.height - 1; y >= 0; --y)
        for (int x = 0; x < picture.width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * picture.width + x;
            out.insert(out.end(), {picture.colour[i].b, picture.colour[i].g, picture.colour[i].r, picture.alpha[i]});
        }
    return out;
}

int writeSet(const std::filesystem::path &dir) {
    std::filesystem::create_directories(dir);
    TestPicture withAlpha = designed(96, 64);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 96; ++x)
            if ((x - 48) * (x - 48) + (y - 32) * (y - 32) > 900) withAlpha.set(x, y, design(x, y, 96, 64), (x * 255) / 96);
    TestPicture icon = designed(48, 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x)
            if (x < 8 || y < 8) icon.set(x, y, design(x, y, 48, 48), x < 4 || y < 4 ? 0 : 128);
    std::vector<std::uint8_t> indices(150 * 100);
    for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<std::uint8_t>((i % 150) / 30 + (i / 1500) % 2);
    const FileBytes photo = jpegFile(designed(640, 480), 90);
    const std::vector<std::pair<std::string, FileBytes>> files = {
        {"design.bmp", bmpFile(designed(200, 150))},
        {"alpha.bmp", bmpWithAlpha(withAlpha)},
        {"rle8.bmp", bmpRle8File(150, 100, {{200, 0, 0}, {0, 200, 0}, {0, 0, 200}, {200, 200, 0}, {0, 200, 200}, {90, 90, 90}}, indices)},
        {"photo.jpg", photo},
        {"progressive.jpg", jpegFile(designed(640, 480), 90, true)},
        {"small.jpg", jpegFile(designed(100, 300), 75)},
        {"turned6.jpg", turned(photo, 6)},
        {"turned3.jpg", turned(photo, 3)},
        {"turned7.jpg", turned(photo, 7)},
        {"large.jpeg", jpegFileOf(9000, 6000, 85, [](int x, int y) { return design(x, y, 9000, 6000); })},
        {"wide.jpg", jpegFileOf(5000, 1200, 85, [](int x, int y) { return design(x, y, 5000, 1200); })},
        {"bitmap.ico", icoFile({{designed(16, 16), false}, {icon, false}})},
        {"png.ico", icoFile({{icon, false}, {withAlpha, true}})},
    };
    for (const auto &[name, bytes] : files) {
        std::ofstream out(dir / name, std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) return 2;
        std::printf("%s\n", name.c_str());
    }
    return 0;
}

int render(const std::filesystem::path &out, int count, char **files) {
    std::filesystem::create_directories(out);
    int status = 0;
    for (int i = 0; i < count; ++i) {
        const std::string name = std::filesystem::path(files[i]).filename().string();
        for (const auto &[model, pixels] : {std::pair{318, KQ_PIXELS_318}, std::pair{320, KQ_PIXELS_OTHER}}) {
            std::vector<std::uint8_t> frame(768 + static_cast<std::size_t>(pixels));
            if (convertFile(files[i], model, frame.data(), frame.data() + 768) != pixels) {
                std::printf("refused %s: %s\n", name.c_str(), lastFailure());
                status = 1;
                break;
            }
            std::ofstream file(out / (name + (model == 318 ? ".318" : ".480")), std::ios::binary);
            file.write(reinterpret_cast<const char *>(frame.data()), static_cast<std::streamsize>(frame.size()));
            if (!file) return 2;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
#ifdef _WIN32
    if (convertFile == nullptr || lastFailure == nullptr) {
        std::fprintf(stderr, "cannot load KS318.dll\n");
        return 2;
    }
#endif
    if (argc == 3 && std::string(argv[1]) == "--write-set") return writeSet(argv[2]);
    if (argc >= 3 && argv[1][0] != '-') return render(argv[1], argc - 2, argv + 2);
    std::fprintf(stderr, "usage: picture_render --write-set DIR | picture_render OUT FILE...\n");
    return 2;
}
