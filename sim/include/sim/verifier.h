// The platform's verifier: faults a driver commits are reported the moment they
// happen, naming the fault. Tests route reports to test failures; a test that
// provokes a fault on purpose says so with ExpectFault.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

enum class Fault {
  IrpCompletedTwice,
  IrpCompletedWhileOwnedBelow,
  IrpSentWhileOwnedBelow,
  IrpFreedWhileOwnedBelow,
  IrpUsedAfterFree,
  IrpCompletedWithPending,
  DriverIrpCompletedToTop,
  NoMoreStackLocations,
  PendingNotMarked,
  MarkedPendingButNotReturned,
  DispatchDidNotComplete,
  IrqlChangedByCall,
  WaitAtDispatchLevel,
  WaitWithSpinLockHeld,
  WaitOnUninitialisedEvent,
  SpinLockReleasedAtWrongLevel,
  SpinLockReleasedByNonOwner,
  SpinLockAcquiredRecursively,
  SpinLockOrderInverted,
  IrqlRaisedAboveDispatch,
  IrqlLowerWrongWay,
  PoolFreedTwice,
  PoolNotFromPool,
  PoolOverrun,
  PoolLeak,
  IrpLeak,
  MdlLeak,
  ViewLeak,
  ViewRemovedFromOtherProcess,
  ViewUnknown,
  MdlFreedWhileMapped,
  MdlNotNonPagedPool,
  InformationExceedsOutput,
  DeviceObjectLeak,
  InvalidArgument,
  Unimplemented,
  ProbableHang,
  // The USB bus driver's own rules.
  UrbAtWrongIrql,
  // Context of the I/O manager: levels, stack depth, lifetime around completion,
  // cancellation and what a dispatch routine returns.
  IrqlTooHigh,
  StackTooDeep,
  IrpFreedDuringCompletion,
  CancelFlagLost,
  IrpInitializedFromAllocator,
  CompletedWithCancelRoutine,
  DispatchStatusMismatch,
  StatusBlockOutOfScope,
  // Memory, views and power.
  ExceptionNotCaught,
  UserViewNotPageAligned,
  PartialMdlTooSmall,
  PartialMdlOutlivesSource,
  PowerIrpNotLive,
  PowerIrpHeldTooLong,
  PowerDownWithTransfersQueued,
  PnpRequestNotHandled,
  // A second context: another process, a thread that exits, a cancellation that
  // completes later, a system that sleeps.
  UserAddressFromOtherProcess,
  UserAddressInUrb,
  ProcessAttachUnbalanced,
  ThreadCannotExit,
  CancelRoutineLeftLockHeld,
  BufferFreedUnderTransfer,
  SleepWithDeviceInD0,
  SystemPowerCompletedBeforeDevice,
  SetPowerFailed,
  PoolFreedUnderView,
  EventFreedWhileWaited,
  UserModeWaitOnStack,
  UserMappingUnguarded,
  BugCheck,
};

const char* fault_name(Fault fault);

struct FaultReport {
  Fault kind;
  std::string message;
};

// Where reports go. The default handler prints the report and aborts; test
// harnesses install one that fails the running test instead.
using FaultHandler = std::function<void(const FaultReport&)>;
void set_fault_handler(FaultHandler handler);

// Reports a fault. Safe from any thread and any simulated IRQL.
void report_fault(Fault kind, std::string message);

// Declares that the code under test is expected to commit `kind` at least once
// while this object lives. Matching reports are swallowed and counted; other
// reports still reach the handler. On destruction, an expectation never met is
// itself reported.
class ExpectFault {
 public:
  explicit ExpectFault(Fault kind);
  ~ExpectFault();
  ExpectFault(const ExpectFault&) = delete;
  ExpectFault& operator=(const ExpectFault&) = delete;

  int count() const;
  std::vector<std::string> messages() const;
  // Waits until the fault has been reported at least once.
  bool wait(std::chrono::milliseconds bound) const;

 private:
  Fault kind_;
};

}  // namespace sim
