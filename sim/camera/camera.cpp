// The camera firmware model: vendor requests with the lengths the camera accepts
// (anything else stalls), a 256-register file behind request 0xB7, a block store
// behind request 0xBA, and an image source that sends triggered frames or a
// stream of back-to-back frames, limited by bandwidth and frame rate if asked.
#include <algorithm>
#include <set>

#include <sim/camera.h>

namespace sim {
namespace {

constexpr UCHAR kDirIn = 0x80;

struct RequestRule {
  UCHAR request;
  bool in;
  std::set<uint32_t> lengths;  // empty: any length
};

const RequestRule kRules[] = {
    {0xB3, false, {10, 16}}, {0xB4, false, {10}}, {0xB7, false, {1, 2}}, {0xB7, true, {2}},
    {0xB8, false, {10}},     {0xB9, false, {2}},  {0xBA, false, {}},     {0xBA, true, {}},
    {0xBB, true, {4}},       {0xBC, false, {2}},  {0xBD, false, {2}},    {0xBE, false, {4}},
    {0xBF, false, {10}},     {0xC0, true, {8}},
};

bool accepted(UCHAR request, bool in, uint32_t length) {
  for (const RequestRule& rule : kRules) {
    if (rule.request == request && rule.in == in) {
      return rule.lengths.empty() || rule.lengths.count(length) != 0;
    }
  }
  return false;
}

void put32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

// At power-on the sensor window is the whole sensor: 2592 x 1944 on the products
// 0x100B, 0x100C, 0x100D and 0x100F, 2048 x 1536 on 0x100E, 1280 x 1024 on the
// others. Registers 0x03 and 0x04 hold the window's height and width less one. The
// grey sensors send a byte a pixel, the colour ones three.
Camera::Camera(const CameraConfig& config)
    : device_descriptor_(config.device_descriptor.empty() ? build_device_descriptor(config)
                                                          : config.device_descriptor),
      configuration_descriptor_(config.configuration_descriptor.empty()
                                    ? build_configuration_descriptor(config)
                                    : config.configuration_descriptor),
      fixed_size_(config.frame_size) {
  static const std::set<USHORT> large_sensor{0x100B, 0x100C, 0x100D, 0x100F};
  static const std::set<USHORT> grey_sensor{0x1009, 0x100A, 0x100D};
  bool large = large_sensor.count(config.product_id) != 0;
  bool medium = config.product_id == 0x100E;
  registers_[0x03] = large ? 1943 : medium ? 1535 : 1023;
  registers_[0x04] = large ? 2591 : medium ? 2047 : 1279;
  bytes_per_pixel_ = grey_sensor.count(config.product_id) != 0 ? 1 : 3;
}

pattern::Geometry Camera::window_locked() const {
  return {registers_[0x04] + 1u, registers_[0x03] + 1u, bytes_per_pixel_};
}

// A window past 4 GiB is cut there: no read could take more.
uint32_t Camera::frame_size_locked() const {
  if (fixed_size_) return *fixed_size_;
  pattern::Geometry w = window_locked();
  uint64_t bytes = uint64_t{w.width} * w.height * w.bytes_per_pixel;
  return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

bool Camera::descriptor(UCHAR type, std::vector<uint8_t>* bytes) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
    *bytes = device_descriptor_;
  } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    *bytes = configuration_descriptor_;
  } else {
    return false;
  }
  return true;
}

std::vector<uint8_t> Camera::configuration_descriptor() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return configuration_descriptor_;
}

void Camera::replace_configuration(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  configuration_descriptor_ = std::move(bytes);
}

uint16_t Camera::reg(uint8_t number) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registers_[number];
}

void Camera::set_reg(uint8_t number, uint16_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  registers_[number] = value;
}

VendorResult Camera::vendor_request(const uint8_t setup[8], uint8_t* data, uint32_t length) {
  bool in = (setup[0] & kDirIn) != 0;
  UCHAR request = setup[1];
  uint16_t value = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
  if ((setup[0] & 0x60) != 0x40 || !accepted(request, in, length)) {
    return {USBD_STATUS_STALL_PID, 0};
  }
  std::lock_guard<std::mutex> lock(mutex_);
  switch (request) {
    case 0xB3:
      frames_queued_++;
      triggers_++;
      break;
    case 0xB7:
      if (in) {
        data[0] = static_cast<uint8_t>(registers_[value & 0xFF]);
        data[1] = static_cast<uint8_t>(registers_[value & 0xFF] >> 8);
      } else {
        registers_[value & 0xFF] = static_cast<uint16_t>(length == 2 ? data[0] | (data[1] << 8) : data[0]);
      }
      break;
    case 0xBA:
      if (in) {
        const std::vector<uint8_t>& stored = blocks_[value];
        for (uint32_t i = 0; i < length; ++i) {
          data[i] = i < stored.size() ? stored[i] : static_cast<uint8_t>(value + i);
        }
      } else {
        blocks_[value].assign(data, data + length);
      }
      break;
    case 0xBB:
      put32(data, 0x00BB0000u | value);
      break;
    case 0xC0:
      put32(data, 0x01C00000u | value);
      put32(data + 4, frame_size_locked());
      break;
    default:  // accepted and acted on by firmware state this model does not keep
      break;
  }
  return {USBD_STATUS_SUCCESS, length};
}

void Camera::set_frame_size(uint32_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fixed_size_ = bytes;
  }
  notify();
}

uint32_t Camera::frame_size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frame_size_locked();
}

pattern::Geometry Camera::window() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return window_locked();
}

void Camera::set_streaming(bool on) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    streaming_ = on;
  }
  notify();
}

void Camera::set_bandwidth(uint64_t bytes_per_second) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bandwidth_ = bytes_per_second;
    rate_origin_ = Clock::now();
    bytes_since_origin_ = 0;
    frames_since_origin_ = 0;
  }
  notify();
}

void Camera::set_frame_rate(double frames_per_second) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frame_rate_ = frames_per_second;
    rate_origin_ = Clock::now();
    bytes_since_origin_ = 0;
    frames_since_origin_ = 0;
  }
  notify();
}

void Camera::queue_frames(int count) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_queued_ += count;
  }
  notify();
}

void Camera::stop_after(uint64_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_after_ = bytes;
  }
  notify();
}

uint32_t Camera::frames_started() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_started_;
}

void Camera::set_listener(std::function<void()> listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = std::move(listener);
}

void Camera::notify() {
  std::function<void()> listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listener = listener_;
  }
  if (listener) listener();
}

uint32_t Camera::triggers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return triggers_;
}

// Whether the bandwidth lets `bytes` go now; sets `wait_until` when not.
bool Camera::affordable(Clock::time_point now, size_t bytes, std::optional<Clock::time_point>* wait_until) {
  if (bandwidth_ == 0) return true;
  double seconds = std::chrono::duration<double>(now - rate_origin_).count();
  double earned = seconds * static_cast<double>(bandwidth_) - static_cast<double>(bytes_since_origin_);
  if (earned >= static_cast<double>(bytes)) return true;
  auto missing =
      std::chrono::duration<double>((static_cast<double>(bytes) - earned) / static_cast<double>(bandwidth_));
  *wait_until = now + std::chrono::duration_cast<Clock::duration>(missing);
  return false;
}

// Packets under one lock: a run of thousands costs one lock, not thousands.
size_t Camera::produce(uint8_t* destination, size_t packet, size_t packets, bool* ends_transfer,
                       std::optional<Clock::time_point>* wait_until) {
  std::lock_guard<std::mutex> lock(mutex_);
  *ends_transfer = false;
  *wait_until = std::nullopt;
  size_t total = 0;
  for (size_t i = 0; i < packets;) {
    // Whole packets inside the frame under way, with nothing to hold them back,
    // come out exactly as one by one would: in one piece.
    size_t whole = in_frame_ && bandwidth_ == 0 && !stop_after_ ? (frame_bytes_ - offset_) / packet : 0;
    size_t run = std::max<size_t>(std::min(packets - i, whole), 1);
    size_t n = run > 1 ? produce_locked(destination + total, run * packet, ends_transfer, wait_until)
                       : produce_packet(destination + total, packet, ends_transfer, wait_until);
    total += n;
    i += run;
    if (n < run * packet || *ends_transfer) break;
  }
  return total;
}

// One packet. A stream runs on into the next frame inside one packet; a triggered
// frame ends its packet and its transfer. Called locked.
size_t Camera::produce_packet(uint8_t* destination, size_t length, bool* ends_transfer,
                              std::optional<Clock::time_point>* wait_until) {
  size_t total = 0;
  while (total < length) {
    size_t n = produce_locked(destination + total, length - total, ends_transfer, wait_until);
    total += n;
    if (n == 0 || *ends_transfer || in_frame_) break;
  }
  return total;
}

// Up to `length` bytes of the frame being sent, starting one if asked to. Never
// part of what the bandwidth or a silence allows: whole or nothing.
size_t Camera::produce_locked(uint8_t* destination, size_t length, bool* ends_transfer,
                              std::optional<Clock::time_point>* wait_until) {
  // The clock only matters to a frame rate or a bandwidth.
  Clock::time_point now = frame_rate_ > 0 || bandwidth_ > 0 ? Clock::now() : Clock::time_point{};
  if (!in_frame_) {
    if (frames_queued_ == 0 && !streaming_) return 0;
    uint32_t size = frame_size_locked();
    if (size == 0) return 0;
    if (frame_rate_ > 0) {
      auto start = rate_origin_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                      static_cast<double>(frames_since_origin_) / frame_rate_));
      if (now < start) {
        *wait_until = start;
        return 0;
      }
    }
    if (frames_queued_ > 0) frames_queued_--;
    in_frame_ = true;
    offset_ = 0;
    frame_bytes_ = size;
    geometry_ = window_locked();
    frames_started_++;
    frames_since_origin_++;
  }
  size_t n = std::min<uint64_t>(length, frame_bytes_ - offset_);
  if ((stop_after_ && *stop_after_ < n) || !affordable(now, n, wait_until)) return 0;
  pattern::fill(geometry_, frame_, offset_, destination, n);
  offset_ += n;
  bytes_since_origin_ += n;
  if (stop_after_) *stop_after_ -= n;
  if (offset_ == frame_bytes_) {
    in_frame_ = false;
    frame_++;
    *ends_transfer = !streaming_;
  }
  return n;
}

}  // namespace sim
