// The orientation an EXIF block (a JPEG's APP1 segment) gives its picture.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ks318::port {

// The EXIF orientation (1 to 8) of an APP1 segment's data ("Exif\0\0" and a
// TIFF structure); 1 (as stored) for anything else or a damaged block.
//   1 as stored        2 mirrored left-right     3 turned half round   4 mirrored top-bottom
//   5 transposed       6 turned right (clockwise) 7 transversed        8 turned left
int exifOrientation(const std::uint8_t *data, std::size_t size);

// Where stored pixel (x, y) of a width × height picture shows once oriented.
// Orientations 5 to 8 swap the width and the height.
inline bool orientationSwapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }
inline void orientedPosition(int orientation, int width, int height, int x, int y, int &outX, int &outY) {
    switch (orientation) {
    case 2: outX = width - 1 - x, outY = y; break;
    case 3: outX = width - 1 - x, outY = height - 1 - y; break;
    case 4: outX = x, outY = height - 1 - y; break;
    case 5: outX = y, outY = x; break;
    case 6: outX = height - 1 - y, outY = x; break;
    case 7: outX = height - 1 - y, outY = width - 1 - x; break;
    case 8: outX = y, outY = width - 1 - x; break;
    default: outX = x, outY = y; break;
    }
}

}  // namespace ks318::port
