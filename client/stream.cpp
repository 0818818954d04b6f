// Streams: the driver's start, get, release, read and stop requests, and the
// library's own bookkeeping around them: which requests are out, whether the stream
// still runs, and what it has handed out.
#include "stream.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "lock.h"
#include "wire.h"

namespace quorvex {

// Shared by the Stream and the Frames it handed out, which may outlive it. `mutex`
// guards every field below it. A request counts itself in `users` only while the
// stream runs, and the stop is sent only once `users` is back at 0: no get, release
// or read reaches the driver after the stop, where it could meet a later stream on
// the same handle.
struct detail::StreamState {
  StreamState(const Camera* camera, uint32_t frame_bytes, FrameNumberReader frame_number)
      : camera(camera), frame_bytes(frame_bytes), frame_number(std::move(frame_number)) {}

  const Camera* const camera;
  const uint32_t frame_bytes;
  const FrameNumberReader frame_number;

  Lock mutex;  // its condition: `users` came back to 0
  bool running = true;
  int users = 0;
  StreamStats stats;
  // The lowest and highest frame numbers handed out, unwrapped past 32 bits.
  int64_t lowest = 0;
  int64_t highest = 0;
};

namespace {

using detail::StreamState;

Status stopped() { return Status::refused(kStreamStopped, "the stream has stopped"); }

// One request on a running stream, counted in for as long as it lives.
class Use {
 public:
  explicit Use(StreamState* state) : state_(state) {
    Locked lock(state_->mutex);
    counted_ = state_->running;
    if (counted_) state_->users++;
  }
  ~Use() {
    if (!counted_) return;
    Locked lock(state_->mutex);
    if (--state_->users == 0) state_->mutex.notify_all();
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  bool counted() const { return counted_; }
  // Whether a stop began meanwhile: it waits for this request to end.
  bool stopping() const {
    Locked lock(state_->mutex);
    return !state_->running;
  }

 private:
  StreamState* state_;
  bool counted_ = false;
};

Status send_release(const StreamState& state, uint64_t address) {
  uint8_t record[CAM_STREAM_FRAME_RELEASE_LENGTH] = {};
  put_u32(record + offsetof(CAM_STREAM_FRAME_RELEASE, Length), CAM_STREAM_FRAME_RELEASE_LENGTH);
  put_u64(record + offsetof(CAM_STREAM_FRAME_RELEASE, UserAddress), address);
  return state.camera->control(IOCTL_CAM_STREAM_RELEASE_FRAME, record, sizeof(record), nullptr, 0);
}

Status wrong_size(uint32_t size, uint32_t expected) {
  return Status::refused(kBadReply, "the driver handed out a frame of " + std::to_string(size) +
                                        " bytes on a stream of " + std::to_string(expected));
}

std::optional<uint32_t> read_number(const StreamState& state, const uint8_t* data, uint32_t size) {
  return state.frame_number ? state.frame_number(data, size) : std::nullopt;
}

// A frame handed out, counted. Numbers are unwrapped around the highest so far, so
// frames counted out of order by several takers, and a counter that wraps, still
// count right.
void count(StreamState* state, uint32_t size, std::optional<uint32_t> number) {
  Locked lock(state->mutex);
  StreamStats& stats = state->stats;
  stats.frames++;
  stats.bytes += size;
  if (!number) return;
  int64_t value = *number;
  if (stats.numbered > 0) {
    value = state->highest + static_cast<int32_t>(*number - static_cast<uint32_t>(state->highest));
  } else {
    state->lowest = state->highest = value;
  }
  state->lowest = std::min(state->lowest, value);
  state->highest = std::max(state->highest, value);
  stats.numbered++;
  int64_t missing = state->highest - state->lowest + 1 - static_cast<int64_t>(stats.numbered);
  stats.dropped = static_cast<uint64_t>(std::max<int64_t>(missing, 0));
}

}  // namespace

std::optional<uint32_t> pattern_frame_number(const uint8_t* data, uint32_t size) {
  if (data == nullptr || size < 4) return std::nullopt;
  return get_u32(data);
}

Frame::~Frame() { release(); }

Frame::Frame(Frame&& other) noexcept { *this = std::move(other); }

Frame& Frame::operator=(Frame&& other) noexcept {
  if (this != &other) {
    release();
    stream_ = std::move(other.stream_);
    address_ = std::exchange(other.address_, 0);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    number_ = std::exchange(other.number_, std::nullopt);
    copy_ = std::move(other.copy_);
  }
  return *this;
}

Status Frame::release() {
  if (!held()) return Status{};
  std::shared_ptr<StreamState> stream = std::move(stream_);
  uint64_t address = address_;
  address_ = 0;
  data_ = nullptr;
  size_ = 0;
  number_.reset();
  Use use(stream.get());
  if (!use.counted()) return stopped();
  return send_release(*stream, address);
}

Stream Stream::start(const Camera& camera, Status* status, const StreamOptions& options) {
  Stream stream;
  uint32_t bytes = options.frame_bytes;
  if (bytes == 0) {
    *status = camera.frame_bytes(&bytes);
    if (!*status) return stream;
  }
  if (bytes > static_cast<uint32_t>(INT32_MAX)) {
    *status = Status::refused(kOutOfRange, "a frame of " + std::to_string(bytes) + " bytes");
    return stream;
  }
  if (camera.streaming_.exchange(true)) {
    *status = Status::refused(kAlreadyStreaming, "the camera streams already");
    return stream;
  }
  uint8_t params[sizeof(CAM_STREAM_START_PARAMS)] = {};
  put_u32(params + offsetof(CAM_STREAM_START_PARAMS, FrameSize), bytes);
  *status = camera.control(IOCTL_CAM_STREAM_START, params, sizeof(params), nullptr, 0);
  if (!*status) {
    camera.streaming_ = false;
    return stream;
  }
  stream.state_ = std::make_shared<StreamState>(&camera, bytes, options.frame_number);
  stream.state_->stats.counts_drops = bool(options.frame_number);
  return stream;
}

Stream::~Stream() { stop(); }

Stream::Stream(Stream&& other) noexcept : state_(std::move(other.state_)) {}

Stream& Stream::operator=(Stream&& other) noexcept {
  if (this != &other) {
    stop();
    state_ = std::move(other.state_);
  }
  return *this;
}

bool Stream::running() const {
  if (!state_) return false;
  Locked lock(state_->mutex);
  return state_->running;
}

uint32_t Stream::frame_bytes() const { return state_ ? state_->frame_bytes : 0; }

StreamStats Stream::stats() const {
  if (!state_) return {};
  Locked lock(state_->mutex);
  return state_->stats;
}

// A frame that comes back while a stop waits for this take goes straight back:
// the stop is about to free it, and a take never hands out a stopped stream's frame.
Status Stream::take(Frame* frame) {
  frame->release();
  if (!state_) return stopped();
  Use use(state_.get());
  if (!use.counted()) return stopped();
  uint8_t info[CAM_STREAM_FRAME_INFO_LENGTH] = {};
  Status status = state_->camera->control(IOCTL_CAM_STREAM_GET_FRAME, nullptr, 0, info, sizeof(info));
  if (status && status.returned != sizeof(info)) return short_reply(status, sizeof(info));
  if (!status) return status;
  uint64_t address = get_u64(info + offsetof(CAM_STREAM_FRAME_INFO, UserAddress));
  uint32_t size = get_u32(info + offsetof(CAM_STREAM_FRAME_INFO, Size));
  const uint8_t* data = size == state_->frame_bytes ? Frame::view(address, size, &frame->copy_) : nullptr;
  std::optional<uint32_t> number = data != nullptr ? read_number(*state_, data, size) : std::nullopt;
  bool stopping = use.stopping();
  if (data == nullptr || stopping) {
    send_release(*state_, address);
    if (stopping) return stopped();
    if (size != state_->frame_bytes) return wrong_size(size, state_->frame_bytes);
    return Status::refused(kBadReply, "the frame handed out is in no view of this process");
  }
  frame->stream_ = state_;
  frame->address_ = address;
  frame->data_ = data;
  frame->size_ = size;
  frame->number_ = number;
  count(state_.get(), size, number);
  return status;
}

Status Stream::read(FrameCopy* copy) {
  if (!state_) return stopped();
  Use use(state_.get());
  if (!use.counted()) return stopped();
  copy->bytes_.resize(FrameCopy::kHeaderBytes + state_->frame_bytes);
  copy->size_ = 0;
  copy->number_.reset();
  Status status = state_->camera->control(IOCTL_CAM_STREAM_READ_FRAME, nullptr, 0, copy->bytes_.data(),
                                          static_cast<uint32_t>(copy->bytes_.size()));
  if (!status) return status;
  uint32_t size = get_u32(copy->bytes_.data() + offsetof(CAM_STREAM_FRAME_HEADER, Size));
  if (status.returned != copy->bytes_.size())
    return short_reply(status, static_cast<uint32_t>(copy->bytes_.size()));
  if (size != state_->frame_bytes) return wrong_size(size, state_->frame_bytes);
  copy->size_ = size;
  copy->number_ = read_number(*state_, copy->data(), size);
  count(state_.get(), size, copy->number_);
  return status;
}

Status Stream::stop() {
  if (!state_) return Status{};
  {
    Locked lock(state_->mutex);
    if (!state_->running) return Status{};
    state_->running = false;
    state_->mutex.wait([this] { return state_->users == 0; });
  }
  Status status = state_->camera->control(IOCTL_CAM_STREAM_STOP, nullptr, 0, nullptr, 0);
  state_->camera->streaming_ = false;
  return status;
}

}  // namespace quorvex
