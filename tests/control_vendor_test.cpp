// The vendor request URB and its builders, and the register requests as the camera
// sees them: setup packet, data stage, byte order, on both completion paths.
#include <cstring>

#include "control/control.h"
#include "support/control.h"

namespace quorvex::test {
namespace {

using VendorUrb = struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST;

// Every byte of a block full of leftovers is written: the fields the request needs,
// zero everywhere else.
TEST(Builders, FillEveryByteOfTheBlock) {
  const struct {
    VOID (*build)(PURB, UCHAR, PVOID);
    UCHAR request;
    ULONG flags;
  } builders[] = {{CamBuildRegisterWrite, 0xB7, USBD_TRANSFER_DIRECTION_OUT | USBD_SHORT_TRANSFER_OK},
                  {CamBuildRegisterRead, 0xB7, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK},
                  {CamBuildB9Write, 0xB9, USBD_TRANSFER_DIRECTION_OUT | USBD_SHORT_TRANSFER_OK},
                  {CamBuildBCWrite, 0xBC, USBD_TRANSFER_DIRECTION_OUT | USBD_SHORT_TRANSFER_OK}};
  for (const auto& b : builders) {
    SCOPED_TRACE(testing::Message() << "request " << std::hex << int{b.request} << " flags " << b.flags);
    alignas(8) uint8_t block[sizeof(VendorUrb)];
    std::memset(block, kPoison, sizeof(block));
    uint8_t data[2];
    b.build(reinterpret_cast<PURB>(block), 0x5A, data);
    VendorUrb expected;
    std::memset(&expected, 0, sizeof(expected));
    expected.Hdr.Length = sizeof(VendorUrb);
    expected.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    expected.TransferFlags = b.flags;
    expected.TransferBufferLength = 2;
    expected.TransferBuffer = data;
    expected.Request = b.request;
    expected.Value = 0x5A;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&expected);
    EXPECT_EQ(Bytes(block, block + sizeof(block)), Bytes(bytes, bytes + sizeof(expected)));
  }
}

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

  // The traffic since the last call, each transfer checked to come in a whole
  // vendor URB with the direction's flags and short transfers allowed.
  Traffic vendor_traffic(ULONG direction) {
    for (const sim::BusEvent& e : device_->trace()) {
      EXPECT_EQ(e.urb_length, sizeof(VendorUrb));
      EXPECT_EQ(e.transfer_flags, direction | USBD_SHORT_TRANSFER_OK);
    }
    return traffic();
  }
};

// The register at byte 0, the value at byte 4, low byte first. The first two input
// bytes are reported only to an output buffer that can take them.
TEST_P(Registers, WriteSendsTheValueLowByteFirst) {
  EXPECT_EQ(call(IOCTL_CAM_WRITE_REGISTER, Bytes{0x35, 0xEE, 0xEE, 0xEE} + le16(0x1234)),
            (Outcome{STATUS_SUCCESS, 0, {}}));
  EXPECT_EQ(vendor_traffic(USBD_TRANSFER_DIRECTION_OUT), Traffic{"40 B7 0035 0000 0002 : 34 12"});
  EXPECT_EQ(device_->camera().reg(0x35), 0x1234);
  Bytes input = Bytes{0xFF, 0x01, 0x02, 0x03} + le16(0xBEEF);
  EXPECT_EQ(call(IOCTL_CAM_WRITE_REGISTER, input, 1), untouched(STATUS_SUCCESS, 1));
  EXPECT_EQ(call(IOCTL_CAM_WRITE_REGISTER, input, 3), (Outcome{STATUS_SUCCESS, 2, {0xFF, 0x01, kPoison}}));
  EXPECT_EQ(traffic(), (Traffic{reg_write(0xFF, 0xBEEF), reg_write(0xFF, 0xBEEF)}));
}

// The value comes back with its upper half zero; from a camera that answers with one
// byte, the byte missing reads 0.
TEST_P(Registers, ReadReturnsTheValueWithItsUpperHalfZero) {
  device_->camera().set_reg(0x09, 0x2710);
  EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER, {0x09}, 5),
            (Outcome{STATUS_SUCCESS, 4, le32(0x2710) + Bytes{kPoison}}));
  EXPECT_EQ(vendor_traffic(USBD_TRANSFER_DIRECTION_IN), Traffic{"C0 B7 0009 0000 0002 : 10 27"});
  device_->short_control(sim::UrbMatch::vendor(0xB7, true), 1);
  EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER, {0x09}, 4), (Outcome{STATUS_SUCCESS, 4, le32(0x0010)}));
  EXPECT_EQ(traffic(), Traffic{"C0 B7 0009 0000 0002 : 10"});
}

TEST_P(Registers, AWrittenValueReadsBack) {
  for (uint8_t reg : {0x00, 0x7F, 0xFF}) {
    ASSERT_EQ(call(IOCTL_CAM_WRITE_REGISTER, Bytes{reg, 0, 0, 0} + le16(0xA5C3 ^ reg)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER, {reg}, 4).output, le32(0xA5C3 ^ reg));
  }
}

TEST_P(Registers, FailedTransfersReturnNothing) {
  device_->camera().set_reg(0x09, 0x2710);
  stall_register(true);
  EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER, {0x09}, 4), untouched(STATUS_UNSUCCESSFUL, 4));
  EXPECT_EQ(traffic(), Traffic{reg_read_failed(0x09)});
  stall_register(false);
  EXPECT_EQ(call(IOCTL_CAM_WRITE_REGISTER, Bytes{0x35, 0, 0, 0} + le16(1), 2),
            untouched(STATUS_UNSUCCESSFUL, 2));
  EXPECT_EQ(ext_->LastUsbdStatus, USBD_STATUS_STALL_PID);
}

// One URB carries the four window writes in a row; nothing of one survives into
// the next.
TEST_P(Registers, ASequenceReusesItsUrbCleanly) {
  ASSERT_EQ(call(IOCTL_CAM_SET_RESOLUTION, accepted_window(model_of(GetParam().product))).status,
            STATUS_SUCCESS);
  Traffic sent = vendor_traffic(USBD_TRANSFER_DIRECTION_OUT);
  ASSERT_EQ(sent.size(), 4u);
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].substr(0, 20), "40 B7 000" + std::to_string(i + 1) + " 0000 0002");
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
