// A frame as a PNG picture, for the file names that end in .png.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvex {

// `width` x `height` pixels, rows top to bottom, of 1 byte each (8-bit grey) or 3
// (red, green, blue: 24-bit colour), as the camera sends them; pixels past `length`
// (a frame cut short) are black. False, with `why`, for another depth or a size
// the format cannot hold.
// Whether a frame of `width` x `height` pixels of `bytes_per_pixel` can be a PNG
// picture; `why` says why not.
bool picture_fits(uint32_t width, uint32_t height, uint32_t bytes_per_pixel, std::string* why);

bool encode_png(const uint8_t* data, size_t length, uint32_t width, uint32_t height, uint32_t bytes_per_pixel,
                std::vector<uint8_t>* png, std::string* why);

}  // namespace quorvex
