// The client library: a handle on one camera and every request an application can
// make of it, over the driver's device-control interface. On Windows it talks to the
// real driver; on the host to the driver running in the simulated platform.
//
// Values are in the camera's own units (gain steps, offsets, exposure), never
// register values: the driver encodes them. Before sending a setting the library
// checks it against what the camera's model accepts and refuses it without any
// traffic when it is out of range or does not exist on that model.
#pragma once

#include <quorvex/quorvex.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "models.h"
#include "status.h"

namespace quorvex {

struct Resolution {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bits_per_pixel = 0;
};

// The bytes of one frame at `window`: width x height x bits per pixel / 8; 0 for a
// window of no pixels or one past 4 GiB.
uint32_t frame_bytes(const Resolution& window);

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

  // Identity and state.
  Status identity(CAM_IDENTITY* identity) const;
  Status model(uint32_t* model) const;
  // The product, from the identity (asked once, then remembered).
  Status product(const ProductInfo** product) const;
  // The last USB failure the driver recorded (a USBD status; see last_status_text).
  Status last_usb_status(uint32_t* status) const;
  // The names of every camera the driver runs, most recently added first.
  Status device_names(std::vector<std::string>* names) const;

  // Settings, in the camera's units. `get` of a setting the model cannot read, and
  // `set` of a value it does not accept, are refused before anything is sent.
  Status get(Setting setting, int64_t* value) const;
  Status set(Setting setting, int64_t value) const;
  Limits limits(Setting setting) const;
  Status resolution(Resolution* resolution) const;
  Status set_resolution(uint32_t width, uint32_t height) const;

  Status exposure(uint32_t* exposure) const;
  Status set_exposure(uint32_t exposure) const;
  Status global_gain(int32_t* gain) const;
  Status set_global_gain(int32_t gain) const;

  // Registers: any of the 256 16-bit registers.
  Status read_register(uint8_t reg, uint16_t* value) const;
  Status write_register(uint8_t reg, uint16_t value) const;
  // The same read by a 16-bit address; only 0 to 0xFF reach the camera.
  Status read_register_ex(uint16_t address, uint32_t* value) const;

  // The vendor commands, passed through as the driver sends them.
  Status trigger() const;                                                                // request 0xB3
  Status command_b4() const;                                                             // request 0xB4
  Status command_b8() const;                                                             // request 0xB8
  Status write_b9(uint16_t selector, uint16_t data) const;                               // selector 0 to 0xFF
  Status write_block(uint16_t value, const std::vector<uint8_t>& data) const;            // 0xBA out
  Status read_block(uint16_t value, uint32_t length, std::vector<uint8_t>* data) const;  // 0xBA in
  Status read_bb(uint16_t value, uint32_t* result) const;
  Status write_bc(uint16_t data) const;  // request 0xBC, value 0
  Status write_bc1() const;              // request 0xBC, value 1
  Status write_bd(uint16_t data) const;
  Status write_be(uint16_t value) const;
  Status write_bf(uint16_t value) const;
  Status read_c0(std::array<uint8_t, 8>* data) const;
  // Cancels what is outstanding on the image pipe.
  Status abort_pipe() const;

  // Single-shot frame reads, straight into `buffer`; `received` gets the bytes that
  // arrived. read_frame is the product's own read (a trigger, then the image pipe,
  // on most products; one plain bulk transfer of at most 512 KiB on 0x1009, 0x100B
  // and 0x100F); read_frame_untriggered reads whatever frame the camera sends next.
  // A camera that falls silent ends the read with STATUS_TIMEOUT, a success-class
  // status: `received` then counts the bytes that came (timed_out() says so). On
  // Windows DeviceIoControl reports that status as plain success; there a read that
  // received fewer bytes than asked is the sign.
  Status read_frame(void* buffer, uint32_t length, uint32_t* received) const;
  Status read_frame_untriggered(void* buffer, uint32_t length, uint32_t* received) const;
  // The bytes of one frame at the current window: width x height x bits per pixel / 8.
  Status frame_bytes(uint32_t* bytes) const;

 private:
  static constexpr intptr_t kClosed = -1;
  Status read_u32(uint32_t code, uint32_t* value, const void* input = nullptr,
                  uint32_t input_length = 0) const;
  Status write_u32(uint32_t code, uint32_t value) const;
  Status check(Setting setting, bool to_set, int64_t value) const;
  Status read_bits(const SettingInfo& setting, int64_t* value) const;
  void close();

  friend class Stream;
  intptr_t handle_ = kClosed;
  int instance_ = -1;
  // A Stream runs on the handle; the driver would let a second start end it.
  mutable std::atomic<bool> streaming_{false};
  // Asked once; a camera may serve several threads.
  mutable std::atomic<const ProductInfo*> product_{nullptr};
};

}  // namespace quorvex
