// Streaming through the I/O manager: start, frames taken in place or copied, the
// slot rules, and every way a stream ends (stop, a second start, close, removal,
// a camera fault), each frame checked byte for byte against what the camera sent.
#include <sim/kernel.h>
#include <sim/pattern.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "stream/stream.h"
#include "support/control.h"
#include "support/stream.h"

namespace quorvex::test {
namespace {

class Streaming : public Testbed, protected StreamCalls {
 protected:
  // A camera streaming frames of `frame_size` bytes back to back, unpaced.
  sim::UsbDevice& streaming_camera(uint32_t frame_size, USHORT product = 0x100A) {
    sim::UsbDevice& device = plug(camera(product));
    device.camera().set_frame_size(frame_size);
    device.camera().set_streaming(true);
    return device;
  }

  // `count` frames taken in place, each checked whole and of `size` bytes, and
  // given back; their numbers, up to the first take that failed.
  static std::vector<uint32_t> take_frames(sim::Handle handle, int count, uint32_t size) {
    std::vector<uint32_t> numbers;
    for (int i = 0; i < count; ++i) {
      Frame frame = get(handle);
      EXPECT_EQ(frame.status, STATUS_SUCCESS);
      if (frame.status != STATUS_SUCCESS) break;
      EXPECT_EQ(frame.size, size);
      numbers.push_back(check_view(frame));
      EXPECT_EQ(release(handle, frame.address), STATUS_SUCCESS);
    }
    return numbers;
  }

  // Both transfers of the stream have ended, waited for with a bound: a cancel
  // completes later.
  static bool transfers_ended(PCAM_STREAM_CONTEXT stream) {
    LARGE_INTEGER bound;
    bound.QuadPart = -std::chrono::duration_cast<std::chrono::nanoseconds>(kBound).count() / 100;
    return KeWaitForSingleObject(&stream->TransfersDoneEvent, Executive, KernelMode, FALSE, &bound) ==
           STATUS_SUCCESS;
  }

  static POWER_STATE power_state(DEVICE_POWER_STATE state) {
    POWER_STATE power;
    power.DeviceState = state;
    return power;
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
    std::vector<uint32_t> numbers = take_frames(handle, 8, size);
    ASSERT_EQ(numbers.size(), 8u);
    for (size_t i = 1; i < numbers.size(); ++i) EXPECT_GT(numbers[i], numbers[i - 1]);
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

// Takes frames until one fails; each one taken is whole. Returns the status of
// the one that failed.
NTSTATUS drain_until_failure(sim::Handle handle) {
  for (;;) {
    Bytes output;
    ULONG_PTR information = 0;
    NTSTATUS status =
        sim::nt_device_io_control(handle, IOCTL_CAM_STREAM_READ_FRAME, nullptr, 0,
                                  (output.resize(2 << 20), output.data()), 2 << 20, &information);
    if (status != STATUS_SUCCESS) return status;
    EXPECT_TRUE(sim::pattern::check(output.data() + 24, information - 24).ok);
  }
}

// The camera's one byte stream has one reader: while a handle streams, another
// handle's start and any frame read are refused. A stop request on the other
// handle ends the stream's transfers (it aborts the pipes); the stream keeps its
// memory, hands out what was finished, and stops cleanly; then the other handle
// may stream.
TEST_F(Streaming, OneStreamReadsTheCameraAndAStopOnAnyHandleEndsIt) {
  constexpr uint32_t kSize = 1000000;
  streaming_camera(kSize);
  sim::Handle a = open();
  sim::Handle b = open();
  ASSERT_EQ(start(a, kSize), STATUS_SUCCESS);
  EXPECT_EQ(start(b, kSize), STATUS_DEVICE_BUSY);
  Bytes frame(kSize);
  for (ULONG code : {IOCTL_CAM_READ_FRAME, IOCTL_CAM_READ_FRAME_EX}) {
    EXPECT_EQ(sim::nt_device_io_control(b, code, nullptr, 0, frame.data(), kSize, nullptr),
              STATUS_DEVICE_BUSY);
  }
  EXPECT_EQ(stop(b), STATUS_INVALID_PARAMETER);
  PCAM_STREAM_CONTEXT stream = stream_of(a);
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(transfers_ended(stream));
  EXPECT_EQ(drain_until_failure(a), STATUS_UNSUCCESSFUL);
  ASSERT_EQ(start(b, kSize), STATUS_SUCCESS);
  Frame taken = get(b);
  ASSERT_EQ(taken.status, STATUS_SUCCESS);
  check_view(taken);
  EXPECT_EQ(stop(a), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(a), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(b), STATUS_SUCCESS);
}

// A camera that stalls or babbles mid-stream: the stream ends cleanly, without a
// torn frame, and a new start (which resets the pipe) streams whole frames again.
TEST_F(Streaming, EndsCleanlyWhenThePipeHaltsAndStartsAgain) {
  constexpr uint32_t kSize = 1000000;
  sim::UsbDevice& device = streaming_camera(kSize);
  sim::Handle handle = open();
  for (int halt = 0; halt < 2; ++halt) {
    SCOPED_TRACE(halt == 0 ? "stall" : "babble");
    ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
    ASSERT_EQ(get(handle).status, STATUS_SUCCESS);
    if (halt == 0) {
      device.stall_pipe(0x82);
    } else {
      // The camera's frames grow by a packet the driver does not expect.
      device.camera().set_frame_size(kSize + 512);
    }
    EXPECT_EQ(drain_until_failure(handle), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(transfers_ended(stream_of(handle)));
    device.camera().set_frame_size(kSize);
    ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
    ASSERT_EQ(take_frames(handle, 3, kSize).size(), 3u);
    EXPECT_EQ(stop(handle), STATUS_SUCCESS);
  }
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

// A camera that falls silent mid-frame: takes find nothing after their second,
// and the stop cancels the transfers it holds without waiting for the camera.
TEST_F(Streaming, ACameraFallenSilentHoldsNoStop) {
  constexpr uint32_t kSize = 1000000;
  sim::UsbDevice& device = streaming_camera(kSize);
  sim::Handle handle = open();
  ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
  ASSERT_EQ(get(handle).status, STATUS_SUCCESS);
  device.camera().stop_after(kSize / 2);
  EXPECT_EQ(drain_until_failure(handle), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(device.pending_transfers(), 2u);
  EXPECT_EQ(stop(handle), STATUS_SUCCESS);
  EXPECT_EQ(device.pending_transfers(), 0u);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

// A lower driver that refuses every send at once: each transfer is sent again a
// bounded number of times, then ends, and the stop that follows does not wait.
// Refused a few times only, the stream goes on with whole frames.
TEST_F(Streaming, ASendRefusedAtOnceEndsTheTransferAfterABoundedNumberOfTries) {
  constexpr uint32_t kSize = 300000;
  sim::UsbDevice& device = streaming_camera(kSize);
  sim::Handle handle = open();
  ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
  ASSERT_EQ(get(handle).status, STATUS_SUCCESS);
  device.refuse_urb(sim::UrbMatch::bulk(), STATUS_INVALID_PARAMETER, 1, CAM_STREAM_REFUSALS_MAX);
  ASSERT_EQ(take_frames(handle, 4, kSize).size(), 4u);
  device.refuse_urb(sim::UrbMatch::bulk(), STATUS_INVALID_PARAMETER, 1, sim::UsbDevice::kForever);
  EXPECT_EQ(drain_until_failure(handle), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(transfers_ended(stream_of(handle)));
  EXPECT_EQ(stop(handle), STATUS_SUCCESS);
  device.clear_injections();
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

// The first sends refused: the start fails with the lower driver's status and
// keeps nothing; so does one whose camera fails both transfers as they come.
TEST_F(Streaming, AStartWhoseTransfersAreRefusedKeepsNothing) {
  constexpr uint32_t kSize = 300000;
  sim::UsbDevice& device = streaming_camera(kSize);
  sim::Handle handle = open();
  for (int nth : {1, 2}) {
    device.refuse_urb(sim::UrbMatch::bulk(), STATUS_DEVICE_NOT_CONNECTED, nth, sim::UsbDevice::kForever);
    EXPECT_EQ(start(handle, kSize), STATUS_DEVICE_NOT_CONNECTED) << nth;
    EXPECT_EQ(stream_of(handle), nullptr);
    device.clear_injections();
  }
  ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
  EXPECT_EQ(get(handle).status, STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

struct StartFailure {
  std::string name;
  void (*fail)(int nth);
};

class StreamStartFailure : public Streaming, public ::testing::WithParamInterface<StartFailure> {};

// Each allocation and mapping of a start failed in turn: the start fails for want
// of resources and leaves nothing behind, or succeeds and streams whole frames.
TEST_P(StreamStartFailure, LeavesNothingBehind) {
  constexpr uint32_t kSize = 300000;
  streaming_camera(kSize);
  sim::Handle handle = open();
  int failed = 0;
  for (int nth = 1; nth <= 16; ++nth) {
    GetParam().fail(nth);
    NTSTATUS status = start(handle, kSize);
    sim::inject::clear();
    if (status == STATUS_SUCCESS) {
      Frame frame = get(handle);
      ASSERT_EQ(frame.status, STATUS_SUCCESS) << nth;
      check_view(frame);
      EXPECT_EQ(stop(handle), STATUS_SUCCESS);
      continue;
    }
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << nth;
    EXPECT_EQ(stream_of(handle), nullptr);
    ++failed;
  }
  EXPECT_GT(failed, 0);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StreamStartFailure,
                         ::testing::Values(StartFailure{"Pool", sim::inject::fail_pool_allocation},
                                           StartFailure{"Irp", sim::inject::fail_irp_allocation},
                                           StartFailure{"Mdl", sim::inject::fail_mdl_allocation},
                                           StartFailure{"UserMapping", sim::inject::fail_user_mapping}),
                         [](const auto& info) { return info.param.name; });

// An application thread terminated while it waits for a frame: its wait ends at
// once, and the stream and the handle stay usable.
TEST_F(Streaming, AThreadTerminatedWhileItWaitsForAFrameLeavesTheStreamUsable) {
  constexpr uint32_t kSize = 300000;
  sim::UsbDevice& device = plug();
  device.camera().set_frame_size(kSize);
  sim::Handle handle = open();
  ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
  std::atomic<NTSTATUS> waited{kNotServed};
  sim::AppThread waiter(sim::current_process(), "waiter", [&] { waited = get(handle).status; });
  ASSERT_TRUE(sim::wait_for_waiter(&stream_of(handle)->FrameReadyEvent, kBound));
  auto terminated = std::chrono::steady_clock::now();
  waiter.terminate();
  ASSERT_TRUE(waiter.wait_exited(kBound));
  EXPECT_LT(std::chrono::steady_clock::now() - terminated, 500ms);
  EXPECT_TRUE(waiter.terminated());
  EXPECT_EQ(waited.load(), kNotServed);  // the call never returned to the application
  device.camera().set_streaming(true);
  Frame frame = get(handle);
  ASSERT_EQ(frame.status, STATUS_SUCCESS);
  check_view(frame);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

// A stop, query-remove or removal of the device ends the transfers of the
// stream on it instead of waiting for them; the stream stays its handle's to stop
// and free, and after a restart the handle streams again.
TEST_F(Streaming, PlugAndPlayEndsTheStreamWithoutWaitingForIt) {
  constexpr uint32_t kSize = 300000;
  sim::UsbDevice& device = streaming_camera(kSize);
  sim::Handle handle = open();
  ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
  ASSERT_EQ(platform().stop(device), STATUS_SUCCESS);
  EXPECT_TRUE(transfers_ended(stream_of(handle)));
  ASSERT_EQ(platform().start(device), STATUS_SUCCESS);
  ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
  ASSERT_EQ(get(handle).status, STATUS_SUCCESS);
  ASSERT_EQ(platform().query_remove(device), STATUS_SUCCESS);
  EXPECT_TRUE(transfers_ended(stream_of(handle)));
  ASSERT_EQ(platform().cancel_remove(device), STATUS_SUCCESS);
  ASSERT_EQ(start(handle, kSize), STATUS_SUCCESS);
  std::future<NTSTATUS> removed = platform().remove_async(device);
  ASSERT_EQ(removed.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(removed.get(), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

// Three cameras streaming at once, each its own frame size: every frame whole.
TEST_F(Streaming, SeveralCamerasStreamAtOnce) {
  const std::vector<std::pair<USHORT, uint32_t>> cameras = {
      {0x100A, 300000}, {0x100E, 1000000}, {0x1009, 1500000}};
  std::vector<sim::Handle> handles;
  for (size_t i = 0; i < cameras.size(); ++i) {
    streaming_camera(cameras[i].second, cameras[i].first);
    handles.push_back(open(static_cast<int>(i)));
    ASSERT_EQ(start(handles[i], cameras[i].second), STATUS_SUCCESS);
  }
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < cameras.size(); ++i) {
      ASSERT_EQ(take_frames(handles[i], 1, cameras[i].second).size(), 1u);
    }
  }
  for (sim::Handle handle : handles) EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

// The machine sleeps and wakes, again and again, under two cameras streaming and a
// third with a frame read in flight: the streams keep their frames and go on with
// whole, newer ones after each wake, never an error; the read ends cancelled; a
// stream started while its camera is out of D0 waits for it. Nothing is left in
// any gate.
TEST_F(Streaming, StreamsGoOnAcrossTheMachineSleepingAndWaking) {
  const std::vector<std::pair<USHORT, uint32_t>> cameras = {{0x100A, 300000}, {0x100E, 1000000}};
  std::vector<sim::Handle> handles;
  std::vector<int64_t> last(cameras.size(), -1);  // the last frame number seen
  for (size_t i = 0; i < cameras.size(); ++i) {
    streaming_camera(cameras[i].second, cameras[i].first);
    handles.push_back(open(static_cast<int>(i)));
    ASSERT_EQ(start(handles[i], cameras[i].second), STATUS_SUCCESS);
  }
  sim::UsbDevice& reader = plug(camera(0x100A));
  reader.camera().set_frame_size(0x180000);
  reader.camera().stop_after(0x1000);
  sim::Handle read_handle = open(2);
  for (SYSTEM_POWER_STATE state : {PowerSystemSleeping1, PowerSystemSleeping3, PowerSystemHibernate}) {
    SCOPED_TRACE(state);
    for (size_t i = 0; i < cameras.size(); ++i) {
      std::vector<uint32_t> numbers = take_frames(handles[i], 2, cameras[i].second);
      ASSERT_EQ(numbers.size(), 2u);
      EXPECT_GT(static_cast<int64_t>(numbers[0]), last[i]);
      last[i] = numbers[1];
    }
    std::future<Reply> read;
    if (state == PowerSystemSleeping1) {
      reader.clear_trace();
      read = std::async(std::launch::async,
                        [&] { return send_control(read_handle, IOCTL_CAM_READ_FRAME, {}, 0x180000); });
      ASSERT_TRUE(reader.wait_for_events(sim::UrbMatch::vendor(0xB3), 1, kBound));
    }
    EXPECT_EQ(platform().sleep(state), STATUS_SUCCESS);
    if (read.valid()) {
      ASSERT_EQ(read.wait_for(kBound), std::future_status::ready);
      EXPECT_EQ(read.get().status, STATUS_CANCELLED);
    }
    EXPECT_EQ(platform().wake(), STATUS_SUCCESS);
  }
  // Started while its camera is in D3: the frames come once it is back.
  sim::UsbDevice& late = streaming_camera(300000);
  sim::Handle late_handle = open(3);
  ASSERT_EQ(platform().send_power(late, IRP_MN_SET_POWER, DevicePowerState, power_state(PowerDeviceD3)).get(),
            STATUS_SUCCESS);
  // One stopped while parked ends cleanly; the next waits for D0.
  ASSERT_EQ(start(late_handle, 300000), STATUS_SUCCESS);
  EXPECT_EQ(stop(late_handle), STATUS_SUCCESS);
  ASSERT_EQ(start(late_handle, 300000), STATUS_SUCCESS);
  EXPECT_EQ(stream_of(late_handle)->ParkedCount, 2u);
  ASSERT_EQ(platform().send_power(late, IRP_MN_SET_POWER, DevicePowerState, power_state(PowerDeviceD0)).get(),
            STATUS_SUCCESS);
  EXPECT_EQ(take_frames(late_handle, 2, 300000).size(), 2u);
  for (size_t i = 0; i < cameras.size(); ++i) {
    EXPECT_EQ(take_frames(handles[i], 2, cameras[i].second).size(), 2u);
    EXPECT_EQ(sim::nt_close(handles[i]), STATUS_SUCCESS);
  }
  EXPECT_EQ(sim::nt_close(late_handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(read_handle), STATUS_SUCCESS);
  // A stream's last transfer leaves the gate just after it lets its stop go on.
  for (int i = 0; i < 4; ++i) {
    PDEVICE_OBJECT fdo = platform().fdo(*platform().bus().devices()[i]);
    volatile LONG* count = &static_cast<PCAM_DEVICE_EXTENSION>(fdo->DeviceExtension)->IoCount;
    auto deadline = std::chrono::steady_clock::now() + kBound;
    while (__atomic_load_n(count, __ATOMIC_SEQ_CST) != 1 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    EXPECT_EQ(*count, 1) << i;
  }
}

}  // namespace
}  // namespace quorvex::test
