#include "image/colour_reduction.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace ks318::image {
namespace {

// The codec reports fatal errors through error_exit, which must not return:
// it jumps back to the call that set `escape`. Warnings are dropped.
struct CodecErrors {
    jpeg_error_mgr manager;
    std::jmp_buf escape;
};

[[noreturn]] void leaveOnError(j_common_ptr codec) {
    std::longjmp(reinterpret_cast<CodecErrors *>(codec->err)->escape, 1);
}

void dropMessage(j_common_ptr) {}

void installErrors(CodecErrors &errors) {
    jpeg_std_error(&errors.manager);
    errors.manager.error_exit = leaveOnError;
    errors.manager.output_message = dropMessage;
}

// Encodes the canvas: RGB input, default parameters, quality 100 with baseline
// tables, sequential. The buffer is malloc'ed by the codec; the caller frees it.
bool encode(const port::RgbCanvas &canvas, unsigned char **buffer, unsigned long *size) {
    jpeg_compress_struct codec{};
    CodecErrors errors;
    installErrors(errors);
    codec.err = &errors.manager;
    if (setjmp(errors.escape)) {
        jpeg_destroy_compress(&codec);
        return false;
    }
    jpeg_create_compress(&codec);
    jpeg_mem_dest(&codec, buffer, size);
    codec.image_width = static_cast<JDIMENSION>(canvas.width);
    codec.image_height = static_cast<JDIMENSION>(canvas.height);
    codec.input_components = 3;
    codec.in_color_space = JCS_RGB;
    jpeg_set_defaults(&codec);
    jpeg_set_quality(&codec, kEncodeQuality, TRUE);
    jpeg_start_compress(&codec, TRUE);
    const std::size_t rowBytes = static_cast<std::size_t>(canvas.width) * 3;
    while (codec.next_scanline < codec.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(canvas.rgb.data() + codec.next_scanline * rowBytes);
        jpeg_write_scanlines(&codec, &row, 1);
    }
    jpeg_finish_compress(&codec);
    jpeg_destroy_compress(&codec);
    return true;
}

// Decodes with quantisation into indices and the colour map.
bool decodeQuantised(const unsigned char *buffer, unsigned long size, int width, int height, TerminalImage &image) {
    jpeg_decompress_struct codec{};
    CodecErrors errors;
    installErrors(errors);
    codec.err = &errors.manager;
    if (setjmp(errors.escape)) {
        jpeg_destroy_decompress(&codec);
        return false;
    }
    jpeg_create_decompress(&codec);
    jpeg_mem_src(&codec, buffer, size);
    jpeg_read_header(&codec, TRUE);
    codec.out_color_space = JCS_RGB;
    codec.quantize_colors = TRUE;
    codec.desired_number_of_colors = kColourCount;
    codec.two_pass_quantize = TRUE;
    codec.dither_mode = JDITHER_FS;
    jpeg_start_decompress(&codec);
    const bool fits = static_cast<int>(codec.output_width) == width &&
                      static_cast<int>(codec.output_height) == height && codec.output_components == 1 &&
                      codec.actual_number_of_colors >= 1 && codec.actual_number_of_colors <= kColourCount;
    if (!fits) {
        jpeg_destroy_decompress(&codec);
        return false;
    }
    while (codec.output_scanline < codec.output_height) {
        JSAMPROW row = image.pixels.data() + static_cast<std::size_t>(codec.output_scanline) * width;
        jpeg_read_scanlines(&codec, &row, 1);
    }
    image.colours = codec.actual_number_of_colors;
    for (int i = 0; i < image.colours; ++i)
        for (int c = 0; c < 3; ++c) image.palette[i * 3 + c] = codec.colormap[c][i];
    jpeg_finish_decompress(&codec);
    jpeg_destroy_decompress(&codec);
    return true;
}

}  // namespace

bool reduceColours(const port::RgbCanvas &canvas, TerminalImage &image) {
    image.pixels.assign(static_cast<std::size_t>(canvas.width) * canvas.height, 0);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    const bool done = encode(canvas, &buffer, &size) && decodeQuantised(buffer, size, canvas.width, canvas.height, image);
    std::free(buffer);
    return done;
}

}  // namespace ks318::image
