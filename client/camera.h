// The client library: a handle on one camera and the requests an application
// makes of it, over the driver's device-control interface. On Windows it talks to
// the real driver; elsewhere to the driver running in the simulated platform.
#pragma once

#include <quorvex/quorvex.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quorvex {

// The result of a request: the driver's NT status (on the simulated platform) or the
// Win32 error it became (on Windows), and whether it counts as a failure. Success
// statuses other than zero (a frame read's time-out) are not failures.
struct Status {
  uint32_t code = 0;
  bool failed = false;
  explicit operator bool() const { return !failed; }
  std::string message() const;
};

class Camera {
 public:
  // Opens camera `instance` (0 to 7), the device named \\.\Quorvex-<instance>.
  static Camera open(int instance, Status* status);
  Camera() = default;
  ~Camera();
  Camera(Camera&& other) noexcept;
  Camera& operator=(Camera&& other) noexcept;
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  bool is_open() const { return handle_ != kClosed; }
  int instance() const { return instance_; }

  // Any request, as raw bytes. `returned` receives the bytes the driver wrote.
  Status control(uint32_t code, const void* input, uint32_t input_length, void* output,
                 uint32_t output_length, uint32_t* returned = nullptr) const;

  Status identity(CAM_IDENTITY* identity) const;
  Status model(uint32_t* model) const;
  Status last_usb_status(uint32_t* status) const;
  Status device_names(std::vector<std::string>* names) const;
  Status read_register(uint8_t reg, uint16_t* value) const;
  Status write_register(uint8_t reg, uint16_t value) const;
  Status exposure(uint32_t* exposure) const;
  Status set_exposure(uint32_t exposure) const;
  Status global_gain(int32_t* gain) const;
  Status set_global_gain(int32_t gain) const;
  Status resolution(CAM_RESOLUTION* resolution) const;
  Status set_resolution(uint32_t width, uint32_t height) const;
  Status trigger() const;

 private:
  static constexpr intptr_t kClosed = -1;
  Status read_u32(uint32_t code, uint32_t* value) const;
  Status write_u32(uint32_t code, uint32_t value) const;
  void close();

  intptr_t handle_ = kClosed;
  int instance_ = -1;
};

}  // namespace quorvex
