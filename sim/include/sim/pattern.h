// The simulated camera's picture. What a person sees: a gradient over the camera's
// window, a bar that moves one step each frame and the frame number drawn in, top
// left. What a test sees: the lowest bit of every byte carries a code drawn from
// the frame number and the byte's offset, so that any piece of a frame can be
// proven to be that piece of that frame (whole, in order, untorn) without knowing
// the window; the first four bytes hold the frame number itself, so frames can be
// counted and drops found.
//
// Layout: rows top to bottom, no padding; 1 byte a pixel (grey) or 3 (red, green,
// blue, in that order). Red rises left to right, green top to bottom, blue falls
// left to right; grey rises towards the bottom right.
//
// Self-contained (only <stdint.h> and <stddef.h>, no allocation, no library calls,
// small stack frames) so that test equipment built as kernel code can draw the same
// picture.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace sim::pattern {

// The window a frame pictures. A frame may be longer than width x height pixels
// (the rows go on) or shorter (it stops).
struct Geometry {
  uint32_t width;
  uint32_t height;
  uint32_t bytes_per_pixel;  // 1: grey, 3: colour; others are drawn grey
};

// Bytes [offset, offset + length) of frame `frame`.
void fill(const Geometry& geometry, uint32_t frame, uint64_t offset, uint8_t* destination, size_t length);

struct Check {
  bool ok;
  uint32_t frame;           // sequence number, from the first four bytes
  size_t first_bad_offset;  // when !ok
};
// Checks a frame from its start: the frame number it names, and every byte's code.
Check check(const uint8_t* data, size_t length);
// The first byte of `data` that is not byte offset + i of frame `frame`, or
// `length` when every one is.
size_t mismatch(uint32_t frame, uint64_t offset, const uint8_t* data, size_t length);
// Checks bytes [offset, offset + length) of frame `frame`.
inline bool matches(uint32_t frame, uint64_t offset, const uint8_t* data, size_t length) {
  return mismatch(frame, offset, data, length) == length;
}

// A place a piece may come from: a frame and the offset of its first byte.
struct Place {
  uint32_t frame;
  uint64_t offset;
};
// The places among frames [0, frames) of `frame_size` bytes each that a piece may
// have been taken from: the frame's start, when its first four bytes name a frame
// in range, and the place each whole 64-byte code block in the piece names (a piece
// of 127 bytes or more holds one wherever it starts). Writes up to `capacity`;
// returns how many there are. The caller proves the right one with `mismatch`.
size_t locate(const uint8_t* data, size_t length, uint32_t frames, uint64_t frame_size, Place* places,
              size_t capacity);

}  // namespace sim::pattern
