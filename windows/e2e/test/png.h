// A PNG file as the test reads it, apart from the tool that wrote it: its structure
// checked field by field, and its pixels as Windows' own decoder gives them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvex::e2e {

// The signature, every chunk's CRC, IHDR (`width` x `height`, 8 bits a sample,
// grey for 1 byte a pixel, colour for 3, no interlace), the chunks' order, and the
// zlib stream of the IDAT chunks: its header, stored blocks whose lengths agree,
// and the Adler-32 of what they hold, which must be one filtered row per line.
// Fails on the first fault; returns what was checked.
std::string check_png_structure(const std::vector<uint8_t>& file, uint32_t width, uint32_t height,
                                uint32_t bytes_per_pixel);

// The picture decoded by Windows Imaging Component: its size, and its pixels in
// the camera's order (rows top to bottom, grey, or red, green, blue).
struct DecodedPicture {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bytes_per_pixel = 0;
  std::vector<uint8_t> pixels;
};
DecodedPicture decode_png(const std::wstring& path);

}  // namespace quorvex::e2e
