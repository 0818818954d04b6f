// The failures a test can inject into the platform, each seen to fire exactly
// where it says and nowhere else: kernel services (sim/inject.h) and the bus's
// per-request injections.
#include <future>

#include "sim_little_driver.h"

namespace simtest {
namespace {

namespace inject = sim::inject;

// ---- kernel services ----

class KernelInjection : public ::testing::Test {
 protected:
  KernelInjection() : stack_(1) {}
  ~KernelInjection() override { stack_.finish(); }
  LittleStack stack_;
};

TEST_F(KernelInjection, FailsTheNthPoolAllocationOnlyAndCountsThemAll) {
  long before = inject::pool_allocations();
  inject::fail_pool_allocation(3);
  PVOID blocks[4];
  for (PVOID& block : blocks) block = ExAllocatePool(NonPagedPool, 32);
  EXPECT_NE(blocks[0], nullptr);
  EXPECT_NE(blocks[1], nullptr);
  EXPECT_EQ(blocks[2], nullptr);
  EXPECT_NE(blocks[3], nullptr);
  EXPECT_EQ(inject::pool_allocations(), before + 4);
  for (PVOID block : blocks) {
    if (block != nullptr) ExFreePool(block);
  }
}

TEST_F(KernelInjection, PoolFailuresLeaveThePlatformsOwnAllocationsAlone) {
  sim::Handle handle = stack_.open();
  stack_.set(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    return complete_irp(irp,
                        irp->AssociatedIrp.SystemBuffer != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
  });
  inject::fail_pool_allocation(1);
  uint8_t data[8] = {};
  EXPECT_EQ(sim::nt_device_io_control(handle, kBufferedCode, data, sizeof(data), data, sizeof(data), nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ExAllocatePool(NonPagedPool, 8), nullptr);  // the driver's next one is the first
}

TEST_F(KernelInjection, FailsTheNthIrpAllocationWhicheverRoutineMakesIt) {
  inject::fail_irp_allocation(2);
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP first = IoAllocateIrp(1, FALSE);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(
      IoBuildDeviceIoControlRequest(kNeitherCode, stack_.top(), nullptr, 0, nullptr, 0, FALSE, &event, &iosb),
      nullptr);
  PIRP third = IoAllocateIrp(1, FALSE);
  EXPECT_NE(third, nullptr);
  IoFreeIrp(first);
  IoFreeIrp(third);
}

TEST_F(KernelInjection, IrpFailuresLeaveTheIoManagersRequestsAlone) {
  sim::Handle handle = stack_.open();
  stack_.set(IRP_MJ_DEVICE_CONTROL, complete_success);
  inject::fail_irp_allocation(1);
  EXPECT_EQ(sim::nt_device_io_control(handle, kBufferedCode, nullptr, 0, nullptr, 0, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
}

TEST_F(KernelInjection, FailsTheNthMdlAllocationButNotTheIoManagers) {
  sim::Handle handle = stack_.open();
  stack_.set(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    return complete_irp(irp, irp->MdlAddress != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
  });
  inject::fail_mdl_allocation(2);
  uint8_t out[16];
  EXPECT_EQ(sim::nt_device_io_control(handle, kOutDirectCode, nullptr, 0, out, sizeof(out), nullptr),
            STATUS_SUCCESS);
  uint8_t data[16];
  PMDL first = IoAllocateMdl(data, sizeof(data), FALSE, FALSE, nullptr);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(IoAllocateMdl(data, sizeof(data), FALSE, FALSE, nullptr), nullptr);
  PMDL third = IoAllocateMdl(data, sizeof(data), FALSE, FALSE, nullptr);
  EXPECT_NE(third, nullptr);
  IoFreeMdl(first);
  IoFreeMdl(third);
}

TEST_F(KernelInjection, FailsTheNthUserMappingButNotKernelMappings) {
  PVOID block = ExAllocatePool(NonPagedPool, 100);
  PMDL mdl = IoAllocateMdl(block, 100, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  inject::fail_user_mapping(2);
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority),
            block);
  PVOID first = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority),
            nullptr);
  EXPECT_EQ(sim::default_process().views(), 1);
  MmUnmapLockedPages(first, mdl);
  IoFreeMdl(mdl);
  ExFreePool(block);
}

struct CallCase {
  const char* name;
  const char* call;
  // Makes the call; true when it failed as injected.
  bool (*fails)(LittleStack& stack, NTSTATUS injected);
};

class NamedCall : public KernelInjection, public ::testing::WithParamInterface<CallCase> {};

constexpr NTSTATUS kInjected = STATUS_INSUFFICIENT_RESOURCES;

TEST_P(NamedCall, FailsOnTheNthCallWithTheGivenStatus) {
  inject::fail_call(GetParam().call, kInjected, 2);
  EXPECT_FALSE(GetParam().fails(stack_, kInjected)) << "first call";
  EXPECT_TRUE(GetParam().fails(stack_, kInjected)) << "second call";
  EXPECT_FALSE(GetParam().fails(stack_, kInjected)) << "third call";
  inject::fail_call(GetParam().call, kInjected);
  inject::clear();
  EXPECT_FALSE(GetParam().fails(stack_, kInjected)) << "after clear";
}

bool create_device(LittleStack& stack, NTSTATUS injected) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      IoCreateDevice(stack.driver().object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (status == injected) {
    EXPECT_EQ(device, nullptr);
    return true;
  }
  EXPECT_EQ(status, STATUS_SUCCESS);
  IoDeleteDevice(device);
  return false;
}

bool create_link(LittleStack&, NTSTATUS injected) {
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, L"\\DosDevices\\SimInjected");
  RtlInitUnicodeString(&target, LittleStack::kDeviceName);
  NTSTATUS status = IoCreateSymbolicLink(&link, &target);
  if (status == injected) return !sim::symbolic_link_exists(L"\\DosDevices\\SimInjected");
  EXPECT_EQ(status, STATUS_SUCCESS);
  IoDeleteSymbolicLink(&link);
  return false;
}

bool attach(LittleStack& stack, NTSTATUS) {
  PDEVICE_OBJECT device = nullptr;
  IoCreateDevice(stack.driver().object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, stack.top());
  bool failed = lower == nullptr;
  EXPECT_EQ(stack.top()->AttachedDevice, failed ? nullptr : device);
  if (!failed) IoDetachDevice(lower);
  IoDeleteDevice(device);
  return failed;
}

bool configuration_request(LittleStack&, NTSTATUS) {
  sim::CameraConfig config;
  std::vector<uint8_t> bytes = sim::build_configuration_descriptor(config);
  auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1);
  PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
  if (urb == nullptr) return true;
  ExFreePool(urb);
  return false;
}

bool power_request(LittleStack& stack, NTSTATUS injected) {
  static int callbacks;
  callbacks = 0;
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  NTSTATUS status = PoRequestPowerIrp(
      stack.top(), IRP_MN_SET_POWER, state,
      [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) { callbacks++; }, nullptr, nullptr);
  if (status == injected) return callbacks == 0;
  EXPECT_EQ(status, STATUS_PENDING);
  EXPECT_EQ(callbacks, 1);  // the little driver completed it at once
  return false;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, NamedCall,
    ::testing::Values(CallCase{"IoCreateDevice", "IoCreateDevice", create_device},
                      CallCase{"IoCreateSymbolicLink", "IoCreateSymbolicLink", create_link},
                      CallCase{"IoAttachDeviceToDeviceStack", "IoAttachDeviceToDeviceStack", attach},
                      CallCase{"USBD_CreateConfigurationRequestEx", "USBD_CreateConfigurationRequestEx",
                               configuration_request},
                      CallCase{"PoRequestPowerIrp", "PoRequestPowerIrp", power_request}),
    [](const ::testing::TestParamInfo<CallCase>& info) { return std::string(info.param.name); });

TEST_F(KernelInjection, ClearRemovesEveryPendingInjection) {
  inject::fail_pool_allocation(1);
  inject::fail_irp_allocation(1);
  inject::fail_mdl_allocation(1);
  inject::clear();
  PVOID block = ExAllocatePool(NonPagedPool, 8);
  PIRP irp = IoAllocateIrp(1, FALSE);
  PMDL mdl = IoAllocateMdl(block, 8, FALSE, FALSE, nullptr);
  EXPECT_NE(block, nullptr);
  EXPECT_NE(irp, nullptr);
  EXPECT_NE(mdl, nullptr);
  IoFreeMdl(mdl);
  IoFreeIrp(irp);
  ExFreePool(block);
}

// ---- the bus ----

constexpr UCHAR kRegister = 0xB7;

class BusInjection : public ::testing::Test {
 protected:
  BusInjection() { rig_.device().clear_trace(); }

  // A register read (vendor IN request 0xB7) straight to the camera.
  std::unique_ptr<UrbIrp> read_register(UCHAR reg) {
    auto request = std::make_unique<UrbIrp>(rig_.pdo());
    auto& v = request->urb.UrbControlVendorClassRequest;
    request->buffer.assign(2, 0xDE);
    v.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    v.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    v.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    v.TransferBufferLength = 2;
    v.TransferBuffer = request->buffer.data();
    v.Request = kRegister;
    v.Value = reg;
    return request;
  }

  std::unique_ptr<UrbIrp> read_descriptor(UCHAR type, ULONG length) {
    auto request = std::make_unique<UrbIrp>(rig_.pdo());
    auto& d = request->urb.UrbControlDescriptorRequest;
    request->buffer.assign(length, 0xDE);
    d.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    d.TransferBufferLength = length;
    d.TransferBuffer = request->buffer.data();
    d.DescriptorType = type;
    return request;
  }

  std::unique_ptr<UrbIrp> bulk_in(ULONG length) {
    auto request = std::make_unique<UrbIrp>(rig_.pdo());
    request->bulk(rig_.pipe(CameraRig::kIn), true, length);
    return request;
  }

  CameraRig rig_;
};

TEST_F(BusInjection, FailUrbFailsTheMatchingRequestsFromTheNthForSoMany) {
  rig_.device().camera().set_reg(0x20, 0x0102);
  rig_.device().fail_urb(sim::UrbMatch::vendor(kRegister, true), USBD_STATUS_XACT_ERROR,
                         STATUS_DEVICE_DATA_ERROR, 2, 2);
  std::vector<NTSTATUS> statuses;
  std::vector<USBD_STATUS> usbd;
  for (int i = 0; i < 4; ++i) {
    auto request = read_register(0x20);
    statuses.push_back(request->send_and_wait());
    usbd.push_back(request->usbd);
    std::vector<uint8_t> expected =
        i == 1 || i == 2 ? std::vector<uint8_t>(2, 0xDE) : std::vector<uint8_t>{2, 1};
    EXPECT_EQ(request->buffer, expected) << "read " << i;
  }
  EXPECT_EQ(statuses, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_DEVICE_DATA_ERROR,
                                             STATUS_DEVICE_DATA_ERROR, STATUS_SUCCESS}));
  EXPECT_EQ(usbd[1], USBD_STATUS_XACT_ERROR);
  std::vector<sim::BusEvent> trace = rig_.device().trace();
  ASSERT_EQ(trace.size(), 4u);
  EXPECT_EQ(trace[1].usbd_status, USBD_STATUS_XACT_ERROR);
  EXPECT_EQ(trace[1].request(), kRegister);
}

TEST_F(BusInjection, FailUrbOnABulkTransferCompletesItLaterWithNoData) {
  rig_.device().fail_urb(sim::UrbMatch::bulk(CameraRig::kIn), USBD_STATUS_DEV_NOT_RESPONDING);
  auto request = bulk_in(64);
  EXPECT_EQ(request->send(), STATUS_PENDING);
  ASSERT_TRUE(request->done.wait());
  EXPECT_EQ(request->status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(request->usbd, USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  EXPECT_EQ(request->buffer, std::vector<uint8_t>(64, 0xDE));
}

TEST_F(BusInjection, RefuseUrbCompletesInsideTheCall) {
  rig_.device().set_control_deferred(true);
  rig_.device().refuse_urb(sim::UrbMatch::vendor(kRegister), STATUS_INVALID_DEVICE_STATE, 2);
  auto first = read_register(1);
  EXPECT_EQ(first->send(), STATUS_PENDING);  // deferred as asked
  auto second = read_register(1);
  EXPECT_EQ(second->send(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(second->done.is_set());
  ASSERT_TRUE(first->done.wait());
  EXPECT_EQ(first->status, STATUS_SUCCESS);
  EXPECT_EQ(first->irql, DISPATCH_LEVEL);  // on the host controller
}

TEST_F(BusInjection, ControlTransfersCompleteInsideTheCallByDefault) {
  auto request = read_register(1);
  EXPECT_EQ(request->send(), STATUS_SUCCESS);
  EXPECT_TRUE(request->done.is_set());
  EXPECT_EQ(request->irql, PASSIVE_LEVEL);
}

TEST_F(BusInjection, TruncateDescriptorCutsTheRead) {
  rig_.device().truncate_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
  auto request = read_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 255);
  EXPECT_EQ(request->send_and_wait(), STATUS_SUCCESS);
  EXPECT_EQ(request->urb.UrbControlDescriptorRequest.TransferBufferLength, 9u);
  EXPECT_EQ(request->buffer[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(request->buffer[9], 0xDE);
  auto device = read_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18);
  EXPECT_EQ(device->send_and_wait(), STATUS_SUCCESS);
  EXPECT_EQ(device->urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);  // other types untouched
}

TEST_F(BusInjection, ShortTransfersEndTheNextInTransfersEarly) {
  rig_.device().camera().set_streaming(true);
  rig_.device().short_transfers(100, 2);
  std::vector<ULONG> lengths;
  for (int i = 0; i < 3; ++i) {
    auto request = bulk_in(512);
    EXPECT_EQ(request->send_and_wait(), STATUS_SUCCESS);
    lengths.push_back(request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  }
  EXPECT_EQ(lengths, (std::vector<ULONG>{100, 100, 512}));
  rig_.device().camera().set_streaming(false);
}

TEST_F(BusInjection, ShortControlEndsTheDataStageEarly) {
  rig_.device().camera().set_reg(3, 0xBEEF);
  rig_.device().short_control(sim::UrbMatch::vendor(kRegister, true), 1);
  auto cut = read_register(3);
  EXPECT_EQ(cut->send_and_wait(), STATUS_SUCCESS);
  EXPECT_EQ(cut->urb.UrbControlVendorClassRequest.TransferBufferLength, 1u);
  EXPECT_EQ(cut->buffer, (std::vector<uint8_t>{0xEF, 0xDE}));
  auto whole = read_register(3);
  EXPECT_EQ(whole->send_and_wait(), STATUS_SUCCESS);
  EXPECT_EQ(whole->buffer, (std::vector<uint8_t>{0xEF, 0xBE}));
}

TEST_F(BusInjection, ClearInjectionsRemovesThemAll) {
  rig_.device().fail_urb(sim::UrbMatch::vendor(kRegister), USBD_STATUS_STALL_PID);
  rig_.device().short_control(sim::UrbMatch::vendor(kRegister, true), 1);
  rig_.device().truncate_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 2);
  rig_.device().clear_injections();
  auto request = read_register(0);
  EXPECT_EQ(request->send_and_wait(), STATUS_SUCCESS);
  EXPECT_EQ(request->urb.UrbControlVendorClassRequest.TransferBufferLength, 2u);
  auto device = read_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18);
  EXPECT_EQ(device->send_and_wait(), STATUS_SUCCESS);
  EXPECT_EQ(device->urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
}

TEST_F(BusInjection, FailPnpCompletesTheNextRequestOfThatMinorWithTheStatus) {
  rig_.device().fail_pnp(IRP_MN_QUERY_STOP_DEVICE, STATUS_DEVICE_BUSY);
  rig_.platform().clear_history();
  EXPECT_EQ(rig_.platform().send_pnp(rig_.device(), IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
  EXPECT_EQ(rig_.platform().send_pnp(rig_.device(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
}

TEST_F(BusInjection, DeferredPnpCompletesAfterTheCallReturnedPending) {
  rig_.device().set_pnp_deferred(true);
  rig_.platform().clear_history();
  EXPECT_EQ(rig_.platform().send_pnp(rig_.device(), IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(rig_.platform().send_pnp(rig_.device(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  std::vector<sim::PnpRecord> history = rig_.platform().history();
  ASSERT_EQ(history.size(), 2u);
  for (const sim::PnpRecord& r : history) EXPECT_EQ(r.returned, STATUS_PENDING);
  rig_.device().set_pnp_deferred(false);
}

}  // namespace
}  // namespace simtest
