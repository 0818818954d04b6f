// The vendor commands other than register access, passed through as the driver
// sends them. Values the driver would cut to fewer bits are refused here instead.
#include <algorithm>
#include <cstdio>

#include "camera.h"
#include "wire.h"

namespace quorvex {
namespace {

// The most a control transfer's data stage carries.
constexpr uint32_t kMaxControlData = 0xFFFF;

Status too_wide(const char* what, uint32_t value, uint32_t top) {
  char text[96];
  std::snprintf(text, sizeof(text), "%s 0x%X is above 0x%X, the most that reaches the camera", what, value,
                top);
  return Status::refused(kOutOfRange, text);
}

}  // namespace

Status Camera::read_register_ex(uint16_t address, uint32_t* value) const {
  if (address > 0xFF) return too_wide("register address", address, 0xFF);
  uint8_t in[2];
  put_u16(in, address);
  return read_u32(IOCTL_CAM_READ_REGISTER_EX, value, in, sizeof(in));
}

Status Camera::trigger() const { return control(IOCTL_CAM_TRIGGER, nullptr, 0, nullptr, 0); }
Status Camera::command_b4() const { return control(IOCTL_CAM_COMMAND_B4, nullptr, 0, nullptr, 0); }
Status Camera::command_b8() const { return control(IOCTL_CAM_COMMAND_B8, nullptr, 0, nullptr, 0); }

Status Camera::write_b9(uint16_t selector, uint16_t data) const {
  if (selector > 0xFF) return too_wide("selector", selector, 0xFF);
  uint8_t in[sizeof(CAM_B9_WRITE)];
  put_u16(in, selector);
  put_u16(in + 2, data);
  return control(IOCTL_CAM_WRITE_B9, in, sizeof(in), nullptr, 0);
}

Status Camera::write_block(uint16_t value, const std::vector<uint8_t>& data) const {
  if (data.size() > kMaxControlData)
    return too_wide("block length", static_cast<uint32_t>(data.size()), kMaxControlData);
  std::vector<uint8_t> in(4 + data.size(), 0);
  put_u16(in.data(), value);
  std::copy(data.begin(), data.end(), in.begin() + 4);
  return control(IOCTL_CAM_WRITE_BLOCK, in.data(), static_cast<uint32_t>(in.size()), nullptr, 0);
}

Status Camera::read_block(uint16_t value, uint32_t length, std::vector<uint8_t>* data) const {
  if (length > kMaxControlData) return too_wide("block length", length, kMaxControlData);
  uint8_t in[2];
  put_u16(in, value);
  data->assign(length, 0);
  Status status = control(IOCTL_CAM_READ_BLOCK, in, sizeof(in), data->data(), length);
  if (status && status.returned != length) return short_reply(status, length);
  if (!status) data->clear();
  return status;
}

Status Camera::read_bb(uint16_t value, uint32_t* result) const {
  uint8_t in[2];
  put_u16(in, value);
  return read_u32(IOCTL_CAM_READ_BB, result, in, sizeof(in));
}

// The driver hands the four input bytes back; the output takes them.
Status Camera::write_bc(uint16_t data) const {
  uint8_t in[4];
  uint8_t echo[4];
  put_u32(in, data);
  return control(IOCTL_CAM_WRITE_BC_0, in, sizeof(in), echo, sizeof(echo));
}

Status Camera::write_bc1() const { return control(IOCTL_CAM_WRITE_BC_1, nullptr, 0, nullptr, 0); }

Status Camera::write_bd(uint16_t data) const {
  uint8_t in[2];
  uint8_t echo[4];
  put_u16(in, data);
  return control(IOCTL_CAM_WRITE_BD, in, sizeof(in), echo, sizeof(echo));
}

Status Camera::write_be(uint16_t value) const { return write_u32(IOCTL_CAM_WRITE_BE, value); }
Status Camera::write_bf(uint16_t value) const { return write_u32(IOCTL_CAM_WRITE_BF, value); }

Status Camera::read_c0(std::array<uint8_t, 8>* data) const {
  Status status = control(IOCTL_CAM_READ_C0, nullptr, 0, data->data(), 8);
  if (status && status.returned != 8) return short_reply(status, 8);
  return status;
}

Status Camera::abort_pipe() const { return control(IOCTL_CAM_ABORT_PIPE, nullptr, 0, nullptr, 0); }

}  // namespace quorvex
