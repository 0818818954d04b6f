// The camera firmware model: the shared core (<sim/camera_core.h>) for its
// sensor, registers, answers to vendor requests and frames, with what only the
// simulated platform adds around it: a block store of any size behind request
// 0xBA, a frame size a test may fix, and an image source that sends triggered
// frames or a stream of back-to-back frames, limited by bandwidth and frame rate
// if asked; a paced stream drops, whole, the frames no transfer takes in time, and
// a stall, babble or unplug cuts the frame under way.
//
// Locking: `mutex_` guards every field; the core runs under it. It is taken by
// the test's thread (settings), the bus's control pipe (vendor requests, at most
// DISPATCH_LEVEL) and the transfer engine (image data, under the engine's lock);
// nothing is taken under it. The listener is called after it is dropped;
// `frame_ended_` is notified under it and waited on only by wait_for_dropped.
#include <algorithm>
#include <cstring>

#include <sim/camera.h>

namespace sim {

// At power-on the window is the whole sensor.
Camera::Camera(const CameraConfig& config)
    : device_descriptor_(config.device_descriptor.empty() ? build_device_descriptor(config)
                                                          : config.device_descriptor),
      configuration_descriptor_(config.configuration_descriptor.empty()
                                    ? build_configuration_descriptor(config)
                                    : config.configuration_descriptor),
      fixed_size_(config.frame_size),
      bytes_per_pixel_(camera_core::sensor_of(config.product_id).bytes_per_pixel) {
  camera_core::firmware_init(&firmware_, config.product_id);
}

pattern::Geometry Camera::window_locked() const {
  return camera_core::window_of(&firmware_, bytes_per_pixel_);
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

void Camera::replace_descriptor(UCHAR type, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (type == USB_DEVICE_DESCRIPTOR_TYPE) device_descriptor_ = std::move(bytes);
  if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) configuration_descriptor_ = std::move(bytes);
}

uint16_t Camera::reg(uint8_t number) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return firmware_.registers[number];
}

void Camera::set_reg(uint8_t number, uint16_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  firmware_.registers[number] = value;
}

void Camera::write_block(void* context, uint16_t value, const uint8_t* data, uint32_t length) {
  static_cast<Camera*>(context)->blocks_[value].assign(data, data + length);
}

uint32_t Camera::read_block(void* context, uint16_t value, uint8_t* data, uint32_t length) {
  const std::vector<uint8_t>& stored = static_cast<Camera*>(context)->blocks_[value];
  uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(stored.size()));
  if (n > 0) memcpy(data, stored.data(), n);
  return n;
}

VendorResult Camera::vendor_request(const uint8_t setup[8], uint8_t* data, uint32_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  const camera_core::BlockStore blocks{this, write_block, read_block};
  if (!camera_core::vendor_request(&firmware_, setup, data, length, frame_size_locked(), &blocks)) {
    return {USBD_STATUS_STALL_PID, 0};
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
    firmware_.frames_queued += static_cast<uint32_t>(count);
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

uint32_t Camera::frames_dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  drop_late_frames(Clock::now());
  return frames_dropped_;
}

uint32_t Camera::frames_cut() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_cut_;
}

// Drops happen on the camera's clock, not on a call: the wait runs to the moment
// the count-th drop is due (or a frame ends), and works it out then.
bool Camera::wait_for_dropped(uint32_t count, std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(mutex_);
  Clock::time_point deadline = Clock::now() + bound;
  for (;;) {
    Clock::time_point now = Clock::now();
    drop_late_frames(now);
    if (frames_dropped_ >= count) return true;
    if (now >= deadline) return false;
    Clock::time_point due;
    Clock::duration period;
    Clock::time_point until = deadline;
    if (!cursor_.in_frame && paced(&due, &period)) {
      until = std::min(deadline, due + period * (count - frames_dropped_));
    }
    frame_ended_.wait_until(lock, until);
  }
}

void Camera::cut_frame() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!streaming_ || !cursor_.in_frame) return;
  camera_core::frame_skip(&cursor_, 1);
  frames_cut_++;
  frame_ended_.notify_all();
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
  return firmware_.triggers;
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

// When the next frame of a paced stream is due and how long a frame lasts: the
// later of what the bandwidth and the frame rate allow. False when nothing paces
// the stream. Called locked.
bool Camera::paced(Clock::time_point* due, Clock::duration* period) const {
  if (!streaming_ || (bandwidth_ == 0 && frame_rate_ <= 0)) return false;
  double start = 0;
  double length = 0;
  if (bandwidth_ > 0) {
    start = static_cast<double>(bytes_since_origin_) / static_cast<double>(bandwidth_);
    length = static_cast<double>(frame_size_locked()) / static_cast<double>(bandwidth_);
  }
  if (frame_rate_ > 0) {
    start = std::max(start, static_cast<double>(frames_since_origin_) / frame_rate_);
    length = std::max(length, 1 / frame_rate_);
  }
  *due = rate_origin_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(start));
  *period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(length));
  return period->count() > 0;
}

// A paced stream between frames loses each frame whose whole period went by with
// no transfer to start it: its number is skipped and its time and bytes spent, so
// the frames after it keep the pace instead of bursting. A frame once started is
// never lost in part. Called locked.
void Camera::drop_late_frames(Clock::time_point now) const {
  Clock::time_point due;
  Clock::duration period;
  if (cursor_.in_frame || !paced(&due, &period) || now < due + period) return;
  auto late = static_cast<uint32_t>((now - due) / period);
  camera_core::frame_skip(&cursor_, late);
  frames_dropped_ += late;
  frames_since_origin_ += late;
  bytes_since_origin_ += uint64_t{late} * frame_size_locked();
  frame_ended_.notify_all();
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
    size_t whole = bandwidth_ == 0 && !stop_after_ ? camera_core::frame_left(&cursor_) / packet : 0;
    size_t run = std::max<size_t>(std::min(packets - i, whole), 1);
    size_t n = produce_locked(destination + total, run * packet, ends_transfer, wait_until);
    total += n;
    i += run;
    if (n < run * packet || *ends_transfer) break;
  }
  return total;
}

// Up to `length` bytes of the frame being sent, starting one if asked to. Never
// part of what the bandwidth or a silence allows: whole or nothing.
size_t Camera::produce_locked(uint8_t* destination, size_t length, bool* ends_transfer,
                              std::optional<Clock::time_point>* wait_until) {
  // The clock only matters to a frame rate or a bandwidth.
  Clock::time_point now = frame_rate_ > 0 || bandwidth_ > 0 ? Clock::now() : Clock::time_point{};
  if (!cursor_.in_frame) {
    if (firmware_.frames_queued == 0 && !streaming_) return 0;
    uint32_t size = frame_size_locked();
    if (size == 0) return 0;
    drop_late_frames(now);
    if (frame_rate_ > 0) {
      auto start = rate_origin_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                      static_cast<double>(frames_since_origin_) / frame_rate_));
      if (now < start) {
        *wait_until = start;
        return 0;
      }
    }
    if (firmware_.frames_queued > 0) firmware_.frames_queued--;
    camera_core::frame_begin(&cursor_, size, window_locked());
    frames_started_++;
    frames_since_origin_++;
  }
  size_t n = std::min<uint64_t>(length, camera_core::frame_left(&cursor_));
  if ((stop_after_ && *stop_after_ < n) || !affordable(now, n, wait_until)) return 0;
  bool ended = camera_core::frame_send(&cursor_, destination, n);
  bytes_since_origin_ += n;
  if (stop_after_) *stop_after_ -= n;
  if (ended) {
    *ends_transfer = !streaming_;
    frame_ended_.notify_all();
  }
  return n;
}

}  // namespace sim
