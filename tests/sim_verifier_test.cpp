// The platform's verifier: for each check, a little driver commits the fault and
// the report is seen, naming it; the platform carries on undamaged; and the legal
// look-alike of the fault is not reported.
#include <future>
#include <thread>

#include "sim_little_driver.h"

namespace simtest {
namespace {

using sim::ExpectFault;
using sim::Fault;

bool mentions(const ExpectFault& expect, const std::string& text) {
  for (const std::string& message : expect.messages()) {
    if (message.find(text) != std::string::npos) return true;
  }
  return false;
}

// Writes a byte out of reach of AddressSanitizer, as a faulty driver built without
// it would: the platform's own guard is what must notice.
__attribute__((no_sanitize("address"), noinline)) void unchecked_write(uint8_t* at, uint8_t value) {
  *reinterpret_cast<volatile uint8_t*>(at) = value;
}

// State the faulty routines of one test share with it.
struct Scratch {
  KSPIN_LOCK locks[2];
  KEVENT event;
  PIRP irp = nullptr;
  PVOID pool = nullptr;
  PMDL mdl = nullptr;
  PVOID view = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  int calls = 0;
  Signal pended;
};
Scratch* g = nullptr;

// A driver of two stacked device objects (the top one named) whose device-control
// routine the test provides; requests come from an application through a handle.
class FaultyDriver : public ::testing::Test {
 protected:
  FaultyDriver() : stack_(2) {
    g = &scratch_;
    KeInitializeSpinLock(&scratch_.locks[0]);
    KeInitializeSpinLock(&scratch_.locks[1]);
    KeInitializeEvent(&scratch_.event, NotificationEvent, TRUE);
    handle_ = stack_.open();
  }
  ~FaultyDriver() override {
    stack_.finish();
    g = nullptr;
  }

  // Sends one buffered request to the top device; `routine` handles it.
  NTSTATUS run(PDRIVER_DISPATCH routine, ULONG_PTR* information = nullptr) {
    stack_.set(IRP_MJ_DEVICE_CONTROL, routine);
    uint8_t in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t out[8];
    return sim::nt_device_io_control(handle_, kBufferedCode, in, sizeof(in), out, sizeof(out), information);
  }

  // A well-behaved request after a fault: the platform still works.
  void expect_still_working() {
    EXPECT_EQ(run([](PDEVICE_OBJECT, PIRP irp) { return complete_irp(irp, STATUS_SUCCESS, 8); }),
              STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  }

  // An IRP as the driver allocates it for its own stack, with a routine on the
  // first location that keeps it.
  PIRP allocate_for_top(PIO_COMPLETION_ROUTINE routine = keep) {
    PIRP irp = IoAllocateIrp(stack_.top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (routine != nullptr) IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    return irp;
  }

  static NTSTATUS NTAPI keep(PDEVICE_OBJECT, PIRP, PVOID) {
    g->calls++;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  Scratch scratch_;
  LittleStack stack_;
  sim::Handle handle_ = sim::kInvalidHandle;
};

// ---- completion ----

using IrpVerifier = FaultyDriver;

TEST_F(IrpVerifier, ReportsARequestCompletedTwice) {
  ExpectFault twice(Fault::IrpCompletedTwice);
  EXPECT_EQ(run([](PDEVICE_OBJECT, PIRP irp) {
              complete_irp(irp, STATUS_SUCCESS, 8);
              IoCompleteRequest(irp, IO_NO_INCREMENT);
              return STATUS_SUCCESS;
            }),
            STATUS_SUCCESS);
  EXPECT_EQ(twice.count(), 1);
  EXPECT_TRUE(mentions(twice, "IofCompleteRequest"));
  expect_still_working();
}

// The routine of the top device completes the request itself and lets the walk
// go on: the I/O manager would see it twice.
TEST_F(IrpVerifier, ReportsACompletionRoutineThatCompletesAndContinues) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, complete_success);
  ExpectFault twice(Fault::IrpCompletedTwice);
  run([](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(layer_of(device)->lower, irp);
  });
  EXPECT_EQ(twice.count(), 1);
  expect_still_working();
}

// Legal: a routine that completes the request itself and stops the walk.
TEST_F(IrpVerifier, AcceptsACompletionRoutineThatCompletesAndStops) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, complete_success);
  EXPECT_EQ(run([](PDEVICE_OBJECT device, PIRP irp) {
              IoCopyCurrentIrpStackLocationToNext(irp);
              IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
              IoSetCompletionRoutine(
                  irp,
                  [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
                    irp->IoStatus.Information = 8;
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                    return STATUS_MORE_PROCESSING_REQUIRED;
                  },
                  nullptr, TRUE, TRUE, TRUE);
              return IoCallDriver(layer_of(device)->lower, irp);
            }),
            STATUS_SUCCESS);
}

// Legal: the synchronous forward. The routine stops the walk and signals; the
// dispatch routine completes the request again. The lower driver completes on
// another thread, racing the routine's return.
TEST_F(IrpVerifier, AcceptsCompletingAgainAfterMoreProcessingRequired) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    IoMarkIrpPending(irp);
    g->irp = irp;
    g->pended.set();
    return STATUS_PENDING;
  });
  KeClearEvent(&scratch_.event);
  std::thread lower([] {
    ASSERT_TRUE(g->pended.wait());
    complete_irp(g->irp, STATUS_SUCCESS, 8);
  });
  EXPECT_EQ(run([](PDEVICE_OBJECT device, PIRP irp) {
              IoCopyCurrentIrpStackLocationToNext(irp);
              IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
              IoSetCompletionRoutine(
                  irp,
                  [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
                    KeSetEvent(&g->event, IO_NO_INCREMENT, FALSE);
                    return STATUS_MORE_PROCESSING_REQUIRED;
                  },
                  nullptr, TRUE, TRUE, TRUE);
              if (IoCallDriver(layer_of(device)->lower, irp) == STATUS_PENDING) {
                KeWaitForSingleObject(&g->event, Executive, KernelMode, FALSE, nullptr);
              }
              NTSTATUS status = irp->IoStatus.Status;
              IoCompleteRequest(irp, IO_NO_INCREMENT);
              return status;
            }),
            STATUS_SUCCESS);
  lower.join();
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
    } else {
      g->pended.set();
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

NTSTATUS NTAPI pend_for_later(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  g->irp = irp;
  return STATUS_PENDING;
}

TEST_P(Resend, FromTheCompletionRoutineIsAccepted) {
  bool later = GetParam();
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, later ? pend_for_later : complete_success);
  PIRP irp = allocate_for_top(nullptr);
  IoSetCompletionRoutine(irp, retry, stack_.top(), TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), later ? STATUS_PENDING : STATUS_SUCCESS);
  // Each completion of a pended sending re-sends it, which pends it again.
  while (PIRP pended = scratch_.irp) {
    scratch_.irp = nullptr;
    complete_irp(pended, STATUS_SUCCESS);
  }
  EXPECT_TRUE(scratch_.pended.is_set());
  EXPECT_EQ(scratch_.calls, 3);
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(InsideAndLater, Resend, ::testing::Bool());

TEST_F(IrpVerifier, ReportsAResendFromARoutineThatLetsTheWalkGoOn) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, complete_success);
  PIRP irp = allocate_for_top(nullptr);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
        if (++g->calls == 1) {
          IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
          IoSetCompletionRoutine(irp, keep, nullptr, TRUE, TRUE, TRUE);
          IoCallDriver(static_cast<PDEVICE_OBJECT>(context), irp);
        }
        return STATUS_SUCCESS;
      },
      stack_.top(), TRUE, TRUE, TRUE);
  ExpectFault twice(Fault::IrpCompletedTwice);
  IoCallDriver(stack_.top(), irp);
  EXPECT_TRUE(mentions(twice, "re-sent"));
  IoFreeIrp(irp);
}

TEST_F(IrpVerifier, ReportsADriverIrpCompletedAgainAtTheTop) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, complete_success);
  PIRP irp = allocate_for_top();
  IoCallDriver(stack_.top(), irp);
  EXPECT_EQ(scratch_.calls, 1);
  {
    ExpectFault twice(Fault::IrpCompletedTwice);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  EXPECT_EQ(scratch_.calls, 1);
  IoFreeIrp(irp);
}

TEST_F(IrpVerifier, ReportsADriverIrpRunningPastItsLastRoutine) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, complete_success);
  for (bool with_routine : {false, true}) {
    PIRP irp = allocate_for_top(nullptr);
    if (with_routine) {
      IoSetCompletionRoutine(
          irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE,
          TRUE);
    }
    {
      ExpectFault past(Fault::DriverIrpCompletedToTop);
      IoCallDriver(stack_.top(), irp);
    }
    IoFreeIrp(irp);
  }
}

TEST_F(IrpVerifier, ReportsACompletionWithStatusPending) {
  ExpectFault pending(Fault::IrpCompletedWithPending);
  run([](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_PENDING;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
  });
  EXPECT_EQ(pending.count(), 1);
  expect_still_working();
}

// The top device passes the request on without setting up a location for the
// lower one; the IRP was allocated for a stack of one.
TEST_F(IrpVerifier, ReportsAnIrpPassedOnWithNoLocationLeft) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
    NTSTATUS status = IoCallDriver(layer_of(device)->lower, irp);
    return complete_irp(irp, status);
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

TEST_F(IrpVerifier, ReportsStatusPendingReturnedWithoutTheMark) {
  ExpectFault unmarked(Fault::PendingNotMarked);
  run([](PDEVICE_OBJECT, PIRP irp) {
    complete_irp(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  });
  EXPECT_EQ(unmarked.count(), 1);
  expect_still_working();
}

TEST_F(IrpVerifier, ReportsTheMarkWithAFinalStatus) {
  ExpectFault marked(Fault::MarkedPendingButNotReturned);
  EXPECT_EQ(run([](PDEVICE_OBJECT, PIRP irp) {
              IoMarkIrpPending(irp);
              return complete_irp(irp, STATUS_SUCCESS);
            }),
            STATUS_SUCCESS);
  EXPECT_EQ(marked.count(), 1);
  expect_still_working();
}

// The top device returns the lower driver's STATUS_PENDING; its routine must
// then mark its own location, which the verifier checks when the request
// completes. The propagating routine is legal; the other is not.
class PendingThroughARoutine : public FaultyDriver, public ::testing::WithParamInterface<bool> {};

TEST_P(PendingThroughARoutine, IsCheckedWhenTheRequestCompletes) {
  bool propagates = GetParam();
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
    LayerExtension* ext = layer_of(device);
    if (ext->lower == nullptr) {
      IoMarkIrpPending(irp);
      g->irp = irp;
      return STATUS_PENDING;
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID propagate) -> NTSTATUS {
          if (propagate != nullptr && irp->PendingReturned) IoMarkIrpPending(irp);
          return STATUS_SUCCESS;
        },
        g->status == STATUS_SUCCESS ? irp : nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(ext->lower, irp);
  });
  scratch_.status = propagates ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  PIRP irp = allocate_for_top();
  EXPECT_EQ(IoCallDriver(stack_.top(), irp), STATUS_PENDING);
  {
    std::unique_ptr<ExpectFault> unmarked;
    if (!propagates) unmarked = std::make_unique<ExpectFault>(Fault::PendingNotMarked);
    complete_irp(scratch_.irp, STATUS_SUCCESS);
    if (unmarked) {
      EXPECT_TRUE(mentions(*unmarked, "stack location 2"));
    }
  }
  EXPECT_EQ(scratch_.calls, 1);
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(PropagatedOrNot, PendingThroughARoutine, ::testing::Bool());

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
    if (layer_of(device)->lower == nullptr) {
      IoMarkIrpPending(irp);
      g->irp = irp;
      return STATUS_PENDING;
    }
    IoSkipCurrentIrpStackLocation(irp);
    IoCallDriver(layer_of(device)->lower, irp);
    return STATUS_SUCCESS;
  });
  PIRP irp = allocate_for_top();
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

class OwnedByTheBus : public ::testing::TestWithParam<OwnedCase> {
 protected:
  CameraRig rig_;
};

TEST_P(OwnedByTheBus, ReportsTheOwnerTouchingItsIrp) {
  UrbIrp request(rig_.pdo());
  request.bulk(rig_.pipe(CameraRig::kIn), true, 512);
  ASSERT_EQ(request.send(), STATUS_PENDING);
  ASSERT_TRUE(rig_.device().wait_for_pending(1, kBound));
  {
    ExpectFault owned(GetParam().fault);
    GetParam().commit(request.irp, rig_.pdo());
  }
  // The transfer is untouched and ends as it would have.
  EXPECT_FALSE(request.done.is_set());
  EXPECT_EQ(rig_.device().pending_transfers(), 1u);
  rig_.device().camera().set_frame_size(512);
  rig_.device().camera().queue_frames(1);
  ASSERT_TRUE(request.done.wait());
  EXPECT_EQ(request.status, STATUS_SUCCESS);
  EXPECT_TRUE(sim::pattern::matches(0, 0, request.buffer.data(), 512));
}

INSTANTIATE_TEST_SUITE_P(
    Operations, OwnedByTheBus,
    ::testing::Values(OwnedCase{"Complete", Fault::IrpCompletedWhileOwnedBelow,
                                [](PIRP irp, PDEVICE_OBJECT) { IoCompleteRequest(irp, IO_NO_INCREMENT); }},
                      OwnedCase{"SendAgain", Fault::IrpSentWhileOwnedBelow,
                                [](PIRP irp, PDEVICE_OBJECT pdo) {
                                  EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_INVALID_DEVICE_STATE);
                                }},
                      OwnedCase{"Reuse", Fault::IrpSentWhileOwnedBelow,
                                [](PIRP irp, PDEVICE_OBJECT) { IoReuseIrp(irp, STATUS_SUCCESS); }},
                      OwnedCase{"Initialize", Fault::IrpSentWhileOwnedBelow,
                                [](PIRP irp, PDEVICE_OBJECT) { IoInitializeIrp(irp, IoSizeOfIrp(1), 1); }},
                      OwnedCase{"Free", Fault::IrpFreedWhileOwnedBelow,
                                [](PIRP irp, PDEVICE_OBJECT) { IoFreeIrp(irp); }}),
    [](const ::testing::TestParamInfo<OwnedCase>& info) { return std::string(info.param.name); });

// A lower driver of the stack, not the bus, holds the request in its queue.
TEST_F(IrpVerifier, ReportsAnIrpFreedWhileALowerDriverQueuesIt) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
    if (layer_of(device)->lower != nullptr) return pass_down(device, irp);
    IoMarkIrpPending(irp);
    g->irp = irp;
    return STATUS_PENDING;
  });
  PIRP irp = allocate_for_top();
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
  UrbIrp request(rig_.pdo());
  request.bulk(rig_.pipe(CameraRig::kIn), true, 256);
  request.prepare();
  IoSetCompletionRoutine(request.irp, free_it, &request, TRUE, TRUE, TRUE);
  NTSTATUS returned = IoCallDriver(rig_.pdo(), request.irp);
  EXPECT_EQ(returned, inside ? STATUS_SUCCESS : STATUS_PENDING);
  if (!inside) rig_.device().camera().queue_frames(1);
  ASSERT_TRUE(request.done.wait());
  EXPECT_EQ(request.status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(InsideAndLater, FreedInItsRoutine, ::testing::Bool());

struct FreedCase {
  const char* name;
  void (*commit)(PIRP irp, PDEVICE_OBJECT top);
};

class UseAfterFree : public FaultyDriver, public ::testing::WithParamInterface<FreedCase> {};

TEST_P(UseAfterFree, IsReported) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, complete_success);
  PIRP irp = allocate_for_top();
  IoFreeIrp(irp);
  {
    ExpectFault freed(Fault::IrpUsedAfterFree);
    GetParam().commit(irp, stack_.top());
    EXPECT_EQ(freed.count(), 1);
  }
  // A fresh IRP goes through the same stack as usual.
  PIRP fresh = allocate_for_top();
  EXPECT_EQ(IoCallDriver(stack_.top(), fresh), STATUS_SUCCESS);
  EXPECT_EQ(scratch_.calls, 1);
  IoFreeIrp(fresh);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, UseAfterFree,
    ::testing::Values(
        FreedCase{"Send", [](PIRP irp, PDEVICE_OBJECT top) { IoCallDriver(top, irp); }},
        FreedCase{"Complete", [](PIRP irp, PDEVICE_OBJECT) { IoCompleteRequest(irp, IO_NO_INCREMENT); }},
        FreedCase{"Cancel", [](PIRP irp, PDEVICE_OBJECT) { EXPECT_FALSE(IoCancelIrp(irp)); }},
        FreedCase{"FreeAgain", [](PIRP irp, PDEVICE_OBJECT) { IoFreeIrp(irp); }},
        FreedCase{"Reuse", [](PIRP irp, PDEVICE_OBJECT) { IoReuseIrp(irp, STATUS_SUCCESS); }},
        FreedCase{"Initialize", [](PIRP irp, PDEVICE_OBJECT) { IoInitializeIrp(irp, IoSizeOfIrp(2), 2); }}),
    [](const ::testing::TestParamInfo<FreedCase>& info) { return std::string(info.param.name); });

TEST_F(IrpVerifier, ReportsARoutineThatFreesAndLetsTheWalkGoOn) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
    if (layer_of(device)->lower == nullptr) return complete_success(device, irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
          IoFreeIrp(g->irp);  // the top device frees what is not its own
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(layer_of(device)->lower, irp);
  });
  scratch_.irp = allocate_for_top();
  ExpectFault owned(Fault::IrpFreedWhileOwnedBelow);
  IoCallDriver(stack_.top(), scratch_.irp);
  EXPECT_EQ(scratch_.calls, 1);
  IoFreeIrp(scratch_.irp);
}

TEST_F(IrpVerifier, ReportsTheAllocatorsRoutineFreeingAndLettingTheWalkGoOn) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, complete_success);
  PIRP irp = allocate_for_top(nullptr);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
        IoFreeIrp(irp);
        return STATUS_SUCCESS;
      },
      nullptr, TRUE, TRUE, TRUE);
  ExpectFault freed(Fault::IrpUsedAfterFree);
  IoCallDriver(stack_.top(), irp);
  EXPECT_TRUE(mentions(freed, "let its completion continue"));
}

// ---- IRQL ----

using IrqlVerifier = FaultyDriver;

TEST_F(IrqlVerifier, ReportsADispatchRoutineReturningAtAnotherLevel) {
  ExpectFault changed(Fault::IrqlChangedByCall);
  run([](PDEVICE_OBJECT, PIRP irp) {
    complete_irp(irp, STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return STATUS_SUCCESS;
  });
  EXPECT_TRUE(mentions(changed, "dispatch routine returned at IRQL 2"));
  KeLowerIrql(PASSIVE_LEVEL);
  expect_still_working();
}

TEST_F(IrqlVerifier, ReportsACompletionRoutineReturningAtAnotherLevel) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, complete_success);
  PIRP irp = allocate_for_top(nullptr);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      nullptr, TRUE, TRUE, TRUE);
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

TEST_F(IrqlVerifier, AcceptsARaiseThatIsUndone) {
  EXPECT_EQ(run([](PDEVICE_OBJECT, PIRP irp) {
              KIRQL old;
              KeRaiseIrql(DISPATCH_LEVEL, &old);
              KeLowerIrql(old);
              return complete_irp(irp, STATUS_SUCCESS);
            }),
            STATUS_SUCCESS);
}

TEST_F(IrqlVerifier, ReportsARaiseAboveDispatchLevel) {
  {
    ExpectFault above(Fault::IrqlRaisedAboveDispatch);
    run([](PDEVICE_OBJECT, PIRP irp) {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
      KIRQL lock_old;
      KeAcquireSpinLock(&g->locks[0], &lock_old);  // from above DISPATCH_LEVEL too
      KeReleaseSpinLock(&g->locks[0], lock_old);
      KeLowerIrql(old);
      return complete_irp(irp, STATUS_SUCCESS);
    });
    EXPECT_EQ(above.count(), 2);
  }
  expect_still_working();
}

TEST_F(IrqlVerifier, ReportsRaisingDownAndLoweringUp) {
  ExpectFault wrong_way(Fault::IrqlLowerWrongWay);
  run([](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeLowerIrql(DISPATCH_LEVEL);       // "lowers" from PASSIVE_LEVEL up
    KeRaiseIrql(PASSIVE_LEVEL, &old);  // "raises" back down
    return complete_irp(irp, STATUS_SUCCESS);
  });
  EXPECT_EQ(wrong_way.count(), 2);
  EXPECT_TRUE(mentions(wrong_way, "KeLowerIrql from 0 up to 2"));
  EXPECT_TRUE(mentions(wrong_way, "KeRaiseIrql from 2 down to 0"));
  expect_still_working();
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
    if (c.raise && !c.lock) KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -c.timeout;
    g_wait_result =
        KeWaitForSingleObject(&g->event, Executive, KernelMode, FALSE, c.timeout < 0 ? nullptr : &timeout);
    if (c.lock) KeReleaseSpinLock(&g->locks[0], old);
    if (c.raise && !c.lock) KeLowerIrql(old);
    return complete_irp(irp, STATUS_SUCCESS);
  });
  EXPECT_EQ(g_wait_result, GetParam().result);
  expect_still_working();
}

INSTANTIATE_TEST_SUITE_P(
    Table, Waits,
    ::testing::Values(
        WaitCase{"PassiveWithTimeOut", false, false, true, 100000, false, false, STATUS_SUCCESS},
        WaitCase{"DispatchWithTimeOut", true, false, true, 100000, true, false, STATUS_SUCCESS},
        WaitCase{"DispatchWithoutTimeOut", true, false, true, -1, true, false, STATUS_SUCCESS},
        WaitCase{"DispatchZeroSignalled", true, false, true, 0, false, false, STATUS_SUCCESS},
        WaitCase{"DispatchZeroNotSignalled", true, false, false, 0, false, false, STATUS_TIMEOUT},
        WaitCase{"LockWithTimeOut", false, true, true, 100000, true, true, STATUS_SUCCESS},
        WaitCase{"LockZero", false, true, false, 0, false, false, STATUS_TIMEOUT}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return std::string(info.param.name); });

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

TEST_F(IrqlVerifier, ReportsAnEventThatWasNeverInitialised) {
  ExpectFault uninitialised(Fault::WaitOnUninitialisedEvent);
  run([](PDEVICE_OBJECT, PIRP irp) {
    KEVENT raw;
    memset(&raw, 0, sizeof(raw));
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&raw, Executive, KernelMode, FALSE, &zero), STATUS_INVALID_PARAMETER);
    KeSetEvent(&raw, IO_NO_INCREMENT, FALSE);
    return complete_irp(irp, STATUS_SUCCESS);
  });
  EXPECT_EQ(uninitialised.count(), 2);
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
  EXPECT_TRUE(hang.wait(std::chrono::seconds(5)));
  KeSetEvent(&g->event, IO_NO_INCREMENT, FALSE);
  requester.join();
  sim::set_hang_report_after(std::chrono::milliseconds(0));
}

// ---- spin locks ----

using LockVerifier = FaultyDriver;

TEST_F(LockVerifier, ReportsAcquiringOrReleasingFromDpcLevelBelowIt) {
  ExpectFault level(Fault::SpinLockReleasedAtWrongLevel);
  run([](PDEVICE_OBJECT, PIRP irp) {
    KeAcquireSpinLockAtDpcLevel(&g->locks[0]);
    KeReleaseSpinLockFromDpcLevel(&g->locks[0]);
    return complete_irp(irp, STATUS_SUCCESS);
  });
  EXPECT_EQ(level.count(), 2);
  EXPECT_TRUE(mentions(level, "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL"));
  EXPECT_TRUE(mentions(level, "released at IRQL 0"));
  expect_still_working();
}

TEST_F(LockVerifier, ReportsAReleaseByAThreadThatDoesNotHoldIt) {
  ExpectFault non_owner(Fault::SpinLockReleasedByNonOwner);
  run([](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeAcquireSpinLock(&g->locks[0], &old);
    std::thread other([] {
      KIRQL previous;
      KeRaiseIrql(DISPATCH_LEVEL, &previous);
      KeReleaseSpinLockFromDpcLevel(&g->locks[0]);
      KeLowerIrql(previous);
    });
    other.join();
    KeReleaseSpinLock(&g->locks[0], old);  // the owner's release is fine
    KeAcquireSpinLock(&g->locks[1], &old);
    KeReleaseSpinLock(&g->locks[1], old);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLockFromDpcLevel(&g->locks[1]);  // held by nobody
    KeLowerIrql(old);
    return complete_irp(irp, STATUS_SUCCESS);
  });
  EXPECT_EQ(non_owner.count(), 2);
  expect_still_working();
}

TEST_F(LockVerifier, ReportsALockTakenAgainByItsHolder) {
  ExpectFault recursive(Fault::SpinLockAcquiredRecursively);
  run([](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old, again;
    KeAcquireSpinLock(&g->locks[0], &old);
    KeAcquireSpinLock(&g->locks[0], &again);
    KeReleaseSpinLock(&g->locks[0], old);
    return complete_irp(irp, STATUS_SUCCESS);
  });
  EXPECT_EQ(recursive.count(), 1);
  expect_still_working();
}

NTSTATUS NTAPI take_in_order(PDEVICE_OBJECT, PIRP irp) {
  KIRQL old;
  KeAcquireSpinLock(&g->locks[0], &old);
  KeAcquireSpinLockAtDpcLevel(&g->locks[1]);
  KeReleaseSpinLockFromDpcLevel(&g->locks[1]);
  KeReleaseSpinLock(&g->locks[0], old);
  return complete_irp(irp, STATUS_SUCCESS);
}

TEST_F(LockVerifier, ReportsLocksTakenInInconsistentOrder) {
  EXPECT_EQ(run(take_in_order), STATUS_SUCCESS);
  EXPECT_EQ(run(take_in_order), STATUS_SUCCESS);  // the same order again is fine
  ExpectFault inverted(Fault::SpinLockOrderInverted);
  run([](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeAcquireSpinLock(&g->locks[1], &old);
    KeAcquireSpinLockAtDpcLevel(&g->locks[0]);
    KeReleaseSpinLockFromDpcLevel(&g->locks[0]);
    KeReleaseSpinLock(&g->locks[1], old);
    return complete_irp(irp, STATUS_SUCCESS);
  });
  EXPECT_EQ(inverted.count(), 1);
}

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
  PIRP irp = allocate_for_top();
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

// The order is learnt per scenario: the next one may have other locks at the
// same addresses.
TEST(LockOrder, IsForgottenBetweenScenarios) {
  static KSPIN_LOCK first, second;
  for (bool reversed : {false, true}) {
    LittleStack stack(1);
    PKSPIN_LOCK outer = reversed ? &second : &first;
    PKSPIN_LOCK inner = reversed ? &first : &second;
    KIRQL old;
    KeAcquireSpinLock(outer, &old);
    KeAcquireSpinLockAtDpcLevel(inner);
    KeReleaseSpinLockFromDpcLevel(inner);
    KeReleaseSpinLock(outer, old);
    stack.finish();
  }
}

// ---- pool ----

using PoolVerifier = FaultyDriver;

TEST_F(PoolVerifier, ReportsPoolFreedTwice) {
  ExpectFault twice(Fault::PoolFreedTwice);
  run([](PDEVICE_OBJECT, PIRP irp) {
    PVOID block = ExAllocatePool(NonPagedPool, 40);
    ExFreePool(block);
    ExFreePool(block);
    return complete_irp(irp, STATUS_SUCCESS);
  });
  EXPECT_EQ(twice.count(), 1);
  // The pool goes on: new blocks come and go without complaint.
  PVOID block = ExAllocatePool(NonPagedPool, 40);
  ASSERT_NE(block, nullptr);
  memset(block, 0, 40);
  ExFreePool(block);
}

struct NotPoolCase {
  const char* name;
  PVOID (*address)(PDEVICE_OBJECT device, PVOID block);
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
  EXPECT_NE(stack_.top()->DeviceExtension, nullptr);
}

uint8_t g_not_pool[32];

INSTANTIATE_TEST_SUITE_P(
    Addresses, NotFromPool,
    ::testing::Values(
        NotPoolCase{"Static", [](PDEVICE_OBJECT, PVOID) -> PVOID { return g_not_pool; }},
        NotPoolCase{"InsideABlock",
                    [](PDEVICE_OBJECT, PVOID block) -> PVOID { return static_cast<uint8_t*>(block) + 8; }},
        NotPoolCase{"DeviceExtension",
                    [](PDEVICE_OBJECT device, PVOID) -> PVOID { return device->DeviceExtension; }},
        NotPoolCase{"Null", [](PDEVICE_OBJECT, PVOID) -> PVOID { return nullptr; }}),
    [](const ::testing::TestParamInfo<NotPoolCase>& info) { return std::string(info.param.name); });

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

// The guard covers the slack up to 16 bytes and 16 bytes more.
INSTANTIATE_TEST_SUITE_P(SizesAndReach, Overrun,
                         ::testing::Values(OverrunCase{1, 0}, OverrunCase{1, 30}, OverrunCase{15, 0},
                                           OverrunCase{16, 0}, OverrunCase{16, 15}, OverrunCase{17, 30},
                                           OverrunCase{4095, 16}, OverrunCase{4096, 0},
                                           OverrunCase{4097, 0}));

TEST_F(PoolVerifier, AcceptsWritesUpToTheLastByte) {
  for (size_t size : {size_t(1), size_t(16), size_t(4096), size_t(5000)}) {
    auto* block = static_cast<uint8_t*>(ExAllocatePool(NonPagedPool, size));
    memset(block, 0xFF, size);
    ExFreePool(block);
  }
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

TEST_F(PoolVerifier, ReportsPagedPoolAsUnimplemented) {
  ExpectFault paged(Fault::Unimplemented);
  PVOID block = ExAllocatePool(PagedPool, 8);
  ExFreePool(block);
}

// ---- MDLs and user views ----

constexpr ULONG kPoolBytes = 6000;

class ViewVerifier : public FaultyDriver {
 protected:
  ViewVerifier() {
    scratch_.pool = ExAllocatePool(NonPagedPool, kPoolBytes);
    scratch_.mdl = IoAllocateMdl(scratch_.pool, kPoolBytes, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(scratch_.mdl);
  }
  void free_pool() {
    if (scratch_.mdl != nullptr) IoFreeMdl(scratch_.mdl);
    scratch_.mdl = nullptr;
    ExFreePool(scratch_.pool);
  }

  // The driver maps the buffer into (or unmaps it from) the calling process.
  void toggle_view(sim::Process& process) {
    sim::ProcessScope scope(process);
    run([](PDEVICE_OBJECT, PIRP irp) {
      if (g->view == nullptr) {
        g->view =
            MmMapLockedPagesSpecifyCache(g->mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
      } else {
        MmUnmapLockedPages(g->view, g->mdl);
        g->view = nullptr;
      }
      return complete_irp(irp, STATUS_SUCCESS);
    });
  }
};

TEST_F(ViewVerifier, ReportsAViewRemovedFromAnotherProcess) {
  sim::Process owner("owner"), other("other");
  toggle_view(owner);
  ASSERT_EQ(owner.views(), 1);
  {
    ExpectFault other_process(Fault::ViewRemovedFromOtherProcess);
    toggle_view(other);
    EXPECT_TRUE(mentions(other_process, "view of process owner removed in process other"));
  }
  EXPECT_EQ(owner.views(), 0);
  toggle_view(owner);  // its own process may map and unmap again freely
  toggle_view(owner);
  free_pool();
}

TEST_F(ViewVerifier, ReportsUnmappingWhatIsNotAView) {
  sim::Process owner("owner");
  toggle_view(owner);
  PVOID view = scratch_.view;
  toggle_view(owner);
  {
    ExpectFault unknown(Fault::ViewUnknown);
    sim::ProcessScope scope(owner);
    MmUnmapLockedPages(view, scratch_.mdl);           // twice
    MmUnmapLockedPages(scratch_.pool, scratch_.mdl);  // the kernel's own address
    EXPECT_EQ(unknown.count(), 2);
  }
  free_pool();
}

TEST_F(ViewVerifier, ReportsAnMdlFreedUnderAView) {
  sim::Process owner("owner");
  toggle_view(owner);
  {
    ExpectFault mapped(Fault::MdlFreedWhileMapped);
    IoFreeMdl(scratch_.mdl);
    scratch_.mdl = nullptr;
  }
  EXPECT_EQ(owner.views(), 0);  // the view went with it
  free_pool();
}

TEST_F(ViewVerifier, ReportsAViewLeftWhenTheProcessEnds) {
  auto owner = std::make_unique<sim::Process>("short-lived");
  toggle_view(*owner);
  {
    ExpectFault leak(Fault::ViewLeak);
    owner.reset();
    EXPECT_TRUE(mentions(leak, "process short-lived ended with user view"));
  }
  free_pool();  // the MDL has no view left
}

TEST_F(ViewVerifier, ReportsAViewAndItsMdlLeftAtUnload) {
  sim::Process owner("owner");
  toggle_view(owner);
  ExFreePool(scratch_.pool);
  ExpectFault view_leak(Fault::ViewLeak);
  ExpectFault mdl_leak(Fault::MdlLeak);
  stack_.finish();
  EXPECT_TRUE(mentions(view_leak, "in process owner"));
  EXPECT_EQ(owner.views(), 0);
}

TEST_F(ViewVerifier, ReportsAnMdlBuiltForPoolOverOtherMemory) {
  uint8_t on_stack[64];
  PMDL stack_mdl = IoAllocateMdl(on_stack, sizeof(on_stack), FALSE, FALSE, nullptr);
  PMDL too_long = IoAllocateMdl(scratch_.pool, kPoolBytes + 1, FALSE, FALSE, nullptr);
  {
    ExpectFault not_pool(Fault::MdlNotNonPagedPool);
    MmBuildMdlForNonPagedPool(stack_mdl);
    MmBuildMdlForNonPagedPool(too_long);
    EXPECT_EQ(not_pool.count(), 2);
  }
  EXPECT_EQ(too_long->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);
  IoFreeMdl(stack_mdl);
  IoFreeMdl(too_long);
  // The exact block, or a part of it, is fine.
  PMDL part = IoAllocateMdl(static_cast<uint8_t*>(scratch_.pool) + 100, 200, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(part);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, NormalPagePriority),
            static_cast<uint8_t*>(scratch_.pool) + 100);
  IoFreeMdl(part);
  free_pool();
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
NTSTATUS NTAPI forgetful_pnp(PDEVICE_OBJECT device, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  PDEVICE_OBJECT lower = layer_of(device)->lower;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) IoDetachDevice(lower);
  return status;
}

NTSTATUS NTAPI forgetful_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry) {
  pass_entry(driver, registry);
  driver->MajorFunction[IRP_MJ_PNP] = forgetful_pnp;
  return STATUS_SUCCESS;
}

TEST(ObjectVerifier, ReportsADeviceObjectLeftBehind) {
  auto platform = std::make_unique<sim::Platform>(forgetful_entry, L"forgetful");
  sim::Platform::Plugged plugged = platform->plug(sim::CameraConfig{});
  ASSERT_EQ(plugged.start_status, STATUS_SUCCESS);
  ExpectFault left(Fault::DeviceObjectLeak);
  platform.reset();
}

// ---- misuse of the platform's routines ----

struct MisuseCase {
  const char* name;
  Fault fault;
  void (*commit)(PDEVICE_OBJECT top);
};

class Misuse : public FaultyDriver, public ::testing::WithParamInterface<MisuseCase> {};

TEST_P(Misuse, IsReported) {
  ExpectFault misuse(GetParam().fault);
  GetParam().commit(stack_.top());
  EXPECT_GE(misuse.count(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, Misuse,
    ::testing::Values(MisuseCase{"DeleteADeviceTwice", Fault::InvalidArgument,
                                 [](PDEVICE_OBJECT top) {
                                   PDEVICE_OBJECT extra = nullptr;
                                   IoCreateDevice(top->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                                                  FALSE, &extra);
                                   IoDeleteDevice(extra);
                                   IoDeleteDevice(extra);
                                 }},
                      MisuseCase{"DetachWhatIsNotAttached", Fault::InvalidArgument,
                                 [](PDEVICE_OBJECT top) { IoDetachDevice(top); }},
                      MisuseCase{"IrpWithoutLocations", Fault::InvalidArgument,
                                 [](PDEVICE_OBJECT) { EXPECT_EQ(IoAllocateIrp(0, FALSE), nullptr); }},
                      MisuseCase{"FreeAnUnknownIrp", Fault::InvalidArgument,
                                 [](PDEVICE_OBJECT) {
                                   IRP fake{};
                                   IoFreeIrp(&fake);
                                 }},
                      MisuseCase{"FreeAnUnknownMdl", Fault::InvalidArgument,
                                 [](PDEVICE_OBJECT) {
                                   MDL fake{};
                                   IoFreeMdl(&fake);
                                 }},
                      MisuseCase{"InitializeAnIrpLargerThanItIs", Fault::InvalidArgument,
                                 [](PDEVICE_OBJECT) {
                                   PIRP irp = IoAllocateIrp(1, FALSE);
                                   IoInitializeIrp(irp, IoSizeOfIrp(3), 3);
                                   IoFreeIrp(irp);
                                 }},
                      MisuseCase{"MapAnMdlNeverBuilt", Fault::InvalidArgument,
                                 [](PDEVICE_OBJECT) {
                                   uint8_t data[16];
                                   PMDL mdl = IoAllocateMdl(data, sizeof(data), FALSE, FALSE, nullptr);
                                   EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr,
                                                                          FALSE, NormalPagePriority),
                                             nullptr);
                                   IoFreeMdl(mdl);
                                 }},
                      MisuseCase{"BufferedRequestBuiltByTheDriver", Fault::Unimplemented,
                                 [](PDEVICE_OBJECT top) {
                                   KEVENT event;
                                   IO_STATUS_BLOCK iosb;
                                   KeInitializeEvent(&event, NotificationEvent, FALSE);
                                   EXPECT_EQ(IoBuildDeviceIoControlRequest(kBufferedCode, top, nullptr, 0,
                                                                           nullptr, 0, FALSE, &event, &iosb),
                                             nullptr);
                                 }},
                      MisuseCase{"MapAtARequestedAddress", Fault::Unimplemented,
                                 [](PDEVICE_OBJECT) {
                                   PVOID block = ExAllocatePool(NonPagedPool, 64);
                                   PMDL mdl = IoAllocateMdl(block, 64, FALSE, FALSE, nullptr);
                                   MmBuildMdlForNonPagedPool(mdl);
                                   EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, block,
                                                                          FALSE, NormalPagePriority),
                                             nullptr);
                                   IoFreeMdl(mdl);
                                   ExFreePool(block);
                                 }}),
    [](const ::testing::TestParamInfo<MisuseCase>& info) { return std::string(info.param.name); });

// The I/O manager frees its own requests: a driver freeing one is refused.
TEST_F(IrpVerifier, ReportsTheDriverFreeingTheIoManagersRequest) {
  ExpectFault misuse(Fault::InvalidArgument);
  EXPECT_EQ(run([](PDEVICE_OBJECT, PIRP irp) {
              IoFreeIrp(irp);
              return complete_irp(irp, STATUS_SUCCESS);
            }),
            STATUS_SUCCESS);
  EXPECT_TRUE(mentions(misuse, "which the I/O manager frees"));
  expect_still_working();
}

}  // namespace
}  // namespace simtest
