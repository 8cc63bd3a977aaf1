// Turning a picture file into a terminal's full-screen image: the picture is
// fitted onto a white canvas of the terminal's screen size, centred and
// clipped, stretched nearest-neighbour, and reduced to at most 236 colours.
#pragma once

#include <cstdint>
#include <vector>

#include "image/colour_reduction.h"
#include "image/image_commands.h"
#include "port/picture.h"
#include "port/picture_pixels.h"

namespace ks318::image {

// Where a W × H picture goes on the screen. With Q = W ÷ H in whole numbers, a
// picture with Q above 1 (at least twice as wide as high) takes the screen's
// width, any other its height; the other side follows W:H with the fraction
// dropped. The rectangle is centred on the screen's middle (halves rounded
// toward zero) and may reach past the screen.
port::TargetRect fitPicture(int pictureWidth, int pictureHeight, ScreenSize screen);

// Draws width × height RGB pixels into `target`, clipped to the canvas. Target
// pixel (tx, ty) takes source pixel (tx × W ÷ w, ty × H ÷ h): rows and columns are
// repeated or dropped, never blended.
void stretchNearest(const std::uint8_t *rgb, int width, int height, port::RgbCanvas &canvas,
                    const port::TargetRect &target);

// Draws a loaded picture onto a white canvas of the screen's size, placed by the
// picture's own size and stretched from its pixels; false when a metafile could
// not be played.
bool drawPicture(const port::Picture &picture, port::RgbCanvas &canvas);

// The pixels across and down a W × H picture takes on the screen: its fitted
// rectangle's size (parts past the screen included). A JPEG is decoded at the
// smallest scale that keeps at least these.
port::PixelSize neededPixels(int pictureWidth, int pictureHeight, ScreenSize screen);

// Loads, draws and reduces a picture file. False for a file the loader does not
// take (unknown extension, over the size limits, cut short or damaged, rejected
// content, no width or height), a codec failure, or memory running out; no
// exception leaves it.
bool convertPictureFile(const char *path, ScreenSize screen, TerminalImage &image);

#ifndef _WIN32
// As convertPictureFile for the bytes of a file of the given format, without the
// file: what the fuzz targets feed, which are built on POSIX systems only.
bool convertPictureBytes(port::PictureFormat format, std::vector<std::uint8_t> bytes, ScreenSize screen,
                         TerminalImage &image);
#endif

}  // namespace ks318::image
