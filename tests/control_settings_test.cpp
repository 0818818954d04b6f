// Exposure, gain, offset, window, readout and capture-mode settings on each model:
// the register values sent for every boundary of every code, the values read back,
// the refusals, and the register sequences with failing transfers in them.
#include <algorithm>
#include <climits>

#include "support/control.h"

namespace quorvex::test {
namespace {

// A value and the register value sent for it; none: refused, nothing sent.
using Encoding = std::vector<std::pair<int32_t, std::optional<uint16_t>>>;
// A register value and the value read back; none: refused, nothing read.
using Decoding = std::vector<std::pair<uint16_t, std::optional<int32_t>>>;

const Encoding kGain1621 = {{INT_MIN, {}}, {-1, {}},   {0, 0},       {1, 8},       {25, 0x20},
                            {26, 0x51},    {41, 0x60}, {42, 0x0160}, {43, 0x0260}, {160, 0x7760},
                            {161, 0x7860}, {162, {}},  {INT_MAX, {}}};
const Encoding kGain8431 = {{-1, {}}, {0, 0}, {1, 8}, {25, 32}, {26, 81}, {48, 0x67}, {49, {}}, {161, {}}};
const Encoding kGain1801 = {{INT_MIN, {}}, {-1, {}},      {0, {}},   {1, 0x0108},
                            {2, 0x0208},   {120, 0x7808}, {121, {}}, {INT_MAX, {}}};
const Encoding kOffset = {{INT_MIN, 0x0100}, {-1, 0xFFFF},  {0, 0x0100},   {255, 0x01FF},    {256, 0},
                          {300, 0x002C},     {511, 0x00FF}, {512, 0x0000}, {INT_MAX, 0x0000}};
const Encoding kRefused = {{0, {}}, {1, {}}, {26, {}}, {100, {}}};
const Decoding kRead1621 = {{0, 0},       {7, 0},       {8, 1},        {32, 25},    {33, 0},
                            {80, 0},      {81, 26},     {96, 41},      {97, 0},     {0x015F, 0},
                            {0x0160, 42}, {0x0161, 42}, {0x7860, 161}, {0x7861, 0}, {0xFFFF, 0}};
const Decoding kRead8431 = {{0, 0}, {7, 0}, {8, 1}, {32, 25}, {33, 0}, {81, 26}, {103, 48}, {104, 0}};
const Decoding kRead1801 = {{0x0008, 1},   {0x0108, 1},   {0x0208, 2}, {0x7808, 120},
                            {0x7908, 120}, {0x7F08, 120}, {0x8008, 1}, {0xFF08, 120}};
const Decoding kReadOffset = {{0x0100, 0},   {0x01FF, 255}, {0x0000, 256},
                              {0x0025, 293}, {0x00FF, 511}, {0xFEFF, 0xFEFF + 256}};
const Decoding kReadRefused = {{0x0108, {}}};

// The code that sets a value, the code that reads it back, and their register.
struct Setting {
  ULONG set;
  ULONG get;
  uint8_t reg;
};

const Setting kGlobalGain = {IOCTL_CAM_SET_GLOBAL_GAIN, IOCTL_CAM_GET_GLOBAL_GAIN, 0x35};
// The get codes of the third and fourth channel are numbered crosswise to the set
// codes; each code serves the register it names.
const Setting kChannels[] = {
    {IOCTL_CAM_SET_GAIN_2B, IOCTL_CAM_GET_GAIN_2B, 0x2B},
    {IOCTL_CAM_SET_GAIN_2E, IOCTL_CAM_GET_GAIN_2E, 0x2E},
    {IOCTL_CAM_SET_GAIN_2C, IOCTL_CAM_GET_GAIN_2C, 0x2C},
    {IOCTL_CAM_SET_GAIN_2D, IOCTL_CAM_GET_GAIN_2D, 0x2D},
};
// GET_OFFSET_60_61 reads register 0x60 as GET_OFFSET_60 does.
const Setting kOffsets[] = {
    {IOCTL_CAM_SET_OFFSET_63, IOCTL_CAM_GET_OFFSET_63, 0x63},
    {IOCTL_CAM_SET_OFFSET_64, IOCTL_CAM_GET_OFFSET_64, 0x64},
    {IOCTL_CAM_SET_OFFSET_60, IOCTL_CAM_GET_OFFSET_60, 0x60},
    {IOCTL_CAM_SET_OFFSET_61, IOCTL_CAM_GET_OFFSET_61, 0x61},
    {IOCTL_CAM_SET_OFFSET_60_61, IOCTL_CAM_GET_OFFSET_60_61, 0x60},
};

// The rules one product applies to one setting.
struct ValueCase {
  USHORT product;
  Setting setting;
  const Encoding* encoding;
  const Decoding* decoding;
};

class Values : public ControlTest, public ::testing::WithParamInterface<ValueCase> {
 protected:
  void SetUp() override { attach(GetParam().product); }
};

TEST_P(Values, AtEveryBoundaryBothWays) {
  const ValueCase& c = GetParam();
  for (auto [value, sent] : *c.encoding) {
    SCOPED_TRACE(testing::Message() << "set " << value);
    Traffic expected = sent ? Traffic{reg_write(c.setting.reg, *sent)} : Traffic{};
    EXPECT_EQ(set(c.setting.set, value, sent ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER), expected);
  }
  for (auto [raw, value] : *c.decoding) {
    SCOPED_TRACE(testing::Message() << "register " << raw);
    device_->camera().set_reg(c.setting.reg, raw);
    Outcome expected = untouched(STATUS_INVALID_PARAMETER, 4);
    if (value) expected = {STATUS_SUCCESS, 4, le32(static_cast<uint32_t>(*value))};
    EXPECT_EQ(call(c.setting.get, {}, 4), expected);
    EXPECT_EQ(traffic(), value ? Traffic{reg_read(c.setting.reg, raw)} : Traffic{});
  }
}

std::vector<ValueCase> value_cases() {
  std::vector<ValueCase> cases = {{0x100E, kGlobalGain, &kGain1621, &kRead1621},
                                  {0x1009, kGlobalGain, &kGain8431, &kRead8431},
                                  {0x100A, kGlobalGain, &kGain8431, &kRead8431},
                                  {0x100D, kGlobalGain, &kGain1801, &kRead1801},
                                  // Of model 0x1801 only the monochrome product reads its global gain back.
                                  {0x100B, kGlobalGain, &kGain1801, &kReadRefused}};
  // Channel gains: model 0x1621 and the colour products of model 0x1801 only.
  for (const Setting& channel : kChannels) {
    cases.push_back({0x100E, channel, &kGain1621, &kRead1621});
    cases.push_back({0x100B, channel, &kGain1801, &kRead1801});
    for (USHORT product : {0x1009, 0x100A, 0x100D})
      cases.push_back({product, channel, &kRefused, &kReadRefused});
  }
  // Offsets: model 0x1621 only. The pair writes four registers: its own test below.
  static const Encoding kNone;
  for (const Setting& offset : kOffsets) {
    bool pair = offset.set == IOCTL_CAM_SET_OFFSET_60_61;
    cases.push_back({0x100E, offset, pair ? &kNone : &kOffset, &kReadOffset});
    for (USHORT product : {0x1009, 0x100B, 0x100D})
      cases.push_back({product, offset, &kRefused, &kReadRefused});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Rules, Values, ::testing::ValuesIn(value_cases()));

// The pair pins 0x63 and 0x64 and sends every write whatever became of the ones
// before; only the last decides.
using OffsetPair = ControlTest;

TEST_F(OffsetPair, WritesFourRegistersWhateverTheOnesBefore) {
  attach(0x100E);
  EXPECT_EQ(set(IOCTL_CAM_SET_OFFSET_60_61, 300), (Traffic{reg_write(0x64, 0x25), reg_write(0x63, 0x25),
                                                           reg_write(0x60, 0x2C), reg_write(0x61, 0x2C)}));
  stall_register(false, 2);
  EXPECT_EQ(set(IOCTL_CAM_SET_OFFSET_60_61, 0), (Traffic{reg_write(0x64, 0x25), reg_write_failed(0x63),
                                                         reg_write(0x60, 0x100), reg_write(0x61, 0x100)}));
  stall_register(false, 4);
  EXPECT_EQ(set(IOCTL_CAM_SET_OFFSET_60_61, 0, STATUS_UNSUCCESSFUL).size(), 4u);
}

class Settings : public ProductTest {
 protected:
  uint32_t bits_per_pixel() { return model() == CAM_MODEL_8431 || GetParam() == 0x100D ? 8 : 24; }
};

// Model 0x1801 splits the value over two registers, high half first. A failed
// transfer ends the sequence, and nothing is written to the output.
TEST_P(Settings, Exposure) {
  bool split = model() == CAM_MODEL_1801;
  uint8_t first = split ? 0x08 : 0x09;
  Traffic writes{reg_write(0x09, 0x2345)}, reads{reg_read(0x09, 0x2345)};
  if (split) writes.insert(writes.begin(), reg_write(0x08, 0x0001));
  if (split) reads.insert(reads.begin(), reg_read(0x08, 0x0001));
  EXPECT_EQ(set(IOCTL_CAM_SET_EXPOSURE, 0x00012345), writes);
  EXPECT_EQ(call(IOCTL_CAM_GET_EXPOSURE, {}, 4),
            (Outcome{STATUS_SUCCESS, 4, le32(split ? 0x00012345 : 0x2345)}));
  EXPECT_EQ(traffic(), reads);
  stall_register(false);
  EXPECT_EQ(set(IOCTL_CAM_SET_EXPOSURE, 0x00054321, STATUS_UNSUCCESSFUL), Traffic{reg_write_failed(first)});
  stall_register(true);
  EXPECT_EQ(call(IOCTL_CAM_GET_EXPOSURE, {}, 4), untouched(STATUS_UNSUCCESSFUL, 4));
  EXPECT_EQ(traffic(), Traffic{reg_read_failed(first)});
  if (!split) return;
  stall_register(true, 2);
  EXPECT_EQ(call(IOCTL_CAM_GET_EXPOSURE, {}, 4), untouched(STATUS_UNSUCCESSFUL, 4));
  EXPECT_EQ(traffic(), (Traffic{reg_read(0x08, 1), reg_read_failed(0x09)}));
}

struct Window {
  uint32_t width;
  uint32_t height;
  uint16_t row;
  uint16_t column;
  uint32_t model;
};

const Window kWindows[] = {
    {1280, 1024, 12, 20, CAM_MODEL_8431},   {1024, 768, 140, 148, CAM_MODEL_8431},
    {640, 480, 284, 340, CAM_MODEL_8431},   {2592, 1944, 54, 16, CAM_MODEL_1801},
    {1280, 1024, 276, 416, CAM_MODEL_1621}, {1024, 768, 404, 544, CAM_MODEL_1621},
    {640, 480, 548, 736, CAM_MODEL_1621},   {2048, 1536, 20, 32, CAM_MODEL_1621},
    {1600, 1200, 188, 256, CAM_MODEL_1621},
};

// Every size of the table and some near misses: the model's own sizes at their start
// values, read back with the model's pixel depth; any other refused without traffic.
TEST_P(Settings, WindowAcceptsExactlyTheModelsSizes) {
  std::vector<std::pair<uint32_t, uint32_t>> sizes = {
      {1280, 960}, {1024, 1280}, {0, 0}, {1281, 1024}, {1280, 1025}, {640, 481}, {0xFFFFFFFF, 0xFFFFFFFF}};
  for (const Window& w : kWindows) sizes.push_back({w.width, w.height});
  for (const auto& size : sizes) {
    uint32_t width = size.first, height = size.second;  // named, so the lambda below can capture them
    SCOPED_TRACE(testing::Message() << width << "x" << height);
    Reply reply = call(IOCTL_CAM_SET_RESOLUTION, le32(width) + le32(height));
    const Window* w = std::find_if(std::begin(kWindows), std::end(kWindows), [&](const Window& w) {
      return w.model == model() && w.width == width && w.height == height;
    });
    if (w == std::end(kWindows)) {
      EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER);
      EXPECT_EQ(traffic(), Traffic{});
      continue;
    }
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    uint16_t last_row = static_cast<uint16_t>(height - 1);
    uint16_t last_column = static_cast<uint16_t>(width - 1);
    EXPECT_EQ(traffic(), (Traffic{reg_write(0x01, w->row), reg_write(0x02, w->column),
                                  reg_write(0x03, last_row), reg_write(0x04, last_column)}));
    EXPECT_EQ(call(IOCTL_CAM_GET_RESOLUTION, {}, 12),
              (Outcome{STATUS_SUCCESS, 12, le32(width) + le32(height) + le32(bits_per_pixel())}));
    EXPECT_EQ(traffic(), (Traffic{reg_read(0x03, last_row), reg_read(0x04, last_column)}));
  }
}

// The four window writes go out whatever the earlier ones did; the last decides.
// Both size registers are read; only the second read decides, a failed first read
// counting as 0.
TEST_P(Settings, WindowAndResolutionPastAFailedTransfer) {
  stall_register(false);
  EXPECT_EQ(call(IOCTL_CAM_SET_RESOLUTION, accepted_window(model())).status, STATUS_SUCCESS);
  EXPECT_EQ(traffic().size(), 4u);
  stall_register(false, 4);
  EXPECT_EQ(call(IOCTL_CAM_SET_RESOLUTION, accepted_window(model())).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(traffic().size(), 4u);
  device_->camera().set_reg(0x03, 479);
  device_->camera().set_reg(0x04, 639);
  stall_register(true);
  EXPECT_EQ(call(IOCTL_CAM_GET_RESOLUTION, {}, 12),
            (Outcome{STATUS_SUCCESS, 12, le32(640) + le32(1) + le32(bits_per_pixel())}));
  EXPECT_EQ(traffic(), (Traffic{reg_read_failed(0x03), reg_read(0x04, 639)}));
  stall_register(true, 2);
  EXPECT_EQ(call(IOCTL_CAM_GET_RESOLUTION, {}, 12), untouched(STATUS_UNSUCCESSFUL, 12));
}

TEST_P(Settings, Register05TakesOneByteOfTwoSelectors) {
  EXPECT_EQ(call(IOCTL_CAM_SET_REG05, {9, 0xEE}, 1), (Outcome{STATUS_SUCCESS, 1, {9}}));
  // No output buffer to report the byte in.
  EXPECT_EQ(call(IOCTL_CAM_SET_REG05, {18}), (Outcome{STATUS_SUCCESS, 0, {}}));
  EXPECT_EQ(traffic(), (Traffic{"40 B7 0005 0000 0001 : 02", "40 B7 0005 0000 0001 : 00"}));
  for (uint8_t other : {0, 8, 10, 17, 19, 0xFF}) {
    EXPECT_EQ(call(IOCTL_CAM_SET_REG05, {other}).status, STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(traffic(), Traffic{});
}

// Bits 14 and 15 of register 0x20, read first. On a failed read model 0x8431 stops,
// the others write from 0.
TEST_P(Settings, Register20Bits) {
  device_->camera().set_reg(0x20, 0x1234);
  EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, 2), (Traffic{reg_read(0x20, 0x1234), reg_write(0x20, 0x9234)}));
  // Mode 1 after mode 2: model 0x8431 keeps bit 15, the others clear it.
  uint16_t both = model() == CAM_MODEL_8431 ? 0xD234 : 0x5234;
  EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, 1), (Traffic{reg_read(0x20, 0x9234), reg_write(0x20, both)}));
  EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, 3), (Traffic{reg_read(0x20, both), reg_write(0x20, 0xD234)}));
  EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, 0), (Traffic{reg_read(0x20, 0xD234), reg_write(0x20, 0x1234)}));
  // The register is read before the mode is looked at.
  for (int32_t mode : {4, -1}) {
    EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, mode, STATUS_INVALID_PARAMETER), Traffic{reg_read(0x20, 0x1234)});
  }
  stall_register(true);
  if (model() == CAM_MODEL_8431) {
    EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, 1, STATUS_UNSUCCESSFUL), Traffic{reg_read_failed(0x20)});
  } else {
    EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, 1), (Traffic{reg_read_failed(0x20), reg_write(0x20, 0x4000)}));
  }
}

// Modes 0 to 3: the register pattern of each model; others refused.
TEST_P(Settings, CaptureModes) {
  device_->camera().set_reg(0x1E, 0x1234);
  const NTSTATUS ok = STATUS_SUCCESS, refused = STATUS_INVALID_PARAMETER;
  std::vector<std::pair<NTSTATUS, Traffic>> modes;  // 0 to 4, in turn
  if (model() == CAM_MODEL_8431) {
    modes = {{ok, {reg_read(0x1E, 0x1234), reg_write(0x1E, 0x1034), reg_write(0x77, 0)}},
             {refused, {reg_read(0x1E, 0x1034)}},
             {ok, {reg_read(0x1E, 0x1034), reg_write(0x1E, 0x1734), reg_write(0x79, 0x9E02)}},
             {ok, {reg_read(0x1E, 0x1734), reg_write(0x1E, 0x1734), reg_write(0x79, 0x9E02)}},
             {refused, {reg_read(0x1E, 0x1734)}}};
  } else if (model() == CAM_MODEL_1801) {
    Traffic again = {reg_read(0x1E, 0x1334), reg_write(0x1E, 0x1334)};
    modes = {{refused, {}},
             {ok, {reg_read(0x1E, 0x1234), reg_write(0x1E, 0x1334)}},
             {ok, again},
             {ok, again},
             {refused, {}}};
  } else {
    Traffic triggered = {reg_write(0x1E, 0x8740), reg_write(0x21, 3), reg_write(0x79, 0x9E02)};
    modes = {{ok, {reg_write(0x1E, 0x8040), reg_write(0x77, 0)}},
             {ok, triggered},
             {ok, triggered},
             {ok, triggered},
             {refused, {}}};
  }
  for (int32_t mode = 0; mode < 5; ++mode) {
    EXPECT_EQ(set(IOCTL_CAM_SET_CAPTURE_MODE, mode, modes[mode].first), modes[mode].second)
        << "mode " << mode;
  }
  EXPECT_EQ(set(IOCTL_CAM_SET_CAPTURE_MODE, -1, STATUS_INVALID_PARAMETER).size(),
            model() == CAM_MODEL_8431 ? 1u : 0u);
  // A failed read of the capture register stops models 0x8431 and 0x1801 before any
  // write; model 0x1621 reads nothing and goes on past a failed write.
  if (model() == CAM_MODEL_1621) {
    stall_register(false);
    EXPECT_EQ(set(IOCTL_CAM_SET_CAPTURE_MODE, 2).size(), 3u);
  } else {
    stall_register(true);
    EXPECT_EQ(set(IOCTL_CAM_SET_CAPTURE_MODE, 2, STATUS_UNSUCCESSFUL), Traffic{reg_read_failed(0x1E)});
  }
}

TEST_P(Settings, SensorCommands) {
  const Traffic writes[] = {{reg_write(0x78, 0x9C57)}, {reg_write(0x21, 1)}, {reg_write(0x0B, 1)}};
  for (int32_t command : {1, 2, 3}) {
    Traffic expected = model() == CAM_MODEL_1801 ? Traffic{} : writes[command - 1];
    EXPECT_EQ(set(IOCTL_CAM_SENSOR_COMMAND, command), expected) << command;
  }
  for (int32_t command : {0, 4, 7, -1}) {
    NTSTATUS status = model() == CAM_MODEL_1801 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    EXPECT_EQ(set(IOCTL_CAM_SENSOR_COMMAND, command, status), Traffic{}) << command;
  }
}

INSTANTIATE_TEST_SUITE_P(Products, Settings, ::testing::Values(0x1009, 0x100A, 0x100B, 0x100D, 0x100E),
                         ProductName());

}  // namespace
}  // namespace quorvex::test
