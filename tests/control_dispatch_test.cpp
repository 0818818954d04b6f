// The device-control dispatcher: admission and readiness, selection by exact code,
// the requests answered from the device context, the pipe abort, the record tests
// of the streaming requests, and allocation failures in every handler family.
#include "support/control.h"

namespace quorvex::test {
namespace {

constexpr USHORT kProducts[] = {0x1009, 0x100A, 0x100B, 0x100D, 0x100E};

uint32_t model_of(USHORT product) {
  switch (product) {
    case 0x1009:
    case 0x100A:
      return CAM_MODEL_8431;
    case 0x100E:
      return CAM_MODEL_1621;
    default:
      return CAM_MODEL_1801;
  }
}

class Dispatch : public ControlTest {
 protected:
  void SetUp() override { attach(0x100A); }
};

// ---- selection by exact code ----

class UnknownCode : public Dispatch, public ::testing::WithParamInterface<ULONG> {};

TEST_P(UnknownCode, IsRefusedWithoutTouchingTheCamera) {
  Reply reply = call(GetParam(), le32(0x35) + le32(0x1234), 16);
  EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(reply.output, Bytes(16, kPoison));
  EXPECT_EQ(traffic(), Traffic{});
}

// Between listed codes, next to them, a listed function with another method or
// access, another device type, and just past the ends of the table.
INSTANTIATE_TEST_SUITE_P(Codes, UnknownCode,
                         ::testing::Values(0x222010u, 0x222021u, 0x22201Fu, 0x222000u, 0x222058u, 0x222084u,
                                           0x222005u, 0x22208Cu, 0x222192u + 1, 0x2221A6u, 0x2261A4u,
                                           0x2321A4u, 0x0021A4u, 0x2221E0u, 0x222134u, 0u, 0xFFFFFFFFu));

// ---- readiness and the gate ----

TEST_F(Dispatch, AStoppedDeviceRefusesAndTheGateCountIsKept) {
  LONG before = ext_->IoCount;
  ASSERT_EQ(platform().stop(*device_), STATUS_SUCCESS);
  device_->clear_trace();
  Reply reply = call(IOCTL_CAM_TRIGGER);
  EXPECT_EQ(reply.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(call(IOCTL_CAM_GET_MODEL, {}, 4).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(traffic(), Traffic{});
  EXPECT_EQ(ext_->IoCount, before);

  ASSERT_EQ(platform().start(*device_), STATUS_SUCCESS);
  device_->clear_trace();
  EXPECT_EQ(call(IOCTL_CAM_TRIGGER).status, STATUS_SUCCESS);
  EXPECT_EQ(traffic().size(), 1u);
  EXPECT_EQ(ext_->IoCount, before);
}

TEST_F(Dispatch, AQueryRemoveRefusesUntilItIsCancelled) {
  LONG before = ext_->IoCount;
  ASSERT_EQ(platform().query_remove(*device_), STATUS_SUCCESS);
  Reply reply = call(IOCTL_CAM_READ_REGISTER, {0x09}, 4);
  EXPECT_EQ(reply.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(reply.output, Bytes(4, kPoison));
  EXPECT_EQ(traffic(), Traffic{});
  EXPECT_EQ(ext_->IoCount, before);

  ASSERT_EQ(platform().cancel_remove(*device_), STATUS_SUCCESS);
  EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER, {0x09}, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(ext_->IoCount, before);
}

TEST_F(Dispatch, EachReadinessFlagAloneRefuses) {
  LONG before = ext_->IoCount;
  UCHAR* flags[] = {&ext_->RemovePending, &ext_->QueryRemovePending, &ext_->Stopped};
  for (UCHAR* flag : flags) {
    *flag = 1;
    EXPECT_EQ(call(IOCTL_CAM_NOOP_805).status, STATUS_DELETE_PENDING);
    *flag = 0;
  }
  // Started must be exactly 1, not merely set.
  for (UCHAR started : {0, 2}) {
    ext_->Started = started;
    EXPECT_EQ(call(IOCTL_CAM_NOOP_805).status, STATUS_DELETE_PENDING);
  }
  ext_->Started = 1;
  EXPECT_EQ(call(IOCTL_CAM_NOOP_805).status, STATUS_SUCCESS);
  EXPECT_EQ(ext_->IoCount, before);
}

TEST_F(Dispatch, ARemovedDeviceRefusesAtTheGate) {
  ASSERT_EQ(platform().remove(*device_), STATUS_SUCCESS);
  Reply reply = call(IOCTL_CAM_GET_IDENTITY, {}, 12);
  EXPECT_EQ(reply.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(reply.output, Bytes(12, kPoison));
}

// ---- requests answered from the device context ----

TEST_F(Dispatch, LastStatusNeedsExactlyFourBytes) {
  for (size_t length : {0u, 1u, 3u, 5u, 8u}) {
    Reply reply = call(IOCTL_CAM_GET_LAST_STATUS, {}, length);
    EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL) << length;
    EXPECT_EQ(reply.information, 0u);
    EXPECT_EQ(reply.output, Bytes(length, kPoison));
  }
  Reply reply = call(IOCTL_CAM_GET_LAST_STATUS, {}, 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 4u);
  EXPECT_EQ(reply.output, le32(0));
}

TEST_F(Dispatch, LastStatusKeepsTheLastFailureUntilAnotherOne) {
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, true), USBD_STATUS_STALL_PID);
  EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER, {0x09}, 4).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(call(IOCTL_CAM_GET_LAST_STATUS, {}, 4).output, le32(USBD_STATUS_STALL_PID));
  // Success does not clear it, and neither does reading it.
  EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER, {0x09}, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(call(IOCTL_CAM_GET_LAST_STATUS, {}, 4).output, le32(USBD_STATUS_STALL_PID));
  device_->fail_urb(sim::UrbMatch::vendor(0xB3), USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(call(IOCTL_CAM_TRIGGER).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(call(IOCTL_CAM_GET_LAST_STATUS, {}, 4).output, le32(USBD_STATUS_DEV_NOT_RESPONDING));
}

class PerProduct : public ControlTest, public ::testing::WithParamInterface<USHORT> {
 protected:
  void SetUp() override { attach(GetParam()); }
};

TEST_P(PerProduct, IdentityAndModelComeFromOpen) {
  Reply identity = call(IOCTL_CAM_GET_IDENTITY, {}, 13);
  EXPECT_EQ(identity.status, STATUS_SUCCESS);
  EXPECT_EQ(identity.information, 12u);
  EXPECT_EQ(identity.output, le32(0x04B4) + le32(GetParam()) + le32(model_of(GetParam())) + Bytes{kPoison});
  Reply model = call(IOCTL_CAM_GET_MODEL, {}, 4);
  EXPECT_EQ(model.status, STATUS_SUCCESS);
  EXPECT_EQ(model.information, 4u);
  EXPECT_EQ(model.output, le32(model_of(GetParam())));
  EXPECT_EQ(traffic(), Traffic{});
}

TEST_P(PerProduct, NoActionCodesSucceedAndSendNothing) {
  for (ULONG code : {IOCTL_CAM_NOOP_805, IOCTL_CAM_NOOP_815, IOCTL_CAM_NOOP_81B, IOCTL_CAM_NOOP_81C,
                     IOCTL_CAM_NOOP_81D, IOCTL_CAM_NOOP_81E, IOCTL_CAM_NOOP_81F, IOCTL_CAM_NOOP_820,
                     IOCTL_CAM_NOOP_824, IOCTL_CAM_NOOP_86E, IOCTL_CAM_NOOP_876, IOCTL_CAM_NOOP_877}) {
    Reply reply = call(code, le32(7), 8);
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << std::hex << code;
    EXPECT_EQ(reply.information, 0u);
    EXPECT_EQ(reply.output, Bytes(8, kPoison));
  }
  EXPECT_EQ(traffic(), Traffic{});
}

TEST_P(PerProduct, Register62IsModel1621Only) {
  Reply on = call(IOCTL_CAM_SET_REG62_ON);
  Reply off = call(IOCTL_CAM_SET_REG62_OFF);
  if (model_of(GetParam()) == CAM_MODEL_1621) {
    EXPECT_EQ(on.status, STATUS_SUCCESS);
    EXPECT_EQ(off.status, STATUS_SUCCESS);
    EXPECT_EQ(traffic(), (Traffic{reg_write(0x62, 1), reg_write(0x62, 0)}));
  } else {
    EXPECT_EQ(on.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(off.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(traffic(), Traffic{});
  }
  EXPECT_EQ(on.information, 0u);
}

// Single-shot reads and streaming are not served yet; on every product the frame
// read is refused without traffic, whichever read it would route to.
TEST_P(PerProduct, FrameAndStreamRequestsAreNotServed) {
  for (ULONG code :
       {IOCTL_CAM_READ_FRAME, IOCTL_CAM_READ_FRAME_EX, IOCTL_CAM_STREAM_READ_FRAME, IOCTL_CAM_STREAM_STOP}) {
    Reply reply = call(code, {}, 4096);
    EXPECT_EQ(reply.status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
    EXPECT_EQ(reply.information, 0u);
  }
  EXPECT_EQ(traffic(), Traffic{});
  EXPECT_EQ(device_->camera().triggers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Products, PerProduct, ::testing::ValuesIn(kProducts),
                         [](const auto& info) { return product_name(info.param); });

// ---- the streaming requests' own record tests ----

TEST_F(Dispatch, StreamStartNeedsItsWholeRecord) {
  Bytes record(sizeof(CAM_STREAM_START_PARAMS), 0);
  EXPECT_EQ(call(IOCTL_CAM_STREAM_START, Bytes(record.begin(), record.end() - 1)).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(call(IOCTL_CAM_STREAM_START).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(call(IOCTL_CAM_STREAM_START, record).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(Dispatch, StreamGetFrameTestsTheOutputFirst) {
  Reply short_reply = call(IOCTL_CAM_STREAM_GET_FRAME, {}, 39);
  EXPECT_EQ(short_reply.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(short_reply.output, Bytes(39, kPoison));
  EXPECT_EQ(call(IOCTL_CAM_STREAM_GET_FRAME, {}, 40).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(Dispatch, StreamReleaseFrameTestsItsRecord) {
  Bytes record = le32(32) + Bytes(28, 0);
  EXPECT_EQ(call(IOCTL_CAM_STREAM_RELEASE_FRAME).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(call(IOCTL_CAM_STREAM_RELEASE_FRAME, Bytes(record.begin(), record.end() - 1)).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(call(IOCTL_CAM_STREAM_RELEASE_FRAME, le32(40) + Bytes(28, 0)).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(call(IOCTL_CAM_STREAM_RELEASE_FRAME, le32(32) + Bytes(36, 0)).status,
            STATUS_INVALID_DEVICE_REQUEST);
}

// ---- the pipe abort ----

class AbortPipe : public ControlTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(AbortPipe, AbortsTheLastPipeWithTheStacksRequestLength) {
  platform().bus().set_usbdi_version(GetParam());
  attach(0x100A);
  Reply reply = call(IOCTL_CAM_ABORT_PIPE, {}, 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 0u);
  std::vector<sim::BusEvent> trace = device_->trace();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0].kind, sim::BusEvent::AbortPipe);
  EXPECT_EQ(trace[0].endpoint, 0x82);
  EXPECT_EQ(trace[0].urb_length, GetParam() < 0x101 ? 36 : 40);
}

INSTANTIATE_TEST_SUITE_P(UsbdiVersions, AbortPipe, ::testing::Values(0x100u, 0x101u, 0x600u));

// A configuration whose interface has no pipe leaves nothing to abort.
TEST_F(Dispatch, AbortWithoutPipesIsRefusedAndSendsNothing) {
  ULONG pipes = ext_->InterfaceInfo->NumberOfPipes;
  ext_->InterfaceInfo->NumberOfPipes = 0;
  Reply reply = call(IOCTL_CAM_ABORT_PIPE);
  ext_->InterfaceInfo->NumberOfPipes = pipes;
  EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_TRUE(device_->trace().empty());
}

TEST_F(Dispatch, AbortWithoutAPipeTableIsRefused) {
  PUSBD_INTERFACE_INFORMATION pipes = ext_->InterfaceInfo;
  ext_->InterfaceInfo = nullptr;
  EXPECT_EQ(call(IOCTL_CAM_ABORT_PIPE).status, STATUS_UNSUCCESSFUL);
  ext_->InterfaceInfo = pipes;
  EXPECT_TRUE(device_->trace().empty());
}

// ---- allocation failures ----

struct Allocating {
  ULONG code;
  Bytes input;
  size_t output;
};

// One request of every handler that allocates, on a model where it would send.
class UrbShortage : public ControlTest, public ::testing::WithParamInterface<Allocating> {
 protected:
  void SetUp() override { attach(0x100E); }
};

TEST_P(UrbShortage, FailsWithNoMemoryAndSendsNothing) {
  const Allocating& a = GetParam();
  sim::inject::fail_pool_allocation(1);
  Reply reply = call(a.code, a.input, a.output);
  EXPECT_EQ(reply.status, STATUS_NO_MEMORY);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(reply.output, Bytes(a.output, kPoison));
  EXPECT_EQ(traffic(), Traffic{});
  sim::inject::clear();
  EXPECT_TRUE(NT_SUCCESS(call(a.code, a.input, a.output).status)) << "the request works without the shortage";
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, UrbShortage,
    ::testing::Values(
        Allocating{IOCTL_CAM_TRIGGER, {}, 0}, Allocating{IOCTL_CAM_COMMAND_B4, {}, 0},
        Allocating{IOCTL_CAM_WRITE_BF, le32(3), 0}, Allocating{IOCTL_CAM_SET_EXPOSURE, le32(100), 0},
        Allocating{IOCTL_CAM_GET_EXPOSURE, {}, 4}, Allocating{IOCTL_CAM_SET_GLOBAL_GAIN, le32(10), 0},
        Allocating{IOCTL_CAM_GET_GLOBAL_GAIN, {}, 4}, Allocating{IOCTL_CAM_SET_GAIN_2B, le32(10), 0},
        Allocating{IOCTL_CAM_GET_GAIN_2C, {}, 4}, Allocating{IOCTL_CAM_SET_OFFSET_60_61, le32(1), 0},
        Allocating{IOCTL_CAM_SET_OFFSET_63, le32(1), 0}, Allocating{IOCTL_CAM_GET_OFFSET_61, {}, 4},
        Allocating{IOCTL_CAM_SET_RESOLUTION, le32(640) + le32(480), 0},
        Allocating{IOCTL_CAM_GET_RESOLUTION, {}, 12}, Allocating{IOCTL_CAM_SET_REG05, {9}, 0},
        Allocating{IOCTL_CAM_SET_REG20_BITS, le32(1), 0}, Allocating{IOCTL_CAM_SET_CAPTURE_MODE, le32(1), 0},
        Allocating{IOCTL_CAM_SENSOR_COMMAND, le32(1), 0},
        Allocating{IOCTL_CAM_WRITE_REGISTER, Bytes{0x35, 0, 0, 0} + le16(1), 0},
        Allocating{IOCTL_CAM_READ_REGISTER, {0x35}, 4}, Allocating{IOCTL_CAM_SET_REG62_ON, {}, 0},
        Allocating{IOCTL_CAM_WRITE_B9, le16(1) + le16(2), 0},
        Allocating{IOCTL_CAM_READ_REGISTER_EX, le16(9), 4},
        Allocating{IOCTL_CAM_WRITE_BLOCK, le32(1) + Bytes{1, 2}, 0},
        Allocating{IOCTL_CAM_READ_BLOCK, le16(1), 16}, Allocating{IOCTL_CAM_READ_BB, le16(3), 4},
        Allocating{IOCTL_CAM_WRITE_BC_0, le32(5), 4}, Allocating{IOCTL_CAM_WRITE_BC_1, {}, 0},
        Allocating{IOCTL_CAM_WRITE_BD, le16(5), 4}, Allocating{IOCTL_CAM_READ_C0, {}, 8}));

TEST_F(Dispatch, AbortWithoutMemoryForItsRequestSendsNothing) {
  sim::inject::fail_pool_allocation(1);
  EXPECT_EQ(call(IOCTL_CAM_ABORT_PIPE).status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(device_->trace().empty());
}

TEST_F(Dispatch, Register62ShortageShowsOnEveryModel) {
  sim::inject::fail_pool_allocation(1);
  EXPECT_EQ(call(IOCTL_CAM_SET_REG62_ON).status, STATUS_NO_MEMORY);
}

TEST_F(Dispatch, Reg05SelectorIsTestedBeforeAnyAllocation) {
  sim::inject::fail_pool_allocation(1);
  EXPECT_EQ(call(IOCTL_CAM_SET_REG05, {10}).status, STATUS_INVALID_PARAMETER);
  // The armed failure is still waiting for the first allocation.
  EXPECT_EQ(call(IOCTL_CAM_SET_REG05, {9}).status, STATUS_NO_MEMORY);
  EXPECT_EQ(traffic(), Traffic{});
}

TEST_F(Dispatch, ReadBlockReleasesItsDataBufferWhenTheUrbIsMissing) {
  sim::inject::fail_pool_allocation(2);
  Reply reply = call(IOCTL_CAM_READ_BLOCK, le16(1), 64);
  EXPECT_EQ(reply.status, STATUS_NO_MEMORY);
  EXPECT_EQ(reply.output, Bytes(64, kPoison));
  EXPECT_EQ(traffic(), Traffic{});
}

// The IRP of the submission itself cannot be had: a handler that passes statuses on
// returns the submission's, one that maps failures returns its own.
TEST_F(Dispatch, ASubmissionWithoutAnIrpFails) {
  sim::inject::fail_irp_allocation(1);
  EXPECT_EQ(call(IOCTL_CAM_TRIGGER).status, STATUS_INSUFFICIENT_RESOURCES);
  sim::inject::fail_irp_allocation(1);
  EXPECT_EQ(call(IOCTL_CAM_WRITE_BD, le16(1), 4).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(traffic(), Traffic{});
}

}  // namespace
}  // namespace quorvex::test
