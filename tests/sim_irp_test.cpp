// The platform's IRP machinery on stacks of little drivers: the completion walk
// (order, DeviceObject argument, invoke bits, STATUS_MORE_PROCESSING_REQUIRED,
// PendingReturned and its propagation), IoCancelIrp with and without a cancel
// routine, and the requests IoBuildDeviceIoControlRequest makes.
#include <thread>

#include "sim_little_driver.h"

namespace simtest {
namespace {

constexpr UCHAR kMajor = IRP_MJ_INTERNAL_DEVICE_CONTROL;
constexpr int kOwner = -1;    // the routine of the IRP's allocator
constexpr int kResumed = -2;  // a synchronous forwarder resumed after its wait

struct Seen {
  int who;
  PDEVICE_OBJECT device;
  bool pending_returned;
  NTSTATUS status;
  bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
  return os << "{who " << s.who << ", device " << s.device << ", pending " << s.pending_returned
            << ", status 0x" << std::hex << static_cast<ULONG>(s.status) << std::dec << "}";
}

// What a layer's routine does: nothing beyond recording, propagate the pending
// mark, turn a failure into success, or stop the walk for a synchronous forward.
enum class Forward { NoRoutine, Routine, RoutinePropagates, RoutineRepairs, SynchronousForward };

// How each layer of the stack behaves, and what its routines saw.
struct Walk {
  Forward forward[4] = {};
  BOOLEAN on_success = TRUE, on_error = TRUE, on_cancel = TRUE;  // when the routines are called
  NTSTATUS bottom_status = STATUS_SUCCESS;
  bool bottom_pends = false;
  PIRP pended = nullptr;
  Signal pended_signal;
  KEVENT resume;

  std::mutex mutex;
  std::vector<Seen> seen;

  void record(int who, PDEVICE_OBJECT device, PIRP irp) {
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back({who, device, irp->PendingReturned != 0, irp->IoStatus.Status});
  }
};

Walk* g_walk = nullptr;

NTSTATUS NTAPI layer_routine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  int layer = layer_of(static_cast<PDEVICE_OBJECT>(context))->index;
  g_walk->record(layer, device, irp);
  switch (g_walk->forward[layer]) {
    case Forward::RoutinePropagates:
      if (irp->PendingReturned) IoMarkIrpPending(irp);
      break;
    case Forward::RoutineRepairs:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case Forward::SynchronousForward:
      KeSetEvent(&g_walk->resume, IO_NO_INCREMENT, FALSE);
      return STATUS_MORE_PROCESSING_REQUIRED;
    default:
      break;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI owner_routine(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  g_walk->record(kOwner, device, irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI walk_dispatch(PDEVICE_OBJECT device, PIRP irp) {
  LayerExtension* ext = layer_of(device);
  if (ext->lower == nullptr && !g_walk->bottom_pends) return complete_irp(irp, g_walk->bottom_status);
  if (ext->lower == nullptr) {
    IoMarkIrpPending(irp);
    g_walk->pended = irp;
    g_walk->pended_signal.set();
    return STATUS_PENDING;
  }
  Forward mode = g_walk->forward[ext->index];
  if (mode == Forward::NoRoutine) return pass_down(device, irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, layer_routine, device, g_walk->on_success, g_walk->on_error, g_walk->on_cancel);
  if (mode != Forward::SynchronousForward) return IoCallDriver(ext->lower, irp);
  KeClearEvent(&g_walk->resume);
  if (IoCallDriver(ext->lower, irp) == STATUS_PENDING) {
    LARGE_INTEGER bound;
    bound.QuadPart = -50000000;  // 5 s
    EXPECT_EQ(KeWaitForSingleObject(&g_walk->resume, Executive, KernelMode, FALSE, &bound), STATUS_SUCCESS);
  }
  g_walk->record(kResumed, device, irp);
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

class CompletionWalk : public ::testing::Test {
 protected:
  CompletionWalk() : stack_(3) {
    g_walk = &walk_;
    KeInitializeEvent(&walk_.resume, NotificationEvent, FALSE);
    stack_.set(kMajor, walk_dispatch);
  }
  ~CompletionWalk() override {
    stack_.finish();
    g_walk = nullptr;
  }

  PDEVICE_OBJECT dev(int layer) { return stack_.layer(layer); }

  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(walk_.mutex);
    return walk_.seen;
  }

  // Completes the request the bottom device pended, from another thread, while
  // the caller may still be on its way out of IoCallDriver.
  std::thread complete_on_another_thread() {
    return std::thread([this] {
      ASSERT_TRUE(walk_.pended_signal.wait());
      complete_irp(walk_.pended, STATUS_SUCCESS);
    });
  }

  Walk walk_;
  LittleStack stack_;
};

TEST_F(CompletionWalk, CallsRoutinesBottomUpEachWithItsOwnDeviceAndNullForTheAllocator) {
  walk_.forward[1] = walk_.forward[2] = Forward::Routine;
  walk_.bottom_status = STATUS_UNSUCCESSFUL;
  PIRP irp = stack_.allocate(owner_routine);
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(seen(), (std::vector<Seen>{{1, dev(1), false, STATUS_UNSUCCESSFUL},
                                       {2, dev(2), false, STATUS_UNSUCCESSFUL},
                                       {kOwner, nullptr, false, STATUS_UNSUCCESSFUL}}));
  EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
  IoFreeIrp(irp);
}

TEST_F(CompletionWalk, GivesAnAllocatorWithALocationOfItsOwnItsDevice) {
  walk_.forward[1] = walk_.forward[2] = Forward::Routine;
  PDEVICE_OBJECT own = nullptr;
  ASSERT_EQ(IoCreateDevice(stack_.driver().object(), sizeof(LayerExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                           FALSE, &own),
            STATUS_SUCCESS);
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(stack_.top()->StackSize + 1), FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = own;
  IoGetNextIrpStackLocation(irp)->MajorFunction = kMajor;
  IoSetCompletionRoutine(irp, owner_routine, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_SUCCESS);
  ASSERT_EQ(seen().size(), 3u);
  EXPECT_EQ(seen()[2], (Seen{kOwner, own, false, STATUS_SUCCESS}));
  IoFreeIrp(irp);  // completion stopped at the allocator's own location
}

// Layer 1's routine turns the failure into a success: the routines above see the
// success, the caller what the bottom returned. Layers 1 and 2 return the bottom's
// failure for a request completed with success, which the verifier reports.
TEST_F(CompletionWalk, ARoutineCanChangeTheStatusTheRoutinesAboveSee) {
  walk_.forward[1] = Forward::RoutineRepairs;
  walk_.forward[2] = Forward::Routine;
  walk_.bottom_status = STATUS_UNSUCCESSFUL;
  PIRP irp = stack_.allocate(owner_routine);
  {
    sim::ExpectFault mismatch(sim::Fault::DispatchStatusMismatch);
    EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(mismatch.count(), 2);
  }
  EXPECT_EQ(seen(), (std::vector<Seen>{{1, dev(1), false, STATUS_UNSUCCESSFUL},
                                       {2, dev(2), false, STATUS_SUCCESS},
                                       {kOwner, nullptr, false, STATUS_SUCCESS}}));
  IoFreeIrp(irp);
}

// The lower driver completes inside the call or pends and completes later; the
// middle layer has no routine, so the I/O manager carries the pending mark up
// through its location; the layer above propagates it in its routine as drivers must.
class PendingPropagation : public CompletionWalk, public ::testing::WithParamInterface<bool> {};

TEST_P(PendingPropagation, ReachesEveryLocationAboveAPendedLocation) {
  bool pends = GetParam();
  walk_.bottom_pends = pends;
  walk_.forward[1] = Forward::NoRoutine;
  walk_.forward[2] = Forward::RoutinePropagates;
  PIRP irp = stack_.allocate(owner_routine);
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), pends ? STATUS_PENDING : STATUS_SUCCESS);
  if (pends) {
    EXPECT_TRUE(seen().empty());
    complete_irp(walk_.pended, STATUS_SUCCESS);
  }
  EXPECT_EQ(seen(), (std::vector<Seen>{{2, dev(2), pends, STATUS_SUCCESS},
                                       {kOwner, nullptr, pends, STATUS_SUCCESS}}));
  IoFreeIrp(irp);
}

// Same, with the completion coming from another thread; the middle layer has no
// routine or propagates in its own.
TEST_P(PendingPropagation, HoldsWhenTheLowerDriverCompletesOnAnotherThread) {
  walk_.bottom_pends = true;
  walk_.forward[1] = GetParam() ? Forward::NoRoutine : Forward::RoutinePropagates;
  walk_.forward[2] = Forward::RoutinePropagates;
  PIRP irp = stack_.allocate(owner_routine);
  std::thread completer = complete_on_another_thread();
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_PENDING);
  completer.join();
  ASSERT_EQ(seen().size(), GetParam() ? 2u : 3u);
  for (const Seen& s : seen()) EXPECT_TRUE(s.pending_returned) << s;
  IoFreeIrp(irp);
}

// A synchronous forwarder stops the walk, waits and completes again; the walk
// then goes on, and the location above it was not returned pending, whatever
// happened below (completion inside the call or on another thread).
TEST_P(PendingPropagation, StopsAtASynchronousForwarderAndDoesNotReachAboveIt) {
  bool pends = GetParam();
  walk_.bottom_pends = pends;
  walk_.forward[1] = Forward::SynchronousForward;
  walk_.forward[2] = Forward::Routine;
  PIRP irp = stack_.allocate(owner_routine);
  std::thread completer = pends ? complete_on_another_thread() : std::thread();
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_SUCCESS);
  if (pends) completer.join();
  EXPECT_EQ(seen(), (std::vector<Seen>{{1, dev(1), pends, STATUS_SUCCESS},
                                       {kResumed, dev(1), pends, STATUS_SUCCESS},
                                       {2, dev(2), false, STATUS_SUCCESS},
                                       {kOwner, nullptr, false, STATUS_SUCCESS}}));
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(SyncAndAsync, PendingPropagation, ::testing::Bool());

// ---- invoke-on-success, -error and -cancel ----

struct InvokeCase {
  const char* name;
  NTSTATUS status;
  bool cancel;
  bool on_success, on_error, on_cancel;
  bool invoked;
};

constexpr NTSTATUS kWarning = STATUS_DEVICE_BUSY;  // neither success nor error

const InvokeCase kInvokeCases[] = {
    {"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
    {"SuccessOnErrorAndCancel", STATUS_SUCCESS, false, false, true, true, false},
    {"ErrorOnError", STATUS_UNSUCCESSFUL, false, false, true, false, true},
    {"ErrorOnSuccessAndCancel", STATUS_UNSUCCESSFUL, false, true, false, true, false},
    {"WarningOnError", kWarning, false, false, true, false, true},
    {"WarningOnSuccess", kWarning, false, true, false, false, false},
    {"CancelledOnCancel", STATUS_CANCELLED, true, false, false, true, true},
    {"CancelledOnError", STATUS_CANCELLED, true, false, true, false, true},
    {"CancelledOnSuccess", STATUS_CANCELLED, true, true, false, false, false},
    {"CancelFlagWithSuccessOnCancel", STATUS_SUCCESS, true, false, false, true, true},
    {"CancelFlagWithSuccessOnError", STATUS_SUCCESS, true, false, true, false, false},
    {"NoBits", STATUS_SUCCESS, false, false, false, false, false},
};

// Layer 1's routine is called or not; either way the walk goes on to the
// allocator's routine.
class InvokeBits : public CompletionWalk, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(InvokeBits, DecideWhetherARoutineRuns) {
  const InvokeCase& c = GetParam();
  walk_.forward[1] = Forward::Routine;
  walk_.on_success = c.on_success;
  walk_.on_error = c.on_error;
  walk_.on_cancel = c.on_cancel;
  walk_.bottom_status = c.status;
  PIRP irp = stack_.allocate(owner_routine);
  // A request cancelled without a cancel routine keeps going with Cancel set.
  if (c.cancel) {
    EXPECT_FALSE(IoCancelIrp(irp));
  }
  IoCallDriver(stack_.top(), irp);
  std::vector<Seen> called = seen();
  ASSERT_EQ(called.size(), c.invoked ? 2u : 1u);
  EXPECT_EQ(called.back().who, kOwner);
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(Table, InvokeBits, ::testing::ValuesIn(kInvokeCases), CaseName());

// ---- IoCancelIrp ----

struct CancelState {
  bool with_routine = true;
  int routine_calls = 0;
  KIRQL routine_irql = 0xFF;
  PDEVICE_OBJECT routine_device = nullptr;
  bool cancel_flag_in_routine = false;
  bool routine_cleared = false;
  int owner_calls = 0;
  NTSTATUS owner_status = STATUS_PENDING;
  bool owner_cancel_flag = false;
};
CancelState* g_cancel = nullptr;

VOID NTAPI cancel_routine(PDEVICE_OBJECT device, PIRP irp) {
  g_cancel->routine_calls++;
  g_cancel->routine_irql = KeGetCurrentIrql();
  g_cancel->routine_device = device;
  g_cancel->cancel_flag_in_routine = irp->Cancel != 0;
  g_cancel->routine_cleared = irp->CancelRoutine == nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  complete_irp(irp, STATUS_CANCELLED);
}

// The driver's cancel routine is set, not set, or taken back by the driver
// as it starts completing the request itself.
struct CancelCase {
  const char* name;
  bool with_routine;
  bool taken_back;
  bool routine_called;
};

const CancelCase kCancelCases[] = {
    {"CallsTheCancelRoutineWithTheCancelLockHeld", true, false, true},
    {"WithoutACancelRoutineOnlyMarksTheRequest", false, false, false},
    {"AfterTheDriverTookTheCancelRoutineBackDoesNotCallIt", true, true, false},
};

class CancelIrp : public ::testing::TestWithParam<CancelCase> {
 protected:
  CancelIrp() : stack_(1) { g_cancel = &state_; }
  ~CancelIrp() override {
    stack_.finish();
    g_cancel = nullptr;
  }

  CancelState state_;
  LittleStack stack_;
};

TEST_P(CancelIrp, EndsThePendingRequestOnlyThroughItsCancelRoutine) {
  const CancelCase& c = GetParam();
  state_.with_routine = c.with_routine;
  stack_.set(kMajor, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    IoMarkIrpPending(irp);
    if (g_cancel->with_routine) (void)IoSetCancelRoutine(irp, cancel_routine);
    return STATUS_PENDING;
  });
  PIRP irp = stack_.allocate([](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
    g_cancel->owner_calls++;
    g_cancel->owner_status = irp->IoStatus.Status;
    g_cancel->owner_cancel_flag = irp->Cancel != 0;
    return STATUS_MORE_PROCESSING_REQUIRED;
  });
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_PENDING);
  if (c.taken_back) {
    EXPECT_EQ(IoSetCancelRoutine(irp, nullptr), cancel_routine);
  }
  EXPECT_EQ(IoCancelIrp(irp), c.routine_called);
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(state_.routine_calls, c.routine_called ? 1 : 0);
  if (c.routine_called) {
    EXPECT_EQ(state_.routine_irql, DISPATCH_LEVEL);
    EXPECT_EQ(state_.routine_device, stack_.top());
    EXPECT_TRUE(state_.cancel_flag_in_routine);
    EXPECT_TRUE(state_.routine_cleared);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  } else {
    EXPECT_EQ(state_.owner_calls, 0);  // still the driver's to complete
    complete_irp(irp, STATUS_SUCCESS);
  }
  EXPECT_EQ(state_.owner_calls, 1);
  EXPECT_EQ(state_.owner_status, c.routine_called ? STATUS_CANCELLED : STATUS_SUCCESS);
  EXPECT_TRUE(state_.owner_cancel_flag);
  // The cancel lock is free again: the next cancellation takes it.
  EXPECT_FALSE(IoCancelIrp(irp));
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(Cases, CancelIrp, ::testing::ValuesIn(kCancelCases), CaseName());

// ---- IoBuildDeviceIoControlRequest ----

struct BuiltState {
  bool pend = false;
  PIRP pended = nullptr;
  IO_STACK_LOCATION location{};  // as the dispatch routine saw it
  PVOID output = nullptr;
  KPROCESSOR_MODE mode = 0x7F;
};
BuiltState* g_built = nullptr;

NTSTATUS NTAPI built_dispatch(PDEVICE_OBJECT, PIRP irp) {
  g_built->location = *IoGetCurrentIrpStackLocation(irp);
  g_built->output = irp->UserBuffer;
  g_built->mode = irp->RequestorMode;
  if (!g_built->pend) return complete_irp(irp, STATUS_DEVICE_BUSY, 7);
  IoMarkIrpPending(irp);
  g_built->pended = irp;
  return STATUS_PENDING;
}

// The request as a driver builds it for a device of its own, which completes it
// at once or pends it for the test to complete.
class BuiltRequest : public ::testing::TestWithParam<bool> {
 protected:
  BuiltRequest() : stack_(1) {
    g_built = &state_;
    state_.pend = GetParam();
    stack_.set(IRP_MJ_DEVICE_CONTROL, built_dispatch);
    stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, built_dispatch);
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    memset(&iosb_, 0xDE, sizeof(iosb_));
  }
  ~BuiltRequest() override {
    stack_.finish();
    g_built = nullptr;
  }

  // Builds and sends the request; checks what the dispatch routine saw.
  PIRP send(BOOLEAN internal, PIO_COMPLETION_ROUTINE routine = nullptr, PVOID context = nullptr) {
    PIRP irp = IoBuildDeviceIoControlRequest(kNeitherCode, stack_.top(), input_, sizeof(input_), output_,
                                             sizeof(output_), internal, &event_, &iosb_);
    EXPECT_NE(irp, nullptr);
    if (routine != nullptr) IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(stack_.top(), irp), GetParam() ? STATUS_PENDING : STATUS_DEVICE_BUSY);
    const auto& control = state_.location.Parameters.DeviceIoControl;
    EXPECT_EQ(state_.location.MajorFunction,
              internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(control.IoControlCode, kNeitherCode);
    EXPECT_EQ(control.Type3InputBuffer, input_);
    EXPECT_EQ(control.InputBufferLength, sizeof(input_));
    EXPECT_EQ(state_.output, output_);
    EXPECT_EQ(control.OutputBufferLength, sizeof(output_));
    EXPECT_EQ(state_.mode, KernelMode);
    return irp;
  }

  // Completes a pended request from the lower driver's side.
  void finish_pended() {
    if (state_.pend) {
      EXPECT_EQ(KeReadStateEvent(&event_), 0);
      complete_irp(state_.pended, STATUS_DEVICE_BUSY, 7);
    }
  }

  BuiltState state_;
  LittleStack stack_;
  KEVENT event_;
  IO_STATUS_BLOCK iosb_;
  uint8_t input_[12] = {};
  uint8_t output_[20] = {};
};

TEST_P(BuiltRequest, SetsTheEventAndStatusBlockAndIsFreedByTheIoManager) {
  for (BOOLEAN internal : {FALSE, TRUE}) {
    KeClearEvent(&event_);
    memset(&iosb_, 0xDE, sizeof(iosb_));
    PIRP irp = send(internal);
    finish_pended();
    EXPECT_EQ(KeReadStateEvent(&event_), 1);
    EXPECT_EQ(iosb_.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(iosb_.Information, 7u);
    sim::ExpectFault freed(sim::Fault::IrpUsedAfterFree);
    IoCancelIrp(irp);
  }
}

// A creator that stops the completion with its own routine keeps the request
// until it completes it once more; then the I/O manager finishes it.
TEST_P(BuiltRequest, StoppedByItsCreatorIsFinishedWhenCompletedAgain) {
  int calls = 0;
  PIRP irp = send(
      FALSE,
      [](PDEVICE_OBJECT device, PIRP irp, PVOID context) -> NTSTATUS {
        EXPECT_EQ(device, nullptr);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_BUSY);
        *static_cast<int*>(context) += 1;
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &calls);
  finish_pended();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(KeReadStateEvent(&event_), 0);
  EXPECT_EQ(iosb_.Information, 0xDEDEDEDEDEDEDEDEu);
  irp->IoStatus.Information = 3;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(KeReadStateEvent(&event_), 1);
  EXPECT_EQ(iosb_.Status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(iosb_.Information, 3u);
  EXPECT_EQ(calls, 1);
}

INSTANTIATE_TEST_SUITE_P(SyncAndAsync, BuiltRequest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Pended") : std::string("Synchronous");
                         });

}  // namespace
}  // namespace simtest
