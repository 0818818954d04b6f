// The device-control dispatcher: readiness, selection by exact code, the requests
// answered from the device context, the pipe abort, the requests not served yet,
// and allocation failures in every handler family.
#include "support/control.h"

namespace quorvex::test {
namespace {

class Dispatch : public ControlTest {
 protected:
  void SetUp() override { attach(0x100A); }
};

class UnknownCode : public Dispatch, public ::testing::WithParamInterface<ULONG> {};

TEST_P(UnknownCode, IsRefusedWithoutTouchingTheCamera) {
  EXPECT_EQ(call(GetParam(), le32(0x35) + le32(0x1234), 16), untouched(STATUS_INVALID_PARAMETER, 16));
  EXPECT_EQ(traffic(), Traffic{});
}

// Between listed codes, next to them, a listed function with another method or
// access, another device type, and just past the ends of the table.
INSTANTIATE_TEST_SUITE_P(Codes, UnknownCode,
                         ::testing::Values(0x222010u, 0x222021u, 0x22201Fu, 0x222000u, 0x222058u, 0x222084u,
                                           0x222005u, 0x22208Cu, 0x222192u + 1, 0x2221A6u, 0x2261A4u,
                                           0x2321A4u, 0x0021A4u, 0x2221E0u, 0x222134u, 0u, 0xFFFFFFFFu));

// Every state but Started refuses before anything is sent or written, and the
// refusal leaves the gate count as it was. (Stop, query-remove and removal
// themselves: the Plug and Play tests.)
TEST_F(Dispatch, EveryStateButStartedRefuses) {
  LONG before = ext_->IoCount;
  for (CAM_PNP_STATE state : {CamPnpNotStarted, CamPnpQueryRemoved, CamPnpStopping, CamPnpStopped,
                              CamPnpSurpriseRemoved, CamPnpRemoved}) {
    ext_->PnpState = state;
    EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER, {0x09}, 4), untouched(STATUS_DELETE_PENDING, 4)) << state;
    ext_->PnpState = CamPnpStarted;
  }
  EXPECT_EQ(traffic(), Traffic{});
  EXPECT_EQ(ext_->IoCount, before);
  EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER, {0x09}, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(ext_->IoCount, before);
}

// Neither a success nor reading it clears the last failure; another failure
// replaces it. (The lengths it needs: the sweep.)
TEST_F(Dispatch, LastStatusKeepsTheLastFailureUntilAnotherOne) {
  EXPECT_EQ(call(IOCTL_CAM_GET_LAST_STATUS, {}, 4), (Outcome{STATUS_SUCCESS, 4, le32(0)}));
  device_->fail_urb(sim::UrbMatch::vendor(0xB7, true), USBD_STATUS_STALL_PID);
  EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER, {0x09}, 4).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(call(IOCTL_CAM_GET_LAST_STATUS, {}, 4).output, le32(USBD_STATUS_STALL_PID));
  EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER, {0x09}, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(call(IOCTL_CAM_GET_LAST_STATUS, {}, 4).output, le32(USBD_STATUS_STALL_PID));
  device_->fail_urb(sim::UrbMatch::vendor(0xB3), USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(call(IOCTL_CAM_TRIGGER).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(call(IOCTL_CAM_GET_LAST_STATUS, {}, 4).output, le32(USBD_STATUS_DEV_NOT_RESPONDING));
}

class PerProduct : public ProductTest {};

TEST_P(PerProduct, IdentityAndModelComeFromOpen) {
  EXPECT_EQ(call(IOCTL_CAM_GET_IDENTITY, {}, 13),
            (Outcome{STATUS_SUCCESS, 12, le32(0x04B4) + le32(GetParam()) + le32(model()) + Bytes{kPoison}}));
  EXPECT_EQ(call(IOCTL_CAM_GET_MODEL, {}, 4), (Outcome{STATUS_SUCCESS, 4, le32(model())}));
  EXPECT_EQ(traffic(), Traffic{});
}

TEST_P(PerProduct, NoActionCodesSucceedAndSendNothing) {
  for (ULONG code : {IOCTL_CAM_NOOP_805, IOCTL_CAM_NOOP_815, IOCTL_CAM_NOOP_81B, IOCTL_CAM_NOOP_81C,
                     IOCTL_CAM_NOOP_81D, IOCTL_CAM_NOOP_81E, IOCTL_CAM_NOOP_81F, IOCTL_CAM_NOOP_820,
                     IOCTL_CAM_NOOP_824, IOCTL_CAM_NOOP_86E, IOCTL_CAM_NOOP_876, IOCTL_CAM_NOOP_877}) {
    EXPECT_EQ(call(code, le32(7), 8), untouched(STATUS_SUCCESS, 8)) << std::hex << code;
  }
  EXPECT_EQ(traffic(), Traffic{});
}

// Only model 0x1621 has the register; a shortage of memory shows on every model.
TEST_P(PerProduct, Register62IsModel1621Only) {
  bool has = model() == CAM_MODEL_1621;
  EXPECT_EQ(call(IOCTL_CAM_SET_REG62_ON), (Outcome{has ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, 0, {}}));
  EXPECT_EQ(call(IOCTL_CAM_SET_REG62_OFF).status, has ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
  EXPECT_EQ(traffic(), has ? (Traffic{reg_write(0x62, 1), reg_write(0x62, 0)}) : Traffic{});
  sim::inject::fail_pool_allocation(1);
  EXPECT_EQ(call(IOCTL_CAM_SET_REG62_ON).status, STATUS_NO_MEMORY);
}

// Records short of their bytes: the sweep. A handle that never started a stream: its frame requests find
// none, a start of frames of no bytes is refused, and none of them reaches the camera.
TEST_P(PerProduct, StreamRequestsWithoutAStreamSendNothing) {
  EXPECT_EQ(call(IOCTL_CAM_STREAM_READ_FRAME, {}, 4096), untouched(STATUS_UNSUCCESSFUL, 4096));
  EXPECT_EQ(call(IOCTL_CAM_STREAM_START, Bytes(sizeof(CAM_STREAM_START_PARAMS), 0)).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(call(IOCTL_CAM_STREAM_GET_FRAME, {}, 40), untouched(STATUS_UNSUCCESSFUL, 40));
  EXPECT_EQ(call(IOCTL_CAM_STREAM_RELEASE_FRAME, le32(32) + Bytes(36, 0)).status, STATUS_UNSUCCESSFUL);
  // The release record must give its own length, 32.
  EXPECT_EQ(call(IOCTL_CAM_STREAM_RELEASE_FRAME, le32(40) + Bytes(28, 0)).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(traffic(), Traffic{});
  EXPECT_EQ(device_->camera().triggers(), 0u);
  // A stop aborts the pipes even so; a negative frame size resets the pipe first.
  EXPECT_EQ(call(IOCTL_CAM_STREAM_STOP).status, STATUS_INVALID_PARAMETER);
  Bytes negative(sizeof(CAM_STREAM_START_PARAMS), 0xFF);
  EXPECT_EQ(call(IOCTL_CAM_STREAM_START, negative).status, STATUS_INSUFFICIENT_RESOURCES);
}

INSTANTIATE_TEST_SUITE_P(Products, PerProduct, ::testing::Values(0x1009, 0x100A, 0x100B, 0x100D, 0x100E),
                         ProductName());

class AbortPipe : public ControlTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(AbortPipe, AbortsTheLastPipeWithTheStacksRequestLength) {
  platform().bus().set_usbdi_version(GetParam());
  attach(0x100A);
  EXPECT_EQ(call(IOCTL_CAM_ABORT_PIPE, {}, 4), untouched(STATUS_SUCCESS, 4));
  std::vector<sim::BusEvent> trace = device_->trace();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0].kind, sim::BusEvent::AbortPipe);
  EXPECT_EQ(trace[0].endpoint, 0x82);
  EXPECT_EQ(trace[0].urb_length, GetParam() < 0x101 ? 36 : 40);
}

INSTANTIATE_TEST_SUITE_P(UsbdiVersions, AbortPipe, ::testing::Values(0x100u, 0x101u, 0x600u));

// A configuration whose interface has no pipe, or no pipe table at all, leaves
// nothing to abort.
TEST_F(Dispatch, AbortWithoutPipesIsRefusedAndSendsNothing) {
  PUSBD_INTERFACE_INFORMATION pipes = ext_->InterfaceInfo;
  ULONG count = pipes->NumberOfPipes;
  pipes->NumberOfPipes = 0;
  EXPECT_EQ(call(IOCTL_CAM_ABORT_PIPE), (Outcome{STATUS_UNSUCCESSFUL, 0, {}}));
  pipes->NumberOfPipes = count;
  ext_->InterfaceInfo = nullptr;
  EXPECT_EQ(call(IOCTL_CAM_ABORT_PIPE).status, STATUS_UNSUCCESSFUL);
  ext_->InterfaceInfo = pipes;
  EXPECT_TRUE(device_->trace().empty());
}

struct Allocating {
  ULONG code;
  Bytes input;
  size_t output;
  NTSTATUS status = STATUS_NO_MEMORY;
  int nth = 1;  // the allocation that fails
};

// One request of every handler that allocates, on a model where it would send.
class Shortage : public ControlTest, public ::testing::WithParamInterface<Allocating> {
 protected:
  void SetUp() override { attach(0x100E); }
};

// Whatever it had is released (the verifier's leak check), nothing is sent.
TEST_P(Shortage, FailsAndSendsNothing) {
  const Allocating& a = GetParam();
  sim::inject::fail_pool_allocation(a.nth);
  EXPECT_EQ(call(a.code, a.input, a.output), untouched(a.status, a.output));
  EXPECT_EQ(traffic(), Traffic{});
  sim::inject::clear();
  EXPECT_TRUE(NT_SUCCESS(call(a.code, a.input, a.output).status)) << "the request works without the shortage";
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, Shortage,
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
        Allocating{IOCTL_CAM_WRITE_BD, le16(5), 4}, Allocating{IOCTL_CAM_READ_C0, {}, 8},
        // The abort's request, and the read's URB after its data buffer.
        Allocating{IOCTL_CAM_ABORT_PIPE, {}, 0, STATUS_INSUFFICIENT_RESOURCES},
        Allocating{IOCTL_CAM_READ_BLOCK, le16(1), 64, STATUS_NO_MEMORY, 2}));

TEST_F(Dispatch, Reg05SelectorIsTestedBeforeAnyAllocation) {
  sim::inject::fail_pool_allocation(1);
  EXPECT_EQ(call(IOCTL_CAM_SET_REG05, {10}).status, STATUS_INVALID_PARAMETER);
  // The armed failure is still waiting for the first allocation.
  EXPECT_EQ(call(IOCTL_CAM_SET_REG05, {9}).status, STATUS_NO_MEMORY);
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
