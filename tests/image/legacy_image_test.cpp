// The older image exports reach the wire exactly as the current ones.
#include <gtest/gtest.h>

#include <vector>

#include "ks318.h"
#include "tests/image/picture_files.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

TEST(LegacyImages, EnviaImagemSendsWhatKqSendimageSends) {
    test::ExportSession session;
    sim::Identity small;
    small.model = 318;
    auto terminal = session.join(small);
    std::vector<std::uint8_t> palette(768), pixels(76800);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i * 7);
    for (std::size_t i = 0; i < palette.size(); ++i) palette[i] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(kq_sendimage(1, palette.data(), pixels.data()), 1);
    ASSERT_EQ(EnviaImagem(1, palette.data(), pixels.data()), 1);
    auto first = terminal->waitForFrame(37, test::kEventWaitMs, 1);
    auto second = terminal->waitForFrame(37, test::kEventWaitMs, 2);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(second->wire(), first->wire());
    EXPECT_EQ(second->wire().size(), 77575u);
    EXPECT_EQ(EnviaImagem(2, palette.data(), pixels.data()), 0);
}

TEST(LegacyImages, EnviaImagemDoArquivoConvertsAPictureFile) {
    test::ExportSession session;
    auto terminal = session.join();
    test::TempDir directory;
    const std::string path = directory.write("picture.bmp", test::bmpFile(test::TestPicture(64, 48, {200, 10, 10})));
    EXPECT_EQ(EnviaImagemDoArquivo(1, (directory / "missing.bmp").c_str()), 0);
    EXPECT_EQ(EnviaImagemDoArquivo(1, path.c_str()), 1);
    auto frame = terminal->waitForFrame(37, test::kEventWaitMs);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->length, 131328) << "a model-320 terminal gets its own screen size";
}

}  // namespace
}  // namespace ks318
