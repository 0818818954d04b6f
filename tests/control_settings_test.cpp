// Exposure, gain, offset, window, readout and capture-mode settings on each model:
// the register values sent for every boundary of every code, the values read back,
// the refusals, and the register sequences with failing transfers in them.
#include <climits>
#include <map>
#include <optional>

#include "support/control.h"

namespace quorvex::test {
namespace {

class Settings : public ControlTest {
 protected:
  // Sets through `code` and returns the register traffic.
  Traffic set(ULONG code, int32_t value, NTSTATUS expected = STATUS_SUCCESS) {
    Reply reply = call(code, le32(static_cast<uint32_t>(value)));
    EXPECT_EQ(reply.status, expected) << std::hex << code << " " << std::dec << value;
    EXPECT_EQ(reply.information, 0u);
    return traffic();
  }

  // Reads through `code` with the register holding `raw`.
  Reply get(ULONG code, uint8_t reg, uint16_t raw) {
    device_->camera().set_reg(reg, raw);
    Reply reply = call(code, {}, 4);
    traffic();
    return reply;
  }
};

// ---- gains: every boundary of every rule, both directions ----

struct GainCase {
  USHORT product;
  ULONG code;
  uint8_t reg;
  int32_t value;
  std::optional<uint16_t> sent;  // nullopt: refused, nothing sent
};

class GainEncoding : public Settings, public ::testing::WithParamInterface<GainCase> {
 protected:
  void SetUp() override { attach(GetParam().product); }
};

TEST_P(GainEncoding, SendsTheRegisterValueOrNothing) {
  const GainCase& c = GetParam();
  if (c.sent) {
    EXPECT_EQ(set(c.code, c.value), Traffic{reg_write(c.reg, *c.sent)});
  } else {
    EXPECT_EQ(set(c.code, c.value, STATUS_INVALID_PARAMETER), Traffic{});
  }
}

std::vector<GainCase> gain_cases() {
  std::vector<GainCase> cases;
  struct Point {
    int32_t value;
    std::optional<uint16_t> sent;
  };
  const std::vector<Point> g1621 = {{INT_MIN, {}}, {-1, {}},   {0, 0},       {1, 8},       {25, 0x20},
                                    {26, 0x51},    {41, 0x60}, {42, 0x0160}, {43, 0x0260}, {160, 0x7760},
                                    {161, 0x7860}, {162, {}},  {INT_MAX, {}}};
  const std::vector<Point> g8431 = {{-1, {}}, {0, 0},     {1, 8},   {25, 32},
                                    {26, 81}, {48, 0x67}, {49, {}}, {161, {}}};
  const std::vector<Point> g1801 = {{INT_MIN, {}}, {-1, {}},      {0, {}},   {1, 0x0108},
                                    {2, 0x0208},   {120, 0x7808}, {121, {}}, {INT_MAX, {}}};
  const std::vector<Point> refused = {{0, {}}, {1, {}}, {26, {}}, {100, {}}};
  auto add = [&](USHORT product, ULONG code, uint8_t reg, const std::vector<Point>& points) {
    for (const Point& p : points) cases.push_back({product, code, reg, p.value, p.sent});
  };
  const std::pair<ULONG, uint8_t> channels[] = {{IOCTL_CAM_SET_GAIN_2B, 0x2B},
                                                {IOCTL_CAM_SET_GAIN_2E, 0x2E},
                                                {IOCTL_CAM_SET_GAIN_2C, 0x2C},
                                                {IOCTL_CAM_SET_GAIN_2D, 0x2D}};
  add(0x100E, IOCTL_CAM_SET_GLOBAL_GAIN, 0x35, g1621);
  add(0x1009, IOCTL_CAM_SET_GLOBAL_GAIN, 0x35, g8431);
  add(0x100A, IOCTL_CAM_SET_GLOBAL_GAIN, 0x35, g8431);
  add(0x100B, IOCTL_CAM_SET_GLOBAL_GAIN, 0x35, g1801);
  add(0x100D, IOCTL_CAM_SET_GLOBAL_GAIN, 0x35, g1801);
  for (auto [code, reg] : channels) {
    add(0x100E, code, reg, g1621);
    add(0x100B, code, reg, g1801);
    add(0x100A, code, reg, refused);
    add(0x100D, code, reg, refused);
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Rules, GainEncoding, ::testing::ValuesIn(gain_cases()));

struct DecodeCase {
  USHORT product;
  ULONG code;
  uint8_t reg;
  uint16_t raw;
  std::optional<int32_t> value;  // nullopt: refused, nothing read
};

class GainDecoding : public Settings, public ::testing::WithParamInterface<DecodeCase> {
 protected:
  void SetUp() override { attach(GetParam().product); }
};

TEST_P(GainDecoding, ReturnsTheApplicationValueOrRefuses) {
  const DecodeCase& c = GetParam();
  device_->camera().set_reg(c.reg, c.raw);
  Reply reply = call(c.code, {}, 4);
  if (c.value) {
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, 4u);
    EXPECT_EQ(reply.output, le32(static_cast<uint32_t>(*c.value)));
    EXPECT_EQ(traffic(), Traffic{reg_read(c.reg, c.raw)});
  } else {
    EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reply.information, 0u);
    EXPECT_EQ(reply.output, Bytes(4, kPoison));
    EXPECT_EQ(traffic(), Traffic{});
  }
}

std::vector<DecodeCase> decode_cases() {
  std::vector<DecodeCase> cases;
  struct Point {
    uint16_t raw;
    std::optional<int32_t> value;
  };
  const std::vector<Point> g1621 = {{0, 0},       {7, 0},       {8, 1},        {32, 25},    {33, 0},
                                    {80, 0},      {81, 26},     {96, 41},      {97, 0},     {0x015F, 0},
                                    {0x0160, 42}, {0x0161, 42}, {0x7860, 161}, {0x7861, 0}, {0xFFFF, 0}};
  const std::vector<Point> g8431 = {{0, 0}, {7, 0}, {8, 1}, {32, 25}, {33, 0}, {81, 26}, {103, 48}, {104, 0}};
  const std::vector<Point> g1801 = {{0x0008, 1},   {0x0108, 1},   {0x0208, 2}, {0x7808, 120},
                                    {0x7908, 120}, {0x7F08, 120}, {0x8008, 1}, {0xFF08, 120}};
  const std::vector<Point> refused = {{0x0108, {}}};
  auto add = [&](USHORT product, ULONG code, uint8_t reg, const std::vector<Point>& points) {
    for (const Point& p : points) cases.push_back({product, code, reg, p.raw, p.value});
  };
  // The get codes of the third and fourth channel are crossed against the set codes.
  const std::pair<ULONG, uint8_t> channels[] = {{IOCTL_CAM_GET_GAIN_2B, 0x2B},
                                                {IOCTL_CAM_GET_GAIN_2E, 0x2E},
                                                {IOCTL_CAM_GET_GAIN_2D, 0x2D},
                                                {IOCTL_CAM_GET_GAIN_2C, 0x2C}};
  add(0x100E, IOCTL_CAM_GET_GLOBAL_GAIN, 0x35, g1621);
  add(0x1009, IOCTL_CAM_GET_GLOBAL_GAIN, 0x35, g8431);
  add(0x100D, IOCTL_CAM_GET_GLOBAL_GAIN, 0x35, g1801);
  add(0x100B, IOCTL_CAM_GET_GLOBAL_GAIN, 0x35, refused);
  for (auto [code, reg] : channels) {
    add(0x100E, code, reg, g1621);
    add(0x100B, code, reg, g1801);
    add(0x1009, code, reg, refused);
    add(0x100D, code, reg, refused);
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Rules, GainDecoding, ::testing::ValuesIn(decode_cases()));

// The crossing itself, as an application meets it: what the third set code writes,
// the third get code does not read.
TEST_F(Settings, ThirdAndFourthChannelCodesAreCrossed) {
  attach(0x100E);
  EXPECT_EQ(set(IOCTL_CAM_SET_GAIN_2C, 5), Traffic{reg_write(0x2C, 12)});
  EXPECT_EQ(set(IOCTL_CAM_SET_GAIN_2D, 6), Traffic{reg_write(0x2D, 13)});
  EXPECT_EQ(call(IOCTL_CAM_GET_GAIN_2D, {}, 4).output, le32(6));
  EXPECT_EQ(call(IOCTL_CAM_GET_GAIN_2C, {}, 4).output, le32(5));
}

// ---- offsets ----

class Offsets : public Settings {
 protected:
  void SetUp() override { attach(0x100E); }
};

TEST_F(Offsets, EncodeAtEveryBoundary) {
  const std::pair<int32_t, uint16_t> points[] = {{INT_MIN, 0x0100}, {-1, 0xFFFF},  {0, 0x0100},
                                                 {255, 0x01FF},     {256, 0x0000}, {300, 0x002C},
                                                 {511, 0x00FF},     {512, 0x0000}, {INT_MAX, 0x0000}};
  const std::pair<ULONG, uint8_t> codes[] = {{IOCTL_CAM_SET_OFFSET_63, 0x63},
                                             {IOCTL_CAM_SET_OFFSET_64, 0x64},
                                             {IOCTL_CAM_SET_OFFSET_60, 0x60},
                                             {IOCTL_CAM_SET_OFFSET_61, 0x61}};
  for (auto [code, reg] : codes) {
    for (auto [value, sent] : points) EXPECT_EQ(set(code, value), Traffic{reg_write(reg, sent)});
  }
}

TEST_F(Offsets, DecodeAtEveryBoundary) {
  const std::pair<uint16_t, int32_t> points[] = {{0x0100, 0},   {0x01FF, 255}, {0x0000, 256},
                                                 {0x0025, 293}, {0x00FF, 511}, {0xFEFF, 0xFEFF + 256}};
  const std::pair<ULONG, uint8_t> codes[] = {{IOCTL_CAM_GET_OFFSET_60_61, 0x60},
                                             {IOCTL_CAM_GET_OFFSET_60, 0x60},
                                             {IOCTL_CAM_GET_OFFSET_61, 0x61},
                                             {IOCTL_CAM_GET_OFFSET_64, 0x64},
                                             {IOCTL_CAM_GET_OFFSET_63, 0x63}};
  for (auto [code, reg] : codes) {
    for (auto [raw, value] : points) {
      Reply reply = get(code, reg, raw);
      EXPECT_EQ(reply.status, STATUS_SUCCESS);
      EXPECT_EQ(reply.output, le32(static_cast<uint32_t>(value))) << std::hex << code << " " << raw;
    }
  }
}

TEST_F(Offsets, PairWritesFourRegistersInOrder) {
  EXPECT_EQ(set(IOCTL_CAM_SET_OFFSET_60_61, 300), (Traffic{reg_write(0x64, 0x25), reg_write(0x63, 0x25),
                                                           reg_write(0x60, 0x2C), reg_write(0x61, 0x2C)}));
}

// Every write goes out whatever became of the ones before; only the last counts.
TEST_F(Offsets, PairGoesOnPastAFailedWriteAndReportsTheLast) {
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, false), USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 2);
  Traffic sent = set(IOCTL_CAM_SET_OFFSET_60_61, 0);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[3], reg_write(0x61, 0x100));
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, false), USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 4);
  EXPECT_EQ(set(IOCTL_CAM_SET_OFFSET_60_61, 0, STATUS_UNSUCCESSFUL).size(), 4u);
}

class OffsetRefusal : public Settings, public ::testing::WithParamInterface<USHORT> {
 protected:
  void SetUp() override { attach(GetParam()); }
};

TEST_P(OffsetRefusal, OtherModelsHaveNoOffsets) {
  for (ULONG code : {IOCTL_CAM_SET_OFFSET_60_61, IOCTL_CAM_SET_OFFSET_63, IOCTL_CAM_SET_OFFSET_64,
                     IOCTL_CAM_SET_OFFSET_60, IOCTL_CAM_SET_OFFSET_61}) {
    EXPECT_EQ(set(code, 1, STATUS_INVALID_PARAMETER), Traffic{});
  }
  for (ULONG code : {IOCTL_CAM_GET_OFFSET_60_61, IOCTL_CAM_GET_OFFSET_60, IOCTL_CAM_GET_OFFSET_61,
                     IOCTL_CAM_GET_OFFSET_64, IOCTL_CAM_GET_OFFSET_63}) {
    EXPECT_EQ(call(code, {}, 4).status, STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(traffic(), Traffic{});
}

INSTANTIATE_TEST_SUITE_P(Products, OffsetRefusal, ::testing::Values(0x1009, 0x100B, 0x100D),
                         [](const auto& info) { return product_name(info.param); });

// ---- exposure ----

class Exposure : public Settings, public ::testing::WithParamInterface<USHORT> {
 protected:
  void SetUp() override { attach(GetParam()); }
  bool split() { return ext_->ModelCode == CAM_MODEL_1801; }
};

TEST_P(Exposure, SetWritesTheHalvesTheModelKeeps) {
  Traffic expected =
      split() ? Traffic{reg_write(0x08, 0x0001), reg_write(0x09, 0x2345)} : Traffic{reg_write(0x09, 0x2345)};
  EXPECT_EQ(set(IOCTL_CAM_SET_EXPOSURE, 0x00012345), expected);
}

TEST_P(Exposure, GetCombinesTheHalves) {
  device_->camera().set_reg(0x08, 0x0001);
  device_->camera().set_reg(0x09, 0x2345);
  Reply reply = call(IOCTL_CAM_GET_EXPOSURE, {}, 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 4u);
  EXPECT_EQ(reply.output, le32(split() ? 0x00012345 : 0x2345));
  Traffic expected =
      split() ? Traffic{reg_read(0x08, 1), reg_read(0x09, 0x2345)} : Traffic{reg_read(0x09, 0x2345)};
  EXPECT_EQ(traffic(), expected);
}

TEST_P(Exposure, AFailedFirstTransferStopsTheSequence) {
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, false), USBD_STATUS_STALL_PID);
  EXPECT_EQ(set(IOCTL_CAM_SET_EXPOSURE, 0x00012345, STATUS_UNSUCCESSFUL).size(), 1u);
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, true), USBD_STATUS_STALL_PID);
  Reply reply = call(IOCTL_CAM_GET_EXPOSURE, {}, 4);
  EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(reply.output, Bytes(4, kPoison));
  EXPECT_EQ(traffic(), Traffic{reg_read_failed(split() ? 0x08 : 0x09)});
}

INSTANTIATE_TEST_SUITE_P(Products, Exposure, ::testing::Values(0x1009, 0x100B, 0x100D, 0x100E),
                         [](const auto& info) { return product_name(info.param); });

TEST_F(Settings, ExposureWithAFailedSecondReadWritesNothing) {
  attach(0x100B);
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, true), USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 2);
  Reply reply = call(IOCTL_CAM_GET_EXPOSURE, {}, 4);
  EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(reply.output, Bytes(4, kPoison));
  EXPECT_EQ(traffic(), (Traffic{reg_read(0x08, 0), reg_read_failed(0x09)}));
}

// ---- the window ----

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

class Windows : public Settings, public ::testing::WithParamInterface<USHORT> {
 protected:
  void SetUp() override { attach(GetParam()); }

  Reply set_window(uint32_t width, uint32_t height) {
    return call(IOCTL_CAM_SET_RESOLUTION, le32(width) + le32(height));
  }
  bool has_size(uint32_t width, uint32_t height) {
    for (const Window& w : kWindows) {
      if (w.model == ext_->ModelCode && w.width == width && w.height == height) return true;
    }
    return false;
  }
  uint32_t bits_per_pixel() {
    if (ext_->ModelCode == CAM_MODEL_8431 || ext_->ProductId == 0x100D) return 8;
    return 24;
  }
};

TEST_P(Windows, AcceptsExactlyTheModelsSizes) {
  for (const Window& w : kWindows) {
    Reply reply = set_window(w.width, w.height);
    if (w.model == ext_->ModelCode) {
      EXPECT_EQ(reply.status, STATUS_SUCCESS) << w.width << "x" << w.height;
      EXPECT_EQ(traffic(), (Traffic{reg_write(0x01, w.row), reg_write(0x02, w.column),
                                    reg_write(0x03, static_cast<uint16_t>(w.height - 1)),
                                    reg_write(0x04, static_cast<uint16_t>(w.width - 1))}));
      Reply size = call(IOCTL_CAM_GET_RESOLUTION, {}, 12);
      EXPECT_EQ(size.status, STATUS_SUCCESS);
      EXPECT_EQ(size.information, 12u);
      EXPECT_EQ(size.output, le32(w.width) + le32(w.height) + le32(bits_per_pixel()));
      EXPECT_EQ(traffic(), (Traffic{reg_read(0x03, static_cast<uint16_t>(w.height - 1)),
                                    reg_read(0x04, static_cast<uint16_t>(w.width - 1))}));
    } else if (!has_size(w.width, w.height)) {
      EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER) << w.width << "x" << w.height;
      EXPECT_EQ(traffic(), Traffic{});
    } else {
      traffic();  // the model's own row of this size is checked on its turn
    }
  }
}

TEST_P(Windows, RefusesOtherSizes) {
  const std::pair<uint32_t, uint32_t> sizes[] = {
      {1280, 960}, {1024, 1280}, {0, 0}, {1281, 1024}, {1280, 1025}, {640, 481}, {0xFFFFFFFF, 0xFFFFFFFF}};
  for (auto [width, height] : sizes) EXPECT_EQ(set_window(width, height).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(traffic(), Traffic{});
}

// The four writes go out whatever the earlier ones did; the last decides.
TEST_P(Windows, AFailedWriteDoesNotStopTheOthers) {
  const Window* mine = nullptr;
  for (const Window& w : kWindows) {
    if (w.model == ext_->ModelCode && mine == nullptr) mine = &w;
  }
  ASSERT_NE(mine, nullptr);
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, false), USBD_STATUS_STALL_PID);
  EXPECT_EQ(set_window(mine->width, mine->height).status, STATUS_SUCCESS);
  EXPECT_EQ(traffic().size(), 4u);
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, false), USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 4);
  EXPECT_EQ(set_window(mine->width, mine->height).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(traffic().size(), 4u);
}

// Only the second read decides; a failed first read counts as 0.
TEST_P(Windows, ResolutionReadsBothRegistersWhatever) {
  device_->camera().set_reg(0x03, 479);
  device_->camera().set_reg(0x04, 639);
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, true), USBD_STATUS_STALL_PID);
  Reply first = call(IOCTL_CAM_GET_RESOLUTION, {}, 12);
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(first.output, le32(640) + le32(1) + le32(bits_per_pixel()));
  EXPECT_EQ(traffic(), (Traffic{reg_read_failed(0x03), reg_read(0x04, 639)}));

  device_->fail_urb(sim::UrbMatch::vendor(0xB7, true), USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 2);
  Reply second = call(IOCTL_CAM_GET_RESOLUTION, {}, 12);
  EXPECT_EQ(second.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(second.information, 0u);
  EXPECT_EQ(second.output, Bytes(12, kPoison));
}

INSTANTIATE_TEST_SUITE_P(Products, Windows, ::testing::Values(0x1009, 0x100A, 0x100B, 0x100D, 0x100E),
                         [](const auto& info) { return product_name(info.param); });

// ---- register 0x05, register 0x20, capture modes, sensor commands ----

class Modes : public Settings, public ::testing::WithParamInterface<USHORT> {
 protected:
  void SetUp() override { attach(GetParam()); }
  uint32_t model() { return ext_->ModelCode; }
};

TEST_P(Modes, Register05TakesOneByteOfTwoSelectors) {
  Reply nine = call(IOCTL_CAM_SET_REG05, {9, 0xEE}, 1);
  EXPECT_EQ(nine.status, STATUS_SUCCESS);
  EXPECT_EQ(nine.information, 1u);
  EXPECT_EQ(nine.output, Bytes{9});
  Reply eighteen = call(IOCTL_CAM_SET_REG05, {18});
  EXPECT_EQ(eighteen.status, STATUS_SUCCESS);
  EXPECT_EQ(eighteen.information, 0u) << "no output buffer to report the byte in";
  EXPECT_EQ(traffic(), (Traffic{"40 B7 0005 0000 0001 : 02", "40 B7 0005 0000 0001 : 00"}));
  for (uint8_t other : {0, 8, 10, 17, 19, 0xFF})
    EXPECT_EQ(call(IOCTL_CAM_SET_REG05, {other}).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(traffic(), Traffic{});
}

TEST_P(Modes, Register20BitsFollowTheModel) {
  device_->camera().set_reg(0x20, 0x1234);
  EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, 2), (Traffic{reg_read(0x20, 0x1234), reg_write(0x20, 0x9234)}));
  // Mode 1 after mode 2: model 0x8431 keeps bit 15, the others clear it.
  uint16_t both = model() == CAM_MODEL_8431 ? 0xD234 : 0x5234;
  EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, 1), (Traffic{reg_read(0x20, 0x9234), reg_write(0x20, both)}));
  EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, 3), (Traffic{reg_read(0x20, both), reg_write(0x20, 0xD234)}));
  EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, 0), (Traffic{reg_read(0x20, 0xD234), reg_write(0x20, 0x1234)}));
}

TEST_P(Modes, Register20ReadsBeforeItRefusesAMode) {
  device_->camera().set_reg(0x20, 0x0042);
  for (int32_t mode : {4, -1}) {
    EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, mode, STATUS_INVALID_PARAMETER), Traffic{reg_read(0x20, 0x0042)});
  }
}

// Model 0x8431 stops at a failed read; the others write from 0.
TEST_P(Modes, Register20WithAFailedRead) {
  device_->camera().set_reg(0x20, 0x1234);
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, true), USBD_STATUS_STALL_PID);
  if (model() == CAM_MODEL_8431) {
    EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, 1, STATUS_UNSUCCESSFUL), Traffic{reg_read_failed(0x20)});
  } else {
    EXPECT_EQ(set(IOCTL_CAM_SET_REG20_BITS, 1), (Traffic{reg_read_failed(0x20), reg_write(0x20, 0x4000)}));
  }
}

TEST_P(Modes, CaptureModeSequences) {
  device_->camera().set_reg(0x1E, 0x1234);
  std::map<int32_t, std::pair<NTSTATUS, Traffic>> expected;
  switch (model()) {
    case CAM_MODEL_8431:
      expected[0] = {STATUS_SUCCESS, {reg_read(0x1E, 0x1234), reg_write(0x1E, 0x1034), reg_write(0x77, 0)}};
      expected[1] = {STATUS_INVALID_PARAMETER, {reg_read(0x1E, 0x1034)}};
      expected[2] = {STATUS_SUCCESS,
                     {reg_read(0x1E, 0x1034), reg_write(0x1E, 0x1734), reg_write(0x79, 0x9E02)}};
      expected[3] = {STATUS_SUCCESS,
                     {reg_read(0x1E, 0x1734), reg_write(0x1E, 0x1734), reg_write(0x79, 0x9E02)}};
      expected[4] = {STATUS_INVALID_PARAMETER, {reg_read(0x1E, 0x1734)}};
      break;
    case CAM_MODEL_1801:
      expected[0] = {STATUS_INVALID_PARAMETER, {}};
      expected[1] = {STATUS_SUCCESS, {reg_read(0x1E, 0x1234), reg_write(0x1E, 0x1334)}};
      expected[2] = {STATUS_SUCCESS, {reg_read(0x1E, 0x1334), reg_write(0x1E, 0x1334)}};
      expected[3] = {STATUS_SUCCESS, {reg_read(0x1E, 0x1334), reg_write(0x1E, 0x1334)}};
      expected[4] = {STATUS_INVALID_PARAMETER, {}};
      break;
    default:
      expected[0] = {STATUS_SUCCESS, {reg_write(0x1E, 0x8040), reg_write(0x77, 0)}};
      for (int32_t m : {1, 2, 3}) {
        expected[m] = {STATUS_SUCCESS,
                       {reg_write(0x1E, 0x8740), reg_write(0x21, 3), reg_write(0x79, 0x9E02)}};
      }
      expected[4] = {STATUS_INVALID_PARAMETER, {}};
      break;
  }
  for (auto& [mode, outcome] : expected) {
    EXPECT_EQ(set(IOCTL_CAM_SET_CAPTURE_MODE, mode, outcome.first), outcome.second) << "mode " << mode;
  }
  EXPECT_EQ(set(IOCTL_CAM_SET_CAPTURE_MODE, -1, STATUS_INVALID_PARAMETER).size(),
            model() == CAM_MODEL_8431 ? 1u : 0u);
}

// A failed read of the capture register stops models 0x8431 and 0x1801 before any
// write; model 0x1621 reads nothing and goes on past a failed write.
TEST_P(Modes, CaptureModeWithFailingTransfers) {
  if (model() == CAM_MODEL_1621) {
    device_->fail_urb(sim::UrbMatch::vendor(0xB7, false), USBD_STATUS_STALL_PID);
    EXPECT_EQ(set(IOCTL_CAM_SET_CAPTURE_MODE, 2).size(), 3u);
    return;
  }
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, true), USBD_STATUS_STALL_PID);
  EXPECT_EQ(set(IOCTL_CAM_SET_CAPTURE_MODE, 2, STATUS_UNSUCCESSFUL), Traffic{reg_read_failed(0x1E)});
}

TEST_P(Modes, SensorCommands) {
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

INSTANTIATE_TEST_SUITE_P(Products, Modes, ::testing::Values(0x1009, 0x100B, 0x100D, 0x100E),
                         [](const auto& info) { return product_name(info.param); });

}  // namespace
}  // namespace quorvex::test
