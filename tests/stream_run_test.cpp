// Streaming through the I/O manager: start, frames taken in place or copied, the
// slot rules, and every way a stream ends (stop, a second start, close, removal,
// a camera fault), each frame checked byte for byte against what the camera sent.
#include <sim/pattern.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "stream/stream.h"
#include "support/control.h"

namespace quorvex::test {
namespace {

struct Frame {
  NTSTATUS status = kNotServed;
  ULONG_PTR information = 0;
  uint64_t address = 0;
  uint32_t size = 0;
};

class Streaming : public Testbed {
 protected:
  // A camera streaming frames of `frame_size` bytes back to back, unpaced.
  sim::UsbDevice& streaming_camera(uint32_t frame_size, USHORT product = 0x100A) {
    sim::UsbDevice& device = plug(camera(product));
    device.camera().set_frame_size(frame_size);
    device.camera().set_streaming(true);
    return device;
  }

  static NTSTATUS start(sim::Handle handle, LONG frame_size, ULONG length = sizeof(CAM_STREAM_START_PARAMS)) {
    Bytes input(length, 0xA5);
    if (length >= 40) {
      Bytes size = le32(static_cast<uint32_t>(frame_size));
      std::copy(size.begin(), size.end(), input.begin() + 36);
    }
    ULONG_PTR information = 1;
    NTSTATUS status = sim::nt_device_io_control(handle, IOCTL_CAM_STREAM_START, input.data(), length, nullptr,
                                                0, &information);
    EXPECT_EQ(information, 0u);
    return status;
  }

  static NTSTATUS stop(sim::Handle handle) {
    ULONG_PTR information = 1;
    NTSTATUS status =
        sim::nt_device_io_control(handle, IOCTL_CAM_STREAM_STOP, nullptr, 0, nullptr, 0, &information);
    EXPECT_EQ(information, 0u);
    return status;
  }

  static Frame get(sim::Handle handle, ULONG length = CAM_STREAM_FRAME_INFO_LENGTH) {
    Bytes output(length, kPoison);
    Frame frame;
    frame.status = sim::nt_device_io_control(handle, IOCTL_CAM_STREAM_GET_FRAME, nullptr, 0, output.data(),
                                             length, &frame.information);
    if (frame.status == STATUS_SUCCESS && length >= CAM_STREAM_FRAME_INFO_LENGTH) {
      EXPECT_EQ(frame.information, CAM_STREAM_FRAME_INFO_LENGTH);
      EXPECT_EQ(Bytes(output.begin(), output.begin() + 8), le32(40) + le32(0));
      memcpy(&frame.address, output.data() + 8, 8);
      memcpy(&frame.size, output.data() + 16, 4);
      EXPECT_EQ(Bytes(output.begin() + 20, output.begin() + 40), Bytes(20, 0));
    } else {
      EXPECT_EQ(frame.information, 0u);
    }
    return frame;
  }

  static NTSTATUS release(sim::Handle handle, uint64_t address, uint32_t length_field = 32) {
    Bytes input = le32(length_field) + le32(0);
    input.resize(32, 0);
    memcpy(input.data() + 8, &address, 8);
    ULONG_PTR information = 1;
    NTSTATUS status = sim::nt_device_io_control(handle, IOCTL_CAM_STREAM_RELEASE_FRAME, input.data(), 32,
                                                nullptr, 0, &information);
    EXPECT_EQ(information, 0u);
    return status;
  }

  // A frame copied behind its header into `output` (resized to `length`).
  static NTSTATUS read(sim::Handle handle, ULONG length, Bytes* output, ULONG_PTR* information) {
    output->assign(length, kPoison);
    return sim::nt_device_io_control(handle, IOCTL_CAM_STREAM_READ_FRAME, nullptr, 0, output->data(), length,
                                     information);
  }

  // The frame the view shows is whole and untorn; returns its number.
  static uint32_t check_view(const Frame& frame) {
    std::vector<uint8_t> bytes(frame.size);
    EXPECT_TRUE(
        sim::read_user_view(reinterpret_cast<const void*>(frame.address), bytes.data(), bytes.size()));
    sim::pattern::Check check = sim::pattern::check(bytes.data(), bytes.size());
    EXPECT_TRUE(check.ok) << "frame " << check.frame << " differs at " << check.first_bad_offset;
    return check.frame;
  }

  static PCAM_STREAM_CONTEXT stream_of(sim::Handle handle) {
    PFILE_OBJECT file = sim::handle_file_object(handle);
    return file == nullptr ? nullptr : static_cast<PCAM_FILE_CONTEXT>(file->FsContext)->StreamContext;
  }
};

// Frames taken in place, for frame sizes that fit one transfer, split unevenly
// over two, end one byte into a second chunk, or need three transfers: each whole,
// of the camera's frames in rising order, and the stream's slots in one state each.
TEST_F(Streaming, HandsOutWholeFramesInOrderForEveryFrameSize) {
  sim::UsbDevice& device = streaming_camera(300000);
  for (uint32_t size : {300000u, 524288u, 524289u, 1000000u, 1500000u}) {
    SCOPED_TRACE(size);
    device.camera().set_frame_size(size);
    sim::Handle handle = open();
    ASSERT_EQ(start(handle, static_cast<LONG>(size)), STATUS_SUCCESS);
    uint32_t last = 0;
    for (int i = 0; i < 8; ++i) {
      Frame frame = get(handle);
      ASSERT_EQ(frame.status, STATUS_SUCCESS);
      EXPECT_EQ(frame.size, size);
      uint32_t number = check_view(frame);
      if (i > 0) {
        EXPECT_GT(number, last);
      }
      last = number;
      EXPECT_EQ(release(handle, frame.address), STATUS_SUCCESS);
    }
    EXPECT_EQ(stop(handle), STATUS_SUCCESS);
    EXPECT_EQ(stream_of(handle), nullptr);
    EXPECT_EQ(stop(handle), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  }
}

// A copy needs the frame and its 24-byte header; a buffer a byte short loses the
// frame but not its slot, and the stream goes on.
TEST_F(Streaming, CopiesAFrameBehindItsHeaderOnlyIntoRoomForBoth) {
  constexpr uint32_t kSize = 300000;
  sim::UsbDevice& device = streaming_camera(kSize);
  sim::Handle handle = open();
  ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
  Bytes output;
  ULONG_PTR information = 1;
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(read(handle, kSize + 23, &output, &information), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(information, 0u);
    ASSERT_EQ(read(handle, kSize + 24, &output, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, kSize + 24);
    EXPECT_EQ(Bytes(output.begin(), output.begin() + 24), le32(0) + le32(kSize) + Bytes(16, 0));
    EXPECT_TRUE(sim::pattern::check(output.data() + 24, kSize).ok);
  }
  EXPECT_EQ(stream_of(handle)->FreeSlots.Count + stream_of(handle)->ReadySlots.Count, 2);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  (void)device;
}

// What a release takes: only a slot the application holds, once.
TEST_F(Streaming, ReleasesOnlyASlotTheApplicationHolds) {
  constexpr uint32_t kSize = 300000;
  streaming_camera(kSize);
  sim::Handle handle = open();
  ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
  Frame frame = get(handle);
  ASSERT_EQ(frame.status, STATUS_SUCCESS);
  EXPECT_EQ(release(handle, frame.address, 31), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(release(handle, frame.address, 33), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(release(handle, frame.address + 1), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(release(handle, frame.address), STATUS_SUCCESS);
  EXPECT_EQ(release(handle, frame.address), STATUS_INVALID_PARAMETER);
  // Every other slot is free, filling or ready: none of them may be released.
  PCAM_STREAM_CONTEXT stream = stream_of(handle);
  for (const CAM_FRAME_SLOT& slot : stream->Slots) {
    EXPECT_EQ(release(handle, reinterpret_cast<uintptr_t>(slot.UserAddress)), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

// Requests on a handle that never started a stream, or with records too short.
TEST_F(Streaming, RefusesRequestsWithoutAStreamOrARecord) {
  plug();
  sim::Handle handle = open();
  EXPECT_EQ(start(handle, 300000, 55), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(get(handle, 39).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(get(handle).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(release(handle, 0x1000), STATUS_UNSUCCESSFUL);
  Bytes output;
  ULONG_PTR information = 1;
  EXPECT_EQ(read(handle, 1000, &output, &information), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(stop(handle), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(start(handle, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(start(handle, -1), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(stream_of(handle), nullptr);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

// With two slots held, every finished frame is dropped into the third and a get
// waits its second in vain; a release lets newer frames through.
TEST_F(Streaming, TwoHeldSlotsStopTheFlowUntilOneIsReleased) {
  constexpr uint32_t kSize = 300000;
  streaming_camera(kSize);
  sim::Handle handle = open();
  ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
  Frame first = get(handle);
  Frame second = get(handle);
  ASSERT_EQ(second.status, STATUS_SUCCESS);
  uint32_t held = check_view(second);
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(get(handle).status, STATUS_UNSUCCESSFUL);
  EXPECT_GE(std::chrono::steady_clock::now() - before, 900ms);
  // The held frames did not change meanwhile.
  EXPECT_EQ(check_view(second), held);
  ASSERT_EQ(release(handle, first.address), STATUS_SUCCESS);
  Frame next = get(handle);
  ASSERT_EQ(next.status, STATUS_SUCCESS);
  EXPECT_GT(check_view(next), held);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

// A second start on a streaming handle stops the first stream; close stops the
// second with frames still held. The platform's teardown finds nothing left.
TEST_F(Streaming, ASecondStartAndACloseEachStopTheStreamBefore) {
  constexpr uint32_t kSize = 300000;
  streaming_camera(kSize);
  sim::Handle handle = open();
  ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
  Frame held = get(handle);
  ASSERT_EQ(held.status, STATUS_SUCCESS);
  ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
  PCAM_STREAM_CONTEXT second = stream_of(handle);
  ASSERT_NE(second, nullptr);
  // The first stream's view went with it, unless the second's took its place.
  bool reused = false;
  for (const CAM_FRAME_SLOT& slot : second->Slots)
    reused |= reinterpret_cast<uintptr_t>(slot.UserAddress) == held.address;
  uint8_t byte;
  EXPECT_EQ(sim::read_user_view(reinterpret_cast<const void*>(held.address), &byte, 1), reused);
  ASSERT_EQ(get(handle).status, STATUS_SUCCESS);
  ASSERT_EQ(get(handle).status, STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

// A stop on one handle ends every stream's transfers on the device; the other
// handle's stream keeps its memory, delivers nothing more and stops cleanly.
TEST_F(Streaming, AStopOnOneHandleEndsTheOtherHandlesTransfers) {
  constexpr uint32_t kSize = 300000;
  streaming_camera(kSize);
  sim::Handle a = open();
  sim::Handle b = open();
  ASSERT_EQ(start(a, kSize), STATUS_SUCCESS);
  ASSERT_EQ(start(b, kSize), STATUS_SUCCESS);
  EXPECT_EQ(stop(a), STATUS_SUCCESS);
  PCAM_STREAM_CONTEXT other = stream_of(b);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(KeReadStateEvent(&other->TransfersDoneEvent), 1);
  // Frames finished before the stop are still there; then nothing.
  while (get(b).status == STATUS_SUCCESS) {
  }
  EXPECT_EQ(stop(b), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(a), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(b), STATUS_SUCCESS);
}

// Unplugged mid-stream: the transfers end on their own, gets fail, and the stop
// and close that follow free everything without waiting.
TEST_F(Streaming, EndsCleanlyWhenTheCameraIsUnpluggedMidStream) {
  constexpr uint32_t kSize = 1000000;
  sim::UsbDevice& device = streaming_camera(kSize);
  sim::Handle handle = open();
  ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
  ASSERT_EQ(get(handle).status, STATUS_SUCCESS);
  EXPECT_EQ(platform().unplug(device), STATUS_SUCCESS);
  Frame frame;
  do {
    frame = get(handle);
  } while (frame.status == STATUS_SUCCESS);
  // The device no longer serves requests.
  EXPECT_EQ(frame.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(stop(handle), STATUS_DELETE_PENDING);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  EXPECT_TRUE(platform().wait_removed(device, kBound));
}

}  // namespace
}  // namespace quorvex::test
