// The vendor request URB and its builders, and the register requests as the camera
// sees them: setup packet, data stage, byte order, on both completion paths.
#include <cstring>

#include "control/control.h"
#include "support/control.h"

namespace quorvex::test {
namespace {

using VendorUrb = struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST;

// ---- the builders, on a block full of leftovers ----

struct Builder {
  const char* name;
  VOID (*build)(PURB, UCHAR, PVOID);
  UCHAR request;
  ULONG flags;
};

class Builders : public ::testing::TestWithParam<Builder> {};

TEST_P(Builders, FillEveryByteOfTheBlock) {
  const Builder& b = GetParam();
  alignas(8) uint8_t block[sizeof(VendorUrb)];
  std::memset(block, kPoison, sizeof(block));
  uint8_t data[2];
  b.build(reinterpret_cast<PURB>(block), 0x5A, data);

  VendorUrb urb;
  std::memcpy(&urb, block, sizeof(urb));
  EXPECT_EQ(urb.Hdr.Length, sizeof(VendorUrb));
  EXPECT_EQ(urb.Hdr.Function, URB_FUNCTION_VENDOR_DEVICE);
  EXPECT_EQ(urb.TransferFlags, b.flags);
  EXPECT_EQ(urb.TransferBufferLength, 2u);
  EXPECT_EQ(urb.TransferBuffer, data);
  EXPECT_EQ(urb.Request, b.request);
  EXPECT_EQ(urb.Value, 0x5A);
  // Everything else is zero: clear the fields named above and nothing may remain.
  urb.Hdr.Length = 0;
  urb.Hdr.Function = 0;
  urb.TransferFlags = 0;
  urb.TransferBufferLength = 0;
  urb.TransferBuffer = nullptr;
  urb.Request = 0;
  urb.Value = 0;
  uint8_t rest[sizeof(urb)];
  std::memcpy(rest, &urb, sizeof(urb));
  EXPECT_EQ(Bytes(rest, rest + sizeof(rest)), Bytes(sizeof(rest), 0));
}

// A value argument of 0x1FF arrives as 0xFF: the builders take 8 bits.
TEST_P(Builders, CarryAtMostEightBitsOfValue) {
  VendorUrb urb;
  uint8_t data[2];
  GetParam().build(reinterpret_cast<PURB>(&urb), static_cast<UCHAR>(0x1FF), data);
  EXPECT_EQ(urb.Value, 0x00FF);
}

INSTANTIATE_TEST_SUITE_P(All, Builders,
                         ::testing::Values(Builder{"RegisterWrite", CamBuildRegisterWrite, 0xB7, 2},
                                           Builder{"RegisterRead", CamBuildRegisterRead, 0xB7, 3},
                                           Builder{"B9Write", CamBuildB9Write, 0xB9, 2},
                                           Builder{"BCWrite", CamBuildBCWrite, 0xBC, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- register requests through the dispatcher ----

struct Path {
  USHORT product;
  bool deferred;
};

class Registers : public ControlTest, public ::testing::WithParamInterface<Path> {
 protected:
  void SetUp() override {
    attach(GetParam().product);
    device_->set_control_deferred(GetParam().deferred);
  }
};

TEST_P(Registers, WriteSendsTheValueLowByteFirst) {
  Reply reply = call(IOCTL_CAM_WRITE_REGISTER, Bytes{0x35, 0xEE, 0xEE, 0xEE} + le16(0x1234));
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 0u) << "no output buffer for the bytes sent";
  std::vector<sim::BusEvent> trace = device_->trace();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(describe(trace[0]), "40 B7 0035 0000 0002 : 34 12");
  EXPECT_EQ(trace[0].urb_length, sizeof(VendorUrb));
  EXPECT_EQ(trace[0].transfer_flags, USBD_TRANSFER_DIRECTION_OUT | USBD_SHORT_TRANSFER_OK);
  EXPECT_EQ(device_->camera().reg(0x35), 0x1234);
}

// The bytes sent are reported only to an output buffer that can take them: the
// first two input bytes come back.
TEST_P(Registers, WriteReportsTheBytesSentWhenTheOutputHoldsThem) {
  Bytes input = Bytes{0xFF, 0x01, 0x02, 0x03} + le16(0xBEEF);
  Reply one = call(IOCTL_CAM_WRITE_REGISTER, input, 1);
  EXPECT_EQ(one.status, STATUS_SUCCESS);
  EXPECT_EQ(one.information, 0u);
  EXPECT_EQ(one.output, Bytes{kPoison});
  Reply two = call(IOCTL_CAM_WRITE_REGISTER, input, 3);
  EXPECT_EQ(two.information, 2u);
  EXPECT_EQ(two.output, (Bytes{0xFF, 0x01, kPoison}));
  EXPECT_EQ(traffic(), (Traffic{reg_write(0xFF, 0xBEEF), reg_write(0xFF, 0xBEEF)}));
}

TEST_P(Registers, ReadReturnsTheValueWithItsUpperHalfZero) {
  device_->camera().set_reg(0x09, 0x2710);
  Reply reply = call(IOCTL_CAM_READ_REGISTER, {0x09}, 5);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 4u);
  EXPECT_EQ(reply.output, le32(0x2710) + Bytes{kPoison});
  std::vector<sim::BusEvent> trace = device_->trace();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(describe(trace[0]), "C0 B7 0009 0000 0002 : 10 27");
  EXPECT_EQ(trace[0].transfer_flags, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
}

TEST_P(Registers, AWrittenValueReadsBack) {
  for (uint8_t reg : {0x00, 0x7F, 0xFF}) {
    ASSERT_EQ(call(IOCTL_CAM_WRITE_REGISTER, Bytes{reg, 0, 0, 0} + le16(0xA5C3 ^ reg)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER, {reg}, 4).output, le32(0xA5C3 ^ reg));
  }
}

TEST_P(Registers, AFailedReadWritesNothing) {
  device_->camera().set_reg(0x09, 0x2710);
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, true), USBD_STATUS_STALL_PID);
  Reply reply = call(IOCTL_CAM_READ_REGISTER, {0x09}, 4);
  EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(reply.output, Bytes(4, kPoison));
  EXPECT_EQ(traffic(), Traffic{reg_read_failed(0x09)});
}

TEST_P(Registers, AFailedWriteReportsNoBytes) {
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, false), USBD_STATUS_STALL_PID);
  Reply reply = call(IOCTL_CAM_WRITE_REGISTER, Bytes{0x35, 0, 0, 0} + le16(1), 2);
  EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(ext_->LastUsbdStatus, USBD_STATUS_STALL_PID);
}

// A camera that answers a register read with one byte: the byte missing reads 0.
TEST_P(Registers, AShortReadLeavesTheMissingByteZero) {
  device_->camera().set_reg(0x35, 0x1234);
  device_->short_control(sim::UrbMatch::vendor(0xB7, true), 1);
  Reply reply = call(IOCTL_CAM_READ_REGISTER, {0x35}, 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.output, le32(0x0034));
  EXPECT_EQ(traffic(), Traffic{"C0 B7 0035 0000 0002 : 34"});
}

// One URB carries the four window writes in a row; nothing of one survives into
// the next.
TEST_P(Registers, ASequenceReusesItsUrbCleanly) {
  uint32_t width = ext_->ModelCode == CAM_MODEL_1801 ? 2592 : 640;
  uint32_t height = ext_->ModelCode == CAM_MODEL_1801 ? 1944 : 480;
  ASSERT_EQ(call(IOCTL_CAM_SET_RESOLUTION, le32(width) + le32(height)).status, STATUS_SUCCESS);
  std::vector<sim::BusEvent> trace = device_->trace();
  ASSERT_EQ(trace.size(), 4u);
  for (size_t i = 0; i < trace.size(); ++i) {
    const sim::BusEvent& e = trace[i];
    EXPECT_EQ(e.urb_length, sizeof(VendorUrb));
    EXPECT_EQ(e.request_type(), 0x40);
    EXPECT_EQ(e.transfer_flags, 2u);
    EXPECT_EQ(e.value(), i + 1);
    EXPECT_EQ(e.index(), 0);
    EXPECT_EQ(e.requested, 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Registers,
                         ::testing::Values(Path{0x1009, false}, Path{0x100B, false}, Path{0x100E, false},
                                           Path{0x1009, true}, Path{0x100B, true}, Path{0x100E, true}),
                         [](const auto& info) {
                           return product_name(info.param.product) +
                                  (info.param.deferred ? "Pended" : "Immediate");
                         });

}  // namespace
}  // namespace quorvex::test
