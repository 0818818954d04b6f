// Products, settings and the values each model accepts, as the driver serves them.
#include "models.h"

#include <quorvex/quorvex.h>

#include <cstdint>
#include <cstdio>

namespace quorvex {
namespace {

std::vector<ProductInfo> list_products() {
  std::vector<ProductInfo> list;
  for (const CAM_PRODUCT& p : CamProducts) {
    list.push_back({p.ProductId, p.Model->ModelCode, p.BitsPerPixel,
                    p.FrameRead == CAM_FRAME_PLAIN ? FrameRead::PlainBulk : FrameRead::Triggered,
                    p.Description});
  }
  return list;
}

const std::vector<ProductInfo> kProducts = list_products();

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

const CAM_MODEL* find_model(uint32_t model) {
  for (const CAM_MODEL& m : CamModels) {
    if (m.ModelCode == model) return &m;
  }
  return nullptr;
}

// The gain steps the model's gain code accepts.
std::vector<Span> gain_values(const CAM_MODEL& model) { return {{model.GainLow, model.GainHigh}}; }

// Runs of consecutive modes the bits name: 0, 2 and 3 are "0, 2..3".
std::vector<Span> mode_values(uint8_t modes) {
  std::vector<Span> spans;
  for (int mode = 0; mode < 8; ++mode) {
    if ((modes & (1u << mode)) == 0) continue;
    if (!spans.empty() && spans.back().high == mode - 1) {
      spans.back().high = mode;
    } else {
      spans.push_back({mode, mode});
    }
  }
  return spans;
}

bool is_channel_gain(Setting s) {
  return s == Setting::Gain2B || s == Setting::Gain2C || s == Setting::Gain2D || s == Setting::Gain2E;
}

bool is_offset(Setting s) {
  return s == Setting::Offset60 || s == Setting::Offset61 || s == Setting::Offset63 ||
         s == Setting::Offset64 || s == Setting::OffsetPair;
}

Limits gain_limits(Setting s, const CAM_PRODUCT& p) {
  Limits l;
  if (s == Setting::GlobalGain) {
    l.values = gain_values(*p.Model);
    l.readable = p.GlobalGainReadable != 0;
  } else if (p.ChannelGains) {
    l.values = gain_values(*p.Model);
    l.readable = true;
  }
  return l;
}

Limits mode_limits(Setting s, const CAM_MODEL& m) {
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
      l.values = mode_values(m.CaptureModes);
      break;
    case Setting::Reg62:
      if (m.Register62) l.values = {{0, 1}};
      l.readable = m.Register62 != 0;
      break;
    default:  // the sensor command: a model without them takes it and does nothing
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

uint32_t max_frame_bytes() {
  uint32_t most = 0;
  for (const CAM_PRODUCT& p : CamProducts) {
    uint32_t bytes = uint32_t{p.Model->SensorWidth} * p.Model->SensorHeight * (p.BitsPerPixel / 8u);
    if (bytes > most) most = bytes;
  }
  return most;
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
  const CAM_PRODUCT* record = CamFindProduct(product.product);
  if (record == nullptr) return l;
  const CAM_MODEL& model = *record->Model;
  if (setting == Setting::GlobalGain || is_channel_gain(setting)) return gain_limits(setting, *record);
  if (is_offset(setting)) {
    if (model.Offsets) l.values = {{0, CAM_OFFSET_MAX}};
    l.readable = model.Offsets != 0;
    return l;
  }
  if (setting == Setting::Exposure) {
    // A model of 16-bit exposures keeps only the lower 16 bits.
    l.values = {{0, model.ExposureBits == 32 ? 0xFFFFFFFFll : 0xFFFFll}};
    l.readable = true;
    return l;
  }
  if (setting == Setting::Resolution) {
    for (uint32_t i = 0; i < model.WindowCount; ++i)
      l.windows.push_back({model.Windows[i].Width, model.Windows[i].Height});
    l.readable = true;
    return l;
  }
  return mode_limits(setting, model);
}

std::optional<uint16_t> encode(Setting setting, uint32_t model, int64_t v) {
  if (setting == Setting::Exposure) return static_cast<uint16_t>(v & 0xFFFF);
  if (is_offset(setting)) {
    if (v < 0 || v > CAM_OFFSET_MAX) return std::nullopt;
    return static_cast<uint16_t>(CamEncodeOffset(static_cast<int32_t>(v)));
  }
  if (setting != Setting::GlobalGain && !is_channel_gain(setting)) return std::nullopt;
  const CAM_MODEL* m = find_model(model);
  uint32_t reg = 0;
  if (m == nullptr || v < INT32_MIN || v > INT32_MAX ||
      !CamEncodeGain(m->GainCode, static_cast<int32_t>(v), &reg)) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(reg);
}

}  // namespace quorvex
