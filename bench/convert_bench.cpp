// P3: kq_sendimgfromfile of a 1920 × 1080 photo-like JPEG and a 640 × 480 BMP
// to a model-318 terminal that reads everything, against the codec floor timed
// alone, and against ImageMagick's convert doing the same reduction where it is
// installed. The pictures are made at start in a temporary directory.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "bench/support/bench_session.h"
#include "bench/support/codec_floor.h"
#include "bench/support/drain_terminal.h"
#include "bench/support/sample_pictures.h"
#include "server/server.h"

namespace ks318::bench {
namespace {

constexpr int kLimitMs = 10000;
constexpr std::uint64_t kImageWireBytes = 7 + 768 + 320 * 240;
constexpr image::ScreenSize kScreen{320, 240};
const char *const kConvert = "/usr/bin/convert";

struct Pictures {
    std::filesystem::path directory;
    std::string jpeg, bmp;

    Pictures() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ks318-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) return;
        directory = pattern;
        jpeg = (directory / "photo.jpg").string();
        bmp = (directory / "photo.bmp").string();
        if (!writeJpeg(jpeg, photoLikeScene(1920, 1080), 1920, 1080, 90)) jpeg.clear();
        if (!writeBmp(bmp, photoLikeScene(640, 480), 640, 480)) bmp.clear();
    }
    ~Pictures() {
        std::error_code error;
        if (!directory.empty()) std::filesystem::remove_all(directory, error);
    }
};

Pictures &pictures() {
    static Pictures shared;
    return shared;
}

struct Terminal318 {
    LibrarySession session;
    DrainTerminal terminal{[] {
        sim::Identity identity;
        identity.model = 318;
        return identity;
    }()};
    bool ready = session.started() && terminal.connect(session.port()) && terminal.waitIdentified(kLimitMs) &&
                 globalServer().terminals().count() == 1;
};

Terminal318 &terminal318() {
    static Terminal318 side;
    return side;
}

void library(benchmark::State &state, const std::string &path) {
    Terminal318 &side = terminal318();
    if (!side.ready || path.empty()) return state.SkipWithError("no terminal or no picture");
    for (auto _ : state) {
        const std::uint64_t target = side.terminal.received() + kImageWireBytes;
        if (kq_sendimgfromfile(1, path.c_str()) != 1) return state.SkipWithError("kq_sendimgfromfile failed");
        if (!side.terminal.waitReceived(target, kLimitMs)) return state.SkipWithError("the image was not read");
    }
    state.SetItemsProcessed(state.iterations());
}

template <bool (*Floor)(const std::string &, image::ScreenSize, image::TerminalImage &)>
void floor(benchmark::State &state, const std::string &path) {
    if (path.empty()) return state.SkipWithError("no picture");
    for (auto _ : state) {
        image::TerminalImage converted;
        if (!Floor(path, kScreen, converted)) return state.SkipWithError("the floor conversion failed");
        benchmark::DoNotOptimize(converted.pixels.data());
    }
    state.SetItemsProcessed(state.iterations());
}

void imageMagick(benchmark::State &state, const std::string &path) {
    if (::access(kConvert, X_OK) != 0) return state.SkipWithError("ImageMagick is not installed");
    if (path.empty()) return state.SkipWithError("no picture");
    const std::string out = (pictures().directory / "magick.bmp").string();
    const std::string command = std::string(kConvert) + " '" + path +
                                "' -sample 320x240 -colors 236 -dither FloydSteinberg '" + out + "'";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) return state.SkipWithError("convert failed");
    }
    state.SetItemsProcessed(state.iterations());
}

void P3_Jpeg_Library(benchmark::State &state) { library(state, pictures().jpeg); }
void P3_Jpeg_Floor(benchmark::State &state) { floor<floorFromJpeg>(state, pictures().jpeg); }
void P3_Jpeg_ImageMagick(benchmark::State &state) { imageMagick(state, pictures().jpeg); }
void P3_Bmp_Library(benchmark::State &state) { library(state, pictures().bmp); }
void P3_Bmp_Floor(benchmark::State &state) { floor<floorFromBmp>(state, pictures().bmp); }
void P3_Bmp_ImageMagick(benchmark::State &state) { imageMagick(state, pictures().bmp); }

BENCHMARK(P3_Jpeg_Library)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(P3_Jpeg_Floor)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(P3_Jpeg_ImageMagick)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(P3_Bmp_Library)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(P3_Bmp_Floor)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(P3_Bmp_ImageMagick)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace ks318::bench

BENCHMARK_MAIN();
