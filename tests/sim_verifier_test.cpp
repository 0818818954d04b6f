// The platform's verifier: for each check, a little driver commits the fault and
// the report is seen, naming it; the platform carries on undamaged; and the legal
// look-alike of the fault is not reported. (Faults with user views are reported
// beside the views, in sim_io_manager_test.)
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <thread>

#include "sim_little_driver.h"

namespace simtest {
namespace {

using sim::ExpectFault;
using sim::Fault;

// State the faulty routines of one test share with it.
struct Scratch {
  KSPIN_LOCK locks[2];
  KEVENT event;
  PIRP irp = nullptr;
  PVOID pool = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  int calls = 0;
};
Scratch* g = nullptr;

// Keeps the request pending for the test to complete.
NTSTATUS pend(PIRP irp) {
  IoMarkIrpPending(irp);
  g->irp = irp;
  return STATUS_PENDING;
}

// A driver of two stacked device objects (the top one named) whose device-control
// routine the test provides; requests come from an application through a handle.
// Internal requests are completed at once unless the test says otherwise.
class FaultyDriver : public ::testing::Test {
 protected:
  FaultyDriver() : stack_(2) {
    g = &scratch_;
    KeInitializeSpinLock(&scratch_.locks[0]);
    KeInitializeSpinLock(&scratch_.locks[1]);
    KeInitializeEvent(&scratch_.event, NotificationEvent, TRUE);
    stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, complete_success);
    handle_ = stack_.open();
  }
  ~FaultyDriver() override {
    stack_.finish();
    g = nullptr;
  }

  // Sends one buffered request to the top device; `routine` handles it.
  NTSTATUS run(PDRIVER_DISPATCH routine) {
    stack_.set(IRP_MJ_DEVICE_CONTROL, routine);
    uint8_t in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t out[8];
    return sim::nt_device_io_control(handle_, kBufferedCode, in, sizeof(in), out, sizeof(out), nullptr);
  }

  // A well-behaved request after a fault: the platform, its pool included, still works.
  void expect_still_working() {
    EXPECT_EQ(run([](PDEVICE_OBJECT, PIRP irp) {
                PVOID block = ExAllocatePool(NonPagedPool, 40);
                EXPECT_NE(block, nullptr);
                memset(block, 0, 40);
                ExFreePool(block);
                return complete_irp(irp, STATUS_SUCCESS, 8);
              }),
              STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  }

  // The allocator's routine: counts and keeps the IRP.
  static NTSTATUS NTAPI keep(PDEVICE_OBJECT, PIRP, PVOID) {
    g->calls++;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  Scratch scratch_;
  LittleStack stack_;
  sim::Handle handle_ = sim::kInvalidHandle;
};

// ---- faults a dispatch routine commits while it serves an application ----

NTSTATUS NTAPI completes_twice(PDEVICE_OBJECT, PIRP irp) {
  complete_irp(irp, STATUS_SUCCESS, 8);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI completes_with_pending(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  return complete_irp(irp, STATUS_PENDING);
}

NTSTATUS NTAPI returns_pending_unmarked(PDEVICE_OBJECT, PIRP irp) {
  complete_irp(irp, STATUS_SUCCESS);
  return STATUS_PENDING;
}

NTSTATUS NTAPI marks_and_returns_success(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  return complete_irp(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI frees_the_io_managers_request(PDEVICE_OBJECT, PIRP irp) {
  IoFreeIrp(irp);
  return complete_irp(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI raises_above_dispatch(PDEVICE_OBJECT, PIRP irp) {
  KIRQL old, lock_old;
  KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
  KeAcquireSpinLock(&g->locks[0], &lock_old);  // from above DISPATCH_LEVEL too
  KeReleaseSpinLock(&g->locks[0], lock_old);
  KeLowerIrql(old);
  return complete_irp(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI lowers_up_and_raises_down(PDEVICE_OBJECT, PIRP irp) {
  KIRQL old;
  KeLowerIrql(DISPATCH_LEVEL);
  KeRaiseIrql(PASSIVE_LEVEL, &old);
  return complete_irp(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI uses_an_uninitialised_event(PDEVICE_OBJECT, PIRP irp) {
  KEVENT raw;
  memset(&raw, 0, sizeof(raw));
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&raw, Executive, KernelMode, FALSE, &zero), STATUS_INVALID_PARAMETER);
  KeSetEvent(&raw, IO_NO_INCREMENT, FALSE);
  return complete_irp(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI locks_at_dpc_level_from_passive(PDEVICE_OBJECT, PIRP irp) {
  KeAcquireSpinLockAtDpcLevel(&g->locks[0]);
  KeReleaseSpinLockFromDpcLevel(&g->locks[0]);
  return complete_irp(irp, STATUS_SUCCESS);
}

// Another thread releases a lock this one holds; then a lock is released twice.
NTSTATUS NTAPI releases_a_lock_it_does_not_hold(PDEVICE_OBJECT, PIRP irp) {
  KIRQL old;
  KeAcquireSpinLock(&g->locks[0], &old);
  std::thread([] {
    KIRQL previous;
    KeRaiseIrql(DISPATCH_LEVEL, &previous);
    KeReleaseSpinLockFromDpcLevel(&g->locks[0]);
    KeLowerIrql(previous);
  }).join();
  KeReleaseSpinLock(&g->locks[0], old);  // the owner's release is fine
  KeAcquireSpinLock(&g->locks[1], &old);
  KeReleaseSpinLock(&g->locks[1], old);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLockFromDpcLevel(&g->locks[1]);  // held by nobody now
  KeLowerIrql(old);
  return complete_irp(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI takes_a_lock_it_holds(PDEVICE_OBJECT, PIRP irp) {
  KIRQL old, again;
  KeAcquireSpinLock(&g->locks[0], &old);
  KeAcquireSpinLock(&g->locks[0], &again);
  KeReleaseSpinLock(&g->locks[0], old);
  return complete_irp(irp, STATUS_SUCCESS);
}

void take_both(PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
  KIRQL old;
  KeAcquireSpinLock(outer, &old);
  KeAcquireSpinLockAtDpcLevel(inner);
  KeReleaseSpinLockFromDpcLevel(inner);
  KeReleaseSpinLock(outer, old);
}

// The same order twice is fine; the reverse once is reported once.
NTSTATUS NTAPI takes_locks_in_both_orders(PDEVICE_OBJECT, PIRP irp) {
  take_both(&g->locks[0], &g->locks[1]);
  take_both(&g->locks[0], &g->locks[1]);
  take_both(&g->locks[1], &g->locks[0]);
  return complete_irp(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI frees_pool_twice(PDEVICE_OBJECT, PIRP irp) {
  PVOID block = ExAllocatePool(NonPagedPool, 40);
  ExFreePool(block);
  ExFreePool(block);
  return complete_irp(irp, STATUS_SUCCESS);
}

// At PASSIVE_LEVEL the link routines are fine; at DISPATCH_LEVEL KeSetEvent still
// is, and the link routines and a synchronous request (as a completion routine
// would send one) are reported, though the request completes inside the call.
NTSTATUS NTAPI links_at_dispatch_level(PDEVICE_OBJECT device, PIRP irp) {
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, L"\\DosDevices\\SimLevel");
  RtlInitUnicodeString(&target, L"\\Device\\SimLittle");
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeSetEvent(&g->event, IO_NO_INCREMENT, FALSE);
  IoCreateSymbolicLink(&link, &target);
  IoDeleteSymbolicLink(&link);
  KEVENT done;
  IO_STATUS_BLOCK status_block;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PDEVICE_OBJECT lower = layer_of(device)->lower;
  IoCallDriver(lower, IoBuildDeviceIoControlRequest(kNeitherCode, lower, nullptr, 0, nullptr, 0, TRUE, &done,
                                                    &status_block));
  KeLowerIrql(old);
  EXPECT_EQ(status_block.Status, STATUS_SUCCESS);
  return complete_irp(irp, STATUS_SUCCESS);
}

VOID NTAPI never_called(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI completes_with_a_cancel_routine(PDEVICE_OBJECT, PIRP irp) {
  (void)IoSetCancelRoutine(irp, never_called);
  complete_irp(irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI returns_another_status(PDEVICE_OBJECT, PIRP irp) {
  complete_irp(irp, STATUS_SUCCESS);
  return STATUS_UNSUCCESSFUL;
}

// Passes the request on to memory that is not a device object, as a driver holding
// a pointer to one already freed would; the request is its own again after the refusal.
NTSTATUS NTAPI passes_to_a_non_device(PDEVICE_OBJECT, PIRP irp) {
  DEVICE_OBJECT not_a_device{};
  IoCopyCurrentIrpStackLocationToNext(irp);
  if (IofCallDriver(&not_a_device, irp) != STATUS_INVALID_DEVICE_STATE) return STATUS_UNSUCCESSFUL;
  return complete_irp(irp, STATUS_SUCCESS);
}

struct RoutineCase {
  const char* name;
  PDRIVER_DISPATCH routine;
  Fault fault;
  int count;
  const char* message;  // in one of the reports
  const char* another = nullptr;
};

const RoutineCase kFaultyRoutines[] = {
    {"CompletesTwice", completes_twice, Fault::IrpCompletedTwice, 1, "IofCompleteRequest"},
    {"CompletesWithStatusPending", completes_with_pending, Fault::IrpCompletedWithPending, 1, "IRP "},
    {"ReturnsPendingWithoutTheMark", returns_pending_unmarked, Fault::PendingNotMarked, 1,
     "not marked pending"},
    {"MarksButReturnsAFinalStatus", marks_and_returns_success, Fault::MarkedPendingButNotReturned, 1,
     "returned a final status"},
    {"FreesTheIoManagersRequest", frees_the_io_managers_request, Fault::InvalidArgument, 1,
     "which the I/O manager frees"},
    {"RaisesAboveDispatchLevel", raises_above_dispatch, Fault::IrqlRaisedAboveDispatch, 2, "KeRaiseIrql to 3",
     "spin lock acquired"},
    {"LowersUpAndRaisesDown", lowers_up_and_raises_down, Fault::IrqlLowerWrongWay, 2,
     "KeLowerIrql from 0 up to 2", "KeRaiseIrql from 2 down to 0"},
    {"UsesAnEventNeverInitialised", uses_an_uninitialised_event, Fault::WaitOnUninitialisedEvent, 2,
     "KeWaitForSingleObject", "KeSetEvent"},
    {"LocksAtDpcLevelFromPassive", locks_at_dpc_level_from_passive, Fault::SpinLockReleasedAtWrongLevel, 2,
     "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL", "released at IRQL 0"},
    {"ReleasesALockItDoesNotHold", releases_a_lock_it_does_not_hold, Fault::SpinLockReleasedByNonOwner, 2,
     "spin lock"},
    {"TakesALockItHolds", takes_a_lock_it_holds, Fault::SpinLockAcquiredRecursively, 1, "spin lock"},
    {"TakesLocksInBothOrders", takes_locks_in_both_orders, Fault::SpinLockOrderInverted, 1,
     "elsewhere the other way round"},
    {"FreesPoolTwice", frees_pool_twice, Fault::PoolFreedTwice, 1, "ExFreePool"},
    {"CallsPassiveRoutinesAtDispatchLevel", links_at_dispatch_level, Fault::IrqlTooHigh, 3,
     "IoCreateSymbolicLink called at IRQL 2; the highest allowed is 0",
     "IoBuildDeviceIoControlRequest called at IRQL 2"},
    {"CompletesWithACancelRoutineSet", completes_with_a_cancel_routine, Fault::CompletedWithCancelRoutine, 1,
     "IofCompleteRequest"},
    {"PassesToSomethingNotADevice", passes_to_a_non_device, Fault::InvalidArgument, 1,
     "IofCallDriver to an invalid device object"},
    {"ReturnsAnotherStatusThanItCompletedWith", returns_another_status, Fault::DispatchStatusMismatch, 1,
     "was completed with 0x0 at stack location 2 but its dispatch routine returned 0xC0000001"},
};

class FaultyRoutine : public FaultyDriver, public ::testing::WithParamInterface<RoutineCase> {};

TEST_P(FaultyRoutine, IsReportedAndThePlatformGoesOn) {
  {
    ExpectFault fault(GetParam().fault);
    run(GetParam().routine);
    EXPECT_EQ(fault.count(), GetParam().count);
    EXPECT_TRUE(mentions(fault, GetParam().message));
    EXPECT_TRUE(GetParam().another == nullptr || mentions(fault, GetParam().another));
  }
  expect_still_working();
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultyRoutine, ::testing::ValuesIn(kFaultyRoutines), CaseName());

// ---- completion ----

using IrpVerifier = FaultyDriver;

// The top device's routine completes the request itself: legal when it stops the
// walk, a second completion when it lets the walk go on.
TEST_F(IrpVerifier, ReportsARoutineThatCompletesAndLetsTheWalkGoOnButNotOneThatStops) {
  auto completes_in_routine = [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
    if (layer_of(device)->lower == nullptr) return complete_success(device, irp);
    return forward(device, irp, [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
      irp->IoStatus.Information = 8;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return g->status;
    });
  };
  scratch_.status = STATUS_MORE_PROCESSING_REQUIRED;
  EXPECT_EQ(run(completes_in_routine), STATUS_SUCCESS);
  scratch_.status = STATUS_SUCCESS;
  ExpectFault twice(Fault::IrpCompletedTwice);
  run(completes_in_routine);
  EXPECT_EQ(twice.count(), 1);
  expect_still_working();
}

// The allocator's routine sends its IRP again (a retry) and stops the walk:
// legal, whether the lower driver completes inside the call or later.
class Resend : public FaultyDriver, public ::testing::WithParamInterface<bool> {
 protected:
  static NTSTATUS NTAPI retry(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* top = static_cast<PDEVICE_OBJECT>(context);
    if (++g->calls < 3) {
      IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      IoSetCompletionRoutine(irp, retry, top, TRUE, TRUE, TRUE);
      IoCallDriver(top, irp);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

TEST_P(Resend, FromTheCompletionRoutineIsAccepted) {
  bool later = GetParam();
  if (later) stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) { return pend(irp); });
  PIRP irp = stack_.allocate(retry, stack_.top());
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), later ? STATUS_PENDING : STATUS_SUCCESS);
  // Each completion of a pended sending re-sends it, which pends it again.
  while (PIRP pended = std::exchange(scratch_.irp, nullptr)) complete_irp(pended, STATUS_SUCCESS);
  EXPECT_EQ(scratch_.calls, 3);
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(InsideAndLater, Resend, ::testing::Bool());

TEST_F(IrpVerifier, ReportsAResendFromARoutineThatLetsTheWalkGoOn) {
  PIRP irp = stack_.allocate(
      [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
        if (++g->calls == 1) {
          IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
          IoSetCompletionRoutine(irp, keep, nullptr, TRUE, TRUE, TRUE);
          IoCallDriver(static_cast<PDEVICE_OBJECT>(context), irp);
        }
        return STATUS_SUCCESS;
      },
      stack_.top());
  ExpectFault twice(Fault::IrpCompletedTwice);
  IoCallDriver(stack_.top(), irp);
  EXPECT_TRUE(mentions(twice, "re-sent"));
  IoFreeIrp(irp);
}

TEST_F(IrpVerifier, ReportsADriverIrpCompletedAgainAtTheTop) {
  PIRP irp = stack_.allocate(keep);
  IoCallDriver(stack_.top(), irp);
  EXPECT_EQ(scratch_.calls, 1);
  {
    ExpectFault twice(Fault::IrpCompletedTwice);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  EXPECT_EQ(scratch_.calls, 1);  // the routine did not run again
  IoFreeIrp(irp);
}

TEST_F(IrpVerifier, ReportsADriverIrpRunningPastItsLastRoutine) {
  PIO_COMPLETION_ROUTINE goes_on = [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; };
  for (PIO_COMPLETION_ROUTINE routine : {PIO_COMPLETION_ROUTINE(nullptr), goes_on}) {
    PIRP irp = stack_.allocate(routine);
    {
      ExpectFault past(Fault::DriverIrpCompletedToTop);
      IoCallDriver(stack_.top(), irp);
    }
    IoFreeIrp(irp);
  }
}

// The top device passes the request on without setting up a location for the
// lower one; the IRP was allocated for a stack of one.
TEST_F(IrpVerifier, ReportsAnIrpPassedOnWithNoLocationLeft) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
    return complete_irp(irp, IoCallDriver(layer_of(device)->lower, irp));
  });
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, keep, nullptr, TRUE, TRUE, TRUE);
  {
    ExpectFault none_left(Fault::NoMoreStackLocations);
    EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(scratch_.calls, 1);
  IoFreeIrp(irp);
}

// ---- pending ----

// The top device returns the lower driver's STATUS_PENDING; its routine must then
// mark its own location, which the verifier checks when the request completes.
// (The routine that does is the completion walk's tests' PendingPropagation.)
TEST_F(IrpVerifier, ReportsARoutineThatDoesNotPropagateThePendingMark) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
    if (layer_of(device)->lower == nullptr) return pend(irp);
    return forward(device, irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; });
  });
  PIRP irp = stack_.allocate(keep);
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_PENDING);
  {
    ExpectFault unmarked(Fault::PendingNotMarked);
    complete_irp(scratch_.irp, STATUS_SUCCESS);
    EXPECT_TRUE(mentions(unmarked, "stack location 2"));
  }
  EXPECT_EQ(scratch_.calls, 1);
  IoFreeIrp(irp);
}

TEST_F(IrpVerifier, ReportsAFinalStatusWithoutCompleting) {
  ExpectFault incomplete(Fault::DispatchDidNotComplete);
  EXPECT_EQ(run([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }), STATUS_SUCCESS);
  EXPECT_EQ(incomplete.count(), 1);
  ExpectFault leak(Fault::IrpLeak);  // the I/O manager's request never came back
  stack_.finish();
  EXPECT_TRUE(mentions(leak, "sent by the platform and never completed"));
}

// The top device returns success while the request is still pending below it.
TEST_F(IrpVerifier, ReportsAFinalStatusWhileTheLowerDriverStillHasIt) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
    if (layer_of(device)->lower == nullptr) return pend(irp);
    pass_down(device, irp);
    return STATUS_SUCCESS;
  });
  PIRP irp = stack_.allocate(keep);
  {
    ExpectFault incomplete(Fault::DispatchDidNotComplete);
    EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_SUCCESS);
  }
  complete_irp(scratch_.irp, STATUS_SUCCESS);
  IoFreeIrp(irp);
}

// ---- ownership ----

// Operations the owner of an IRP may not do while the bus holds it.
struct OwnedCase {
  const char* name;
  Fault fault;
  void (*commit)(PIRP irp, PDEVICE_OBJECT target);
};

const OwnedCase kOwnedCases[] = {
    {"Complete", Fault::IrpCompletedWhileOwnedBelow,
     [](PIRP irp, PDEVICE_OBJECT) { IoCompleteRequest(irp, IO_NO_INCREMENT); }},
    {"SendAgain", Fault::IrpSentWhileOwnedBelow,
     [](PIRP irp, PDEVICE_OBJECT pdo) { EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_INVALID_DEVICE_STATE); }},
    {"Reuse", Fault::IrpSentWhileOwnedBelow,
     [](PIRP irp, PDEVICE_OBJECT) { IoReuseIrp(irp, STATUS_SUCCESS); }},
    {"Initialize", Fault::IrpSentWhileOwnedBelow,
     [](PIRP irp, PDEVICE_OBJECT) { IoInitializeIrp(irp, IoSizeOfIrp(1), 1); }},
    {"Free", Fault::IrpFreedWhileOwnedBelow, [](PIRP irp, PDEVICE_OBJECT) { IoFreeIrp(irp); }},
};

class OwnedByTheBus : public ::testing::TestWithParam<OwnedCase> {
 protected:
  CameraRig rig_;
};

TEST_P(OwnedByTheBus, ReportsTheOwnerTouchingItsIrp) {
  auto request = rig_.pending_in(CameraRig::kIn, 512);
  {
    ExpectFault owned(GetParam().fault);
    GetParam().commit(request->irp, rig_.pdo());
  }
  // The transfer is untouched and ends as it would have.
  EXPECT_FALSE(request->done.is_set());
  EXPECT_EQ(rig_.device().pending_transfers(), 1u);
  rig_.device().camera().set_frame_size(512);
  rig_.device().camera().queue_frames(1);
  ASSERT_TRUE(request->done.wait());
  EXPECT_EQ(request->status, STATUS_SUCCESS);
  EXPECT_TRUE(sim::pattern::matches(0, 0, request->buffer.data(), 512));
}

INSTANTIATE_TEST_SUITE_P(Operations, OwnedByTheBus, ::testing::ValuesIn(kOwnedCases), CaseName());

// A lower driver of the stack, not the bus, holds the request in its queue.
TEST_F(IrpVerifier, ReportsAnIrpFreedWhileALowerDriverQueuesIt) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
    return layer_of(device)->lower != nullptr ? pass_down(device, irp) : pend(irp);
  });
  PIRP irp = stack_.allocate(keep);
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_PENDING);
  {
    ExpectFault owned(Fault::IrpFreedWhileOwnedBelow);
    IoFreeIrp(irp);
    EXPECT_TRUE(mentions(owned, "stack location 2"));
  }
  complete_irp(scratch_.irp, STATUS_SUCCESS);
  EXPECT_EQ(scratch_.calls, 1);
  IoFreeIrp(irp);
}

// Legal: the allocator frees its IRP in its own routine and stops the walk, with
// the lower driver completing inside IoCallDriver or later.
class FreedInItsRoutine : public ::testing::TestWithParam<bool> {
 protected:
  static NTSTATUS NTAPI free_it(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<UrbIrp*>(context);
    request->status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    request->irp = nullptr;
    request->done.set();
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  CameraRig rig_;
};

TEST_P(FreedInItsRoutine, IsAccepted) {
  bool inside = GetParam();
  rig_.device().set_complete_inline(inside);
  rig_.device().camera().set_frame_size(256);
  if (inside) rig_.device().camera().queue_frames(1);
  auto request = rig_.bulk(256);
  request->prepare();
  IoSetCompletionRoutine(request->irp, free_it, request.get(), TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(rig_.pdo(), request->irp), inside ? STATUS_SUCCESS : STATUS_PENDING);
  if (!inside) rig_.device().camera().queue_frames(1);
  ASSERT_TRUE(request->done.wait());
  EXPECT_EQ(request->status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(InsideAndLater, FreedInItsRoutine, ::testing::Bool());

struct FreedCase {
  const char* name;
  void (*commit)(PIRP irp, PDEVICE_OBJECT top);
};

const FreedCase kFreedCases[] = {
    {"Send", [](PIRP irp, PDEVICE_OBJECT top) { IoCallDriver(top, irp); }},
    {"Complete", [](PIRP irp, PDEVICE_OBJECT) { IoCompleteRequest(irp, IO_NO_INCREMENT); }},
    {"Cancel", [](PIRP irp, PDEVICE_OBJECT) { EXPECT_FALSE(IoCancelIrp(irp)); }},
    {"FreeAgain", [](PIRP irp, PDEVICE_OBJECT) { IoFreeIrp(irp); }},
    {"Reuse", [](PIRP irp, PDEVICE_OBJECT) { IoReuseIrp(irp, STATUS_SUCCESS); }},
    {"Initialize", [](PIRP irp, PDEVICE_OBJECT) { IoInitializeIrp(irp, IoSizeOfIrp(2), 2); }},
};

class UseAfterFree : public FaultyDriver, public ::testing::WithParamInterface<FreedCase> {};

TEST_P(UseAfterFree, IsReported) {
  PIRP irp = stack_.allocate(keep);
  IoFreeIrp(irp);
  {
    ExpectFault freed(Fault::IrpUsedAfterFree);
    GetParam().commit(irp, stack_.top());
    EXPECT_EQ(freed.count(), 1);
  }
  // A fresh IRP goes through the same stack as usual.
  PIRP fresh = stack_.allocate(keep);
  EXPECT_EQ(IoCallDriver(stack_.top(), fresh), STATUS_SUCCESS);
  EXPECT_EQ(scratch_.calls, 1);
  IoFreeIrp(fresh);
}

INSTANTIATE_TEST_SUITE_P(Operations, UseAfterFree, ::testing::ValuesIn(kFreedCases), CaseName());

TEST_F(IrpVerifier, ReportsARoutineThatFreesAndLetsTheWalkGoOn) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
    if (layer_of(device)->lower == nullptr) return complete_success(device, irp);
    return forward(device, irp, [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
      IoFreeIrp(irp);  // the top device frees what is not its own
      return STATUS_SUCCESS;
    });
  });
  PIRP irp = stack_.allocate(keep);
  ExpectFault owned(Fault::IrpFreedWhileOwnedBelow);
  IoCallDriver(stack_.top(), irp);
  EXPECT_EQ(scratch_.calls, 1);
  IoFreeIrp(irp);
}

TEST_F(IrpVerifier, ReportsTheAllocatorsRoutineFreeingAndLettingTheWalkGoOn) {
  PIRP irp = stack_.allocate([](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
  });
  ExpectFault freed(Fault::IrpUsedAfterFree);
  IoCallDriver(stack_.top(), irp);
  EXPECT_TRUE(mentions(freed, "let its completion continue"));
}

// ---- IRQL ----

using IrqlVerifier = FaultyDriver;

TEST_F(IrqlVerifier, ReportsADispatchRoutineReturningAtAnotherLevelButNotARaiseUndone) {
  EXPECT_EQ(run([](PDEVICE_OBJECT, PIRP irp) {
              KIRQL old;
              KeRaiseIrql(DISPATCH_LEVEL, &old);
              KeLowerIrql(old);
              return complete_irp(irp, STATUS_SUCCESS);
            }),
            STATUS_SUCCESS);
  {
    ExpectFault changed(Fault::IrqlChangedByCall);
    run([](PDEVICE_OBJECT, PIRP irp) {
      complete_irp(irp, STATUS_SUCCESS);
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      return STATUS_SUCCESS;
    });
    EXPECT_TRUE(mentions(changed, "dispatch routine returned at IRQL 2"));
  }
  KeLowerIrql(PASSIVE_LEVEL);
  expect_still_working();
}

TEST_F(IrqlVerifier, ReportsACompletionRoutineReturningAtAnotherLevel) {
  PIRP irp = stack_.allocate([](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return STATUS_MORE_PROCESSING_REQUIRED;
  });
  {
    // The routine is reported, and the dispatch routine that completed inside it
    // returns at the level the routine left.
    ExpectFault changed(Fault::IrqlChangedByCall);
    IoCallDriver(stack_.top(), irp);
    EXPECT_EQ(changed.count(), 2);
    EXPECT_TRUE(mentions(changed, "completion routine of"));
    EXPECT_TRUE(mentions(changed, "dispatch routine returned at IRQL 2"));
  }
  KeLowerIrql(PASSIVE_LEVEL);
  IoFreeIrp(irp);
}

// ---- waits ----

struct WaitCase {
  const char* name;
  bool raise;      // waits at DISPATCH_LEVEL
  bool lock;       // holds a spin lock (which also raises)
  bool signalled;  // the event is set, so no real wait happens
  int timeout;     // -1: none; otherwise in 100 ns units
  bool at_dispatch_reported;
  bool lock_reported;
  NTSTATUS result;
};

const WaitCase kWaitCases[] = {
    {"PassiveWithTimeOut", false, false, true, 100000, false, false, STATUS_SUCCESS},
    {"DispatchWithTimeOut", true, false, true, 100000, true, false, STATUS_SUCCESS},
    {"DispatchWithoutTimeOut", true, false, true, -1, true, false, STATUS_SUCCESS},
    {"DispatchZeroSignalled", true, false, true, 0, false, false, STATUS_SUCCESS},
    {"DispatchZeroNotSignalled", true, false, false, 0, false, false, STATUS_TIMEOUT},
    {"LockWithTimeOut", false, true, true, 100000, true, true, STATUS_SUCCESS},
    {"LockZero", false, true, false, 0, false, false, STATUS_TIMEOUT},
};

WaitCase g_wait_case;
NTSTATUS g_wait_result;

class Waits : public FaultyDriver, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(Waits, AreCheckedForLevelAndLocks) {
  g_wait_case = GetParam();
  std::unique_ptr<ExpectFault> at_dispatch, with_lock;
  if (GetParam().at_dispatch_reported)
    at_dispatch = std::make_unique<ExpectFault>(Fault::WaitAtDispatchLevel);
  if (GetParam().lock_reported) with_lock = std::make_unique<ExpectFault>(Fault::WaitWithSpinLockHeld);
  if (!GetParam().signalled) KeClearEvent(&scratch_.event);
  run([](PDEVICE_OBJECT, PIRP irp) {
    const WaitCase& c = g_wait_case;
    KIRQL old = PASSIVE_LEVEL;
    if (c.lock) KeAcquireSpinLock(&g->locks[0], &old);
    if (c.raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -c.timeout;
    g_wait_result =
        KeWaitForSingleObject(&g->event, Executive, KernelMode, FALSE, c.timeout < 0 ? nullptr : &timeout);
    if (c.lock) KeReleaseSpinLock(&g->locks[0], old);
    if (c.raise) KeLowerIrql(old);
    return complete_irp(irp, STATUS_SUCCESS);
  });
  EXPECT_EQ(g_wait_result, GetParam().result);
  expect_still_working();
}

INSTANTIATE_TEST_SUITE_P(Table, Waits, ::testing::ValuesIn(kWaitCases), CaseName());

// A lock held at PASSIVE_LEVEL (the driver lowered the level under it): only the
// lock is wrong for the wait; releasing it there is wrong too.
TEST_F(IrqlVerifier, ReportsAWaitWithALockHeldAtPassiveLevel) {
  ExpectFault with_lock(Fault::WaitWithSpinLockHeld);
  ExpectFault release_level(Fault::SpinLockReleasedAtWrongLevel);
  run([](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeAcquireSpinLock(&g->locks[0], &old);
    KeLowerIrql(PASSIVE_LEVEL);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -100000;
    KeWaitForSingleObject(&g->event, Executive, KernelMode, FALSE, &timeout);
    KeReleaseSpinLock(&g->locks[0], old);
    return complete_irp(irp, STATUS_SUCCESS);
  });
  EXPECT_EQ(with_lock.count(), 1);
  EXPECT_EQ(release_level.count(), 1);
  expect_still_working();
}

// A wait without time-out that does not end is reported once the threshold passes,
// and still ends normally when its event comes.
TEST_F(IrqlVerifier, ReportsAWaitThatDoesNotEnd) {
  sim::set_hang_report_after(std::chrono::milliseconds(20));
  ExpectFault hang(Fault::ProbableHang);
  KeResetEvent(&g->event);
  std::thread requester([this] {
    EXPECT_EQ(run([](PDEVICE_OBJECT, PIRP irp) {
                KeWaitForSingleObject(&g->event, Executive, KernelMode, FALSE, nullptr);
                return complete_irp(irp, STATUS_SUCCESS);
              }),
              STATUS_SUCCESS);
  });
  EXPECT_TRUE(hang.wait(kBound));
  KeSetEvent(&g->event, IO_NO_INCREMENT, FALSE);
  requester.join();
  sim::set_hang_report_after(std::chrono::milliseconds(0));
}

// ---- spin locks ----

using LockVerifier = FaultyDriver;

// The classic: a cancel routine (called with the cancel lock held) takes the
// driver's lock, and elsewhere the driver takes the cancel lock under its own.
VOID NTAPI cancel_under_driver_lock(PDEVICE_OBJECT, PIRP irp) {
  KeAcquireSpinLockAtDpcLevel(&g->locks[0]);
  KeReleaseSpinLockFromDpcLevel(&g->locks[0]);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  complete_irp(irp, STATUS_CANCELLED);
}

TEST_F(LockVerifier, ReportsTheCancelLockTakenUnderTheDriversLock) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    IoMarkIrpPending(irp);
    (void)IoSetCancelRoutine(irp, cancel_under_driver_lock);
    return STATUS_PENDING;
  });
  PIRP irp = stack_.allocate(keep);
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  ExpectFault inverted(Fault::SpinLockOrderInverted);
  KIRQL old, cancel;
  KeAcquireSpinLock(&scratch_.locks[0], &old);
  IoAcquireCancelSpinLock(&cancel);
  IoReleaseCancelSpinLock(cancel);
  KeReleaseSpinLock(&scratch_.locks[0], old);
  EXPECT_EQ(inverted.count(), 1);
  IoFreeIrp(irp);
}

// ---- cancel routines ----

VOID NTAPI cancel_keeping_the_lock(PDEVICE_OBJECT, PIRP irp) { complete_irp(irp, STATUS_CANCELLED); }

VOID NTAPI cancel_releasing_at_passive(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(PASSIVE_LEVEL);
  complete_irp(irp, STATUS_CANCELLED);
}

VOID NTAPI cancel_releasing_at_its_level(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  complete_irp(irp, STATUS_CANCELLED);
}

struct CancelRoutineCase {
  const char* name;
  PDRIVER_CANCEL routine;
  bool at_dispatch;     // IoCancelIrp is called at DISPATCH_LEVEL, as from a completion routine
  const char* message;  // null: nothing to report
};

const CancelRoutineCase kCancelRoutines[] = {
    {"KeepsTheLock", cancel_keeping_the_lock, false, "returned holding the cancel spin lock"},
    {"KeepsTheLockAtDispatchLevel", cancel_keeping_the_lock, true, "returned holding the cancel spin lock"},
    {"ReleasesAtPassiveLevelCalledAtDispatch", cancel_releasing_at_passive, true,
     "returned at IRQL 0 instead of 2"},
    {"ReleasesAtPassiveLevelCalledThere", cancel_releasing_at_passive, false, nullptr},
    {"ReleasesAtItsLevel", cancel_releasing_at_its_level, false, nullptr},
    {"ReleasesAtItsLevelAtDispatchLevel", cancel_releasing_at_its_level, true, nullptr},
};

PDRIVER_CANCEL g_cancel_routine = nullptr;

class CancelRoutine : public FaultyDriver, public ::testing::WithParamInterface<CancelRoutineCase> {};

// IoCancelIrp checks the lock and the level once the routine has returned, and
// puts them right: the caller goes on at its own level, the lock free.
TEST_P(CancelRoutine, LeavesTheLockFreeAndTheLevelAsItFoundThem) {
  g_cancel_routine = GetParam().routine;
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    IoMarkIrpPending(irp);
    (void)IoSetCancelRoutine(irp, g_cancel_routine);
    return STATUS_PENDING;
  });
  PIRP irp = stack_.allocate(keep);
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_PENDING);
  {
    std::unique_ptr<ExpectFault> fault;
    if (GetParam().message != nullptr)
      fault = std::make_unique<ExpectFault>(Fault::CancelRoutineLeftLockHeld);
    KIRQL old = PASSIVE_LEVEL;
    if (GetParam().at_dispatch) KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeGetCurrentIrql(), GetParam().at_dispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL);
    if (GetParam().at_dispatch) KeLowerIrql(old);
    if (fault) {
      EXPECT_TRUE(mentions(*fault, GetParam().message));
    }
  }
  EXPECT_EQ(scratch_.calls, 1);
  KIRQL cancel;
  IoAcquireCancelSpinLock(&cancel);
  IoReleaseCancelSpinLock(cancel);
  IoFreeIrp(irp);
  expect_still_working();
}

INSTANTIATE_TEST_SUITE_P(Routines, CancelRoutine, ::testing::ValuesIn(kCancelRoutines), CaseName());

// The order is learnt per scenario: the next one may have other locks at the
// same addresses.
TEST(LockOrder, IsForgottenBetweenScenarios) {
  static KSPIN_LOCK first, second;
  for (bool reversed : {false, true}) {
    LittleStack stack(1);
    take_both(reversed ? &second : &first, reversed ? &first : &second);
    stack.finish();
  }
}

// ---- pool ----

using PoolVerifier = FaultyDriver;

struct NotPoolCase {
  const char* name;
  PVOID (*address)(PDEVICE_OBJECT device, PVOID block);
};

uint8_t g_not_pool[32];

const NotPoolCase kNotPool[] = {
    {"Static", [](PDEVICE_OBJECT, PVOID) -> PVOID { return g_not_pool; }},
    {"InsideABlock", [](PDEVICE_OBJECT, PVOID block) -> PVOID { return static_cast<uint8_t*>(block) + 8; }},
    {"DeviceExtension", [](PDEVICE_OBJECT device, PVOID) -> PVOID { return device->DeviceExtension; }},
    {"Null", [](PDEVICE_OBJECT, PVOID) -> PVOID { return nullptr; }},
};

class NotFromPool : public FaultyDriver, public ::testing::WithParamInterface<NotPoolCase> {};

TEST_P(NotFromPool, IsReported) {
  PVOID block = ExAllocatePool(NonPagedPool, 64);
  {
    ExpectFault not_pool(Fault::PoolNotFromPool);
    ExFreePool(GetParam().address(stack_.top(), block));
    EXPECT_EQ(not_pool.count(), 1);
  }
  ExFreePool(block);  // the real block is untouched and still frees cleanly
}

INSTANTIATE_TEST_SUITE_P(Addresses, NotFromPool, ::testing::ValuesIn(kNotPool), CaseName());

struct OverrunCase {
  size_t size;
  size_t offset;  // from the end of the block
};

int g_overrun_line = 0;
uint8_t* allocate_for_overrun(size_t size) {
  g_overrun_line = __LINE__ + 1;
  return static_cast<uint8_t*>(ExAllocatePool(NonPagedPool, size));
}

class Overrun : public FaultyDriver, public ::testing::WithParamInterface<OverrunCase> {};

TEST_P(Overrun, IsReportedWithSizeAndSiteWhenTheBlockIsFreed) {
  size_t size = GetParam().size;
  uint8_t* block = allocate_for_overrun(size);
  memset(block, 0x42, size);  // every byte of the block is the driver's
  unchecked_write(block + size + GetParam().offset, 0x42);
  ExpectFault overrun(Fault::PoolOverrun);
  ExFreePool(block);
  ASSERT_EQ(overrun.count(), 1);
  EXPECT_TRUE(mentions(overrun, "block of " + std::to_string(size) + " bytes"));
  EXPECT_TRUE(mentions(overrun, "sim_verifier_test.cpp:" + std::to_string(g_overrun_line)));
}

// The guard covers the slack up to 16 bytes and 16 bytes more; after a block of a
// page or more (which starts on a page), the rest of its last page.
INSTANTIATE_TEST_SUITE_P(SizesAndReach, Overrun,
                         ::testing::Values(OverrunCase{1, 0}, OverrunCase{1, 30}, OverrunCase{15, 0},
                                           OverrunCase{16, 0}, OverrunCase{16, 15}, OverrunCase{17, 30},
                                           OverrunCase{4095, 16}, OverrunCase{4097, 0},
                                           OverrunCase{4196, 3995}));

// True when the byte at `at` cannot be read: write() reports EFAULT instead of faulting.
bool inaccessible(const uint8_t* at) {
  int ends[2];
  EXPECT_EQ(pipe(ends), 0);
  bool fault = write(ends[1], at, 1) < 0 && errno == EFAULT;
  close(ends[0]);
  close(ends[1]);
  return fault;
}

// Blocks of a page or more start on a page, as on Windows; one of whole pages has
// the inaccessible page right after its last byte.
TEST_F(PoolVerifier, AcceptsWritesUpToTheLastByteAndAlignsBlocksOfAPage) {
  for (size_t size : {size_t(1), size_t(16), size_t(4095), size_t(4096), size_t(5000), size_t(8192)}) {
    auto* block = static_cast<uint8_t*>(ExAllocatePool(NonPagedPool, size));
    memset(block, 0xFF, size);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % PAGE_SIZE == 0, size >= PAGE_SIZE) << size;
    if (size % PAGE_SIZE == 0) {
      EXPECT_TRUE(inaccessible(block + size)) << size;
    }
    ExFreePool(block);
    EXPECT_TRUE(inaccessible(block)) << size;  // a use after free faults
  }
}

// An IRP from IoAllocateIrp lives in the guarded pool: read after it was freed,
// it faults instead of showing stale bytes.
TEST_F(PoolVerifier, MakesAFreedIrpInaccessible) {
  PIRP irp = stack_.allocate(keep);
  EXPECT_FALSE(inaccessible(reinterpret_cast<const uint8_t*>(irp)));
  IoFreeIrp(irp);
  EXPECT_TRUE(inaccessible(reinterpret_cast<const uint8_t*>(irp)));
  EXPECT_TRUE(inaccessible(reinterpret_cast<const uint8_t*>(&irp->IoStatus)));
}

// Shared memory this process has resident, in kB.
long resident_shmem_kb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("RssShmem:", 0) == 0) return std::stol(line.substr(9));
  }
  return -1;
}

// Freed pages go back to the system, in batches: freeing 16 MB of blocks one by
// one leaves at most a batch or two of them resident.
TEST_F(PoolVerifier, GivesFreedPagesBack) {
  long before = resident_shmem_kb();
  ASSERT_GE(before, 0);
  for (int i = 0; i < 4096; ++i) {
    auto* block = static_cast<uint8_t*>(ExAllocatePool(NonPagedPool, 100));
    memset(block, 1, 100);
    ExFreePool(block);
  }
  EXPECT_LT(resident_shmem_kb() - before, 4096);
}

// Leaks are listed at unload by size and by the line that allocated them.
TEST_F(PoolVerifier, ReportsPoolLeftAtUnloadBySizeAndSite) {
  static int line;
  run([](PDEVICE_OBJECT, PIRP irp) {
    line = __LINE__ + 1;
    ExAllocatePool(NonPagedPool, 24);
    ExAllocatePool(NonPagedPool, 4100);
    return complete_irp(irp, STATUS_SUCCESS);
  });
  ExpectFault leak(Fault::PoolLeak);
  stack_.finish();
  ASSERT_EQ(leak.count(), 2);
  EXPECT_TRUE(mentions(leak, "24 bytes allocated at "));
  EXPECT_TRUE(mentions(leak, "sim_verifier_test.cpp:" + std::to_string(line)));
  EXPECT_TRUE(mentions(leak, "4100 bytes allocated at "));
  EXPECT_TRUE(mentions(leak, "sim_verifier_test.cpp:" + std::to_string(line + 1)));
  EXPECT_TRUE(mentions(leak, "after the driver unloaded"));
}

TEST_F(PoolVerifier, ReportsIrpsAndMdlsLeftAtUnload) {
  run([](PDEVICE_OBJECT, PIRP irp) {
    IoAllocateIrp(2, FALSE);
    g->pool = ExAllocatePool(NonPagedPool, 300);
    IoAllocateMdl(g->pool, 300, FALSE, FALSE, nullptr);
    return complete_irp(irp, STATUS_SUCCESS);
  });
  ExFreePool(scratch_.pool);
  ExpectFault irp_leak(Fault::IrpLeak);
  ExpectFault mdl_leak(Fault::MdlLeak);
  stack_.finish();
  EXPECT_TRUE(mentions(irp_leak, "allocated by the driver and never freed"));
  EXPECT_TRUE(mentions(mdl_leak, "MDL of 300 bytes"));
}

// ---- the I/O manager ----

TEST_F(IrpVerifier, ReportsMoreInformationThanABufferedOutputHolds) {
  stack_.set(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (stack->Parameters.DeviceIoControl.IoControlCode == kBufferedCode) {
      memset(irp->AssociatedIrp.SystemBuffer, 0x66, out);
    }
    return complete_irp(irp, STATUS_SUCCESS, out + g->calls);
  });
  uint8_t output[24];
  memset(output, 0xDE, sizeof(output));
  ULONG_PTR information = 0;
  {
    ExpectFault too_much(Fault::InformationExceedsOutput);
    scratch_.calls = 1;
    EXPECT_EQ(sim::nt_device_io_control(handle_, kBufferedCode, nullptr, 0, output, 16, &information),
              STATUS_SUCCESS);
    EXPECT_TRUE(mentions(too_much, "Information 17 with an output buffer of 16 bytes"));
  }
  EXPECT_EQ(information, 16u);
  for (size_t i = 0; i < sizeof(output); ++i) EXPECT_EQ(output[i], i < 16 ? 0x66 : 0xDE) << i;
  // Exactly the output length is fine; so is anything for a direct request.
  scratch_.calls = 0;
  EXPECT_EQ(sim::nt_device_io_control(handle_, kBufferedCode, nullptr, 0, output, 16, &information),
            STATUS_SUCCESS);
  scratch_.calls = 5;
  EXPECT_EQ(sim::nt_device_io_control(handle_, kOutDirectCode, nullptr, 0, output, 16, &information),
            STATUS_SUCCESS);
}

// A function driver that takes its device object off the stack at removal but
// never deletes it.
NTSTATUS NTAPI forgetful_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry) {
  pass_entry(driver, registry);
  driver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    PDEVICE_OBJECT lower = layer_of(device)->lower;
    if (minor == IRP_MN_REMOVE_DEVICE) irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = pass_down(device, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) IoDetachDevice(lower);
    return status;
  };
  return STATUS_SUCCESS;
}

TEST(ObjectVerifier, ReportsADeviceObjectLeftBehind) {
  auto platform = std::make_unique<sim::Platform>(forgetful_entry, L"forgetful");
  ASSERT_EQ(platform->plug(sim::CameraConfig{}).start_status, STATUS_SUCCESS);
  ExpectFault left(Fault::DeviceObjectLeak);
  platform.reset();
}

// ---- Plug and Play ----

// A function driver that passes every Plug and Play request down as it came.
NTSTATUS NTAPI passes_pnp_unhandled(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = layer_of(device)->lower;
  bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
  NTSTATUS status = pass_down(device, irp);
  if (remove) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

struct UnhandledCase {
  const char* name;
  NTSTATUS (*send)(sim::Platform& platform, sim::UsbDevice& device);
  int count;
  const char* message;
};

// Query-stop and cancel-stop a driver may pass on as they came; a surprise removal
// with no handle open is followed at once by the removal, also unhandled.
const UnhandledCase kUnhandled[] = {
    {"QueryRemove", [](sim::Platform& p, sim::UsbDevice& d) { return p.query_remove(d); }, 1,
     "IRP_MN_QUERY_REMOVE_DEVICE reached the bus driver with STATUS_NOT_SUPPORTED"},
    {"CancelRemove", [](sim::Platform& p, sim::UsbDevice& d) { return p.cancel_remove(d); }, 1,
     "IRP_MN_CANCEL_REMOVE_DEVICE"},
    {"Remove", [](sim::Platform& p, sim::UsbDevice& d) { return p.remove(d); }, 1, "IRP_MN_REMOVE_DEVICE"},
    {"Stop", [](sim::Platform& p, sim::UsbDevice& d) { return p.stop(d); }, 1, "IRP_MN_STOP_DEVICE"},
    {"SurpriseRemoval", [](sim::Platform& p, sim::UsbDevice& d) { return p.unplug(d); }, 2,
     "IRP_MN_SURPRISE_REMOVAL"},
};

class UnhandledPnp : public ::testing::TestWithParam<UnhandledCase> {
 protected:
  CameraRig rig_;
};

// The bus still succeeds the request, as Windows' bus drivers do; the verifier
// names the request the driver above left undecided.
TEST_P(UnhandledPnp, IsReportedWhenItReachesTheBus) {
  PDRIVER_OBJECT driver = rig_.platform().driver().object();
  driver->MajorFunction[IRP_MJ_PNP] = passes_pnp_unhandled;
  {
    ExpectFault unhandled(Fault::PnpRequestNotHandled);
    EXPECT_EQ(GetParam().send(rig_.platform(), rig_.device()), STATUS_SUCCESS);
    EXPECT_EQ(unhandled.count(), GetParam().count);
    EXPECT_TRUE(mentions(unhandled, GetParam().message));
  }
  // A removal unloads the driver with its object.
  if (rig_.platform().driver().loaded()) driver->MajorFunction[IRP_MJ_PNP] = pass_pnp;
}

INSTANTIATE_TEST_SUITE_P(Requests, UnhandledPnp, ::testing::ValuesIn(kUnhandled), CaseName());

// ---- misuse of the platform's routines ----

struct MisuseCase {
  const char* name;
  Fault fault;
  void (*commit)(PDEVICE_OBJECT top);
};

const MisuseCase kMisuse[] = {
    {"DeleteADeviceTwice", Fault::InvalidArgument,
     [](PDEVICE_OBJECT top) {
       PDEVICE_OBJECT extra = nullptr;
       IoCreateDevice(top->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &extra);
       IoDeleteDevice(extra);
       IoDeleteDevice(extra);
     }},
    {"DetachWhatIsNotAttached", Fault::InvalidArgument, [](PDEVICE_OBJECT top) { IoDetachDevice(top); }},
    {"IrpWithoutLocations", Fault::InvalidArgument,
     [](PDEVICE_OBJECT) { EXPECT_EQ(IoAllocateIrp(0, FALSE), nullptr); }},
    {"FreeAnUnknownIrp", Fault::InvalidArgument,
     [](PDEVICE_OBJECT) {
       IRP fake{};
       IoFreeIrp(&fake);
     }},
    {"FreeAnUnknownMdl", Fault::InvalidArgument,
     [](PDEVICE_OBJECT) {
       MDL fake{};
       IoFreeMdl(&fake);
     }},
    {"InitializeAnIrpLargerThanItIs", Fault::InvalidArgument,
     [](PDEVICE_OBJECT) {
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoInitializeIrp(irp, IoSizeOfIrp(3), 3);
       IoFreeIrp(irp);
     }},
    {"MapAnMdlNeverBuilt", Fault::InvalidArgument,
     [](PDEVICE_OBJECT) {
       uint8_t data[16];
       PMDL mdl = IoAllocateMdl(data, sizeof(data), FALSE, FALSE, nullptr);
       EXPECT_EQ(map_user_view(mdl), nullptr);
       IoFreeMdl(mdl);
     }},
    {"BufferedRequestBuiltByTheDriver", Fault::Unimplemented,
     [](PDEVICE_OBJECT top) {
       KEVENT event;
       IO_STATUS_BLOCK iosb;
       KeInitializeEvent(&event, NotificationEvent, FALSE);
       EXPECT_EQ(
           IoBuildDeviceIoControlRequest(kBufferedCode, top, nullptr, 0, nullptr, 0, FALSE, &event, &iosb),
           nullptr);
     }},
    {"MapAtARequestedAddress", Fault::Unimplemented,
     [](PDEVICE_OBJECT) {
       PVOID block = ExAllocatePool(NonPagedPool, 64);
       PMDL mdl = IoAllocateMdl(block, 64, FALSE, FALSE, nullptr);
       MmBuildMdlForNonPagedPool(mdl);
       EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, block, FALSE, NormalPagePriority),
                 nullptr);
       IoFreeMdl(mdl);
       ExFreePool(block);
     }},
    {"PagedPool", Fault::Unimplemented, [](PDEVICE_OBJECT) { ExFreePool(ExAllocatePool(PagedPool, 8)); }},
};

class Misuse : public FaultyDriver, public ::testing::WithParamInterface<MisuseCase> {};

TEST_P(Misuse, IsReported) {
  ExpectFault misuse(GetParam().fault);
  GetParam().commit(stack_.top());
  EXPECT_GE(misuse.count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Calls, Misuse, ::testing::ValuesIn(kMisuse), CaseName());

}  // namespace
}  // namespace simtest
