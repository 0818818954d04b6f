// The client library on the simulated platform: every family of requests on every
// product, with values in the camera's units proven against the bytes on the bus;
// what the library refuses, proven to send nothing; failures named as the driver and
// the USB stack reported them; streams, in place and copied, from start to stop,
// across threads and past an unplug.
#include <sim/pattern.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "client/camera.h"
#include "client/platform.h"
#include "client/stream.h"
#include "support/control.h"

namespace quorvex::test {
namespace {

using quorvex::Camera;
using quorvex::Frame;
using quorvex::FrameCopy;
using quorvex::LibraryCode;
using quorvex::Limits;
using quorvex::Setting;
using quorvex::Stream;
using quorvex::StreamOptions;

constexpr USHORT kAllProducts[] = {0x1009, 0x100A, 0x100B, 0x100C, 0x100D, 0x100E, 0x100F};

class ClientTest : public Testbed {
 protected:
  void attach(USHORT product) {
    device_ = &plug(camera(product));
    quorvex::Status status;
    cam_ = Camera::open(0, &status);
    ASSERT_TRUE(status) << status.message();
    ASSERT_TRUE(cam_.product(&product_));
    device_->clear_trace();
  }

  // The control traffic since the last call, which clears it.
  Traffic traffic() { return take_control_traffic(*device_); }

  sim::UsbDevice* device_ = nullptr;
  Camera cam_;
  const quorvex::ProductInfo* product_ = nullptr;
};

// The number of a frame proven whole and untorn against the camera's pattern.
uint32_t whole(const uint8_t* data, uint32_t size) {
  if (data == nullptr) {
    ADD_FAILURE() << "no frame";
    return 0;
  }
  sim::pattern::Check check = sim::pattern::check(data, size);
  EXPECT_TRUE(check.ok) << "frame " << check.frame << " differs at " << check.first_bad_offset;
  return check.frame;
}

StreamOptions numbered(uint32_t frame_bytes = 0) {
  StreamOptions options;
  options.frame_bytes = frame_bytes;
  options.frame_number = quorvex::pattern_frame_number;
  return options;
}

// A take or read given time for a slow machine: under ThreadSanitizer the simulated
// camera may need more than the driver's second for a large frame, which the take
// reports as no frame yet (STATUS_UNSUCCESSFUL), the stream going on.
template <typename Take>
quorvex::Status patiently(Take take) {
  quorvex::Status status;
  for (int second = 0; second < 30; ++second) {
    status = take();
    if (status || status.nt_code() != 0xC0000001) return status;
  }
  return status;
}

class EachProduct : public ClientTest, public ::testing::WithParamInterface<USHORT> {
 protected:
  void SetUp() override { attach(GetParam()); }
};

bool one_register(Setting s, uint32_t model) {
  switch (s) {
    case Setting::Exposure:
      return model != CAM_MODEL_1801;
    case Setting::GlobalGain:
    case Setting::Gain2B:
    case Setting::Gain2C:
    case Setting::Gain2D:
    case Setting::Gain2E:
    case Setting::Offset60:
    case Setting::Offset61:
    case Setting::Offset63:
    case Setting::Offset64:
      return true;
    default:
      return false;
  }
}

// Each end of every span a setting accepts goes out as the register value the driver
// writes for it (the library's own encoding must agree with the driver's) and reads
// back as itself; one step beyond goes nowhere. Settings the product does not have
// send nothing either way.
TEST_P(EachProduct, SettingsAtTheirBoundariesAndBeyond) {
  for (const quorvex::SettingInfo& s : quorvex::settings()) {
    if (s.setting == Setting::Resolution) continue;
    SCOPED_TRACE(s.name);
    Limits l = cam_.limits(s.setting);
    int64_t back = -7;
    quorvex::Status status = cam_.get(s.setting, &back);
    EXPECT_EQ(bool(status), l.readable) << status.message();
    if (!l.readable) {
      EXPECT_EQ(status.code, quorvex::kNotOnModel);
    }
    traffic();
    if (!l.settable()) {
      EXPECT_EQ(cam_.set(s.setting, 1).code, quorvex::kNotOnModel);
      EXPECT_EQ(traffic(), Traffic{});
    }
    for (const quorvex::Span& span : l.values) {
      for (int64_t v : {span.low, span.high}) {
        ASSERT_TRUE(cam_.set(s.setting, v)) << v;
        Traffic sent = traffic();
        if (one_register(s.setting, product_->model)) {
          EXPECT_EQ(sent, Traffic{reg_write(s.reg, *quorvex::encode(s.setting, product_->model, v))}) << v;
        }
        if (l.readable) {
          ASSERT_TRUE(cam_.get(s.setting, &back)) << v;
          EXPECT_EQ(back, v);
        }
        traffic();
      }
      for (int64_t v : {span.low - 1, span.high + 1}) {
        if (l.accepts(v)) continue;
        quorvex::Status refused = cam_.set(s.setting, v);
        EXPECT_EQ(refused.origin, quorvex::Origin::Library) << v;
        EXPECT_EQ(refused.code, quorvex::kOutOfRange) << v;
        EXPECT_EQ(traffic(), Traffic{}) << v;
      }
    }
  }
}

// Every window the model accepts reads back with the product's pixel depth; the
// windows of other models, and one no model has, go nowhere.
TEST_P(EachProduct, Windows) {
  Limits l = cam_.limits(Setting::Resolution);
  for (const quorvex::WindowSize& w : l.windows) {
    ASSERT_TRUE(cam_.set_resolution(w.width, w.height));
    quorvex::Resolution r;
    ASSERT_TRUE(cam_.resolution(&r));
    EXPECT_EQ(r.width, w.width);
    EXPECT_EQ(r.height, w.height);
    EXPECT_EQ(r.bits_per_pixel, product_->bits_per_pixel);
  }
  traffic();
  for (quorvex::WindowSize w : {quorvex::WindowSize{1280, 960}, {2592, 1944}, {2048, 1536}, {640, 480}}) {
    if (l.accepts(w)) continue;
    EXPECT_EQ(cam_.set_resolution(w.width, w.height).code, quorvex::kOutOfRange);
  }
  EXPECT_EQ(traffic(), Traffic{});
}

// The vendor commands, as the camera sees them, and what comes back to the caller.
struct RawCase {
  const char* name;
  std::function<quorvex::Status(const Camera&, std::string*)> call;
  Traffic traffic;
  std::string result;
};

std::string hex32(uint32_t v) { return hex(le32(v)); }

const RawCase kRaw[] = {
    {"trigger",
     [](const Camera& c, std::string*) { return c.trigger(); },
     {"40 B3 0000 0000 000A :" + hex(Bytes(10, 0xFF))},
     ""},
    {"b4",
     [](const Camera& c, std::string*) { return c.command_b4(); },
     {"40 B4 0000 0000 000A :" + hex(Bytes(10, 0xFF))},
     ""},
    {"b8",
     [](const Camera& c, std::string*) { return c.command_b8(); },
     {"40 B8 0000 0000 000A :" + hex(Bytes(10, 0xFF))},
     ""},
    {"b9",
     [](const Camera& c, std::string*) { return c.write_b9(0xFF, 0xBEEF); },
     {"40 B9 00FF 0000 0002 : EF BE"},
     ""},
    {"b9 selector past 8 bits", [](const Camera& c, std::string*) { return c.write_b9(0x100, 1); }, {}, ""},
    {"block out",
     [](const Camera& c, std::string*) {
       return c.write_block(7, {1, 2, 3});
     },
     {"40 BA 0007 0000 0003 : 01 02 03"},
     ""},
    {"block in",
     [](const Camera& c, std::string* r) {
       std::vector<uint8_t> data;
       quorvex::Status s = c.read_block(0x10, 3, &data);
       *r = hex(data);
       return s;
     },
     {"C0 BA 0010 0000 0003 : 10 11 12"},
     " 10 11 12"},
    {"block in past 64 KB",
     [](const Camera& c, std::string*) {
       std::vector<uint8_t> data;
       return c.read_block(1, 0x10000, &data);
     },
     {},
     ""},
    {"bb 0, answered by the driver",
     [](const Camera& c, std::string* r) {
       uint32_t v = 0;
       quorvex::Status s = c.read_bb(0, &v);
       *r = hex32(v);
       return s;
     },
     {},
     hex32(0x02000200)},
    {"bb",
     [](const Camera& c, std::string* r) {
       uint32_t v = 0;
       quorvex::Status s = c.read_bb(3, &v);
       *r = hex32(v);
       return s;
     },
     {"C0 BB 0003 0000 0004 :" + hex32(0x00BB0003)},
     hex32(0x00BB0003)},
    {"bc",
     [](const Camera& c, std::string*) { return c.write_bc(0x1234); },
     {"40 BC 0000 0000 0002 : 34 12"},
     ""},
    {"bc1",
     [](const Camera& c, std::string*) { return c.write_bc1(); },
     {"40 BC 0001 0000 0002 : 00 00"},
     ""},
    {"bd",
     [](const Camera& c, std::string*) { return c.write_bd(0xBEEF); },
     {"40 BD 0000 0000 0002 : EF BE"},
     ""},
    {"be",
     [](const Camera& c, std::string*) { return c.write_be(0x1234); },
     {"40 BE 1234 0000 0004 :" + hex(Bytes(4, 0xFF))},
     ""},
    {"bf",
     [](const Camera& c, std::string*) { return c.write_bf(0xFFFF); },
     {"40 BF FFFF 0000 000A :" + hex(Bytes(10, 0xFF))},
     ""},
    {"c0",
     [](const Camera& c, std::string* r) {
       std::array<uint8_t, 8> data{};
       quorvex::Status s = c.read_c0(&data);
       *r = hex(Bytes(data.begin(), data.end()));
       return s;
     },
     {"C0 C0 0001 0000 0008 :" + hex32(0x01C00001) + hex32(4096)},
     hex32(0x01C00001) + hex32(4096)},
    {"register by 16-bit address",
     [](const Camera& c, std::string* r) {
       uint32_t v = 0;
       quorvex::Status s = c.read_register_ex(0xFF, &v);
       *r = hex32(v);
       return s;
     },
     {reg_read(0xFF, 0)},
     hex32(0)},
    {"register address past 8 bits",
     [](const Camera& c, std::string*) {
       uint32_t v = 0;
       return c.read_register_ex(0x100, &v);
     },
     {},
     ""},
    {"register write and read",
     [](const Camera& c, std::string* r) {
       uint16_t v = 0;
       quorvex::Status s = c.write_register(0x35, 0x1234);
       if (s) s = c.read_register(0x35, &v);
       *r = hex(le16(v));
       return s;
     },
     {reg_write(0x35, 0x1234), reg_read(0x35, 0x1234)},
     " 34 12"},
};

TEST_P(EachProduct, VendorCommands) {
  device_->camera().set_frame_size(4096);  // request 0xC0 reports it
  for (const RawCase& c : kRaw) {
    SCOPED_TRACE(c.name);
    std::string result;
    quorvex::Status status = c.call(cam_, &result);
    // A row without traffic that is not answered by the driver is one the library
    // refuses: its value would not reach the camera whole.
    bool refused = c.traffic.empty() && c.result.empty();
    EXPECT_EQ(bool(status), !refused) << status.message();
    if (refused) {
      EXPECT_EQ(status.code, quorvex::kOutOfRange);
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(traffic(), c.traffic);
  }
  ASSERT_TRUE(cam_.abort_pipe());
}

// A stream at the camera's own frame size (its window at its pixel depth), with
// frames taken in place and given back by their destruction, then copied: each
// whole and untorn, in rising order, counted with the numbers it skipped.
TEST_P(EachProduct, StreamsWholeFramesInPlaceAndCopied) {
  device_->camera().set_streaming(true);
  quorvex::Status status;
  Stream stream = Stream::start(cam_, &status, numbered());
  ASSERT_TRUE(status) << status.message();
  uint32_t bytes = 0;
  ASSERT_TRUE(cam_.frame_bytes(&bytes));
  EXPECT_EQ(stream.frame_bytes(), bytes);
  std::vector<uint32_t> numbers;
  for (int i = 0; i < 4; ++i) {
    Frame frame;
    ASSERT_TRUE(status = patiently([&] { return stream.take(&frame); })) << status.message();
    ASSERT_EQ(frame.size(), bytes);
    numbers.push_back(whole(frame.data(), frame.size()));
    EXPECT_EQ(frame.number(), numbers.back());
  }
  FrameCopy copy;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(status = patiently([&] { return stream.read(&copy); })) << status.message();
    ASSERT_EQ(copy.size(), bytes);
    numbers.push_back(whole(copy.data(), copy.size()));
    EXPECT_EQ(copy.number(), numbers.back());
  }
  EXPECT_TRUE(std::adjacent_find(numbers.begin(), numbers.end(), std::greater_equal<uint32_t>()) ==
              numbers.end());
  quorvex::StreamStats stats = stream.stats();
  EXPECT_EQ(stats.frames, 6u);
  EXPECT_EQ(stats.bytes, 6u * bytes);
  EXPECT_TRUE(stats.counts_drops);
  EXPECT_EQ(stats.numbered, 6u);
  EXPECT_EQ(stats.dropped, numbers.back() - numbers.front() + 1 - 6);
  EXPECT_TRUE(stream.stop());
  EXPECT_FALSE(stream.running());
  EXPECT_EQ(sim::default_process().views(), 0);
}

INSTANTIATE_TEST_SUITE_P(Client, EachProduct, ::testing::ValuesIn(kAllProducts), ProductName());

// Requests whose bytes on the bus the library's units must produce exactly, and
// requests it refuses before anything is sent.
struct Case {
  USHORT product;
  Setting setting;
  int64_t value;
  Traffic traffic;
  std::optional<LibraryCode> refused;
};

const Case kCases[] = {
    {0x100E, Setting::GlobalGain, 42, {reg_write(0x35, 0x0160)}, {}},
    {0x100E, Setting::GlobalGain, 161, {reg_write(0x35, 0x7860)}, {}},
    {0x100E, Setting::GlobalGain, 26, {reg_write(0x35, 0x0051)}, {}},
    {0x1009, Setting::GlobalGain, 48, {reg_write(0x35, 0x0067)}, {}},
    {0x100D, Setting::GlobalGain, 1, {reg_write(0x35, 0x0108)}, {}},
    {0x100B, Setting::Gain2C, 120, {reg_write(0x2C, 0x7808)}, {}},
    {0x100E, Setting::Offset60, 256, {reg_write(0x60, 0x0000)}, {}},
    {0x100E, Setting::Offset64, 0, {reg_write(0x64, 0x0100)}, {}},
    {0x100E,
     Setting::OffsetPair,
     300,
     {reg_write(0x64, 0x25), reg_write(0x63, 0x25), reg_write(0x60, 0x2C), reg_write(0x61, 0x2C)},
     {}},
    {0x100C, Setting::Exposure, 0x12345, {reg_write(0x08, 0x0001), reg_write(0x09, 0x2345)}, {}},
    {0x100A, Setting::Exposure, 0xFFFF, {reg_write(0x09, 0xFFFF)}, {}},
    {0x100E, Setting::Reg05, 9, {"40 B7 0005 0000 0001 : 02"}, {}},
    {0x1009, Setting::Reg20Bits, 2, {reg_read(0x20, 0), reg_write(0x20, 0x8000)}, {}},
    {0x1009, Setting::CaptureMode, 0, {reg_read(0x1E, 0), reg_write(0x1E, 0), reg_write(0x77, 0)}, {}},
    {0x100E,
     Setting::CaptureMode,
     3,
     {reg_write(0x1E, 0x8740), reg_write(0x21, 3), reg_write(0x79, 0x9E02)},
     {}},
    {0x100E, Setting::Reg62, 1, {reg_write(0x62, 1)}, {}},
    {0x100E, Setting::SensorCommand, 1, {reg_write(0x78, 0x9C57)}, {}},
    {0x100B, Setting::SensorCommand, 2, {}, {}},  // model 0x1801 takes it and sends nothing
    {0x100E, Setting::GlobalGain, 162, {}, quorvex::kOutOfRange},
    {0x100E, Setting::GlobalGain, -1, {}, quorvex::kOutOfRange},
    {0x1009, Setting::GlobalGain, 49, {}, quorvex::kOutOfRange},
    {0x100B, Setting::GlobalGain, 0, {}, quorvex::kOutOfRange},
    {0x1009, Setting::Gain2B, 1, {}, quorvex::kNotOnModel},
    {0x100D, Setting::Gain2E, 1, {}, quorvex::kNotOnModel},
    {0x100B, Setting::Offset60, 0, {}, quorvex::kNotOnModel},
    {0x100E, Setting::Offset63, 512, {}, quorvex::kOutOfRange},
    {0x100E, Setting::Exposure, 0x10000, {}, quorvex::kOutOfRange},
    {0x100E, Setting::Reg05, 10, {}, quorvex::kOutOfRange},
    // The driver would read the register before it looked at these.
    {0x1009, Setting::Reg20Bits, 4, {}, quorvex::kOutOfRange},
    {0x1009, Setting::CaptureMode, 1, {}, quorvex::kOutOfRange},
    {0x100B, Setting::CaptureMode, 0, {}, quorvex::kOutOfRange},
    {0x1009, Setting::Reg62, 1, {}, quorvex::kNotOnModel},
    {0x100E, Setting::SensorCommand, 0, {}, quorvex::kOutOfRange},
};

class Requests : public ClientTest, public ::testing::WithParamInterface<Case> {
 protected:
  void SetUp() override { attach(GetParam().product); }
};

TEST_P(Requests, BusTrafficOrRefusal) {
  const Case& c = GetParam();
  quorvex::Status status = cam_.set(c.setting, c.value);
  EXPECT_EQ(traffic(), c.traffic);
  if (c.refused) {
    EXPECT_EQ(status.origin, quorvex::Origin::Library);
    EXPECT_EQ(status.code, *c.refused);
    EXPECT_NE(status.message().find(quorvex::info(c.setting).name), std::string::npos) << status.message();
  } else {
    EXPECT_TRUE(status) << status.message();
  }
}

INSTANTIATE_TEST_SUITE_P(Client, Requests, ::testing::ValuesIn(kCases));

// Failures carry the driver's status by name, the bytes returned, and, for a failed
// transfer, the USB stack's status as the driver recorded it.
TEST_F(ClientTest, FailuresAreNamed) {
  attach(0x100E);
  CAM_IDENTITY id{};
  quorvex::Status status = cam_.identity(&id);
  EXPECT_EQ(status.returned, 12u);
  EXPECT_EQ(id.ModelCode, CAM_MODEL_1621);

  device_->fail_urb(sim::UrbMatch::vendor(0xB7, false), USBD_STATUS_STALL_PID);
  status = cam_.set(Setting::GlobalGain, 42);
  EXPECT_EQ(status.name(), "STATUS_UNSUCCESSFUL");
  uint32_t last = 0;
  ASSERT_TRUE(cam_.last_usb_status(&last));
  EXPECT_EQ(quorvex::last_status_text(last), "USBD_STATUS_STALL_PID (0xC0000004)");

  device_->fail_urb(sim::UrbMatch::vendor(0xB9, false), USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(cam_.write_b9(1, 2).name(), "STATUS_INVALID_PARAMETER");
  EXPECT_EQ(cam_.control(0x222010, nullptr, 0, nullptr, 0).message(), "STATUS_INVALID_PARAMETER, 0xC000000D");
  uint8_t info[CAM_STREAM_FRAME_INFO_LENGTH];
  EXPECT_EQ(cam_.control(IOCTL_CAM_STREAM_GET_FRAME, nullptr, 0, info, sizeof(info)).name(),
            "STATUS_UNSUCCESSFUL");

  Camera other = Camera::open(3, &status);
  EXPECT_FALSE(other.is_open());
  EXPECT_EQ(status.name(), "STATUS_OBJECT_NAME_NOT_FOUND");
  EXPECT_EQ(other.trigger().code, quorvex::kNotOpen);

  ASSERT_EQ(platform().stop(*device_), STATUS_SUCCESS);
  uint32_t exposure = 0;
  EXPECT_EQ(cam_.exposure(&exposure).name(), "STATUS_DELETE_PENDING");
}

// Frame reads on each routing: the product's own read (triggered, or one plain bulk
// transfer) and the read without trigger, the bytes checked against the camera's
// pattern; what the driver and the library refuse; a silent camera's time-out, a
// success-class status.
struct FrameCase {
  const char* name;
  USHORT product;
  bool untriggered;
  uint32_t length;
  bool released;  // the camera has a frame ready without a trigger
  uint32_t status;
  uint32_t received;
  Traffic control;  // the vendor requests the read sent
};

const std::string kTrigger = "40 B3 0000 0000 0010 :" + hex(Bytes(16, 0xFF));

const FrameCase kFrames[] = {
    {"Triggered", 0x100A, false, 0x80200, false, 0, 0x80200, {kTrigger}},
    {"TriggeredPastTheFrame", 0x100E, false, 0x90000, false, 0, 0x80200, {kTrigger}},
    {"PlainBulk", 0x1009, false, 0x80000, true, 0, 0x80000, {}},
    {"PlainBulkPastOneTransfer", 0x100B, false, 0x80001, true, 0xC000000D, 0, {}},
    {"Untriggered", 0x100C, true, 0x80200, true, 0, 0x80200, {}},
    {"UntriggeredSilent", 0x100E, true, 0x1000, false, quorvex::Status::kStatusTimeout, 0, {}},
};

class Frames : public ClientTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(Frames, ReadOnEachRouting) {
  const FrameCase& c = GetParam();
  attach(c.product);
  device_->camera().set_frame_size(0x80200);
  if (c.released) device_->camera().queue_frames(1);
  if (c.status == quorvex::Status::kStatusTimeout) sim::set_timeout_scale(0.01);
  std::vector<uint8_t> frame(c.length, 0xEE);
  uint32_t received = 7;
  quorvex::Status status = c.untriggered ? cam_.read_frame_untriggered(frame.data(), c.length, &received)
                                         : cam_.read_frame(frame.data(), c.length, &received);
  EXPECT_EQ(status.code, c.status) << status.message();
  EXPECT_EQ(bool(status), NT_SUCCESS(c.status));
  EXPECT_EQ(status.timed_out(), c.status == quorvex::Status::kStatusTimeout);
  EXPECT_EQ(received, c.received);
  EXPECT_EQ(status.returned, c.received);
  sim::pattern::Check check = sim::pattern::check(frame.data(), received);
  EXPECT_TRUE(check.ok) << check.first_bad_offset;
  EXPECT_EQ(check.frame, 0u);
  EXPECT_EQ(Bytes(frame.begin() + received, frame.end()), Bytes(c.length - received, 0xEE));
  EXPECT_EQ(traffic(), c.control);
  EXPECT_EQ(cam_.read_frame(nullptr, 16, &received).code, quorvex::kOutOfRange);
  EXPECT_EQ(traffic(), Traffic{});
}

INSTANTIATE_TEST_SUITE_P(Client, Frames, ::testing::ValuesIn(kFrames),
                         [](const ::testing::TestParamInfo<FrameCase>& info) { return info.param.name; });

// One frame at the current window: width x height x bits per pixel / 8.
TEST_F(ClientTest, FrameBytesFollowTheWindow) {
  attach(0x100E);
  uint32_t bytes = 0;
  ASSERT_TRUE(cam_.set_resolution(640, 480));
  ASSERT_TRUE(cam_.frame_bytes(&bytes));
  EXPECT_EQ(bytes, 640u * 480 * 3);
  ASSERT_TRUE(cam_.set_resolution(2048, 1536));
  ASSERT_TRUE(cam_.frame_bytes(&bytes));
  EXPECT_EQ(bytes, 2048u * 1536 * 3);
}

// A camera streaming frames of 300,000 bytes back to back.
class Streams : public ClientTest {
 protected:
  static constexpr uint32_t kFrame = 300000;

  void SetUp() override {
    attach(0x100A);
    device_->camera().set_frame_size(kFrame);
    device_->camera().set_streaming(true);
  }

  Stream start(const StreamOptions& options = numbered(kFrame)) {
    quorvex::Status status;
    Stream stream = Stream::start(cam_, &status, options);
    EXPECT_TRUE(status) << status.message();
    return stream;
  }
};

// Starts refused by the library or the driver leave the camera free: the next
// start streams.
struct StartCase {
  const char* name;
  uint32_t frame_bytes;
  bool open;
  quorvex::Origin origin;
  uint32_t code;
};

const StartCase kStarts[] = {
    {"PastAnyCamerasFrame", 0x2000001, true, quorvex::Origin::Driver, 0xC000009A},
    {"PastTheRecordsField", 0x80000000, true, quorvex::Origin::Library, quorvex::kOutOfRange},
    {"CameraClosed", 300000, false, quorvex::Origin::Library, quorvex::kNotOpen},
};

class Starts : public ClientTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(Starts, RefusedLeavesTheCameraFree) {
  const StartCase& c = GetParam();
  attach(0x100A);
  device_->camera().set_frame_size(300000);
  device_->camera().set_streaming(true);
  Camera closed;
  quorvex::Status status;
  Stream refused = Stream::start(c.open ? cam_ : closed, &status, numbered(c.frame_bytes));
  EXPECT_EQ(status.origin, c.origin);
  EXPECT_EQ(status.code, c.code) << status.message();
  EXPECT_FALSE(refused.running());
  Frame frame;
  EXPECT_EQ(refused.take(&frame).code, quorvex::kStreamStopped);
  Stream stream = Stream::start(cam_, &status, numbered(300000));
  ASSERT_TRUE(status) << status.message();
  ASSERT_TRUE(stream.take(&frame));
  whole(frame.data(), frame.size());
}

INSTANTIATE_TEST_SUITE_P(Client, Starts, ::testing::ValuesIn(kStarts),
                         [](const ::testing::TestParamInfo<StartCase>& info) { return info.param.name; });

// A stream that stops with a frame still out takes the frame's slot and view with
// it; the frame's release then sends nothing; the camera streams again on the same
// handle. While a stream runs, a second is refused before anything is sent.
TEST_F(Streams, StopsWithAFrameStillHeld) {
  Frame held;
  Frame destroyed_late;
  {
    Stream stream = start();
    ASSERT_TRUE(stream.take(&held));
    ASSERT_TRUE(stream.take(&destroyed_late));
    EXPECT_EQ(sim::default_process().views(), 3);
    quorvex::Status second;
    Stream refused = Stream::start(cam_, &second, numbered(kFrame));
    EXPECT_EQ(second.origin, quorvex::Origin::Library);
    EXPECT_EQ(second.code, quorvex::kAlreadyStreaming);
    EXPECT_FALSE(refused.running());
  }
  EXPECT_EQ(sim::default_process().views(), 0);
  Stream again = start();
  Frame frame;
  ASSERT_TRUE(again.take(&frame));
  whole(frame.data(), frame.size());
  EXPECT_TRUE(held.held());
  EXPECT_EQ(held.release().code, quorvex::kStreamStopped);
  EXPECT_FALSE(held.held());
  destroyed_late = Frame();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(again.take(&frame));
}

// Unplugged under a stream: a take says the camera is gone, the stream's end is
// refused by the driver but returns at once, and closing the camera lets the
// removal finish with the stream's memory freed (the verifier checks at the end).
TEST_F(Streams, OutlivesItsCameraUnplugged) {
  std::optional<Stream> stream(start());
  Frame held;
  ASSERT_TRUE(stream->take(&held));
  ASSERT_EQ(platform().unplug(*device_), STATUS_SUCCESS);
  Frame frame;
  quorvex::Status gone = stream->take(&frame);
  EXPECT_TRUE(gone.camera_gone()) << gone.message();
  EXPECT_FALSE(frame.held());
  std::future<quorvex::Status> stopped = std::async(std::launch::async, [&] { return stream->stop(); });
  ASSERT_EQ(stopped.wait_for(kBound), std::future_status::ready);
  EXPECT_TRUE(stopped.get().camera_gone());
  stream.reset();
  EXPECT_EQ(held.release().code, quorvex::kStreamStopped);
  EXPECT_FALSE(platform().wait_removed(*device_, 0ms));
  cam_ = Camera();
  EXPECT_TRUE(platform().wait_removed(*device_, kBound));
}

// A reader that falls behind finds the newest frames: the numbers it never saw are
// counted as dropped. Without a way to read numbers nothing is claimed.
TEST_F(Streams, CountsTheFramesASlowReaderMissed) {
  Stream stream = start();
  Frame first;
  ASSERT_TRUE(stream.take(&first));
  device_->clear_trace();
  ASSERT_TRUE(device_->wait_for_events(sim::UrbMatch::bulk(), 12, kBound));
  Frame next;
  ASSERT_TRUE(stream.take(&next));
  uint32_t gap = *next.number() - *first.number() - 1;
  EXPECT_GE(gap, 9u);
  ASSERT_TRUE(first.release());
  FrameCopy copy;
  ASSERT_TRUE(stream.read(&copy));
  quorvex::StreamStats stats = stream.stats();
  EXPECT_EQ(stats.frames, 3u);
  EXPECT_EQ(stats.numbered, 3u);
  EXPECT_EQ(stats.dropped, *copy.number() - *first.number() + 1 - 3);
  EXPECT_GE(stats.dropped, gap);
  ASSERT_TRUE(stream.stop());

  Stream unnumbered = start(StreamOptions{kFrame, nullptr});
  ASSERT_TRUE(unnumbered.take(&first));
  ASSERT_TRUE(first.release());
  device_->clear_trace();
  ASSERT_TRUE(device_->wait_for_events(sim::UrbMatch::bulk(), 12, kBound));
  ASSERT_TRUE(unnumbered.take(&next));
  EXPECT_FALSE(next.number());
  stats = unnumbered.stats();
  EXPECT_EQ(stats.frames, 2u);
  EXPECT_FALSE(stats.counts_drops);
  EXPECT_EQ(stats.dropped, 0u);
}

// A moved stream runs on in its new place; what it was moved from stops nothing.
// Assigning over a running stream stops it.
TEST_F(Streams, MovesWithoutStopping) {
  std::optional<Stream> original(start());
  Stream moved = std::move(*original);
  EXPECT_FALSE(original->running());
  EXPECT_TRUE(original->stop());
  original.reset();
  EXPECT_TRUE(moved.running());
  Frame frame;
  ASSERT_TRUE(moved.take(&frame));
  Frame kept = std::move(frame);
  EXPECT_FALSE(frame.held());
  whole(kept.data(), kept.size());
  Stream assigned;
  assigned = std::move(moved);
  ASSERT_TRUE(assigned.take(&frame));
  assigned = Stream();
  EXPECT_EQ(kept.release().code, quorvex::kStreamStopped);
  EXPECT_EQ(sim::default_process().views(), 0);
  assigned = start();
  ASSERT_TRUE(assigned.take(&frame));
  whole(frame.data(), frame.size());
}

// Takers on two threads, one in place and one copying, share the frames (each
// once) until a stop from a third ends both.
TEST_F(Streams, ServesSeveralThreadsUntilItStops) {
  Stream stream = start();
  std::atomic<int> taken{0};
  std::promise<void> enough;
  auto taker = [&](bool copies) {
    std::vector<uint32_t> seen;
    Frame frame;
    FrameCopy copy;
    for (;;) {
      quorvex::Status status = copies ? stream.read(&copy) : stream.take(&frame);
      if (!status) return std::make_pair(status, seen);
      seen.push_back(whole(copies ? copy.data() : frame.data(), kFrame));
      if (++taken == 20) enough.set_value();
    }
  };
  auto in_place = std::async(std::launch::async, taker, false);
  auto copying = std::async(std::launch::async, taker, true);
  ASSERT_EQ(enough.get_future().wait_for(kBound), std::future_status::ready);
  EXPECT_TRUE(stream.stop());
  ASSERT_EQ(in_place.wait_for(kBound), std::future_status::ready);
  ASSERT_EQ(copying.wait_for(kBound), std::future_status::ready);
  std::set<uint32_t> all;
  size_t count = 0;
  for (auto* run : {&in_place, &copying}) {
    auto [status, seen] = run->get();
    EXPECT_EQ(status.code, quorvex::kStreamStopped) << status.message();
    EXPECT_FALSE(seen.empty());
    all.insert(seen.begin(), seen.end());
    count += seen.size();
  }
  EXPECT_EQ(all.size(), count);
  EXPECT_EQ(stream.stats().frames, count);
  EXPECT_EQ(sim::default_process().views(), 0);
}

// A stop waits for a take under way in another thread: the frame the take was
// handed stays in its view while the take reads it, then goes back, not out, and
// is not counted.
TEST_F(Streams, StopWaitsForATakeUnderWay) {
  std::promise<void> inside;
  std::promise<void> go;
  std::shared_future<void> gone_on = go.get_future().share();
  std::atomic<bool> first{true};
  StreamOptions options = numbered(kFrame);
  options.frame_number = [&](const uint8_t* data, uint32_t size) {
    if (first.exchange(false)) {
      inside.set_value();
      gone_on.wait();
    }
    return quorvex::pattern_frame_number(data, size);
  };
  Stream stream = start(options);
  Frame frame;
  std::future<quorvex::Status> taking = std::async(std::launch::async, [&] { return stream.take(&frame); });
  ASSERT_EQ(inside.get_future().wait_for(kBound), std::future_status::ready);
  std::future<quorvex::Status> stopping = std::async(std::launch::async, [&] { return stream.stop(); });
  auto deadline = std::chrono::steady_clock::now() + kBound;
  while (stream.running() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_FALSE(stream.running());
  // Proves an absence: the stop began, and what it sends, which takes microseconds,
  // has not gone out.
  EXPECT_EQ(stopping.wait_for(100ms), std::future_status::timeout);
  EXPECT_EQ(sim::default_process().views(), 3);
  go.set_value();
  ASSERT_EQ(taking.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(taking.get().code, quorvex::kStreamStopped);
  EXPECT_FALSE(frame.held());
  ASSERT_EQ(stopping.wait_for(kBound), std::future_status::ready);
  EXPECT_TRUE(stopping.get());
  EXPECT_EQ(sim::default_process().views(), 0);
  EXPECT_EQ(stream.stats().frames, 0u);
}

// What an application on the host makes: its own platform, here with two cameras
// of different models sending frames back to back, both streaming at once.
TEST(PlatformStreams, TwoCamerasAtOnce) {
  quorvex::Platform platform({0x1009, 0x100E}, quorvex::SimulatedFrames::BackToBack);
  ASSERT_EQ(platform.error(), "");
  std::vector<Camera> cameras;
  std::vector<Stream> streams;
  for (int instance = 0; instance < 2; ++instance) {
    quorvex::Status status;
    cameras.push_back(Camera::open(instance, &status));
    ASSERT_TRUE(status) << status.message();
  }
  for (const Camera& camera : cameras) {
    quorvex::Status status;
    streams.push_back(Stream::start(camera, &status, numbered()));
    ASSERT_TRUE(status) << status.message();
  }
  for (int round = 0; round < 3; ++round) {
    for (Stream& stream : streams) {
      Frame frame;
      ASSERT_TRUE(patiently([&] { return stream.take(&frame); }));
      EXPECT_EQ(frame.size(), stream.frame_bytes());
      whole(frame.data(), frame.size());
    }
  }
  EXPECT_NE(streams[0].frame_bytes(), streams[1].frame_bytes());
}

struct Named {
  quorvex::Status status;
  const char* name;
};

// On Windows a failure is the Win32 error the driver's status became; the name says
// both.
TEST(StatusNames, DriverWindowsAndLibrary) {
  const Named kNamed[] = {
      {{0xC00000BB, true}, "STATUS_NOT_SUPPORTED"},
      {{0xC0000056, true}, "STATUS_DELETE_PENDING"},
      {{0x00000102, false}, "STATUS_TIMEOUT"},
      {{0xC0FFEE00, true}, "0xC0FFEE00"},
      {{5, true, quorvex::Origin::Windows}, "ERROR_ACCESS_DENIED (STATUS_DELETE_PENDING)"},
      {{87, true, quorvex::Origin::Windows}, "ERROR_INVALID_PARAMETER (STATUS_INVALID_PARAMETER)"},
      {{2, true, quorvex::Origin::Windows}, "ERROR_FILE_NOT_FOUND"},
      {{quorvex::kOutOfRange, true, quorvex::Origin::Library}, "out of range"},
      {{quorvex::kStreamStopped, true, quorvex::Origin::Library}, "stream stopped"},
  };
  for (const Named& n : kNamed) EXPECT_EQ(n.status.name(), n.name);
  // A gone camera, however it is reported; a failure of the stream alone is not one.
  EXPECT_TRUE(quorvex::Status(0xC0000056, true).camera_gone());
  EXPECT_TRUE(quorvex::Status(0xC000009D, true).camera_gone());
  EXPECT_TRUE(quorvex::Status(5, true, quorvex::Origin::Windows).camera_gone());
  EXPECT_TRUE(quorvex::Status(1167, true, quorvex::Origin::Windows).camera_gone());
  EXPECT_FALSE(quorvex::Status(0xC0000001, true).camera_gone());
  EXPECT_FALSE(quorvex::Status(31, true, quorvex::Origin::Windows).camera_gone());
  EXPECT_FALSE(quorvex::Status(quorvex::kStreamStopped, true, quorvex::Origin::Library).camera_gone());
  EXPECT_EQ(quorvex::last_status_text(0), "none");
  EXPECT_EQ(quorvex::last_status_text(0xC0007000), "USBD_STATUS_DEVICE_GONE (0xC0007000)");
}

}  // namespace
}  // namespace quorvex::test
