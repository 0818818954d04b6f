// PNG for the Windows build, which has no libpng: the same picture, its image data
// in stored (uncompressed) deflate blocks. Larger than libpng's, read alike by
// every viewer.
#include <algorithm>

#include "picture.h"

namespace quorvex {
namespace {

uint32_t crc32(const uint8_t* data, size_t length, uint32_t crc = 0) {
  static uint32_t table[256];
  if (table[1] == 0) {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
  }
  crc = ~crc;
  for (size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void put32(std::vector<uint8_t>* out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

void chunk(std::vector<uint8_t>* out, const char type[5], const std::vector<uint8_t>& data) {
  put32(out, static_cast<uint32_t>(data.size()));
  size_t start = out->size();
  out->insert(out->end(), type, type + 4);
  out->insert(out->end(), data.begin(), data.end());
  put32(out, crc32(out->data() + start, out->size() - start));
}

// A zlib stream of stored blocks of at most 65535 bytes, with its Adler-32.
std::vector<uint8_t> stored(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> z = {0x78, 0x01};
  uint32_t a = 1, b = 0;
  size_t at = 0;
  do {
    uint16_t n = static_cast<uint16_t>(std::min<size_t>(raw.size() - at, 65535));
    z.push_back(at + n == raw.size() ? 1 : 0);
    z.insert(z.end(), {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(~n),
                       static_cast<uint8_t>(~n >> 8)});
    for (size_t i = at; i < at + n; ++i) {
      a = (a + raw[i]) % 65521;
      b = (b + a) % 65521;
    }
    z.insert(z.end(), raw.begin() + at, raw.begin() + at + n);
    at += n;
  } while (at < raw.size());
  put32(&z, b << 16 | a);
  return z;
}

}  // namespace

bool encode_png(const uint8_t* data, size_t length, uint32_t width, uint32_t height, uint32_t bytes_per_pixel,
                std::vector<uint8_t>* png, std::string* why) {
  if (!picture_fits(width, height, bytes_per_pixel, why)) return false;
  // Each row behind its filter byte, 0: none.
  size_t row = size_t{width} * bytes_per_pixel;
  std::vector<uint8_t> raw((row + 1) * height, 0);
  for (uint32_t y = 0; y < height && y * row < length; ++y)
    std::copy_n(data + y * row, std::min(row, length - y * row), raw.begin() + y * (row + 1) + 1);
  std::vector<uint8_t> header;
  put32(&header, width);
  put32(&header, height);
  header.insert(header.end(), {8, static_cast<uint8_t>(bytes_per_pixel == 3 ? 2 : 0), 0, 0, 0});
  *png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  chunk(png, "IHDR", header);
  chunk(png, "IDAT", stored(raw));
  chunk(png, "IEND", {});
  return true;
}

}  // namespace quorvex
