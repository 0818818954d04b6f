// What the library knows of each product before it sends anything: its model, the
// settings the driver serves on it, the values each accepts, and the register value
// the driver writes for a value. Pure data; no request is made here.
#pragma once

#include <quorvex/models.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvex {

// How the driver reads a frame for IOCTL_CAM_READ_FRAME on a product.
enum class FrameRead : uint8_t { Triggered, PlainBulk };

struct ProductInfo {
  uint16_t product;
  uint32_t model;
  uint32_t bits_per_pixel;
  FrameRead frame_read;
  const char* description;
};

// The most one plain bulk transfer carries (the image pipe's MaximumTransferSize).
constexpr uint32_t kPlainReadMaxBytes = CAM_FRAME_TRANSFER_MAX;

// The largest frame any product sends: its whole sensor at its pixel depth.
uint32_t max_frame_bytes();

// Every product the driver serves, 0x1009 to 0x100F.
const std::vector<ProductInfo>& products();
const ProductInfo* find_product(uint16_t product);

enum class Setting : uint8_t {
  Exposure,
  GlobalGain,
  Gain2B,
  Gain2C,
  Gain2D,
  Gain2E,
  Offset60,
  Offset61,
  Offset63,
  Offset64,
  OffsetPair,
  Resolution,
  Reg05,
  Reg20Bits,
  CaptureMode,
  Reg62,
  SensorCommand,
};

struct SettingInfo {
  Setting setting;
  const char* name;  // as the tool spells it
  const char* what;  // one line: what it is and its unit
  const char* unit;  // "gain steps", "pixels", ...; empty where the camera names none
  uint32_t set_code;
  uint32_t get_code;   // 0: the driver has no read; see read_register
  uint8_t reg;         // the register the value lands in
  bool read_register;  // read back from `reg` itself (bits the setting owns)
};

const std::vector<SettingInfo>& settings();
const SettingInfo& info(Setting setting);
const SettingInfo* find_setting(const std::string& name);

struct Span {
  int64_t low;
  int64_t high;
};

struct WindowSize {
  uint32_t width;
  uint32_t height;
};

// What one setting accepts on one product. A setting without values cannot be set
// there; `readable` says whether it can be read.
struct Limits {
  std::vector<Span> values;
  std::vector<WindowSize> windows;  // Resolution only
  bool readable = false;
  bool settable() const { return !values.empty() || !windows.empty(); }
  bool accepts(int64_t value) const;
  bool accepts(WindowSize size) const;
  std::string text() const;  // "0..161", "9, 18", "640x480, 1024x768"
  // The value at power-on, where the camera defines one: its window is the whole
  // sensor. Empty elsewhere.
  std::string power_on() const;
};

Limits limits(Setting setting, const ProductInfo& product);

// The register value the driver writes for `value` (the low 16 bits for a 32-bit
// exposure); none where the driver refuses the value.
std::optional<uint16_t> encode(Setting setting, uint32_t model, int64_t value);

}  // namespace quorvex
