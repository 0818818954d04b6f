// The camera model's image source as the frame reads and streaming will meet it:
// the test pattern and its checker, triggered frames that end their transfer,
// frames back to back across transfers, a camera that stops mid-frame, the rate
// limits, and the scaling of kernel time-outs.
#include "sim_little_driver.h"

namespace simtest {
namespace {

constexpr uint32_t kFrame = 6000;  // not a multiple of the packet size

sim::CameraConfig camera_with_frames(uint32_t frame_size) {
  sim::CameraConfig config;
  config.frame_size = frame_size;
  return config;
}

TEST(Pattern, NamesItsFrameAndFindsTornOrShiftedData) {
  std::vector<uint8_t> frame(1000);
  sim::pattern::fill(7, 0, frame.data(), frame.size());
  sim::pattern::Check whole = sim::pattern::check(frame.data(), frame.size());
  EXPECT_TRUE(whole.ok);
  EXPECT_EQ(whole.frame, 7u);
  EXPECT_TRUE(sim::pattern::matches(7, 301, frame.data() + 301, 250));
  EXPECT_FALSE(sim::pattern::matches(8, 301, frame.data() + 301, 250));

  std::vector<uint8_t> torn = frame;
  sim::pattern::fill(8, 500, torn.data() + 500, 500);  // the second half from the next frame
  sim::pattern::Check tear = sim::pattern::check(torn.data(), torn.size());
  EXPECT_FALSE(tear.ok);
  EXPECT_EQ(tear.first_bad_offset, 500u);

  std::vector<uint8_t> shifted(1000);
  sim::pattern::fill(7, 1, shifted.data(), shifted.size());  // one byte lost at the start
  EXPECT_FALSE(sim::pattern::check(shifted.data(), shifted.size()).ok);

  // Pieces of every alignment and length, far into a stream too, agree with the
  // byte-by-byte checker: the fast path's head, body and tail join up.
  for (uint64_t base : {uint64_t{0}, uint64_t{5} << 32}) {
    for (uint64_t offset = base; offset < base + 20; ++offset) {
      for (size_t length = 0; length < 70; ++length) {
        std::vector<uint8_t> piece(length);
        sim::pattern::fill(3, offset, piece.data(), length);
        ASSERT_TRUE(sim::pattern::matches(3, offset, piece.data(), length)) << offset << " " << length;
      }
    }
  }
}

class Image : public ::testing::Test {
 protected:
  explicit Image(uint32_t frame_size = kFrame) : rig_(camera_with_frames(frame_size)) {}

  // The bytes an IN transfer of `length` brought.
  std::vector<uint8_t> receive(ULONG length) {
    auto request = rig_.bulk(length);
    EXPECT_EQ(request->send_and_wait(), STATUS_SUCCESS);
    ULONG actual = request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    return std::vector<uint8_t>(request->buffer.begin(), request->buffer.begin() + actual);
  }

  sim::Camera& camera() { return rig_.device().camera(); }

  CameraRig rig_;
};

TEST_F(Image, ATriggeredFrameEndsTheTransferThatCarriesItsLastByte) {
  camera().queue_frames(1);
  std::vector<uint8_t> first = receive(4096);
  ASSERT_EQ(first.size(), 4096u);
  EXPECT_TRUE(sim::pattern::matches(0, 0, first.data(), first.size()));
  std::vector<uint8_t> rest = receive(4096);
  ASSERT_EQ(rest.size(), kFrame - 4096);
  EXPECT_TRUE(sim::pattern::matches(0, 4096, rest.data(), rest.size()));

  // Nothing more comes until the next trigger, which brings the next frame.
  auto waiting = rig_.pending_in(CameraRig::kIn, 8192);
  EXPECT_FALSE(waiting->done.is_set());
  camera().queue_frames(1);
  ASSERT_TRUE(waiting->done.wait());
  ASSERT_EQ(waiting->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, kFrame);
  sim::pattern::Check next = sim::pattern::check(waiting->buffer.data(), kFrame);
  EXPECT_TRUE(next.ok);
  EXPECT_EQ(next.frame, 1u);
}

TEST_F(Image, TheTriggerRequestQueuesAFrame) {
  auto trigger = [this](ULONG length) {
    UrbIrp request(rig_.pdo());
    request.vendor(0xB3, 0, length, USBD_SHORT_TRANSFER_OK);
    return request.send_and_wait();
  };
  EXPECT_EQ(trigger(12), STATUS_UNSUCCESSFUL);  // a length the camera does not take
  EXPECT_EQ(camera().triggers(), 0u);
  EXPECT_EQ(trigger(16), STATUS_SUCCESS);
  EXPECT_EQ(camera().triggers(), 1u);
  EXPECT_EQ(receive(kFrame).size(), kFrame);
}

TEST_F(Image, AStreamRunsFramesBackToBackAcrossTransfers) {
  camera().set_streaming(true);
  std::vector<uint8_t> stream;
  for (int i = 0; i < 5; ++i) {
    std::vector<uint8_t> piece = receive(4096);
    EXPECT_EQ(piece.size(), 4096u);  // no frame boundary ends a transfer early
    stream.insert(stream.end(), piece.begin(), piece.end());
  }
  camera().set_streaming(false);
  for (uint32_t f = 0; (f + 1) * kFrame <= stream.size(); ++f) {
    sim::pattern::Check check = sim::pattern::check(stream.data() + f * kFrame, kFrame);
    EXPECT_TRUE(check.ok) << f;
    EXPECT_EQ(check.frame, f);
  }
}

// The camera stops 1024 bytes into a frame: a transfer that wants more waits
// (an abort ends it empty), and once the camera goes on, so does the frame.
TEST_F(Image, ACameraThatStopsMidFrameLeavesTheTransferWaiting) {
  camera().stop_after(1024);
  camera().queue_frames(1);
  std::vector<uint8_t> start = receive(1024);
  EXPECT_TRUE(sim::pattern::matches(0, 0, start.data(), start.size()));
  auto waiting = rig_.pending_in(CameraRig::kIn, kFrame);
  EXPECT_EQ(rig_.pipe_request(URB_FUNCTION_ABORT_PIPE)->send_and_wait(), STATUS_SUCCESS);
  ASSERT_TRUE(waiting->done.wait());
  EXPECT_EQ(waiting->status, STATUS_CANCELLED);
  EXPECT_EQ(waiting->buffer, std::vector<uint8_t>(kFrame, 0xDE));
  camera().stop_after(UINT64_MAX);
  std::vector<uint8_t> rest = receive(kFrame);
  ASSERT_EQ(rest.size(), kFrame - 1024);
  EXPECT_TRUE(sim::pattern::matches(0, 1024, rest.data(), rest.size()));
}

// A transfer that got part of its data inside IofCallDriver goes on from there.
TEST_F(Image, AnInlineTransferThatMustWaitKeepsWhatItAlreadyHas) {
  rig_.device().set_complete_inline(true);
  camera().stop_after(1000);
  camera().queue_frames(1);
  auto whole = rig_.bulk(kFrame);
  EXPECT_EQ(whole->send(), STATUS_PENDING);
  camera().stop_after(UINT64_MAX);
  ASSERT_TRUE(whole->done.wait());
  ASSERT_EQ(whole->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, kFrame);
  EXPECT_TRUE(sim::pattern::check(whole->buffer.data(), kFrame).ok);
}

class RateLimited : public Image {
 protected:
  RateLimited() : Image(512) {}

  std::chrono::duration<double> time_to_receive(int transfers, ULONG length) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < transfers; ++i) EXPECT_EQ(receive(length).size(), length);
    return std::chrono::steady_clock::now() - start;
  }
};

// Lower bounds only: a slow machine may take longer, never shorter.
TEST_F(RateLimited, TheFrameRateSpacesTheFrames) {
  camera().set_streaming(true);
  camera().set_frame_rate(200);
  EXPECT_GE(time_to_receive(6, 512).count(), 0.9 * 5 / 200);
  camera().set_streaming(false);
}

TEST_F(RateLimited, TheBandwidthLimitsTheByteRate) {
  camera().set_streaming(true);
  camera().set_bandwidth(2'000'000);
  EXPECT_GE(time_to_receive(25, 4096).count(), 0.9 * 25 * 4096 / 2'000'000);
  camera().set_streaming(false);
}

TEST(TimeoutScale, ShortensKernelWaits) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER ten_seconds;
  ten_seconds.QuadPart = -100'000'000LL;
  sim::set_timeout_scale(0.001);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &ten_seconds), STATUS_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  sim::set_timeout_scale(1.0);
}

}  // namespace
}  // namespace simtest
