// Commands for what a terminal shows: texts, fills, pictures, raw images,
// palettes, pixel blocks, stored images and the image-update configuration.
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "tools/common/words.h"
#include "tools/console/commands.h"
#include "tools/console/palettes.h"

namespace ks318::tools {
namespace {

using Needs = Console::Needs;

void putInt16(unsigned char *at, std::int32_t value) {
    at[0] = static_cast<unsigned char>(value & 0xFF);
    at[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

void putInt32(unsigned char *at, std::int32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>((static_cast<std::uint32_t>(value) >> (8 * i)) & 0xFF);
}

int modelOf(std::int32_t terminal) {
    const auto ident = static_cast<std::uint32_t>(kq_getident(terminal));
    return static_cast<int>(((ident >> 8) & 0xFF) * 256 + ((ident >> 16) & 0xFF));
}

bool text(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    const std::string words = args.word("text"), font = args.word("font");
    for (const char *name : {"x", "y", "colour", "height"})
        if (args.number(name) < INT16_MIN || args.number(name) > INT16_MAX)
            return console.fail(std::string("text: ") + name + " must fit in 16 bits (-32768 to 32767)");
    if (words.size() > 127) return console.fail("text: at most 127 bytes of text");
    if (font.size() > 31) return console.fail("text: a font name of at most 31 bytes");
    if (!console.checkTerminal("text", n)) return false;
    // The 170-byte text record: x, y, text, font, 1 (as EnviaTexto builds it), colour, height.
    unsigned char record[170] = {};
    putInt16(record, args.number("x"));
    putInt16(record + 2, args.number("y"));
    std::memcpy(record + 4, words.data(), words.size());
    std::memcpy(record + 132, font.data(), font.size());
    putInt16(record + 164, 1);
    putInt16(record + 166, args.number("colour", 15));
    putInt16(record + 168, args.number("height", 0));
    return console.judge(call("kq_sendtext", n) + " " + quoteText(words), kq_sendtext(n, record));
}

bool fill(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("fill", n)) return false;
    return console.judge(call("kq_fillscreen", n, args.number("index")), kq_fillscreen(n, args.number("index")));
}

bool image(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    const std::string path = args.word("path");
    if (!console.checkTerminal("image", n)) return false;
    if (!std::ifstream(path)) return console.fail("image: cannot read " + path);
    const std::int32_t result = kq_sendimgfromfile(n, path.c_str());
    if (result == 0) {
        console.print("  " + call("kq_sendimgfromfile", n) + " = 0");
        return console.fail("image: " + path + " is no picture the library takes (.bmp .jpg .jpeg .ico .wmf .emf)");
    }
    return console.judge(call("kq_sendimgfromfile", n) + " " + quoteText(path), result);
}

bool rawImage(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("rawimage", n)) return false;
    const std::size_t pixels = modelOf(n) == 318 ? 320 * 240 : 130560;
    std::ifstream in(args.word("path"), std::ios::binary);
    if (!in) return console.fail("rawimage: cannot read " + args.word("path"));
    std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (bytes.size() != 768 + pixels)
        return console.fail("rawimage: terminal " + terminalName(n) + " takes 768 palette bytes and " +
                            std::to_string(pixels) + " pixels; the file holds " + std::to_string(bytes.size()) + " bytes");
    return console.judge(call("kq_sendimage", n), kq_sendimage(n, bytes.data(), bytes.data() + 768));
}

bool palette(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    const std::string which = args.word("palette");
    Palette chosen{};
    if (auto named = namedPalette(which)) {
        chosen = *named;
    } else {
        std::ifstream in(which, std::ios::binary);
        std::vector<unsigned char> bytes;
        if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (bytes.size() != chosen.size())
            return console.fail("palette: '" + which + "' is no palette name (" + paletteNames() +
                                ") nor a file of 768 bytes");
        std::copy(bytes.begin(), bytes.end(), chosen.begin());
    }
    if (!console.checkTerminal("palette", n, Needs::Version32)) return false;
    return console.judge(call("kq_enviapaleta", n) + " " + which, kq_enviapaleta(n, chosen.data()));
}

bool block(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    const std::int32_t width = args.number("width"), height = args.number("height");
    if (width < 1 || height < 1 || width > 480 || height > 272)
        return console.fail("block: width from 1 to 480, height from 1 to 272");
    if (!console.checkTerminal("block", n)) return false;
    // Without an index: every palette entry, 16 to a row, as a swatch.
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height);
    for (std::int32_t row = 0; row < height; ++row)
        for (std::int32_t column = 0; column < width; ++column)
            pixels[static_cast<std::size_t>(row) * width + column] =
                args.has("index") ? static_cast<unsigned char>(args.number("index"))
                                  : static_cast<unsigned char>(row * 16 / height * 16 + column * 16 / width);
    return console.judge(call("kq_sendimageblock", n),
                         kq_sendimageblock(n, args.number("x"), args.number("y"), width, height, pixels.data()));
}

bool loadImage(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("loadimage", n, Needs::Version32)) return false;
    return console.judge(call("kq_loadimage", n, args.number("number")), kq_loadimage(n, args.number("number")));
}

bool imageUpdate(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    const std::string words = args.word("text");
    if (words.size() > 99) return console.fail("imageupdate: at most 99 bytes of text");
    if (!console.checkTerminal("imageupdate", n, Needs::Version32)) return false;
    unsigned char record[112] = {};
    putInt32(record, args.number("number"));
    std::memcpy(record + 4, words.data(), words.size());
    putInt32(record + 104, args.number("number2"));
    putInt32(record + 108, args.number("number3"));
    return console.judge(call("kq_sendimageupdate", n), kq_sendimageupdate(n, record));
}

bool imageUpdateGet(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("imageupdateget", n, Needs::Version32)) return false;
    const std::uint64_t mark = console.seen(KQ_NOTIFY_IMAGE_UPDATE);
    if (!console.judge(call("kq_reqimageupdate", n), kq_reqimageupdate(n)) ||
        !awaitAnswer(console, "imageupdateget", n, KQ_NOTIFY_IMAGE_UPDATE, mark))
        return false;
    unsigned char record[112] = {};
    kq_getimageupdateconfig(n, record);
    std::int32_t numbers[3];
    std::memcpy(&numbers[0], record, 4);
    std::memcpy(&numbers[1], record + 104, 4);
    std::memcpy(&numbers[2], record + 108, 4);
    console.print("  " + call("kq_getimageupdateconfig", n) + ": number " + std::to_string(numbers[0]) + " text " +
                  quoteText(std::string(reinterpret_cast<char *>(record + 4), strnlen(reinterpret_cast<char *>(record + 4), 100))) +
                  " numbers " + std::to_string(numbers[1]) + " " + std::to_string(numbers[2]));
    return true;
}

bool updateImages(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("updateimages", n, Needs::Version32)) return false;
    const std::uint64_t mark = console.seen(KQ_NOTIFY_IMAGES_UPDATED);
    return console.judge(call("kq_sendupdateimages", n), kq_sendupdateimages(n)) &&
           awaitAnswer(console, "updateimages", n, KQ_NOTIFY_IMAGES_UPDATED, mark);
}

}  // namespace

void addScreenCommands(CommandTable &table) {
    table.group("Screen");
    table.add("text", "N x:int y:int text [colour:int] [height:int] [font]",
              "draw a text at x, y (top left) in a palette colour (15), height in pixels (16), font from FONTS_DIR", text);
    table.add("fill", "N index:int", "fill the screen with a palette entry", fill);
    table.add("image", "N path", "convert a picture (.bmp .jpg .ico .wmf .emf) and show it", image);
    table.add("rawimage", "N path", "send a terminal image file: 768 palette bytes, then one byte per pixel", rawImage);
    table.add("palette", "N palette", std::string("send a palette: a name (") + paletteNames() + ") or a 768-byte file", palette);
    table.add("block", "N x:int y:int width:int height:int [index:byte]",
              "send a block of pixels in one palette entry, or (no index) a swatch of all 256", block);
    table.add("loadimage", "N number:int", "show the terminal's stored image", loadImage);
    table.add("imageupdate", "N number:int text number2:int number3:int", "send the image-update configuration", imageUpdate);
    table.add("imageupdateget", "N", "ask for the image-update configuration and show it", imageUpdateGet);
    table.add("updateimages", "N", "tell the terminal to update its images", updateImages);
}

}  // namespace ks318::tools
