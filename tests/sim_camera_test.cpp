// The camera model's image source as the frame reads and streaming will meet it:
// the picture and the code that proves its pieces, frames that follow the window,
// triggered frames that end their transfer, frames back to back across transfers, a
// stream that drops whole frames when no transfer takes them in time, a camera that
// stops mid-frame, the rate limits, and the scaling of kernel time-outs.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <optional>

#include "sim_little_driver.h"

namespace simtest {
namespace {

constexpr uint32_t kFrame = 6000;  // not a multiple of the packet size

sim::CameraConfig camera_with_frames(std::optional<uint32_t> frame_size, USHORT product = 0x100A) {
  sim::CameraConfig config;
  config.frame_size = frame_size;
  config.product_id = product;
  return config;
}

constexpr sim::pattern::Geometry kGrey{320, 48, 1};
constexpr sim::pattern::Geometry kColour{320, 48, 3};

std::vector<uint8_t> drawn(const sim::pattern::Geometry& g, uint32_t frame, uint64_t offset, size_t length) {
  std::vector<uint8_t> bytes(length);
  sim::pattern::fill(g, frame, offset, bytes.data(), length);
  return bytes;
}

class Pattern : public ::testing::TestWithParam<sim::pattern::Geometry> {};

// The code in the lowest bits tells a frame from the next, and a piece from the
// same piece moved by a byte or by a whole row (which the picture alone would not:
// its rows repeat).
TEST_P(Pattern, NamesItsFrameAndFindsTornOrShiftedData) {
  const sim::pattern::Geometry& g = GetParam();
  size_t row = g.width * g.bytes_per_pixel;
  std::vector<uint8_t> frame = drawn(g, 7, 0, 3000);
  sim::pattern::Check whole = sim::pattern::check(frame.data(), frame.size());
  EXPECT_TRUE(whole.ok);
  EXPECT_EQ(whole.frame, 7u);
  EXPECT_TRUE(sim::pattern::matches(7, 301, frame.data() + 301, 250));
  EXPECT_FALSE(sim::pattern::matches(8, 301, frame.data() + 301, 250));
  EXPECT_FALSE(sim::pattern::matches(7, 301 + row, frame.data() + 301, 250));

  std::vector<uint8_t> torn = frame;
  sim::pattern::fill(g, 8, 500, torn.data() + 500, 500);  // the middle from the next frame
  sim::pattern::Check tear = sim::pattern::check(torn.data(), torn.size());
  EXPECT_FALSE(tear.ok);
  EXPECT_GE(tear.first_bad_offset, 500u);
  EXPECT_LT(tear.first_bad_offset, 516u);  // one code bit a byte: found within a few bytes

  std::vector<uint8_t> shifted = drawn(g, 7, 1, 3000);  // one byte lost at the start
  EXPECT_FALSE(sim::pattern::check(shifted.data(), shifted.size()).ok);
  EXPECT_EQ(sim::pattern::mismatch(7, 1, shifted.data(), shifted.size()), shifted.size());
}

// Pieces of every alignment and length, far into a stream too, are the bytes of the
// frame drawn whole: the blocks' heads, bodies and tails join up across rows.
TEST_P(Pattern, PiecesAreTheFrameDrawnWhole) {
  const sim::pattern::Geometry& g = GetParam();
  for (uint64_t base : {uint64_t{0}, uint64_t{5} << 32}) {
    std::vector<uint8_t> frame = drawn(g, 3, base, 400);
    for (uint64_t start = 0; start < 40; ++start) {
      for (size_t length = 0; length < 360; length += 7) {
        std::vector<uint8_t> piece = drawn(g, 3, base + start, length);
        ASSERT_TRUE(std::equal(piece.begin(), piece.end(), frame.begin() + start)) << start << " " << length;
        ASSERT_TRUE(sim::pattern::matches(3, base + start, piece.data(), length)) << start << " " << length;
      }
    }
  }
}

// A piece long enough to hold a whole code block, wherever it starts, says which
// frame it is and where in it; bytes that are not the camera's name no place they
// fit, and a frame beyond those sent is not offered.
TEST_P(Pattern, APieceOfAWholeCodeBlockSaysWhereItCameFrom) {
  const sim::pattern::Geometry& g = GetParam();
  constexpr uint64_t kSize = 1 << 20;
  auto located = [](const std::vector<uint8_t>& piece, uint32_t frames) {
    sim::pattern::Place places[4];
    size_t found =
        std::min(sim::pattern::locate(piece.data(), piece.size(), frames, kSize, places, 4), size_t{4});
    std::vector<sim::pattern::Place> fitting;
    for (size_t i = 0; i < found; ++i) {
      if (sim::pattern::matches(places[i].frame, places[i].offset, piece.data(), piece.size()))
        fitting.push_back(places[i]);
    }
    return fitting;
  };
  for (uint32_t frame : {0u, 9u, 40000u}) {
    for (uint64_t offset :
         {uint64_t{0}, uint64_t{1}, uint64_t{63}, uint64_t{64}, uint64_t{777}, kSize - 200}) {
      for (size_t length : {size_t{127}, size_t{200}}) {
        std::vector<uint8_t> piece = drawn(g, frame, offset, length);
        std::vector<sim::pattern::Place> fitting = located(piece, 40001);
        ASSERT_EQ(fitting.size(), 1u) << frame << " at " << offset << ", " << length;
        EXPECT_EQ(fitting[0].frame, frame);
        EXPECT_EQ(fitting[0].offset, offset);
        EXPECT_TRUE(located(piece, frame).empty()) << "a frame not yet sent";
      }
    }
  }
  EXPECT_TRUE(located(std::vector<uint8_t>(300, 0xDE), 40001).empty());
  std::vector<uint8_t> spliced = drawn(g, 9, 1000, 300);
  sim::pattern::fill(g, 10, 1150, spliced.data() + 150, 150);
  EXPECT_TRUE(located(spliced, 40001).empty());
}

INSTANTIATE_TEST_SUITE_P(Depths, Pattern, ::testing::Values(kGrey, kColour), [](const auto& info) {
  return info.param.bytes_per_pixel == 1 ? "Grey" : "Colour";
});

// One pixel's value, its code bit taken away.
struct Picture {
  const sim::pattern::Geometry& g;
  std::vector<uint8_t> bytes;
  int at(uint32_t x, uint32_t y, uint32_t channel = 0) const {
    return bytes[(y * g.width + x) * g.bytes_per_pixel + channel] | 1;
  }
};

Picture picture(const sim::pattern::Geometry& g, uint32_t frame) {
  return {g, drawn(g, frame, 0, g.width * g.height * g.bytes_per_pixel)};
}

// What a person sees: gradients (grey rising to the bottom right; red rising and
// blue falling to the right, green rising downwards), a white bar that moves a
// step each frame, and the frame number white on black in the top left corner.
TEST(PatternPicture, GradientsABarThatMovesAndTheNumber) {
  for (const sim::pattern::Geometry& g : {kGrey, kColour}) {
    SCOPED_TRACE(g.bytes_per_pixel);
    Picture seven = picture(g, 7);
    Picture eight = picture(g, 8);
    uint32_t bar = g.width / 32;  // 10 pixels, at 7 * 10 in frame 7
    uint32_t y = g.height - 1;    // below the number
    for (uint32_t x = 0; x < g.width; ++x) {
      bool in_bar = x / bar == 7;
      EXPECT_EQ(seven.at(x, y) == 0xFF && seven.at(x, y, g.bytes_per_pixel - 1) == 0xFF, in_bar) << x;
      EXPECT_EQ(eight.at(x, y) == 0xFF && eight.at(x, y, g.bytes_per_pixel - 1) == 0xFF, x / bar == 8) << x;
      if (x == 0 || in_bar || x / bar == 8) continue;
      if (g.bytes_per_pixel == 1) {
        EXPECT_GE(seven.at(x, y), seven.at(x - 1, y)) << x;
        EXPECT_GE(seven.at(x, y), seven.at(x, y - 20)) << x;
      } else {
        EXPECT_GE(seven.at(x, y, 0), seven.at(x - 1, y, 0)) << x;
        EXPECT_LE(seven.at(x, y, 2), seven.at(x - 1, y, 2)) << x;
        EXPECT_GT(seven.at(x, y, 1), seven.at(x, y - 20, 1)) << x;
      }
    }
    EXPECT_GT(seven.at(g.width - 1, y), seven.at(0, y) + 80);
    // The number's box: one cell (a pixel here) of black round a 5 x 7 digit.
    EXPECT_EQ(seven.at(2, 2), 1);
    EXPECT_EQ(seven.at(3, 3), 0xFF);  // the top left of a 7
    EXPECT_EQ(seven.at(3, 4), 1);
    EXPECT_EQ(eight.at(3, 3), 1);  // an 8 has its corner round
    Picture hundred = picture(g, 123);
    EXPECT_EQ(hundred.at(2 + 6 * 3, 5), 1);  // three digits make the box wider
    EXPECT_NE(seven.at(2 + 6 * 3, 5), 1);
  }
}

class Image : public ::testing::Test {
 protected:
  explicit Image(std::optional<uint32_t> frame_size = kFrame, USHORT product = 0x100A)
      : rig_(camera_with_frames(frame_size, product)) {}

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

// A streamed frame follows the last across transfers; its last packet, short when
// the frame is not whole packets, ends the transfer it lands in, so that no packet
// holds two frames. A frame of whole packets ends no transfer.
TEST_F(Image, AStreamRunsFramesBackToBackAcrossTransfers) {
  camera().set_streaming(true);
  for (uint32_t f = 0; f < 3; ++f) {
    std::vector<uint8_t> head = receive(4096);
    std::vector<uint8_t> tail = receive(4096);
    ASSERT_EQ(head.size(), 4096u);
    ASSERT_EQ(tail.size(), kFrame - 4096);
    EXPECT_TRUE(sim::pattern::matches(f, 0, head.data(), head.size())) << f;
    EXPECT_TRUE(sim::pattern::matches(f, 4096, tail.data(), tail.size())) << f;
  }
  camera().set_frame_size(1024);
  std::vector<uint8_t> four = receive(4096);
  ASSERT_EQ(four.size(), 4096u);
  for (uint32_t f = 0; f < 4; ++f) {
    EXPECT_TRUE(sim::pattern::matches(3 + f, 0, four.data() + f * 1024, 1024)) << f;
  }
  camera().set_streaming(false);
}

struct StreamCase {
  const char* name;
  uint64_t bandwidth;  // bytes a second; 0: unlimited
  size_t in_flight;    // IN transfers kept pending
  bool late;           // each transfer re-armed only after two frames went by
};

class Stream : public Image, public ::testing::WithParamInterface<StreamCase> {};

// Frame-sized transfers, re-armed as each completes: every frame comes whole and
// untorn from its first byte, the numbers of the frames dropped are the ones
// skipped, and counted. A reader that keeps transfers pending misses nothing.
TEST_P(Stream, DeliversWholeFramesAndCountsTheOnesNoTransferTook) {
  constexpr size_t kFrames = 8;
  const StreamCase& c = GetParam();
  camera().set_streaming(true);
  camera().set_bandwidth(c.bandwidth);
  std::deque<std::unique_ptr<UrbIrp>> in_flight;
  // An unlimited stream fills a transfer as soon as the bus has it: sent, not seen pending.
  auto arm = [&] {
    in_flight.push_back(rig_.bulk(kFrame));
    EXPECT_EQ(in_flight.back()->send(), STATUS_PENDING);
  };
  for (size_t i = 0; i < c.in_flight; ++i) arm();
  std::vector<uint32_t> numbers;
  for (size_t i = 0; i < kFrames; ++i) {
    std::unique_ptr<UrbIrp> done = std::move(in_flight.front());
    in_flight.pop_front();
    ASSERT_TRUE(done->done.wait());
    ASSERT_EQ(done->status, STATUS_SUCCESS);
    ASSERT_EQ(done->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, kFrame);
    sim::pattern::Check check = sim::pattern::check(done->buffer.data(), kFrame);
    EXPECT_TRUE(check.ok) << i;
    numbers.push_back(check.frame);
    if (i + c.in_flight >= kFrames) continue;
    if (c.late) {
      ASSERT_TRUE(camera().wait_for_dropped(camera().frames_dropped() + 2, kBound));
    }
    arm();
  }
  camera().set_streaming(false);
  uint32_t dropped = camera().frames_dropped();
  EXPECT_EQ(camera().frames_started(), kFrames);
  EXPECT_EQ(numbers.back() + 1, kFrames + dropped);
  for (size_t i = 1; i < kFrames; ++i) {
    if (c.late) {
      EXPECT_GE(numbers[i], numbers[i - 1] + 3) << i;
    } else {
      EXPECT_EQ(numbers[i], numbers[i - 1] + 1) << i;
    }
  }
  EXPECT_EQ(dropped == 0, !c.late);
  EXPECT_EQ(camera().frames_cut(), 0u);
}

constexpr StreamCase kStreamCases[] = {
    // 100 ms a frame: a loaded machine may hold the reader up for a frame or two of 20 ms.
    {"TwoPendingPacedGetConsecutiveFrames", kFrame * 10, 2, false},
    {"TwoPendingUnlimitedGetConsecutiveFrames", 0, 2, false},
    {"OneReArmedLateLosesWholeFrames", kFrame * 1000, 1, true},  // 1 ms a frame
};

INSTANTIATE_TEST_SUITE_P(Readers, Stream, ::testing::ValuesIn(kStreamCases), CaseName());

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

// A camera whose frames are its window, set as a driver sets it: registers 0x03 and
// 0x04 hold the height and width less one.
class Window : public Image, public ::testing::WithParamInterface<USHORT> {
 protected:
  Window() : Image(std::nullopt, GetParam()) {}

  void set_window(uint16_t width, uint16_t height) {
    for (auto [reg, value] : {std::pair{0x03, height - 1}, std::pair{0x04, width - 1}}) {
      UrbIrp write(rig_.pdo());
      write.vendor(0xB7, static_cast<USHORT>(reg), 2, 0);
      write.buffer = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
      ASSERT_EQ(write.send_and_wait(), STATUS_SUCCESS);
    }
  }
  uint32_t depth() const { return GetParam() == 0x100A || GetParam() == 0x100D ? 1 : 3; }
};

// A frame is width x height pixels of the sensor's depth; a window changed while a
// frame is on its way applies from the next frame, as the sensor takes its window
// when a frame starts.
TEST_P(Window, FramesFollowTheWindowAndTheDepth) {
  set_window(640, 480);
  sim::pattern::Geometry window = camera().window();
  EXPECT_EQ(window.width, 640u);
  EXPECT_EQ(window.height, 480u);
  EXPECT_EQ(window.bytes_per_pixel, depth());
  uint32_t size = 640 * 480 * depth();
  EXPECT_EQ(camera().frame_size(), size);
  camera().queue_frames(2);
  std::vector<uint8_t> first = receive(4 << 20);
  ASSERT_EQ(first.size(), size);
  EXPECT_TRUE(sim::pattern::check(first.data(), size).ok);
  std::vector<uint8_t> start = receive(4096);
  set_window(1024, 768);
  EXPECT_EQ(camera().frame_size(), 1024 * 768 * depth());
  std::vector<uint8_t> rest = receive(4 << 20);
  ASSERT_EQ(rest.size(), size - 4096);
  std::vector<uint8_t> expected(size);
  sim::pattern::fill(window, 1, 0, expected.data(), size);
  EXPECT_TRUE(std::equal(start.begin(), start.end(), expected.begin()));
  EXPECT_TRUE(std::equal(rest.begin(), rest.end(), expected.begin() + 4096));
  camera().queue_frames(1);
  EXPECT_EQ(receive(4 << 20).size(), 1024 * 768 * depth());
}

INSTANTIATE_TEST_SUITE_P(Products, Window, ::testing::Values(0x100A, 0x100D, 0x100E), [](const auto& info) {
  char name[16];
  std::snprintf(name, sizeof(name), "Product%04X", info.param);
  return std::string(name);
});

struct PowerOn {
  USHORT product;
  sim::pattern::Geometry window;
};

class PowerOnWindow : public ::testing::TestWithParam<PowerOn> {};

// At power-on the window is the whole sensor of the product's model at the
// product's depth, registers 0x03 and 0x04 less one; a product the table does not
// know has the smallest sensor, in colour.
TEST_P(PowerOnWindow, IsTheWholeSensorAtTheProductsDepth) {
  sim::Camera camera(camera_with_frames(std::nullopt, GetParam().product));
  const sim::pattern::Geometry& expected = GetParam().window;
  sim::pattern::Geometry window = camera.window();
  EXPECT_EQ(window.width, expected.width);
  EXPECT_EQ(window.height, expected.height);
  EXPECT_EQ(window.bytes_per_pixel, expected.bytes_per_pixel);
  EXPECT_EQ(camera.reg(0x03), expected.height - 1);
  EXPECT_EQ(camera.reg(0x04), expected.width - 1);
}

INSTANTIATE_TEST_SUITE_P(Products, PowerOnWindow,
                         ::testing::Values(PowerOn{0x1009, {1280, 1024, 1}}, PowerOn{0x100A, {1280, 1024, 1}},
                                           PowerOn{0x100B, {2592, 1944, 3}}, PowerOn{0x100C, {2592, 1944, 3}},
                                           PowerOn{0x100D, {2592, 1944, 1}}, PowerOn{0x100E, {2048, 1536, 3}},
                                           PowerOn{0x100F, {2592, 1944, 3}},
                                           PowerOn{0x1234, {1280, 1024, 3}}),
                         [](const auto& info) {
                           char name[16];
                           std::snprintf(name, sizeof(name), "Product%04X", info.param.product);
                           return std::string(name);
                         });

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

// The frames no transfer took during a pause are gone, not owed: the stream goes
// on at its pace instead of catching up in a burst.
TEST_F(RateLimited, TheBandwidthHoldsAfterAPause) {
  camera().set_streaming(true);
  camera().set_bandwidth(512 * 200);  // a frame each 5 ms
  EXPECT_EQ(receive(512).size(), 512u);
  ASSERT_TRUE(camera().wait_for_dropped(10, kBound));
  EXPECT_GE(time_to_receive(6, 512).count(), 0.9 * 5 / 200);
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
