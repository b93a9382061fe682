#pragma once
// The compiled-in pictures read as colours, straight from their XPM text, so
// that tests compare what the server shows against the sources.

#include <cstdint>
#include <string>
#include <vector>

inline constexpr uint32_t transparent = 0xff000000;

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> rgb;  // 0xRRGGBB, or `transparent`
    uint32_t at(int x, int y) const { return rgb[static_cast<size_t>(y * width + x)]; }
    // The rectangle as its own picture.
    Picture crop(int x, int y, int w, int h) const;
};

enum class PictureName { background, backlit, parts };

Picture referencePicture(PictureName name);
// The character of each pixel, for the tests of the art itself.
std::vector<std::string> referenceRows(PictureName name);
