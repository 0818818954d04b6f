// PNG files read as a viewer would, to check the pictures the shipped tool writes.
// The structure is checked here by the format's own rules, with sums computed bit
// by bit rather than as the tool computes them; the pixels come from Windows
// Imaging Component, a decoder that owes nothing to the tool.
#include "png.h"

#include <wincodec.h>
#include <windows.h>

#include <cstring>

#include "rig.h"

namespace quorvex::e2e {
namespace {

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// CRC-32 of the chunk's type and data, one bit at a time.
uint32_t crc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

uint32_t adler32(const std::vector<uint8_t>& data) {
  uint64_t a = 1, b = 0;
  for (uint8_t byte : data) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  return uint32_t(b << 16 | a);
}

struct Chunk {
  std::string type;
  const uint8_t* data;
  uint32_t length;
};

// The chunks in order, each with a good CRC, the last IEND and nothing after it.
std::vector<Chunk> chunks_of(const std::vector<uint8_t>& file) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (file.size() < 8 || std::memcmp(file.data(), kSignature, 8) != 0) fail("no PNG signature");
  std::vector<Chunk> chunks;
  size_t at = 8;
  while (chunks.empty() || chunks.back().type != "IEND") {
    if (file.size() - at < 12) fail("the file ends inside a chunk at byte " + std::to_string(at));
    uint32_t length = be32(&file[at]);
    if (length > file.size() - at - 12) fail("chunk at byte " + std::to_string(at) + " runs past the end");
    Chunk chunk{std::string(file.begin() + at + 4, file.begin() + at + 8), &file[at + 8], length};
    uint32_t stored = be32(&file[at + 8 + length]);
    if (crc32(&file[at + 4], length + 4) != stored)
      fail(chunk.type + " chunk's CRC " + hex(stored) + " is wrong");
    chunks.push_back(chunk);
    at += 12 + length;
  }
  if (at != file.size()) fail(std::to_string(file.size() - at) + " bytes after IEND");
  return chunks;
}

void check_header(const Chunk& ihdr, uint32_t width, uint32_t height, uint32_t bytes_per_pixel) {
  if (ihdr.type != "IHDR" || ihdr.length != 13)
    fail("the first chunk is " + ihdr.type + ", not a 13-byte IHDR");
  const uint8_t* h = ihdr.data;
  uint8_t colour = bytes_per_pixel == 3 ? 2 : 0;
  if (be32(h) != width || be32(h + 4) != height) {
    fail("IHDR says " + std::to_string(be32(h)) + "x" + std::to_string(be32(h + 4)) + ", the window is " +
         std::to_string(width) + "x" + std::to_string(height));
  }
  if (h[8] != 8 || h[9] != colour || h[10] != 0 || h[11] != 0 || h[12] != 0) {
    fail("IHDR's depth, colour type, compression, filter and interlace are " + hex_bytes(h + 8, 5) +
         ", not 08 " + hex_bytes(&colour, 1) + " 00 00 00");
  }
}

// The IDAT chunks, one after another, joined.
std::vector<uint8_t> image_data(const std::vector<Chunk>& chunks) {
  std::vector<uint8_t> z;
  size_t first = chunks.size(), last = 0;
  for (size_t i = 0; i < chunks.size(); ++i) {
    const std::string& type = chunks[i].type;
    if (type == "IDAT") {
      first = std::min(first, i);
      last = i;
      z.insert(z.end(), chunks[i].data, chunks[i].data + chunks[i].length);
    } else if (type != "IHDR" && type != "IEND" && (type[0] & 0x20) == 0) {
      fail("critical chunk " + type + " in a grey or colour picture");
    }
  }
  if (first == chunks.size()) fail("no IDAT chunk");
  for (size_t i = first; i <= last; ++i)
    if (chunks[i].type != "IDAT") fail("the IDAT chunks are not consecutive");
  return z;
}

// The zlib stream's contents: a deflate header without a preset dictionary, then
// stored blocks, the last marked final, then the Adler-32 of what they held.
std::vector<uint8_t> inflate_stored(const std::vector<uint8_t>& z) {
  if (z.size() < 6 || (z[0] & 0x0F) != 8 || (z[0] >> 4) > 7 || (z[0] << 8 | z[1]) % 31 != 0 || (z[1] & 0x20))
    fail("the zlib header " + hex_bytes(z.data(), std::min<size_t>(z.size(), 2)) + " is not deflate's");
  std::vector<uint8_t> out;
  size_t at = 2;
  for (bool final = false; !final;) {
    if (z.size() - at < 5) fail("the zlib stream ends inside a block header");
    final = z[at] & 1;
    if ((z[at] >> 1 & 3) != 0) fail("a deflate block that is not stored, at byte " + std::to_string(at));
    uint16_t length = uint16_t(z[at + 1] | z[at + 2] << 8), check = uint16_t(z[at + 3] | z[at + 4] << 8);
    if (uint16_t(~length) != check) fail("a stored block's length and its complement disagree");
    at += 5;
    if (z.size() - at < length) fail("a stored block runs past the image data");
    out.insert(out.end(), z.begin() + at, z.begin() + at + length);
    at += length;
  }
  if (z.size() - at != 4)
    fail("the zlib stream holds " + std::to_string(z.size() - at) + " bytes after its blocks");
  if (be32(&z[at]) != adler32(out)) fail("the Adler-32 " + hex(be32(&z[at])) + " is wrong");
  return out;
}

template <typename T>
struct Com {
  T* p = nullptr;
  ~Com() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
};

void expect_ok(HRESULT hr, const char* what) {
  if (FAILED(hr)) fail(std::string("Windows Imaging Component: ") + what + " failed: " + hex(uint32_t(hr)));
}

// Which of the pixel formats a PNG decoder gives for 8-bit grey and colour.
uint32_t pixel_bytes(const WICPixelFormatGUID& format, bool* bgr) {
  *bgr = IsEqualGUID(format, GUID_WICPixelFormat24bppBGR);
  if (IsEqualGUID(format, GUID_WICPixelFormat8bppGray)) return 1;
  if (*bgr || IsEqualGUID(format, GUID_WICPixelFormat24bppRGB)) return 3;
  fail(
      "Windows Imaging Component decodes the picture to a pixel format that is neither 8-bit grey nor 24-bit "
      "colour");
}

DecodedPicture copy_pixels(IWICBitmapFrameDecode* frame) {
  DecodedPicture picture;
  expect_ok(frame->GetSize(&picture.width, &picture.height), "GetSize");
  WICPixelFormatGUID format{};
  expect_ok(frame->GetPixelFormat(&format), "GetPixelFormat");
  bool bgr = false;
  picture.bytes_per_pixel = pixel_bytes(format, &bgr);
  UINT stride = picture.width * picture.bytes_per_pixel;
  picture.pixels.resize(size_t(stride) * picture.height);
  expect_ok(frame->CopyPixels(nullptr, stride, UINT(picture.pixels.size()), picture.pixels.data()),
            "CopyPixels");
  if (bgr) {
    for (size_t i = 0; i + 2 < picture.pixels.size(); i += 3)
      std::swap(picture.pixels[i], picture.pixels[i + 2]);
  }
  return picture;
}

DecodedPicture decode_with(IWICImagingFactory* factory, const std::wstring& path) {
  Com<IWICBitmapDecoder> decoder;
  expect_ok(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                               WICDecodeMetadataCacheOnDemand, &decoder.p),
            "CreateDecoderFromFilename");
  GUID container{};
  expect_ok(decoder->GetContainerFormat(&container), "GetContainerFormat");
  if (!IsEqualGUID(container, GUID_ContainerFormatPng))
    fail("Windows Imaging Component does not take it for a PNG");
  Com<IWICBitmapFrameDecode> frame;
  expect_ok(decoder->GetFrame(0, &frame.p), "GetFrame");
  return copy_pixels(frame.p);
}

}  // namespace

std::string check_png_structure(const std::vector<uint8_t>& file, uint32_t width, uint32_t height,
                                uint32_t bytes_per_pixel) {
  std::vector<Chunk> chunks = chunks_of(file);
  check_header(chunks.front(), width, height, bytes_per_pixel);
  std::vector<uint8_t> rows = inflate_stored(image_data(chunks));
  size_t row = size_t(width) * bytes_per_pixel + 1;
  if (rows.size() != row * height)
    fail("the image data holds " + std::to_string(rows.size()) + " bytes, not " +
         std::to_string(row * height));
  for (size_t at = 0; at < rows.size(); at += row) {
    if (rows[at] > 4) fail("row " + std::to_string(at / row) + " has filter " + std::to_string(rows[at]));
  }
  return std::to_string(chunks.size()) + " chunks, CRCs and Adler-32 good";
}

DecodedPicture decode_png(const std::wstring& path) {
  HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  expect_ok(init, "CoInitializeEx");
  DecodedPicture picture;
  try {
    Com<IWICImagingFactory> factory;
    expect_ok(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                               reinterpret_cast<void**>(&factory.p)),
              "CoCreateInstance");
    picture = decode_with(factory.p, path);
  } catch (...) {
    CoUninitialize();
    throw;
  }
  CoUninitialize();
  return picture;
}

}  // namespace quorvex::e2e
