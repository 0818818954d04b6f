// The synchronous USB routines: the status rules of a submitted URB on both
// completion paths, the record of the last USB failure, the abort request's
// length by USB stack version, forwarding, and the hex dump.
#include "driver/driver.h"
#include "support/posted_read.h"
#include "support/testbed.h"

namespace quorvex::test {
namespace {

constexpr UCHAR kRegisterRequest = 0xB7;

class SyncUsb : public Testbed {
 protected:
  void SetUp() override {
    device_ = &plug();
    fdo_ = platform().fdo(*device_);
    ext_ = extension(*device_);
    device_->clear_trace();
  }

  // A register read as the driver sends it, straight through CamSubmitUrbSync.
  NTSTATUS read_register(UCHAR reg, USHORT* value) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb {};
    uint8_t data[2] = {0xDE, 0xDE};
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    urb.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb.TransferBufferLength = sizeof(data);
    urb.TransferBuffer = data;
    urb.Request = kRegisterRequest;
    urb.Value = reg;
    NTSTATUS status = CamSubmitUrbSync(fdo_, reinterpret_cast<PURB>(&urb));
    *value = static_cast<USHORT>(data[0] | data[1] << 8);
    return status;
  }

  USBD_PIPE_HANDLE image_pipe() {
    PUSBD_INTERFACE_INFORMATION pipes = ext_->InterfaceInfo;
    return pipes->Pipes[pipes->NumberOfPipes - 1].PipeHandle;
  }

  sim::UsbDevice* device_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PCAM_DEVICE_EXTENSION ext_ = nullptr;
};

class SyncUsbPaths : public SyncUsb, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    SyncUsb::SetUp();
    device_->set_control_deferred(GetParam());
  }
};

TEST_P(SyncUsbPaths, MovesTheDataOnBothCompletionPaths) {
  device_->camera().set_reg(0x35, 0x1234);
  USHORT value = 0;
  EXPECT_EQ(read_register(0x35, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x1234);
  EXPECT_EQ(ext_->LastUsbdStatus, 0);
}

// A URB the stack fails, under a call that itself succeeds.
TEST_P(SyncUsbPaths, AFailedUrbIsUnsuccessfulAndRecorded) {
  device_->fail_urb(sim::UrbMatch::vendor(kRegisterRequest), USBD_STATUS_STALL_PID, STATUS_SUCCESS);
  USHORT value;
  EXPECT_EQ(read_register(0x35, &value), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ext_->LastUsbdStatus, USBD_STATUS_STALL_PID);
}

// An IRP failed below is judged by its final status first, pended or not, whether
// or not its URB says so; a failing URB status is still recorded.
TEST_P(SyncUsbPaths, AnIrpFailedBelowIsReturnedWhateverItsUrb) {
  device_->fail_urb(sim::UrbMatch::vendor(kRegisterRequest), USBD_STATUS_SUCCESS,
                    STATUS_INVALID_DEVICE_STATE);
  USHORT value;
  EXPECT_EQ(read_register(0x35, &value), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(ext_->LastUsbdStatus, 0);
  device_->fail_urb(sim::UrbMatch::vendor(kRegisterRequest), USBD_STATUS_XACT_ERROR,
                    STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(read_register(0x35, &value), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(ext_->LastUsbdStatus, USBD_STATUS_XACT_ERROR);
}

INSTANTIATE_TEST_SUITE_P(Completion, SyncUsbPaths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pended" : "Immediate"; });

TEST_F(SyncUsb, TheLastFailureSurvivesLaterSuccesses) {
  device_->fail_urb(sim::UrbMatch::vendor(kRegisterRequest), USBD_STATUS_STALL_PID, STATUS_SUCCESS);
  USHORT value;
  EXPECT_EQ(read_register(0x35, &value), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(read_register(0x35, &value), STATUS_SUCCESS);
  EXPECT_EQ(read_register(0x09, &value), STATUS_SUCCESS);
  EXPECT_EQ(ext_->LastUsbdStatus, USBD_STATUS_STALL_PID);
}

TEST_F(SyncUsb, WithoutAnIrpNothingIsSent) {
  sim::inject::fail_irp_allocation(1);
  USHORT value;
  EXPECT_EQ(read_register(0x35, &value), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(device_->trace().empty());
}

struct AbortCase {
  ULONG usbdi_version;
  USHORT length;
};

class AbortLength : public SyncUsb, public ::testing::WithParamInterface<AbortCase> {};

TEST_P(AbortLength, FollowsTheUsbStackVersion) {
  platform().bus().set_usbdi_version(GetParam().usbdi_version);
  EXPECT_EQ(CamAbortPipe(fdo_, image_pipe()), STATUS_SUCCESS);
  std::vector<sim::BusEvent> trace = device_->trace();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0].kind, sim::BusEvent::AbortPipe);
  EXPECT_EQ(trace[0].endpoint, 0x82);
  EXPECT_EQ(trace[0].urb_length, GetParam().length);
}

INSTANTIATE_TEST_SUITE_P(Versions, AbortLength,
                         ::testing::Values(AbortCase{0x100, 36}, AbortCase{0x101, 40}, AbortCase{0x600, 40}));

TEST_F(SyncUsb, AnAbortWithoutMemorySendsNothing) {
  sim::inject::fail_pool_allocation(1);
  EXPECT_EQ(CamAbortPipe(fdo_, image_pipe()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(device_->trace().empty());
}

// The abort completes first; the transfers it ends complete after it.
TEST_F(SyncUsb, AbortEndsThePipesTransfers) {
  PostedRead read(ext_->LowerDeviceObject, image_pipe());
  ASSERT_EQ(read.sent, STATUS_PENDING);
  EXPECT_EQ(CamAbortPipe(fdo_, image_pipe()), STATUS_SUCCESS);
  LARGE_INTEGER bound;
  bound.QuadPart = -50000000LL;
  ASSERT_EQ(KeWaitForSingleObject(&read.done, Executive, KernelMode, FALSE, &bound), STATUS_SUCCESS);
  EXPECT_EQ(read.irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(read.urb.Hdr.Status, USBD_STATUS_CANCELED);
}

TEST_F(SyncUsb, ForwardingWaitsForALowerDriverThatCompletesLater) {
  ASSERT_EQ(platform().stop(*device_), STATUS_SUCCESS);
  device_->set_pnp_deferred(true);
  ASSERT_EQ(platform().start(*device_), STATUS_SUCCESS);
  EXPECT_EQ(ext_->PnpState, CamPnpStarted);
  auto history = platform().history();
  auto start = std::find_if(history.begin(), history.end(),
                            [](const sim::PnpRecord& r) { return r.minor == IRP_MN_START_DEVICE; });
  ASSERT_NE(start, history.end());
  EXPECT_EQ(start->returned, STATUS_SUCCESS);
}

class HexDump : public Testbed {
 protected:
  std::vector<std::string> rows_of(const void* buffer, ULONG length) {
    size_t before = sim::debug_log().size();
    CamHexDump(buffer, length);
    std::vector<std::string> log = sim::debug_log();
    return std::vector<std::string>(log.begin() + static_cast<long>(before), log.end());
  }
};

TEST_F(HexDump, FormatsRowsOfSixteenBytes) {
  uint8_t bytes[33];
  for (int i = 0; i < 33; ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  EXPECT_TRUE(rows_of(bytes, 0).empty());
  std::vector<std::string> rows = rows_of(bytes, 17);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], "0000 00 07 0E 15 1C 23 2A 31 38 3F 46 4D 54 5B 62 69 \n");
  EXPECT_EQ(rows[1], "0010 70 \n");
  EXPECT_EQ(rows_of(bytes, 32).size(), 2u);
  EXPECT_EQ(rows_of(bytes, 33).back(), "0020 E0 \n");
}

}  // namespace
}  // namespace quorvex::test
