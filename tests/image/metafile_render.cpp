// Renders picture files as a 320 × 240 terminal gets them: each file through
// convertPictureFile, its palette applied, written as OUTDIR/<file name>.ppm.
// Built for both platforms, so one set of files can be rendered by each and
// the results compared (scripts/compare_metafiles.sh).
//
//   metafile_render OUTDIR PICTURE...   one line per file: "rendered NAME" or
//                                       "refused NAME" (exit status 1 if any was)
//   metafile_render --write-set DIR     writes the built-in test metafiles and
//                                       lists their names, one a line
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "image/picture_conversion.h"
#include "tests/image/metafile_set.h"
#include "tests/image/terminal_ppm.h"

namespace {

using namespace ks318;

constexpr image::ScreenSize kScreen{320, 240};

int writeSet(const std::filesystem::path &dir) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    for (const test::NamedMetafile &file : test::metafileSet()) {
        std::ofstream out(dir / file.name, std::ios::binary);
        out.write(reinterpret_cast<const char *>(file.bytes.data()), static_cast<std::streamsize>(file.bytes.size()));
        if (!out.flush()) {
            std::fprintf(stderr, "cannot write %s\n", (dir / file.name).string().c_str());
            return 2;
        }
        std::printf("%s\n", file.name.c_str());
    }
    return 0;
}

int render(const std::filesystem::path &outDir, int count, char **paths) {
    std::error_code error;
    std::filesystem::create_directories(outDir, error);
    int refused = 0;
    for (int i = 0; i < count; ++i) {
        const std::string name = std::filesystem::path(paths[i]).filename().string();
        image::TerminalImage terminalImage;
        if (!image::convertPictureFile(paths[i], kScreen, terminalImage)) {
            std::printf("refused %s\n", name.c_str());
            ++refused;
            continue;
        }
        if (!test::writePpm(outDir / (name + ".ppm"), test::paletteApplied(terminalImage, kScreen))) {
            std::fprintf(stderr, "cannot write %s\n", (outDir / (name + ".ppm")).string().c_str());
            return 2;
        }
        std::printf("rendered %s (%d colours)\n", name.c_str(), terminalImage.colours);
    }
    std::fflush(stdout);
    return refused == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::string(argv[1]) == "--write-set") return writeSet(argv[2]);
    if (argc >= 3 && argv[1][0] != '-') return render(argv[1], argc - 2, argv + 2);
    std::fprintf(stderr,
                 "usage: %s OUTDIR PICTURE...   (each picture as OUTDIR/<name>.ppm)\n"
                 "       %s --write-set DIR     (the built-in test metafiles)\n",
                 argv[0], argv[0]);
    return 2;
}
