// Products, settings and the values each model accepts, as the driver serves them.
#include "models.h"

#include <quorvex/quorvex.h>

#include <cstdio>

namespace quorvex {
namespace {

constexpr uint16_t kMonochrome1801 = 0x100D;  // model 0x1801's 8-bit product

const std::vector<ProductInfo> kProducts = {
    {0x1009, CAM_MODEL_8431, 8, FrameRead::PlainBulk,
     "1280x1024 sensor, 8 bits per pixel, frames by plain bulk read"},
    {0x100A, CAM_MODEL_8431, 8, FrameRead::Triggered, "1280x1024 sensor, 8 bits per pixel, triggered frames"},
    {0x100B, CAM_MODEL_1801, 24, FrameRead::PlainBulk,
     "2592x1944 sensor, 24 bits per pixel, frames by plain bulk read"},
    {0x100C, CAM_MODEL_1801, 24, FrameRead::Triggered,
     "2592x1944 sensor, 24 bits per pixel, triggered frames"},
    {0x100D, CAM_MODEL_1801, 8, FrameRead::Triggered, "2592x1944 sensor, 8 bits per pixel, triggered frames"},
    {0x100E, CAM_MODEL_1621, 24, FrameRead::Triggered,
     "2048x1536 sensor, 24 bits per pixel, triggered frames"},
    {0x100F, CAM_MODEL_1801, 24, FrameRead::PlainBulk,
     "2592x1944 sensor, 24 bits per pixel, frames by plain bulk read"},
};

const std::vector<SettingInfo> kSettings = {
    {Setting::Exposure, "exposure", "exposure time, in the camera's units", "camera units",
     IOCTL_CAM_SET_EXPOSURE, IOCTL_CAM_GET_EXPOSURE, 0x09, false},
    {Setting::GlobalGain, "gain", "global gain, in gain steps", "gain steps", IOCTL_CAM_SET_GLOBAL_GAIN,
     IOCTL_CAM_GET_GLOBAL_GAIN, 0x35, false},
    {Setting::Gain2B, "gain-2b", "channel gain of register 0x2B, in gain steps", "gain steps",
     IOCTL_CAM_SET_GAIN_2B, IOCTL_CAM_GET_GAIN_2B, 0x2B, false},
    {Setting::Gain2C, "gain-2c", "channel gain of register 0x2C, in gain steps", "gain steps",
     IOCTL_CAM_SET_GAIN_2C, IOCTL_CAM_GET_GAIN_2C, 0x2C, false},
    {Setting::Gain2D, "gain-2d", "channel gain of register 0x2D, in gain steps", "gain steps",
     IOCTL_CAM_SET_GAIN_2D, IOCTL_CAM_GET_GAIN_2D, 0x2D, false},
    {Setting::Gain2E, "gain-2e", "channel gain of register 0x2E, in gain steps", "gain steps",
     IOCTL_CAM_SET_GAIN_2E, IOCTL_CAM_GET_GAIN_2E, 0x2E, false},
    {Setting::Offset60, "offset-60", "offset of register 0x60", "", IOCTL_CAM_SET_OFFSET_60,
     IOCTL_CAM_GET_OFFSET_60, 0x60, false},
    {Setting::Offset61, "offset-61", "offset of register 0x61", "", IOCTL_CAM_SET_OFFSET_61,
     IOCTL_CAM_GET_OFFSET_61, 0x61, false},
    {Setting::Offset63, "offset-63", "offset of register 0x63", "", IOCTL_CAM_SET_OFFSET_63,
     IOCTL_CAM_GET_OFFSET_63, 0x63, false},
    {Setting::Offset64, "offset-64", "offset of register 0x64", "", IOCTL_CAM_SET_OFFSET_64,
     IOCTL_CAM_GET_OFFSET_64, 0x64, false},
    {Setting::OffsetPair, "offset-pair", "offsets 0x60 and 0x61 together, 0x63 and 0x64 set to 293", "",
     IOCTL_CAM_SET_OFFSET_60_61, IOCTL_CAM_GET_OFFSET_60_61, 0x60, false},
    {Setting::Resolution, "resolution", "image window, WIDTHxHEIGHT in pixels", "pixels",
     IOCTL_CAM_SET_RESOLUTION, IOCTL_CAM_GET_RESOLUTION, 0x03, false},
    {Setting::Reg05, "reg05", "readout byte of register 0x05: 9 writes 0x02, 18 writes 0x00", "",
     IOCTL_CAM_SET_REG05, 0, 0x05, false},
    {Setting::Reg20Bits, "reg20-bits", "bits 15 and 14 of register 0x20, 0 to 3", "",
     IOCTL_CAM_SET_REG20_BITS, 0, 0x20, true},
    {Setting::CaptureMode, "capture-mode", "capture mode, 0 to 3 as the model has them", "",
     IOCTL_CAM_SET_CAPTURE_MODE, 0, 0x1E, false},
    {Setting::Reg62, "reg62", "register 0x62 on (1) or off (0)", "", IOCTL_CAM_SET_REG62_ON, 0, 0x62, true},
    {Setting::SensorCommand, "sensor-command", "sensor command 1 to 3 (an action, not kept)", "",
     IOCTL_CAM_SENSOR_COMMAND, 0, 0x78, false},
};

const std::vector<WindowSize> kWindows8431 = {{640, 480}, {1024, 768}, {1280, 1024}};
const std::vector<WindowSize> kWindows1801 = {{2592, 1944}};
const std::vector<WindowSize> kWindows1621 = {
    {640, 480}, {1024, 768}, {1280, 1024}, {1600, 1200}, {2048, 1536}};

// The gain steps each model's rule accepts.
std::vector<Span> gain_values(uint32_t model) {
  switch (model) {
    case CAM_MODEL_8431:
      return {{0, 48}};
    case CAM_MODEL_1801:
      return {{1, 120}};
    default:
      return {{0, 161}};
  }
}

bool is_channel_gain(Setting s) {
  return s == Setting::Gain2B || s == Setting::Gain2C || s == Setting::Gain2D || s == Setting::Gain2E;
}

bool is_offset(Setting s) {
  return s == Setting::Offset60 || s == Setting::Offset61 || s == Setting::Offset63 ||
         s == Setting::Offset64 || s == Setting::OffsetPair;
}

Limits gain_limits(Setting s, const ProductInfo& p) {
  Limits l;
  bool mono = p.product == kMonochrome1801;
  if (s == Setting::GlobalGain) {
    l.values = gain_values(p.model);
    // Model 0x1801 reads its global gain back only on the 8-bit product.
    l.readable = p.model != CAM_MODEL_1801 || mono;
  } else if (p.model == CAM_MODEL_1621 || (p.model == CAM_MODEL_1801 && !mono)) {
    l.values = gain_values(p.model);
    l.readable = true;
  }
  return l;
}

Limits mode_limits(Setting s, const ProductInfo& p) {
  Limits l;
  switch (s) {
    case Setting::Reg05:
      l.values = {{9, 9}, {18, 18}};
      break;
    case Setting::Reg20Bits:
      l.values = {{0, 3}};
      l.readable = true;
      break;
    case Setting::CaptureMode:
      if (p.model == CAM_MODEL_8431) l.values = {{0, 0}, {2, 3}};
      if (p.model == CAM_MODEL_1801) l.values = {{1, 3}};
      if (p.model == CAM_MODEL_1621) l.values = {{0, 3}};
      break;
    case Setting::Reg62:
      if (p.model == CAM_MODEL_1621) l.values = {{0, 1}};
      l.readable = p.model == CAM_MODEL_1621;
      break;
    default:  // the sensor command: model 0x1801 takes it and does nothing
      l.values = {{1, 3}};
      break;
  }
  return l;
}

}  // namespace

const std::vector<ProductInfo>& products() { return kProducts; }

const ProductInfo* find_product(uint16_t product) {
  for (const ProductInfo& p : kProducts) {
    if (p.product == product) return &p;
  }
  return nullptr;
}

const std::vector<SettingInfo>& settings() { return kSettings; }

const SettingInfo& info(Setting setting) { return kSettings[static_cast<size_t>(setting)]; }

const SettingInfo* find_setting(const std::string& name) {
  for (const SettingInfo& s : kSettings) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

bool Limits::accepts(int64_t value) const {
  for (const Span& span : values) {
    if (value >= span.low && value <= span.high) return true;
  }
  return false;
}

bool Limits::accepts(WindowSize size) const {
  for (const WindowSize& w : windows) {
    if (w.width == size.width && w.height == size.height) return true;
  }
  return false;
}

std::string Limits::text() const {
  std::string text;
  char part[48];
  for (const Span& s : values) {
    if (s.low == s.high) {
      std::snprintf(part, sizeof(part), "%lld", static_cast<long long>(s.low));
    } else {
      std::snprintf(part, sizeof(part), "%lld..%lld", static_cast<long long>(s.low),
                    static_cast<long long>(s.high));
    }
    text += (text.empty() ? "" : ", ") + std::string(part);
  }
  for (const WindowSize& w : windows) {
    std::snprintf(part, sizeof(part), "%ux%u", w.width, w.height);
    text += (text.empty() ? "" : ", ") + std::string(part);
  }
  return text;
}

std::string Limits::power_on() const {
  const WindowSize* sensor = nullptr;
  for (const WindowSize& w : windows) {
    if (sensor == nullptr || uint64_t{w.width} * w.height > uint64_t{sensor->width} * sensor->height)
      sensor = &w;
  }
  return sensor ? std::to_string(sensor->width) + "x" + std::to_string(sensor->height) : "";
}

Limits limits(Setting setting, const ProductInfo& product) {
  Limits l;
  if (setting == Setting::GlobalGain || is_channel_gain(setting)) return gain_limits(setting, product);
  if (is_offset(setting)) {
    if (product.model == CAM_MODEL_1621) l.values = {{0, 511}};
    l.readable = product.model == CAM_MODEL_1621;
    return l;
  }
  if (setting == Setting::Exposure) {
    // Models 0x8431 and 0x1621 keep only the lower 16 bits.
    l.values = {{0, product.model == CAM_MODEL_1801 ? 0xFFFFFFFFll : 0xFFFFll}};
    l.readable = true;
    return l;
  }
  if (setting == Setting::Resolution) {
    l.windows = product.model == CAM_MODEL_8431   ? kWindows8431
                : product.model == CAM_MODEL_1801 ? kWindows1801
                                                  : kWindows1621;
    l.readable = true;
    return l;
  }
  return mode_limits(setting, product);
}

std::optional<uint16_t> encode(Setting setting, uint32_t model, int64_t v) {
  if (setting == Setting::Exposure) return static_cast<uint16_t>(v & 0xFFFF);
  if (is_offset(setting)) {
    if (v < 0 || v > 511) return std::nullopt;
    return static_cast<uint16_t>(v < 256 ? v | 0x100 : v - 256);
  }
  if (setting != Setting::GlobalGain && !is_channel_gain(setting)) return std::nullopt;
  if (model == CAM_MODEL_1801) {
    if (v < 1 || v > 120) return std::nullopt;
    return static_cast<uint16_t>(v * 256 + 0x08);
  }
  int64_t top = model == CAM_MODEL_8431 ? 48 : 161;
  if (v < 0 || v > top) return std::nullopt;
  if (v == 0) return 0;
  if (v <= 25) return static_cast<uint16_t>(v + 7);
  if (v <= 41 || model == CAM_MODEL_8431) return static_cast<uint16_t>(v + 55);
  return static_cast<uint16_t>((v - 41) * 256 + 0x60);
}

}  // namespace quorvex
