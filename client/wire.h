// Little-endian values in request buffers, and the library's check of reply lengths.
#pragma once

#include <cstdint>
#include <string>

#include "status.h"

namespace quorvex {

inline uint32_t get_u32(const uint8_t* b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

inline void put_u32(uint8_t* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint64_t get_u64(const uint8_t* b) { return get_u32(b) | uint64_t{get_u32(b + 4)} << 32; }

inline void put_u64(uint8_t* b, uint64_t v) {
  put_u32(b, static_cast<uint32_t>(v));
  put_u32(b + 4, static_cast<uint32_t>(v >> 32));
}

inline void put_u16(uint8_t* b, uint16_t v) {
  b[0] = static_cast<uint8_t>(v);
  b[1] = static_cast<uint8_t>(v >> 8);
}

// A success that returned fewer bytes than the record it should have filled.
inline Status short_reply(const Status& status, uint32_t expected) {
  Status refused = Status::refused(kShortReply, "the driver returned " + std::to_string(status.returned) +
                                                    " bytes of " + std::to_string(expected));
  refused.returned = status.returned;
  return refused;
}

}  // namespace quorvex
