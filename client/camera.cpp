// The camera handle, its identity, registers and the helpers the typed requests share.
#include "camera.h"

#include <cstring>

#include "wire.h"

namespace quorvex {

Camera::Camera(Camera&& other) noexcept
    : handle_(other.handle_),
      instance_(other.instance_),
      streaming_(other.streaming_.load()),
      product_(other.product_.load()) {
  other.handle_ = kClosed;
}

Camera& Camera::operator=(Camera&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    instance_ = other.instance_;
    streaming_ = other.streaming_.load();
    product_ = other.product_.load();
    other.handle_ = kClosed;
  }
  return *this;
}

Camera::~Camera() { close(); }

// A reply shorter than its record is refused rather than read past what came back.
Status Camera::read_u32(uint32_t code, uint32_t* value, const void* input, uint32_t input_length) const {
  uint8_t out[4] = {};
  Status status = control(code, input, input_length, out, sizeof(out));
  if (status && status.returned != sizeof(out)) return short_reply(status, sizeof(out));
  if (status) *value = get_u32(out);
  return status;
}

Status Camera::write_u32(uint32_t code, uint32_t value) const {
  uint8_t in[4];
  put_u32(in, value);
  return control(code, in, sizeof(in), nullptr, 0);
}

Status Camera::identity(CAM_IDENTITY* identity) const {
  uint8_t out[sizeof(CAM_IDENTITY)] = {};
  Status status = control(IOCTL_CAM_GET_IDENTITY, nullptr, 0, out, sizeof(out));
  if (status && status.returned != sizeof(out)) return short_reply(status, sizeof(out));
  if (status) {
    identity->VendorId = get_u32(out);
    identity->ProductId = get_u32(out + 4);
    identity->ModelCode = get_u32(out + 8);
  }
  return status;
}

Status Camera::model(uint32_t* model) const { return read_u32(IOCTL_CAM_GET_MODEL, model); }

// The driver serves this request only with an output of exactly 4 bytes.
Status Camera::last_usb_status(uint32_t* status) const { return read_u32(IOCTL_CAM_GET_LAST_STATUS, status); }

Status Camera::device_names(std::vector<std::string>* names) const {
  CAM_DEVICE_LIST list{};
  Status status = control(IOCTL_CAM_GET_DEVICE_LIST, nullptr, 0, &list, sizeof(list));
  names->clear();
  if (status && status.returned != sizeof(list)) return short_reply(status, sizeof(list));
  if (!status) return status;
  for (const CAM_DEVICE_NAME& entry : list.Entries) {
    if (entry.Name[0] == '\0') continue;
    names->emplace_back(entry.Name, strnlen(entry.Name, sizeof(entry.Name)));
  }
  return status;
}

Status Camera::read_register(uint8_t reg, uint16_t* value) const {
  uint8_t in[1] = {reg};
  uint32_t wide = 0;
  Status status = read_u32(IOCTL_CAM_READ_REGISTER, &wide, in, sizeof(in));
  if (status) *value = static_cast<uint16_t>(wide);
  return status;
}

Status Camera::write_register(uint8_t reg, uint16_t value) const {
  uint8_t in[sizeof(CAM_REGISTER_WRITE)] = {
      reg, 0, 0, 0, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  return control(IOCTL_CAM_WRITE_REGISTER, in, sizeof(in), nullptr, 0);
}

}  // namespace quorvex
