// The image test pattern: each 32-bit word names its frame and its position.
#include <sim/camera.h>

namespace sim::pattern {
namespace {

constexpr uint32_t kMix = 0x9E3779B1u;

uint32_t word(uint32_t frame, uint64_t index) { return frame ^ static_cast<uint32_t>(index * kMix); }

uint8_t byte_at(uint32_t frame, uint64_t offset) {
  return static_cast<uint8_t>(word(frame, offset / 4) >> (8 * (offset % 4)));
}

}  // namespace

void fill(uint32_t frame, uint64_t offset, uint8_t* destination, size_t length) {
  size_t i = 0;
  for (; i < length && (offset + i) % 4 != 0; ++i) destination[i] = byte_at(frame, offset + i);
  for (; i + 4 <= length; i += 4) {
    uint32_t w = word(frame, (offset + i) / 4);
    destination[i] = static_cast<uint8_t>(w);
    destination[i + 1] = static_cast<uint8_t>(w >> 8);
    destination[i + 2] = static_cast<uint8_t>(w >> 16);
    destination[i + 3] = static_cast<uint8_t>(w >> 24);
  }
  for (; i < length; ++i) destination[i] = byte_at(frame, offset + i);
}

bool matches(uint32_t frame, uint64_t offset, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (data[i] != byte_at(frame, offset + i)) return false;
  }
  return true;
}

Check check(const uint8_t* data, size_t length) {
  Check result{true, 0, 0};
  for (size_t i = 0; i < 4 && i < length; ++i) result.frame |= uint32_t(data[i]) << (8 * i);
  for (size_t i = 0; i < length; ++i) {
    if (data[i] != byte_at(result.frame, i)) {
      result.ok = false;
      result.first_bad_offset = i;
      break;
    }
  }
  return result;
}

}  // namespace sim::pattern
