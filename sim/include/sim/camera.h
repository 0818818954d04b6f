// The simulated camera: its identity and descriptors, its registers, its answers
// to vendor requests, and the image bytes it sends on its image endpoint.
#pragma once

#include <sim/camera_core.h>
#include <sim/ntddk.h>
#include <sim/pattern.h>
#include <sim/usb.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace sim {

struct EndpointConfig {
  UCHAR address;  // bit 7 set: IN
  UCHAR type;     // USB_ENDPOINT_TYPE_*
  USHORT max_packet = 512;
  UCHAR interval = 0;
};

struct InterfaceConfig {
  UCHAR number = 0;
  UCHAR alternate = 0;
  std::vector<EndpointConfig> endpoints;
};

struct CameraConfig {
  USHORT vendor_id = 0x04B4;
  USHORT product_id = 0x100A;
  std::vector<InterfaceConfig> interfaces = default_interfaces();
  // Raw descriptors; when empty they are built from the fields above. A test that
  // wants a malformed camera edits these bytes.
  std::vector<uint8_t> device_descriptor;
  std::vector<uint8_t> configuration_descriptor;
  DEVICE_CAPABILITIES capabilities = default_capabilities();
  // Bytes a frame, fixed by a test; unset, a frame is the camera's window (registers
  // 0x03 and 0x04) at its pixel depth, as the real sensor sends it.
  std::optional<uint32_t> frame_size;

  static DEVICE_CAPABILITIES default_capabilities();
  static std::vector<InterfaceConfig> default_interfaces();  // the core's one interface
};

std::vector<uint8_t> build_device_descriptor(const CameraConfig& config);
std::vector<uint8_t> build_configuration_descriptor(const CameraConfig& config);

// What a vendor request got from the camera.
struct VendorResult {
  USBD_STATUS status;  // USBD_STATUS_SUCCESS or a stall
  uint32_t length;     // bytes moved in the data stage
};

class Camera {
 public:
  explicit Camera(const CameraConfig& config);

  // Registers, as request 0xB7 reads and writes them.
  uint16_t reg(uint8_t number) const;
  void set_reg(uint8_t number, uint16_t value);

  // Descriptors, as a GET_DESCRIPTOR request reads them: false for a type the
  // camera has none of (it stalls).
  bool descriptor(UCHAR type, std::vector<uint8_t>* bytes) const;
  std::vector<uint8_t> configuration_descriptor() const;
  // From now on the camera presents `bytes` as its descriptor of this type (device
  // or configuration; it has no other).
  void replace_descriptor(UCHAR type, std::vector<uint8_t> bytes);

  // Handles a vendor control transfer. For IN requests `data` receives up to
  // `length` bytes; for OUT requests it holds the data stage.
  VendorResult vendor_request(const uint8_t setup[8], uint8_t* data, uint32_t length);

  // Image source. A frame's window and size are taken when the camera starts
  // sending it: a window changed meanwhile applies from the next frame.
  void set_frame_size(uint32_t bytes);  // fixes the size; the picture stays the window's
  uint32_t frame_size() const;          // of the next frame
  pattern::Geometry window() const;     // what the next frame pictures
  // Frames back to back while IN transfers wait. Paced by a bandwidth or a frame
  // rate, a frame is due at its time: one whose whole period passes with no
  // transfer to start it is dropped whole (its number is skipped), never in part.
  void set_streaming(bool on);
  void set_bandwidth(uint64_t bytes_per_second);  // 0: unlimited
  void set_frame_rate(double frames_per_second);  // 0: unlimited
  void queue_frames(int count);                   // as many triggers
  // After `bytes` more image bytes, the camera sends nothing more until told (it
  // falls silent before a packet that would go past them: no short packet).
  void stop_after(uint64_t bytes);
  uint32_t frames_started() const;
  uint32_t frames_dropped() const;  // by a stream that no transfer took in time
  uint32_t frames_cut() const;      // by a stall, babble or unplug part way through
  // Waits, at most `bound`, until `count` frames have been dropped.
  bool wait_for_dropped(uint32_t count, std::chrono::milliseconds bound);
  // The bus lost the frame under way (a stall, babble, an unplug, a reset of the
  // endpoint): a stream goes
  // on with the next frame from its start; a triggered frame goes on where it was.
  void cut_frame();
  uint32_t triggers() const;
  // Called after anything that may let the camera send more.
  void set_listener(std::function<void()> listener);

  // Sends up to `packets` packets of up to `packet` image bytes each into
  // `destination`, one after another. A packet is short only at the end of a frame
  // (a frame's last packet never runs on into the next frame, streamed or not) or
  // where the camera goes silent, and a short or empty packet ends the run.
  // `ends_transfer` is set when the camera ends the transfer early (the end of a
  // triggered frame). When nothing more can be sent now, `wait_until` says when to
  // try again (or nullopt: wait for a trigger or a setting).
  size_t produce(uint8_t* destination, size_t packet, size_t packets, bool* ends_transfer,
                 std::optional<std::chrono::steady_clock::time_point>* wait_until);

 private:
  using Clock = std::chrono::steady_clock;
  size_t produce_locked(uint8_t* destination, size_t length, bool* ends_transfer,
                        std::optional<Clock::time_point>* wait_until);
  bool affordable(Clock::time_point now, size_t bytes, std::optional<Clock::time_point>* wait_until);
  bool paced(Clock::time_point* due, Clock::duration* period) const;
  void drop_late_frames(Clock::time_point now) const;
  pattern::Geometry window_locked() const;
  uint32_t frame_size_locked() const;

  static void write_block(void* context, uint16_t value, const uint8_t* data, uint32_t length);
  static uint32_t read_block(void* context, uint16_t value, uint8_t* data, uint32_t length);

  // Every field: written by the test's thread (settings), the bus's control pipe
  // (vendor requests) and the transfer engine (image data); guarded by mutex_.
  mutable std::mutex mutex_;
  std::vector<uint8_t> device_descriptor_;
  std::vector<uint8_t> configuration_descriptor_;
  std::optional<uint32_t> fixed_size_;
  uint32_t bytes_per_pixel_;
  camera_core::Firmware firmware_{};                 // registers, frames released, triggers
  std::map<uint16_t, std::vector<uint8_t>> blocks_;  // request 0xBA, by wValue
  // Dropping is worked out whenever the camera is looked at, reads included: the
  // drop counts and what they skip are mutable.
  mutable camera_core::FrameCursor cursor_{};  // the frame being sent
  bool streaming_ = false;
  uint32_t frames_started_ = 0;
  mutable uint32_t frames_dropped_ = 0;
  uint32_t frames_cut_ = 0;
  uint64_t bandwidth_ = 0;
  double frame_rate_ = 0;
  Clock::time_point rate_origin_ = Clock::now();
  mutable uint64_t bytes_since_origin_ = 0;
  mutable uint64_t frames_since_origin_ = 0;
  mutable std::condition_variable frame_ended_;  // a frame was sent, dropped or cut
  std::optional<uint64_t> stop_after_;
  std::function<void()> listener_;
  void notify();
};

}  // namespace sim
