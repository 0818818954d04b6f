// What a PNG picture of a frame can be, whichever back end writes it.
#include "picture.h"

namespace quorvex {

// 8-bit grey and 24-bit colour, the depths the cameras send; sizes up to libpng's
// default limit of a million pixels a side.
bool picture_fits(uint32_t width, uint32_t height, uint32_t bytes_per_pixel, std::string* why) {
  if (bytes_per_pixel != 1 && bytes_per_pixel != 3) {
    *why = "a PNG picture takes 8-bit or 24-bit frames, not " + std::to_string(8 * bytes_per_pixel) + "-bit";
    return false;
  }
  if (width == 0 || height == 0 || width > 1000000 || height > 1000000) {
    *why = "a PNG picture cannot be " + std::to_string(width) + "x" + std::to_string(height);
    return false;
  }
  return true;
}

}  // namespace quorvex
