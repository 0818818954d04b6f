// The typed requests of the client library, over Camera::control.
#include "camera.h"

#include <cstdio>
#include <cstring>

namespace quorvex {
namespace {

uint32_t get_u32(const uint8_t* b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

void put_u32(uint8_t* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::string Status::message() const {
  char text[32];
  std::snprintf(text, sizeof(text), "status 0x%08X", code);
  return text;
}

Camera::Camera(Camera&& other) noexcept : handle_(other.handle_), instance_(other.instance_) {
  other.handle_ = kClosed;
}

Camera& Camera::operator=(Camera&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    instance_ = other.instance_;
    other.handle_ = kClosed;
  }
  return *this;
}

Camera::~Camera() { close(); }

Status Camera::read_u32(uint32_t code, uint32_t* value) const {
  uint8_t out[4] = {};
  uint32_t returned = 0;
  Status status = control(code, nullptr, 0, out, sizeof(out), &returned);
  if (status && returned != sizeof(out)) status = Status{0xC0000001u, true};
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
  if (status) {
    identity->VendorId = get_u32(out);
    identity->ProductId = get_u32(out + 4);
    identity->ModelCode = get_u32(out + 8);
  }
  return status;
}

Status Camera::model(uint32_t* model) const { return read_u32(IOCTL_CAM_GET_MODEL, model); }

Status Camera::last_usb_status(uint32_t* status) const { return read_u32(IOCTL_CAM_GET_LAST_STATUS, status); }

Status Camera::device_names(std::vector<std::string>* names) const {
  CAM_DEVICE_LIST list{};
  Status status = control(IOCTL_CAM_GET_DEVICE_LIST, nullptr, 0, &list, sizeof(list));
  names->clear();
  if (!status) return status;
  for (const CAM_DEVICE_NAME& entry : list.Entries) {
    if (entry.Name[0] == '\0') continue;
    names->emplace_back(entry.Name, strnlen(entry.Name, sizeof(entry.Name)));
  }
  return status;
}

Status Camera::read_register(uint8_t reg, uint16_t* value) const {
  uint8_t in[4] = {reg, 0, 0, 0};
  uint8_t out[4] = {};
  uint32_t returned = 0;
  Status status = control(IOCTL_CAM_READ_REGISTER, in, sizeof(in), out, sizeof(out), &returned);
  if (status) *value = static_cast<uint16_t>(get_u32(out));
  return status;
}

Status Camera::write_register(uint8_t reg, uint16_t value) const {
  uint8_t in[sizeof(CAM_REGISTER_WRITE)] = {
      reg, 0, 0, 0, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  return control(IOCTL_CAM_WRITE_REGISTER, in, sizeof(in), nullptr, 0);
}

Status Camera::exposure(uint32_t* exposure) const { return read_u32(IOCTL_CAM_GET_EXPOSURE, exposure); }
Status Camera::set_exposure(uint32_t exposure) const { return write_u32(IOCTL_CAM_SET_EXPOSURE, exposure); }

Status Camera::global_gain(int32_t* gain) const {
  uint32_t raw = 0;
  Status status = read_u32(IOCTL_CAM_GET_GLOBAL_GAIN, &raw);
  if (status) *gain = static_cast<int32_t>(raw);
  return status;
}

Status Camera::set_global_gain(int32_t gain) const {
  return write_u32(IOCTL_CAM_SET_GLOBAL_GAIN, static_cast<uint32_t>(gain));
}

Status Camera::resolution(CAM_RESOLUTION* resolution) const {
  uint8_t out[sizeof(CAM_RESOLUTION)] = {};
  Status status = control(IOCTL_CAM_GET_RESOLUTION, nullptr, 0, out, sizeof(out));
  if (status) {
    resolution->Width = get_u32(out);
    resolution->Height = get_u32(out + 4);
    resolution->BitsPerPixel = get_u32(out + 8);
  }
  return status;
}

Status Camera::set_resolution(uint32_t width, uint32_t height) const {
  uint8_t in[sizeof(CAM_WINDOW_SIZE)];
  put_u32(in, width);
  put_u32(in + 4, height);
  return control(IOCTL_CAM_SET_RESOLUTION, in, sizeof(in), nullptr, 0);
}

Status Camera::trigger() const { return control(IOCTL_CAM_TRIGGER, nullptr, 0, nullptr, 0); }

}  // namespace quorvex
