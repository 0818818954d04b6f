// The context a driver runs in: completion nesting on one stack, an IRP's life
// around a completion running on another thread, a woken waiter running first,
// cancels landing at the edges of a completion, the stack objects of a built
// request, the processes of cleanup and close, and the platform's own races
// between opening, creating and removing devices.
#include <thread>

#include "sim_little_driver.h"

namespace simtest {
namespace {

using sim::ExpectFault;
using sim::Fault;

struct Shared {
  int resends = 0;
  int limit = 0;
  bool lets_walk_go_on = false;
  bool waits = false;
  bool cancel_seen = false;
  NTSTATUS status_seen = 0;
  std::atomic<PIRP> pended{nullptr};
  PKEVENT built_event = nullptr;
  KEVENT event;
  Signal running, freed, queued, in_add, tried;
  std::atomic<bool> waiter_ran{false};
  std::vector<std::pair<UCHAR, PEPROCESS>> opens;
};
Shared* g = nullptr;

NTSTATUS NTAPI pend_bottom(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  g->pended = irp;
  g->queued.set();
  return STATUS_PENDING;
}

VOID NTAPI cancel_queued(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  g->pended = nullptr;
  complete_irp(irp, STATUS_CANCELLED);
}

// Queues with a cancel routine, and honours a cancel that came before.
NTSTATUS NTAPI queue_cancellable(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  (void)IoSetCancelRoutine(irp, cancel_queued);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    complete_irp(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  g->pended = irp;
  return STATUS_PENDING;
}

void complete_queued(NTSTATUS status) {
  PIRP irp = g->pended.exchange(nullptr);
  ASSERT_NE(irp, nullptr);
  (void)IoSetCancelRoutine(irp, nullptr);
  complete_irp(irp, status);
}

NTSTATUS NTAPI record(PDEVICE_OBJECT, PIRP irp, PVOID) {
  g->cancel_seen = irp->Cancel != FALSE;
  g->status_seen = irp->IoStatus.Status;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class Context : public ::testing::Test {
 protected:
  Context() : stack_(2) {
    g = &shared_;
    KeInitializeEvent(&shared_.event, NotificationEvent, FALSE);
    stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, complete_success);
  }
  ~Context() override {
    stack_.finish();
    g = nullptr;
  }
  Shared shared_;
  LittleStack stack_;
};

// ---- nesting of completion routines that send again inside the call ----

NTSTATUS NTAPI resend(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (++g->resends < g->limit) {
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, resend, context, TRUE, TRUE, TRUE);
    IoCallDriver(static_cast<PDEVICE_OBJECT>(context), irp);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The nth routine runs n deep; four deep is the most a send from a routine may be.
class Nesting : public Context, public ::testing::WithParamInterface<int> {};

TEST_P(Nesting, PastFourRoutinesOnOneStackIsReportedOnce) {
  g->limit = GetParam();
  std::unique_ptr<ExpectFault> deep;
  if (GetParam() > 5) deep = std::make_unique<ExpectFault>(Fault::StackTooDeep);
  PIRP irp = stack_.allocate(resend, stack_.top());
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_SUCCESS);
  EXPECT_EQ(g->resends, GetParam());
  if (deep) {
    EXPECT_EQ(deep->count(), 1);
  }
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(Routines, Nesting, ::testing::Values(5, 6, 40));

// ---- freeing while a completion runs on another thread ----

// The allocator's routine wakes the test, which frees the IRP while the routine
// still runs: legal when the routine then stops the walk.
NTSTATUS NTAPI hold_while_freed(PDEVICE_OBJECT, PIRP, PVOID) {
  g->running.set();
  EXPECT_TRUE(g->freed.wait());
  return g->lets_walk_go_on ? STATUS_SUCCESS : STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI forward_or_pend(PDEVICE_OBJECT device, PIRP irp) {
  if (layer_of(device)->lower == nullptr) return pend_bottom(device, irp);
  return pass_down(device, irp);
}

class FreedDuringCompletion : public Context, public ::testing::WithParamInterface<bool> {};

TEST_P(FreedDuringCompletion, IsReportedUnlessTheRunningRoutineStopsTheWalk) {
  g->lets_walk_go_on = GetParam();
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, forward_or_pend);
  PIRP irp = stack_.allocate(hold_while_freed);
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_PENDING);
  std::thread completer([] { complete_irp(g->pended, STATUS_SUCCESS); });
  ASSERT_TRUE(g->running.wait());
  std::unique_ptr<ExpectFault> freed;
  if (GetParam()) freed = std::make_unique<ExpectFault>(Fault::IrpFreedDuringCompletion);
  IoFreeIrp(irp);
  g->freed.set();
  completer.join();
  if (freed) {
    EXPECT_TRUE(mentions(*freed, "IoFreeIrp on IRP"));
  }
}

INSTANTIATE_TEST_SUITE_P(WalkGoesOn, FreedDuringCompletion, ::testing::Bool());

// A setter at DISPATCH_LEVEL goes on only once the waiter it woke has run to its
// next wait: what the setter reads after KeSetEvent is what the waiter left.
TEST_F(Context, AWokenWaiterRunsBeforeTheSetterAtDispatchLevelGoesOn) {
  sim::set_waiter_runs_first(true);
  bool seen = false;
  std::thread setter([&seen] {
    ASSERT_TRUE(sim::wait_for_waiter(&g->event, kBound));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeSetEvent(&g->event, IO_NO_INCREMENT, FALSE);
    seen = g->waiter_ran.load();
    KeLowerIrql(old);
  });
  KeWaitForSingleObject(&g->event, Executive, KernelMode, FALSE, nullptr);
  g->waiter_ran = true;
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  KeWaitForSingleObject(&g->event, Executive, KernelMode, FALSE, &zero);
  setter.join();
  EXPECT_TRUE(seen);
}

// ---- cancels at the edges of a completion ----

TEST_F(Context, ACancelBeforeTheRoutineIsSeenByItAndAReuseThatDropsItIsReported) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, queue_cancellable);
  PIRP irp = stack_.allocate(record);
  sim::inject::cancel_irp_at(sim::inject::CancelPoint::BeforeCompletionRoutine,
                             [irp](PIRP candidate) { return candidate == irp; });
  EXPECT_EQ(IoCallDriver(stack_.layer(0), irp), STATUS_PENDING);
  complete_queued(STATUS_SUCCESS);
  EXPECT_TRUE(g->cancel_seen);
  EXPECT_EQ(g->status_seen, STATUS_SUCCESS);
  {
    ExpectFault lost(Fault::CancelFlagLost);
    IoReuseIrp(irp, STATUS_SUCCESS);
  }
  // A cancel the lower driver honoured may be reused away.
  IoSetCompletionRoutine(irp, record, nullptr, TRUE, TRUE, TRUE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  EXPECT_EQ(IoCallDriver(stack_.layer(0), irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(g->status_seen, STATUS_CANCELLED);
  IoReuseIrp(irp, STATUS_SUCCESS);
  IoFreeIrp(irp);
}

TEST_F(Context, ACancelBeforeAResendReachesTheLowerDriver) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, queue_cancellable);
  PIRP irp = stack_.allocate(record);
  sim::inject::cancel_irp_at(sim::inject::CancelPoint::BeforeResend,
                             [irp](PIRP candidate) { return candidate == irp; });
  EXPECT_EQ(IoCallDriver(stack_.layer(0), irp), STATUS_PENDING);
  complete_queued(STATUS_SUCCESS);
  EXPECT_FALSE(g->cancel_seen);
  IoReuseIrp(irp, STATUS_SUCCESS);
  IoSetCompletionRoutine(irp, record, nullptr, TRUE, TRUE, TRUE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  EXPECT_EQ(IoCallDriver(stack_.layer(0), irp), STATUS_PENDING);
  EXPECT_TRUE(g->cancel_seen);
  EXPECT_EQ(g->status_seen, STATUS_CANCELLED);
  IoFreeIrp(irp);
}

// IoInitializeIrp is for packets in the driver's own memory.
TEST_F(Context, IoInitializeIrpIsReportedOnAnAllocatedIrpButNotOnPool) {
  CCHAR size = stack_.top()->StackSize;
  PIRP allocated = stack_.allocate();
  {
    ExpectFault wrong(Fault::IrpInitializedFromAllocator);
    IoInitializeIrp(allocated, IoSizeOfIrp(size), size);
  }
  IoFreeIrp(allocated);
  auto own = static_cast<PIRP>(ExAllocatePool(NonPagedPool, IoSizeOfIrp(size)));
  IoInitializeIrp(own, IoSizeOfIrp(size), size);
  IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(own, record, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack_.top(), own), STATUS_SUCCESS);
  EXPECT_EQ(g->status_seen, STATUS_SUCCESS);
  ExFreePool(own);
}

// ---- the stack objects of a built request ----

NTSTATUS NTAPI builds_a_request(PDEVICE_OBJECT device, PIRP irp) {
  KEVENT event;
  IO_STATUS_BLOCK status_block;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PDEVICE_OBJECT lower = layer_of(device)->lower;
  PIRP built =
      IoBuildDeviceIoControlRequest(kNeitherCode, lower, nullptr, 0, nullptr, 0, TRUE, &event, &status_block);
  g->built_event = &event;
  if (IoCallDriver(lower, built) == STATUS_PENDING && g->waits) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  }
  return complete_irp(irp, STATUS_SUCCESS);
}

class BuiltRequest : public Context, public ::testing::WithParamInterface<bool> {};

TEST_P(BuiltRequest, CompletingAfterItsBuilderReturnedIsReported) {
  g->waits = GetParam();
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, pend_bottom);
  stack_.set(IRP_MJ_DEVICE_CONTROL, builds_a_request);
  sim::Handle handle = stack_.open();
  if (GetParam()) {
    std::thread completer([] {
      ASSERT_TRUE(g->queued.wait());
      ASSERT_TRUE(sim::wait_for_waiter(g->built_event, kBound));
      complete_irp(g->pended, STATUS_SUCCESS);
    });
    EXPECT_EQ(sim::nt_device_io_control(handle, kBufferedCode, nullptr, 0, nullptr, 0, nullptr),
              STATUS_SUCCESS);
    completer.join();
    return;
  }
  EXPECT_EQ(sim::nt_device_io_control(handle, kBufferedCode, nullptr, 0, nullptr, 0, nullptr),
            STATUS_SUCCESS);
  ExpectFault gone(Fault::StatusBlockOutOfScope);
  complete_irp(g->pended, STATUS_SUCCESS);
  EXPECT_EQ(gone.count(), 1);
}

INSTANTIATE_TEST_SUITE_P(BuilderWaits, BuiltRequest, ::testing::Bool());

// ---- processes of open, cleanup and close ----

NTSTATUS NTAPI note_process(PDEVICE_OBJECT device, PIRP irp) {
  g->opens.push_back({IoGetCurrentIrpStackLocation(irp)->MajorFunction, IoGetCurrentProcess()});
  return complete_success(device, irp);
}

TEST_F(Context, CleanupComesInTheClosingProcessAndCloseFromTheSystemAfterTheLastRequest) {
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) stack_.set(major, note_process);
  stack_.set(IRP_MJ_DEVICE_CONTROL, pend_bottom);
  sim::Process viewer("viewer");
  sim::Handle handle = sim::kInvalidHandle;
  sim::ProcessScope in(viewer);
  ASSERT_EQ(sim::nt_create_file(L"\\\\.\\SimLittle", &handle), STATUS_SUCCESS);
  std::thread requester([&viewer, handle] {
    sim::ProcessScope also_in(viewer);
    EXPECT_EQ(sim::nt_device_io_control(handle, kBufferedCode, nullptr, 0, nullptr, 0, nullptr),
              STATUS_SUCCESS);
  });
  ASSERT_TRUE(g->queued.wait());
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  using Seen = std::vector<std::pair<UCHAR, PEPROCESS>>;
  EXPECT_EQ(g->opens, (Seen{{IRP_MJ_CREATE, viewer.object()}, {IRP_MJ_CLEANUP, viewer.object()}}));
  complete_irp(g->pended, STATUS_SUCCESS);
  requester.join();
  ASSERT_EQ(g->opens.size(), 3u);
  EXPECT_EQ(g->opens[2], (std::pair<UCHAR, PEPROCESS>{IRP_MJ_CLOSE, sim::system_process().object()}));
}

// ---- the platform's races between opening, creating and removing devices ----

constexpr const wchar_t* kLateName = L"\\Device\\SimLate";
constexpr const wchar_t* kLateLink = L"\\DosDevices\\SimLate";

void set_link(bool create) {
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, kLateLink);
  RtlInitUnicodeString(&target, kLateName);
  if (create) {
    IoCreateSymbolicLink(&link, &target);
  } else {
    IoDeleteSymbolicLink(&link);
  }
}

// Publishes its link before it has finished; with `g->tried` unset it finishes at once.
NTSTATUS NTAPI late_add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kLateName);
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(LayerExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  layer_of(fdo)->index = 1;
  layer_of(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  set_link(true);
  if (g->waits) {
    g->in_add.set();
    EXPECT_TRUE(g->tried.wait());
  }
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI late_pnp(PDEVICE_OBJECT device, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) set_link(false);
  return pass_pnp(device, irp);
}

NTSTATUS NTAPI late_entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  pass_entry(driver, path);
  driver->DriverExtension->AddDevice = late_add_device;
  driver->MajorFunction[IRP_MJ_PNP] = late_pnp;
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
    driver->MajorFunction[major] = complete_success;
  return STATUS_SUCCESS;
}

class Races : public ::testing::Test {
 protected:
  Races() { g = &shared_; }
  ~Races() override {
    platform_.reset();
    g = nullptr;
  }
  Shared shared_;
  std::unique_ptr<sim::Platform> platform_ = std::make_unique<sim::Platform>(late_entry, L"simlate");
};

// An open while AddDevice runs is refused without reaching the driver.
TEST_F(Races, AnOpenOfADeviceStillInitialisingIsRefused) {
  g->waits = true;
  std::thread plugger(
      [this] { EXPECT_EQ(platform_->plug(sim::CameraConfig{}).start_status, STATUS_SUCCESS); });
  ASSERT_TRUE(g->in_add.wait());
  sim::Handle handle = sim::kInvalidHandle;
  EXPECT_EQ(sim::nt_create_file(L"\\\\.\\SimLate", &handle), STATUS_NO_SUCH_DEVICE);
  g->tried.set();
  plugger.join();
  ASSERT_EQ(sim::nt_create_file(L"\\\\.\\SimLate", &handle), STATUS_SUCCESS);
  sim::nt_close(handle);
}

// Surprise removal against the last handle closing on another thread: the device
// is removed every time, whichever side decides.
TEST_F(Races, SurpriseRemovalAndALastCloseNeverLeaveTheDeviceWaiting) {
  for (int round = 0; round < 40; ++round) {
    sim::UsbDevice* device = platform_->plug(sim::CameraConfig{}).device;
    sim::Handle handle = sim::kInvalidHandle;
    ASSERT_EQ(sim::nt_create_file(L"\\\\.\\SimLate", &handle), STATUS_SUCCESS);
    std::thread closer([handle] { sim::nt_close(handle); });
    platform_->unplug(*device);
    closer.join();
    ASSERT_TRUE(platform_->wait_removed(*device, kBound)) << "round " << round;
  }
}

// Opens race the creation and deletion of a named device: an open finds it whole
// or not at all.
TEST_F(Races, OpensRacingDeviceCreationSeeItWholeOrNotAtAll) {
  std::atomic<bool> done{false};
  std::thread opener([&done] {
    while (!done) {
      sim::Handle handle = sim::kInvalidHandle;
      if (NT_SUCCESS(sim::nt_create_file(L"\\\\.\\SimLate", &handle))) sim::nt_close(handle);
    }
  });
  for (int round = 0; round < 40; ++round) {
    sim::UsbDevice* device = platform_->plug(sim::CameraConfig{}).device;
    platform_->unplug(*device);
    ASSERT_TRUE(platform_->wait_removed(*device, kBound));
  }
  done = true;
  opener.join();
}

}  // namespace
}  // namespace simtest
