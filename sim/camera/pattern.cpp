// The image test pattern: each 32-bit word names its frame and its position.
#include <sim/camera.h>

#include <bit>
#include <cstring>

namespace sim::pattern {
namespace {

constexpr uint32_t kMix = 0x9E3779B1u;

uint32_t word(uint32_t frame, uint64_t index) { return frame ^ static_cast<uint32_t>(index * kMix); }

uint8_t byte_at(uint32_t frame, uint64_t offset) {
  return static_cast<uint8_t>(word(frame, offset / 4) >> (8 * (offset % 4)));
}

}  // namespace

// Whole words go four at a time (the host is little-endian, as the wire is): a
// frame's pattern costs about what writing it costs.
void fill(uint32_t frame, uint64_t offset, uint8_t* destination, size_t length) {
  static_assert(std::endian::native == std::endian::little);
  using Words = uint32_t __attribute__((vector_size(16)));
  size_t i = 0;
  for (; i < length && (offset + i) % 4 != 0; ++i) destination[i] = byte_at(frame, offset + i);
  uint32_t first = static_cast<uint32_t>((offset + i) / 4 * kMix);
  Words mixed = {first, first + kMix, first + 2 * kMix, first + 3 * kMix};
  for (; i + 16 <= length; i += 16) {
    Words w = mixed ^ frame;
    std::memcpy(destination + i, &w, sizeof w);
    mixed += 4 * kMix;
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
