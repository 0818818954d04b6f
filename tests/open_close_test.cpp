// Open and close: the product table, refusals and the identity they leave, the
// per-open record, and the open count over several handles.
#include "driver/driver.h"
#include "support/testbed.h"

namespace quorvex::test {
namespace {

class OpenClose : public Testbed {
 protected:
  struct Identity {
    ULONG vendor, product, model;
    bool operator==(const Identity&) const = default;
  };
  Identity identity(sim::UsbDevice& device) {
    const CAM_PRODUCT* p = extension(device)->Product;
    return p == nullptr ? Identity{0, 0, 0} : Identity{CAM_VENDOR_ID, p->ProductId, p->Model->ModelCode};
  }

  // Sends a create request with no file object, as no I/O manager path can.
  NTSTATUS create_without_file(PDEVICE_OBJECT fdo) {
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(fdo->StackSize + 1), FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    IoSetCompletionRoutine(irp, CamSyncCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS returned = IofCallDriver(fdo, irp);
    NTSTATUS status = irp->IoStatus.Status;
    EXPECT_EQ(returned, status);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    IoFreeIrp(irp);
    return status;
  }
};

struct Product {
  USHORT product;
  ULONG model;
};

class ProductTable : public OpenClose, public ::testing::WithParamInterface<Product> {};

TEST_P(ProductTable, RecordsTheIdentityAndModel) {
  sim::UsbDevice& device = plug(camera(GetParam().product));
  sim::Handle handle = open();
  EXPECT_EQ(identity(device), (Identity{0x04B4, GetParam().product, GetParam().model}));
  EXPECT_EQ(extension(device)->OpenCount, 1);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  EXPECT_EQ(extension(device)->OpenCount, 0);
}

INSTANTIATE_TEST_SUITE_P(Products, ProductTable,
                         ::testing::Values(Product{0x1009, 0x8431}, Product{0x100A, 0x8431},
                                           Product{0x100B, 0x1801}, Product{0x100C, 0x1801},
                                           Product{0x100D, 0x1801}, Product{0x100E, 0x1621},
                                           Product{0x100F, 0x1801}),
                         [](const auto& info) { return "Product" + std::to_string(info.param.product); });

struct Stranger {
  USHORT vendor, product;
};

class UnsupportedCamera : public OpenClose, public ::testing::WithParamInterface<Stranger> {};

TEST_P(UnsupportedCamera, IsRefusedAndLeavesNoIdentity) {
  sim::CameraConfig config = camera(GetParam().product);
  config.vendor_id = GetParam().vendor;
  sim::UsbDevice& device = plug(config);
  open(0, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(identity(device), (Identity{0, 0, 0}));
  EXPECT_EQ(extension(device)->OpenCount, 0);
}

// A camera that comes back from a stop as one this driver does not serve (its
// firmware changed) is refused, and the identity of the earlier opens goes: the
// settings handlers must not go on choosing registers by it.
TEST_P(UnsupportedCamera, AfterARestartAsOneTheEarlierIdentityIsCleared) {
  sim::UsbDevice& device = plug(camera(0x100E));
  sim::nt_close(open());
  ASSERT_EQ(identity(device), (Identity{0x04B4, 0x100E, 0x1621}));
  sim::CameraConfig stranger = camera(GetParam().product);
  stranger.vendor_id = GetParam().vendor;
  device.change_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 1, sim::build_device_descriptor(stranger));
  ASSERT_EQ(platform().stop(device), STATUS_SUCCESS);
  ASSERT_EQ(platform().start(device), STATUS_SUCCESS);
  open(0, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(identity(device), (Identity{0, 0, 0}));
  EXPECT_EQ(extension(device)->OpenCount, 0);
}

INSTANTIATE_TEST_SUITE_P(Identities, UnsupportedCamera,
                         ::testing::Values(Stranger{0x04B4, 0x1008}, Stranger{0x04B4, 0x1010},
                                           Stranger{0x04B5, 0x100A}, Stranger{0x0000, 0x0000}));

TEST_F(OpenClose, ADeviceThatIsNotStartedIsRefused) {
  sim::Platform::Plugged added = platform().attach(camera());
  ASSERT_EQ(added.add_status, STATUS_SUCCESS);
  open(0, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(extension(*added.device)->OpenCount, 0);
}

// The device has no namespace below it: whatever follows its name is refused.
TEST_F(OpenClose, ANameBelowTheDeviceIsDenied) {
  sim::UsbDevice& device = plug();
  sim::Handle handle = sim::kInvalidHandle;
  for (const wchar_t* name : {L"\\\\.\\Quorvex-0\\x", L"\\\\.\\Quorvex-0\\"}) {
    EXPECT_EQ(sim::nt_create_file(name, &handle), STATUS_ACCESS_DENIED) << name;
  }
  EXPECT_EQ(extension(device)->OpenCount, 0);
  sim::nt_close(open());
}

TEST_F(OpenClose, ACreateWithoutAFileObjectIsAnInvalidParameter) {
  sim::UsbDevice& device = plug(camera(0x100E));
  EXPECT_EQ(create_without_file(platform().fdo(device)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(identity(device), (Identity{0x04B4, 0x100E, 0x1621}));
  EXPECT_EQ(extension(device)->OpenCount, 0);
}

TEST_F(OpenClose, WithoutMemoryForTheRecordTheOpenFailsCleanly) {
  sim::UsbDevice& device = plug(camera(0x100F));
  sim::inject::fail_pool_allocation(1);
  open(0, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(identity(device), (Identity{0x04B4, 0x100F, 0x1801}));
  EXPECT_EQ(extension(device)->OpenCount, 0);
  sim::nt_close(open());  // the device is not harmed
}

TEST_F(OpenClose, EachHandleHasItsOwnRecordAndTheCountFollowsThem) {
  sim::UsbDevice& device = plug();
  sim::Handle first = open();
  sim::Handle second = open();
  EXPECT_EQ(extension(device)->OpenCount, 2);
  EXPECT_NE(first, second);
  EXPECT_EQ(sim::nt_close(first), STATUS_SUCCESS);
  EXPECT_EQ(extension(device)->OpenCount, 1);
  EXPECT_EQ(sim::nt_close(second), STATUS_SUCCESS);
  EXPECT_EQ(extension(device)->OpenCount, 0);
}

TEST_F(OpenClose, HandlesInSeveralProcessesShareTheDevice) {
  sim::UsbDevice& device = plug();
  sim::Handle mine = open();
  {
    sim::Process other("viewer");
    sim::ProcessScope scope(other);
    open();
    EXPECT_EQ(extension(device)->OpenCount, 2);
  }  // the process ends: its handle is closed
  EXPECT_EQ(extension(device)->OpenCount, 1);
  sim::nt_close(mine);
}

}  // namespace
}  // namespace quorvex::test
