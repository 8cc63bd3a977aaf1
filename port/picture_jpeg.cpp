// JPEG files through libjpeg, the same code on every platform: decoded at 1/2,
// 1/4 or 1/8 scale when that keeps the pixels needed, with the codec's work
// memory bounded (a JPEG whose decoding would hold more is refused before it is
// decoded), and turned or mirrored as its EXIF orientation says.
#include <csetjmp>
#include <cstdio>
#include <string>

#include <jpeglib.h>
#include <jerror.h>

#include "port/failure.h"
#include "port/picture_decoders.h"
#include "port/picture_exif.h"

namespace ks318::port {
namespace {

// The codec reports fatal errors through error_exit, which must not return: it
// jumps back to the decoder. Warnings (damaged data it decodes past) are dropped.
struct CodecErrors {
    jpeg_error_mgr manager;
    std::jmp_buf escape;
};

[[noreturn]] void leaveOnError(j_common_ptr codec) {
    std::longjmp(reinterpret_cast<CodecErrors *>(codec->err)->escape, 1);
}

void dropMessage(j_common_ptr) {}

constexpr std::int64_t kMiB = 1024 * 1024;

std::string sizeText(std::int64_t bytes) { return std::to_string((bytes + kMiB - 1) / kMiB) + " MiB"; }

// The bytes of coefficients the codec holds for the whole picture when it must
// read every scan before it can give a row (a progressive JPEG, or one whose
// components come in separate scans); 0 when it decodes row by row.
std::int64_t wholePictureCoefficientBytes(j_decompress_ptr codec) {
    if (!jpeg_has_multiple_scans(codec)) return 0;
    std::int64_t bytes = 0;
    for (int c = 0; c < codec->num_components; ++c) {
        const jpeg_component_info &component = codec->comp_info[c];
        const auto roundUp = [](std::int64_t blocks, int factor) { return (blocks + factor - 1) / factor * factor; };
        bytes += roundUp(component.width_in_blocks, component.h_samp_factor) *
                 roundUp(component.height_in_blocks, component.v_samp_factor) * DCTSIZE2 *
                 static_cast<std::int64_t>(sizeof(JCOEF));
    }
    return bytes;
}

// Everything the decoding changes after setjmp lives here, outside the
// automatic variables that a longjmp leaves indeterminate.
struct Decoding {
    jpeg_decompress_struct codec{};
    CodecErrors errors{};
    std::unique_ptr<std::uint8_t[]> rgb;
    std::unique_ptr<std::uint8_t[]> row;
    int orientation = 1;
    PixelSize own;      // as shown
    PixelSize decoded;  // as shown
};

// Writes a decoded row (stored row `y`) where its pixels show; CMYK is
// converted (Adobe's inverted CMYK, as such files store it).
void placeRow(Decoding &d, int y) {
    const jpeg_decompress_struct &codec = d.codec;
    const int width = static_cast<int>(codec.output_width), height = static_cast<int>(codec.output_height);
    const bool cmyk = codec.out_color_space == JCS_CMYK;
    const std::uint8_t *in = d.row.get();
    for (int x = 0; x < width; ++x, in += cmyk ? 4 : 3) {
        int ox, oy;
        orientedPosition(d.orientation, width, height, x, y, ox, oy);
        std::uint8_t *out = d.rgb.get() + (static_cast<std::size_t>(oy) * d.decoded.width + ox) * 3;
        if (cmyk) {
            for (int c = 0; c < 3; ++c) out[c] = static_cast<std::uint8_t>((in[c] * in[3] + 127u) / 255u);
        } else {
            out[0] = in[0], out[1] = in[1], out[2] = in[2];
        }
    }
}

// Null, with the reason noted, for a JPEG the codec refuses or one over the limits.
std::unique_ptr<Picture> decode(Decoding &d, const std::uint8_t *bytes, std::size_t count, const NeededSize &needed,
                                bool orient) {
    jpeg_decompress_struct &codec = d.codec;
    jpeg_create_decompress(&codec);
    // Backstop to the check below: the codec refuses whole-picture buffers past the bound.
    codec.mem->max_memory_to_use = static_cast<long>(kMaxPictureDecodeBytes);
    jpeg_mem_src(&codec, bytes, static_cast<unsigned long>(count));
    if (orient) jpeg_save_markers(&codec, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&codec, TRUE);
    if (orient)
        for (jpeg_saved_marker_ptr marker = codec.marker_list; marker != nullptr; marker = marker->next)
            if (marker->marker == JPEG_APP0 + 1 && (d.orientation = exifOrientation(marker->data, marker->data_length)) != 1)
                break;
    const bool swap = orientationSwapsSides(d.orientation);
    const PixelSize stored{static_cast<int>(codec.image_width), static_cast<int>(codec.image_height)};
    d.own = swap ? PixelSize{stored.height, stored.width} : stored;

    const std::int64_t coefficients = wholePictureCoefficientBytes(&codec);
    if (coefficients > kMaxPictureDecodeBytes) {
        noteFailure("the JPEG (" + std::to_string(stored.width) + " x " + std::to_string(stored.height) +
                    (codec.progressive_mode ? ", progressive" : ", in several scans") + ") needs " +
                    sizeText(coefficients) + " to decode, more than the " + sizeText(kMaxPictureDecodeBytes) +
                    " a picture may take");
        return nullptr;
    }
    int denominator = 1;
    if (needed) {
        const PixelSize shown = needed(d.own.width, d.own.height);
        denominator = jpegScaleDenominator(stored.width, stored.height,
                                           swap ? PixelSize{shown.height, shown.width} : shown);
    }
    codec.scale_num = 1;
    codec.scale_denom = static_cast<unsigned>(denominator);
    codec.dct_method = JDCT_ISLOW;
    codec.out_color_space =
        codec.jpeg_color_space == JCS_CMYK || codec.jpeg_color_space == JCS_YCCK ? JCS_CMYK : JCS_RGB;
    jpeg_calc_output_dimensions(&codec);
    const PixelSize output{static_cast<int>(codec.output_width), static_cast<int>(codec.output_height)};
    if (output.width != scaledLength(stored.width, denominator) ||
        output.height != scaledLength(stored.height, denominator) ||
        !acceptablePictureSize(output.width, output.height))
        return nullptr;
    d.decoded = swap ? PixelSize{output.height, output.width} : output;
    d.rgb = tryAllocate(static_cast<std::size_t>(output.width) * output.height * 3);
    d.row = tryAllocate(static_cast<std::size_t>(output.width) * 4);
    if (!d.rgb || !d.row) {
        noteFailure("no memory for the picture's pixels");
        return nullptr;
    }
    jpeg_start_decompress(&codec);
    while (codec.output_scanline < codec.output_height) {
        const int y = static_cast<int>(codec.output_scanline);
        JSAMPROW row = d.row.get();
        if (jpeg_read_scanlines(&codec, &row, 1) != 1) return nullptr;
        placeRow(d, y);
    }
    jpeg_finish_decompress(&codec);
    return std::make_unique<RgbPicture>(d.own.width, d.own.height, d.decoded.width, d.decoded.height,
                                        std::move(d.rgb));
}

}  // namespace

std::unique_ptr<Picture> decodeJpeg(const std::uint8_t *bytes, std::size_t count, const NeededSize &needed,
                                    bool orient) {
    const std::optional<PictureHeader> header = readJpegHeader(bytes, count);
    if (!header) return nullptr;
    auto d = std::make_unique<Decoding>();
    jpeg_std_error(&d->errors.manager);
    d->errors.manager.error_exit = leaveOnError;
    d->errors.manager.output_message = dropMessage;
    d->codec.err = &d->errors.manager;
    std::unique_ptr<Picture> picture;
    if (setjmp(d->errors.escape) == 0) {
        picture = decode(*d, bytes, header->length, needed, orient);
    } else if (d->errors.manager.msg_code == JERR_NO_BACKING_STORE || d->errors.manager.msg_code == JERR_OUT_OF_MEMORY) {
        noteFailure("the JPEG needs more than the " + sizeText(kMaxPictureDecodeBytes) + " a picture may take to decode");
    }
    jpeg_destroy_decompress(&d->codec);
    return picture;
}

}  // namespace ks318::port
