// Settings in the camera's units, checked against the camera's model before they go.
#include <cstdio>

#include "camera.h"
#include "wire.h"

namespace quorvex {
namespace {

std::string on_product(const ProductInfo& p) {
  char text[48];
  std::snprintf(text, sizeof(text), " on product 0x%04X (model 0x%04X)", p.product, p.model);
  return text;
}

}  // namespace

// The product from the identity, asked once.
Status Camera::product(const ProductInfo** product) const {
  const ProductInfo* known = product_.load();
  if (known == nullptr) {
    CAM_IDENTITY id{};
    Status status = identity(&id);
    if (!status) return status;
    known = id.ProductId > 0xFFFF ? nullptr : find_product(static_cast<uint16_t>(id.ProductId));
    if (known == nullptr) {
      char text[64];
      std::snprintf(text, sizeof(text), "product 0x%04X is not one the library knows", id.ProductId);
      return Status::refused(kNotOnModel, text);
    }
    product_.store(known);
  }
  *product = known;
  return Status{};
}

Limits Camera::limits(Setting setting) const {
  const ProductInfo* p = nullptr;
  return product(&p) ? quorvex::limits(setting, *p) : Limits{};
}

Status Camera::check(Setting setting, bool to_set, int64_t value) const {
  const ProductInfo* p = nullptr;
  Status status = product(&p);
  if (!status) return status;
  const SettingInfo& s = info(setting);
  Limits l = quorvex::limits(setting, *p);
  if (!to_set && s.get_code == 0 && !s.read_register) {
    return Status::refused(kNotOnModel,
                           std::string(s.name) + " is write-only: the driver has no read for it");
  }
  if (!to_set && !l.readable)
    return Status::refused(kNotOnModel, std::string(s.name) + " cannot be read" + on_product(*p));
  if (to_set && !l.settable())
    return Status::refused(kNotOnModel, std::string(s.name) + " cannot be set" + on_product(*p));
  if (to_set && !l.accepts(value)) {
    return Status::refused(kOutOfRange, std::string(s.name) + " " + std::to_string(value) + " is outside " +
                                            l.text() + on_product(*p));
  }
  return status;
}

Status Camera::set(Setting setting, int64_t value) const {
  if (setting == Setting::Resolution)
    return Status::refused(kOutOfRange, "a window has two values: set_resolution");
  Status status = check(setting, true, value);
  if (!status) return status;
  const SettingInfo& s = info(setting);
  if (setting == Setting::Reg05) {
    uint8_t byte = static_cast<uint8_t>(value);
    return control(s.set_code, &byte, 1, nullptr, 0);
  }
  if (setting == Setting::Reg62) {
    return control(value != 0 ? IOCTL_CAM_SET_REG62_ON : IOCTL_CAM_SET_REG62_OFF, nullptr, 0, nullptr, 0);
  }
  return write_u32(s.set_code, static_cast<uint32_t>(value));
}

// Settings the driver writes as bits of a register are read from the register.
Status Camera::read_bits(const SettingInfo& s, int64_t* value) const {
  uint16_t reg = 0;
  Status status = read_register(s.reg, &reg);
  if (status) *value = s.setting == Setting::Reg20Bits ? (reg >> 14) & 3 : reg;
  return status;
}

Status Camera::get(Setting setting, int64_t* value) const {
  if (setting == Setting::Resolution)
    return Status::refused(kOutOfRange, "a window has three values: resolution");
  Status status = check(setting, false, 0);
  if (!status) return status;
  const SettingInfo& s = info(setting);
  if (s.read_register) return read_bits(s, value);
  uint32_t raw = 0;
  status = read_u32(s.get_code, &raw);
  // Exposure is unsigned 32-bit; gains and offsets come back as signed values.
  if (status) *value = setting == Setting::Exposure ? int64_t{raw} : int64_t{static_cast<int32_t>(raw)};
  return status;
}

Status Camera::resolution(Resolution* resolution) const {
  uint8_t out[sizeof(CAM_RESOLUTION)] = {};
  Status status = control(IOCTL_CAM_GET_RESOLUTION, nullptr, 0, out, sizeof(out));
  if (status && status.returned != sizeof(out)) return short_reply(status, sizeof(out));
  if (status) *resolution = Resolution{get_u32(out), get_u32(out + 4), get_u32(out + 8)};
  return status;
}

Status Camera::set_resolution(uint32_t width, uint32_t height) const {
  const ProductInfo* p = nullptr;
  Status status = product(&p);
  if (!status) return status;
  Limits l = quorvex::limits(Setting::Resolution, *p);
  if (!l.accepts(WindowSize{width, height})) {
    return Status::refused(kOutOfRange, "resolution " + std::to_string(width) + "x" + std::to_string(height) +
                                            " is not one of " + l.text() + on_product(*p));
  }
  uint8_t in[sizeof(CAM_WINDOW_SIZE)];
  put_u32(in, width);
  put_u32(in + 4, height);
  return control(IOCTL_CAM_SET_RESOLUTION, in, sizeof(in), nullptr, 0);
}

Status Camera::exposure(uint32_t* exposure) const {
  int64_t value = 0;
  Status status = get(Setting::Exposure, &value);
  if (status) *exposure = static_cast<uint32_t>(value);
  return status;
}

Status Camera::set_exposure(uint32_t exposure) const { return set(Setting::Exposure, exposure); }

Status Camera::global_gain(int32_t* gain) const {
  int64_t value = 0;
  Status status = get(Setting::GlobalGain, &value);
  if (status) *gain = static_cast<int32_t>(value);
  return status;
}

Status Camera::set_global_gain(int32_t gain) const { return set(Setting::GlobalGain, gain); }

}  // namespace quorvex
