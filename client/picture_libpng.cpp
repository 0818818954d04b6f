// PNG through libpng, into memory: the file is written in one piece afterwards, so
// a failed write is the file's concern alone.
#include <png.h>

#include <algorithm>

#include "picture.h"

namespace quorvex {
namespace {

void append(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void flush(png_structp) {}

// libpng reports its errors by jumping back to the setjmp below; nothing here owns
// memory across it but the rows, which are plain pointers into `padded`.
bool write_rows(png_structp png, png_infop info, uint32_t width, uint32_t height, int colour,
                std::vector<png_bytep>* rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, width, height, 8, colour, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_rows(png, info, rows->data());
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  return true;
}

}  // namespace

bool encode_png(const uint8_t* data, size_t length, uint32_t width, uint32_t height, uint32_t bytes_per_pixel,
                std::vector<uint8_t>* png_bytes, std::string* why) {
  if (!picture_fits(width, height, bytes_per_pixel, why)) return false;
  size_t row = size_t{width} * bytes_per_pixel;
  std::vector<uint8_t> padded(row * height, 0);
  std::copy(data, data + std::min(length, padded.size()), padded.begin());
  std::vector<png_bytep> rows(height);
  for (uint32_t y = 0; y < height; ++y) rows[y] = padded.data() + y * row;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  png_bytes->clear();
  bool ok = info != nullptr;
  if (ok) {
    png_set_write_fn(png, png_bytes, append, flush);
    ok = write_rows(png, info, width, height, bytes_per_pixel == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
                    &rows);
  }
  png_destroy_write_struct(&png, &info);
  if (!ok) *why = "libpng could not make the picture";
  return ok;
}

}  // namespace quorvex
