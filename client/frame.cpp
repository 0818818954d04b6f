// Single-shot frame reads, and the size of a frame at the camera's current window.
#include "camera.h"

namespace quorvex {
namespace {

// The driver maps the caller's buffer itself (direct I/O), so the bytes land there
// with no copy; a buffer that is not there is refused rather than sent.
Status read_into(const Camera& camera, uint32_t code, void* buffer, uint32_t length, uint32_t* received) {
  *received = 0;
  if (buffer == nullptr && length != 0)
    return Status::refused(kOutOfRange, "no buffer for a read of " + std::to_string(length) + " bytes");
  return camera.control(code, nullptr, 0, buffer, length, received);
}

}  // namespace

Status Camera::read_frame(void* buffer, uint32_t length, uint32_t* received) const {
  return read_into(*this, IOCTL_CAM_READ_FRAME, buffer, length, received);
}

Status Camera::read_frame_untriggered(void* buffer, uint32_t length, uint32_t* received) const {
  return read_into(*this, IOCTL_CAM_READ_FRAME_EX, buffer, length, received);
}

uint32_t frame_bytes(const Resolution& window) {
  uint64_t size = uint64_t{window.width} * window.height * window.bits_per_pixel / 8;
  return size > UINT32_MAX ? 0 : static_cast<uint32_t>(size);
}

Status Camera::frame_bytes(uint32_t* bytes) const {
  Resolution r;
  Status status = resolution(&r);
  if (!status) return status;
  *bytes = quorvex::frame_bytes(r);
  if (*bytes == 0)
    return Status::refused(kBadReply, "the driver reports a window of " + std::to_string(r.width) + "x" +
                                          std::to_string(r.height) + " at " +
                                          std::to_string(r.bits_per_pixel) + " bits per pixel");
  return status;
}

}  // namespace quorvex
