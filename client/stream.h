// Streaming from a camera: a Stream runs the driver's stream on one open camera from
// its start to its stop and hands its frames out, in place or copied.
//
// In place, a Frame holds the driver's frame buffer (one of its three slots) until
// the Frame is released or destroyed: the bytes do not change while it is held, and
// the camera's frames go on into the other slots. An application that holds two
// Frames stops the flow until it gives one back. Copied, the driver copies the frame
// into a FrameCopy the application keeps and reuses, and takes its slot back at once.
//
// Threads. The driver keeps the stream with the handle and maps its frame buffers
// into the process that started it, so a Stream serves the threads of that process
// only. take, read, stats and a Frame's release may come from any of them at once:
// each frame goes to exactly one caller. A Stream's start, stop, move and destruction,
// and each Frame or FrameCopy, belong to one thread at a time. stop waits for the
// takes and reads under way in other threads, at most the second a take waits.
//
// Lifetime. The camera must stay open, and where it is, until the stream stops. A
// Frame's bytes are the stream's: once the stream stops, a Frame still held is empty
// for the driver (its release does nothing) and its bytes must not be read.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "camera.h"
#include "status.h"

namespace quorvex {

// Reads the camera's number of a frame from its bytes; nullopt when it has none.
using FrameNumberReader = std::function<std::optional<uint32_t>(const uint8_t* data, uint32_t size)>;

// The number the simulated camera's picture carries in its first four bytes,
// little-endian (the test bus on Windows sends the same picture). A real sensor's
// frames carry none: their first bytes are pixels.
std::optional<uint32_t> pattern_frame_number(const uint8_t* data, uint32_t size);

struct StreamOptions {
  // Bytes the camera sends per frame; 0: the camera's frame_bytes() at the start.
  // The driver cuts the camera's byte stream into frames by this count alone.
  uint32_t frame_bytes = 0;
  // How to read a frame's number, to count drops; unset, drops are not counted.
  FrameNumberReader frame_number;
};

// What a stream has handed out so far.
//
// Drops are known only from frame numbers: the driver counts none. A reader that
// falls behind finds the two newest frames waiting; the frames before them were
// written over unseen, and so were the frames that came while the reader held two.
// `dropped` is how many numbers between the lowest and the highest handed out no
// frame brought; frames whose number could not be read are counted in `frames` only.
struct StreamStats {
  uint64_t frames = 0;  // handed out, in place or copied
  uint64_t bytes = 0;   // of those frames
  bool counts_drops = false;
  uint64_t numbered = 0;  // frames whose number was read
  uint64_t dropped = 0;
};

namespace detail {
struct StreamState;
}

// One frame in place, holding its slot until it is released or destroyed.
class Frame {
 public:
  Frame() = default;
  ~Frame();  // releases the frame
  Frame(Frame&& other) noexcept;
  Frame& operator=(Frame&& other) noexcept;  // releases the frame this held
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  bool held() const { return data_ != nullptr; }
  // The frame's size() bytes; null when none is held.
  const uint8_t* data() const { return data_; }
  uint32_t size() const { return size_; }
  // The camera's number of the frame, when the stream reads numbers.
  std::optional<uint32_t> number() const { return number_; }
  // Gives the slot back for new frames now; the Frame is empty afterwards. Nothing
  // is sent, and kStreamStopped is returned, once the stream has stopped.
  Status release();

 private:
  friend class Stream;
  // The bytes at `address` of this process: on Windows the view itself; on the
  // simulated platform the bytes read out of the view into `copy`. Null when no
  // view of this process holds them.
  static const uint8_t* view(uint64_t address, uint32_t size, std::vector<uint8_t>* copy);

  std::shared_ptr<detail::StreamState> stream_;
  uint64_t address_ = 0;  // the slot's view, as the driver knows it
  const uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
  std::optional<uint32_t> number_;
  std::vector<uint8_t> copy_;  // kept across frames, so a Frame taken into again reuses it
};

// One frame copied out by the driver, into memory the application keeps for the next.
class FrameCopy {
 public:
  // The frame's size() bytes; null until a read succeeds, and after one that failed.
  const uint8_t* data() const { return size_ == 0 ? nullptr : bytes_.data() + kHeaderBytes; }
  uint32_t size() const { return size_; }
  std::optional<uint32_t> number() const { return number_; }

 private:
  friend class Stream;
  static constexpr uint32_t kHeaderBytes = sizeof(CAM_STREAM_FRAME_HEADER);
  std::vector<uint8_t> bytes_;  // the driver's header, then the frame
  uint32_t size_ = 0;
  std::optional<uint32_t> number_;
};

class Stream {
 public:
  // Starts a stream on `camera`. Refused (kAlreadyStreaming) while another Stream
  // runs on the same camera: a second start would end the first under it.
  static Stream start(const Camera& camera, Status* status, const StreamOptions& options = {});
  Stream() = default;
  ~Stream();  // stops the stream
  Stream(Stream&& other) noexcept;
  Stream& operator=(Stream&& other) noexcept;  // stops the stream this ran
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  bool running() const;
  uint32_t frame_bytes() const;

  // The oldest finished frame, in place; `frame` releases what it held first.
  // Waits up to a second for one. Failures: STATUS_UNSUCCESSFUL (on Windows
  // ERROR_GEN_FAILURE) when no frame came within the second, which a camera asleep
  // or a slow one causes and the stream goes on, or when its transfers have ended
  // for good (the camera halted its pipe, the device was stopped, another handle
  // stopped every stream of the camera): the driver does not say which.
  // camera_gone() when the camera was unplugged or removed; kStreamStopped once the
  // stream has stopped, or when a stop began while the take was under way (the
  // frame it was handed goes back).
  Status take(Frame* frame);
  // The oldest finished frame, copied into `copy`; fails as take does.
  Status read(FrameCopy* copy);
  StreamStats stats() const;

  // Stops the stream, as destruction does: takes and reads in other threads end,
  // and the driver frees the frame buffers. Once the camera is gone the driver
  // refuses the stop and frees them when the camera is closed; either way the
  // Stream is done. Nothing is sent, and success returned, when it is not running.
  Status stop();

 private:
  std::shared_ptr<detail::StreamState> state_;
};

}  // namespace quorvex
