// Raw camera commands and the device list: the exact bus traffic of each request on
// each model, the echoes, the block transfers at their length limits, the failure
// mappings, and the list with cameras created in a given order and after removals.
// (Lengths short of what a code needs: the sweep.)
#include <future>

#include "support/control.h"
#include "support/name_squatter.h"

namespace quorvex::test {
namespace {

class Raw : public ProductTest {};

TEST_P(Raw, FilledCommandsSendOnlyFFBytes) {
  ASSERT_EQ(call(IOCTL_CAM_TRIGGER, le32(0x12345678)).status, STATUS_SUCCESS);
  ASSERT_EQ(call(IOCTL_CAM_COMMAND_B4, {}, 16).status, STATUS_SUCCESS);
  ASSERT_EQ(call(IOCTL_CAM_COMMAND_B8).status, STATUS_SUCCESS);
  ASSERT_EQ(call(IOCTL_CAM_WRITE_BE, le32(0x12345678)).status, STATUS_SUCCESS);
  ASSERT_EQ(call(IOCTL_CAM_WRITE_BF, le32(0xFFFF0001)).status, STATUS_SUCCESS);
  const std::string ff = hex(Bytes(10, 0xFF));
  EXPECT_EQ(traffic(), (Traffic{"40 B3 0000 0000 000A :" + ff, "40 B4 0000 0000 000A :" + ff,
                                "40 B8 0000 0000 000A :" + ff, "40 BE 5678 0000 0004 :" + hex(Bytes(4, 0xFF)),
                                "40 BF 0001 0000 000A :" + ff}));
  EXPECT_EQ(device_->camera().triggers(), 1u);
}

TEST_P(Raw, B9SendsTheLowByteOfItsSelector) {
  ASSERT_EQ(call(IOCTL_CAM_WRITE_B9, le16(0x1234) + le16(0xBEEF)).status, STATUS_SUCCESS);
  ASSERT_EQ(call(IOCTL_CAM_WRITE_B9, le16(0x01FF) + le16(0x0001)).status, STATUS_SUCCESS);
  EXPECT_EQ(traffic(), (Traffic{"40 B9 0034 0000 0002 : EF BE", "40 B9 00FF 0000 0002 : 01 00"}));
}

// 0xBC with value 0 and 0xBD hand the caller its input back, only to an output that
// holds all 4 bytes, with the same status either way. 0xBD's 2 bytes of input are
// padded with zeros, not with leftovers.
TEST_P(Raw, BCAndBDWritesEchoTheirInput) {
  EXPECT_EQ(call(IOCTL_CAM_WRITE_BC_0, le32(0x12345678), 4), (Outcome{STATUS_SUCCESS, 4, le32(0x12345678)}));
  EXPECT_EQ(call(IOCTL_CAM_WRITE_BC_0, le32(0x12345678), 3), untouched(STATUS_SUCCESS, 3));
  EXPECT_EQ(call(IOCTL_CAM_WRITE_BC_1, le32(0x12345678), 4), untouched(STATUS_SUCCESS, 4));
  EXPECT_EQ(call(IOCTL_CAM_WRITE_BD, le16(0xBEEF), 6),
            (Outcome{STATUS_SUCCESS, 4, {0xEF, 0xBE, 0, 0, kPoison, kPoison}}));
  EXPECT_EQ(call(IOCTL_CAM_WRITE_BD, le16(0xBEEF) + Bytes{0x11, 0x22}, 4),
            (Outcome{STATUS_SUCCESS, 4, {0xEF, 0xBE, 0x11, 0x22}}));
  EXPECT_EQ(call(IOCTL_CAM_WRITE_BD, le16(0xBEEF), 3), untouched(STATUS_SUCCESS, 3));
  const std::string bc = "40 BC 0000 0000 0002 : 78 56", bd = "40 BD 0000 0000 0002 : EF BE";
  EXPECT_EQ(traffic(), (Traffic{bc, bc, "40 BC 0001 0000 0002 : 00 00", bd, bd, bd}));
}

// A failed transfer: some commands pass the status on unchanged, others map it to a
// bad parameter. The USB status stays readable, and a failed request returns no
// bytes, even where it reports its echo.
TEST_P(Raw, FailedTransfers) {
  struct Case {
    ULONG code;
    UCHAR request;
    Bytes input;
    Outcome outcome;
  };
  const Case cases[] = {
      {IOCTL_CAM_TRIGGER, 0xB3, {}, untouched(STATUS_UNSUCCESSFUL, 0)},
      {IOCTL_CAM_WRITE_BF, 0xBF, le32(1), untouched(STATUS_UNSUCCESSFUL, 0)},
      {IOCTL_CAM_READ_C0, 0xC0, {}, untouched(STATUS_UNSUCCESSFUL, 8)},
      {IOCTL_CAM_WRITE_B9, 0xB9, le32(1), untouched(STATUS_INVALID_PARAMETER, 0)},
      {IOCTL_CAM_WRITE_BC_0, 0xBC, le32(1), {STATUS_INVALID_PARAMETER, 4, Bytes(4, kPoison)}},
      {IOCTL_CAM_WRITE_BC_1, 0xBC, {}, untouched(STATUS_INVALID_PARAMETER, 4)},
      {IOCTL_CAM_WRITE_BD, 0xBD, le16(1), {STATUS_INVALID_PARAMETER, 4, Bytes(4, kPoison)}},
      {IOCTL_CAM_WRITE_BLOCK, 0xBA, le32(1) + le32(2), untouched(STATUS_INVALID_PARAMETER, 0)},
      {IOCTL_CAM_READ_BLOCK, 0xBA, le16(1), untouched(STATUS_INVALID_PARAMETER, 8)},
      {IOCTL_CAM_READ_BB, 0xBB, le16(1), untouched(STATUS_INVALID_PARAMETER, 4)},
      {IOCTL_CAM_READ_REGISTER_EX, 0xB7, le16(1), untouched(STATUS_INVALID_PARAMETER, 4)},
  };
  for (const Case& c : cases) {
    device_->fail_urb(sim::UrbMatch::vendor(c.request), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(call(c.code, c.input, c.outcome.output.size()), c.outcome) << std::hex << c.code;
    EXPECT_EQ(ext_->LastUsbdStatus, USBD_STATUS_DEV_NOT_RESPONDING);
    ext_->LastUsbdStatus = 0;
  }
  EXPECT_EQ(traffic().size(), std::size(cases));
  // A request the bus refuses outright: its status, unchanged.
  device_->refuse_urb(sim::UrbMatch::vendor(0xB8), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(call(IOCTL_CAM_COMMAND_B8).status, STATUS_DEVICE_NOT_CONNECTED);
}

// A camera this driver knows no record of refuses the requests that test the model;
// the 0xBC echo is still reported.
TEST_P(Raw, UnknownModelsAreRefused) {
  ext_->Product = nullptr;
  EXPECT_EQ(call(IOCTL_CAM_WRITE_B9, le32(1)).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(call(IOCTL_CAM_WRITE_BC_0, le32(1), 4),
            (Outcome{STATUS_INVALID_PARAMETER, 4, Bytes(4, kPoison)}));
  EXPECT_EQ(call(IOCTL_CAM_WRITE_BC_1).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER_EX, le16(9), 4).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(traffic(), Traffic{});
}

// The value at byte 0, bytes 2 and 3 unused, the data from byte 4; at most the
// 65,535 bytes a control transfer carries.
TEST_P(Raw, WriteBlockSendsItsDataFromByteFourUpToTheLimit) {
  ASSERT_EQ(call(IOCTL_CAM_WRITE_BLOCK, le16(0x0102) + Bytes{0xAA, 0xBB, 1, 2, 3, 4, 5, 6}).status,
            STATUS_SUCCESS);
  ASSERT_EQ(call(IOCTL_CAM_WRITE_BLOCK, le16(0x0304) + Bytes{0xAA, 0xBB}).status, STATUS_SUCCESS);
  EXPECT_EQ(traffic(), (Traffic{"40 BA 0102 0000 0006 : 01 02 03 04 05 06", "40 BA 0304 0000 0000"}));
  EXPECT_EQ(call(IOCTL_CAM_READ_BLOCK, le16(0x0102), 6).output, (Bytes{1, 2, 3, 4, 5, 6}));
  device_->clear_trace();
  EXPECT_EQ(call(IOCTL_CAM_WRITE_BLOCK, le32(7) + Bytes(65536, 0x5A)).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(traffic(), Traffic{});
  EXPECT_EQ(call(IOCTL_CAM_WRITE_BLOCK, le32(7) + Bytes(65535, 0x5A)).status, STATUS_SUCCESS);
  EXPECT_EQ(traffic(), Traffic{"40 BA 0007 0000 FFFF :" + hex(Bytes(65535, 0x5A))});
}

// The whole output buffer comes back, from 0 bytes up to 65,535. What the camera
// did not deliver comes back as zeros, not as whatever memory held before.
TEST_P(Raw, ReadBlockReturnsTheWholeOutput) {
  Bytes expected(64);
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(0x10 + i);
  EXPECT_EQ(call(IOCTL_CAM_READ_BLOCK, le16(0x0010) + Bytes{0xEE}, 64),
            (Outcome{STATUS_SUCCESS, 64, expected}));
  EXPECT_EQ(traffic(), Traffic{"C0 BA 0010 0000 0040 :" + hex(expected)});
  EXPECT_EQ(call(IOCTL_CAM_READ_BLOCK, le16(1), 0), (Outcome{STATUS_SUCCESS, 0, {}}));
  EXPECT_EQ(traffic(), Traffic{"C0 BA 0001 0000 0000"});
  EXPECT_EQ(call(IOCTL_CAM_READ_BLOCK, le16(1), 65536).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(traffic(), Traffic{});
  Reply full = call(IOCTL_CAM_READ_BLOCK, le16(1), 65535);
  EXPECT_EQ(full.status, STATUS_SUCCESS);
  EXPECT_EQ(full.information, 65535u);
  device_->clear_trace();
  device_->short_control(sim::UrbMatch::vendor(0xBA, true), 10);
  std::fill(expected.begin() + 10, expected.end(), 0);
  EXPECT_EQ(call(IOCTL_CAM_READ_BLOCK, le16(0x0010), 64), (Outcome{STATUS_SUCCESS, 64, expected}));
  EXPECT_EQ(traffic(),
            Traffic{"C0 BA 0010 0000 0040 :" + hex(Bytes(expected.begin(), expected.begin() + 10))});
}

// 0xBB with value 0 is answered without asking the camera. 0xC0 returns eight bytes.
// The register read by a 16-bit address passes only its low byte on, and leaves the
// register as it was.
TEST_P(Raw, Reads) {
  EXPECT_EQ(call(IOCTL_CAM_READ_BB, le16(0), 4), (Outcome{STATUS_SUCCESS, 4, {0x00, 0x02, 0x00, 0x02}}));
  EXPECT_EQ(traffic(), Traffic{});
  EXPECT_EQ(call(IOCTL_CAM_READ_BB, le16(3), 4), (Outcome{STATUS_SUCCESS, 4, le32(0x00BB0003)}));
  EXPECT_EQ(traffic(), Traffic{"C0 BB 0003 0000 0004 : 03 00 BB 00"});
  device_->camera().set_frame_size(0x1000);
  EXPECT_EQ(call(IOCTL_CAM_READ_C0, {}, 9),
            (Outcome{STATUS_SUCCESS, 8, le32(0x01C00001) + le32(0x1000) + Bytes{kPoison}}));
  EXPECT_EQ(traffic(), Traffic{"C0 C0 0001 0000 0008 : 01 00 C0 01 00 10 00 00"});
  device_->camera().set_reg(0x09, 0x2710);
  EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER_EX, le16(0x0109), 4), (Outcome{STATUS_SUCCESS, 4, le32(0x2710)}));
  EXPECT_EQ(traffic(), Traffic{reg_read(0x09, 0x2710)});
  EXPECT_EQ(device_->camera().reg(0x09), 0x2710);
}

INSTANTIATE_TEST_SUITE_P(Products, Raw, ::testing::ValuesIn(kProducts), ProductName());

class DeviceList : public ControlTest {
 protected:
  // The list of these instances fills 128 bytes of a longer output buffer.
  static Outcome listing(std::initializer_list<int> instances) {
    Bytes bytes(128, 0);
    size_t entry = 0;
    for (int instance : instances) {
      std::string name = "Quorvex-" + std::to_string(instance);
      std::copy(name.begin(), name.end(), bytes.begin() + static_cast<long>(16 * entry++));
    }
    return {STATUS_SUCCESS, 128, bytes + Bytes{kPoison}};
  }
  Reply list() { return call(IOCTL_CAM_GET_DEVICE_LIST, {}, 129); }
};

TEST_F(DeviceList, NamesTheCamerasMostRecentFirst) {
  attach(0x100A);
  sim::UsbDevice& second = plug(camera(0x100B));
  sim::UsbDevice& third = plug(camera(0x100E));
  EXPECT_EQ(list(), listing({2, 1, 0}));
  EXPECT_EQ(traffic(), Traffic{});
  EXPECT_EQ(platform().remove(second), STATUS_SUCCESS);
  EXPECT_EQ(list(), listing({2, 0}));
  // The freed instance is taken again, by the newest device object.
  plug(camera(0x1009));
  EXPECT_EQ(list(), listing({1, 2, 0}));
  EXPECT_EQ(platform().remove(third), STATUS_SUCCESS);
  EXPECT_EQ(list(), listing({1, 0}));
}

// The list names the cameras that are there: not a number AddDevice has only
// claimed, nor one it gives up because the name is taken. Read from another thread
// while AddDevice is stopped as it creates the device object for 1 (whose name
// another driver holds), and again as it creates it for 2, and once AddDevice is
// done.
TEST_F(DeviceList, NamesNoNumberOnlyClaimedOrGivenUp) {
  attach(0x100A);
  std::vector<Reply> during;
  sim::inject::at_call(
      "IoCreateDevice",
      [&] { during.push_back(std::async(std::launch::async, [&] { return list(); }).get()); }, 1, 2);
  {
    NameSquatter squatter({1});
    plug(camera(0x100B));
  }
  ASSERT_EQ(during.size(), 2u);
  EXPECT_EQ(during[0], listing({0}));
  EXPECT_EQ(during[1], listing({0}));
  EXPECT_EQ(list(), listing({2, 0}));
}

TEST_F(DeviceList, EightCamerasFillEveryEntry) {
  attach(0x100A);
  for (int i = 1; i < 8; ++i) plug(camera(0x100A));
  EXPECT_EQ(list(), listing({7, 6, 5, 4, 3, 2, 1, 0}));
}

}  // namespace
}  // namespace quorvex::test
