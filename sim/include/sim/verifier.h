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

// Every fault the verifier names: X(name, what the report says) once per fault.
#define SIM_FAULTS(X)                                                                                        \
  X(IrpCompletedTwice, "IRP completed twice")                                                                \
  X(IrpCompletedWhileOwnedBelow, "IRP completed while a lower driver owns it")                               \
  X(IrpSentWhileOwnedBelow, "IRP sent again while a lower driver owns it")                                   \
  X(IrpFreedWhileOwnedBelow, "IRP freed while a lower driver owns it")                                       \
  X(IrpUsedAfterFree, "IRP used after it was freed")                                                         \
  X(IrpCompletedWithPending, "IRP completed with STATUS_PENDING")                                            \
  X(DriverIrpCompletedToTop, "driver-allocated IRP completed past its last completion routine")              \
  X(NoMoreStackLocations, "IRP passed down with no stack location left")                                     \
  X(PendingNotMarked, "dispatch routine returned STATUS_PENDING without marking the IRP pending")            \
  X(MarkedPendingButNotReturned,                                                                             \
    "dispatch routine marked the IRP pending but did not return STATUS_PENDING")                             \
  X(DispatchDidNotComplete, "dispatch routine returned a final status without completing the IRP")           \
  X(IrqlChangedByCall, "IRQL changed across a call")                                                         \
  X(WaitAtDispatchLevel, "wait with a non-zero time-out at DISPATCH_LEVEL")                                  \
  X(WaitWithSpinLockHeld, "wait with a non-zero time-out while holding a spin lock")                         \
  X(WaitOnUninitialisedEvent, "wait on an object that is not an initialised event")                          \
  X(SpinLockReleasedAtWrongLevel, "spin lock acquired or released at the wrong IRQL")                        \
  X(SpinLockReleasedByNonOwner, "spin lock released by a thread that does not hold it")                      \
  X(SpinLockAcquiredRecursively, "spin lock acquired by the thread that holds it")                           \
  X(SpinLockOrderInverted, "spin locks taken in inconsistent order")                                         \
  X(IrqlRaisedAboveDispatch, "IRQL raised above DISPATCH_LEVEL")                                             \
  X(IrqlLowerWrongWay, "IRQL raised or lowered the wrong way")                                               \
  X(PoolFreedTwice, "pool freed twice")                                                                      \
  X(PoolNotFromPool, "memory freed that is not from the pool")                                               \
  X(PoolOverrun, "write past the end of a pool block")                                                       \
  X(PoolLeak, "pool still allocated")                                                                        \
  X(IrpLeak, "IRP still allocated")                                                                          \
  X(MdlLeak, "MDL still allocated")                                                                          \
  X(ViewLeak, "user view still mapped")                                                                      \
  X(ViewRemovedFromOtherProcess, "user view removed from another process")                                   \
  X(ViewUnknown, "unmapping an address that is not a mapped view")                                           \
  X(MdlFreedWhileMapped, "MDL freed while a user view of it exists")                                         \
  X(MdlNotNonPagedPool, "MDL built for non-paged pool over other memory")                                    \
  X(InformationExceedsOutput, "IoStatus.Information exceeds the output buffer of a buffered request")        \
  X(DeviceObjectLeak, "device object left behind")                                                           \
  X(InvalidArgument, "invalid argument to a platform routine")                                               \
  X(Unimplemented, "platform routine not implemented")                                                       \
  X(ProbableHang, "wait without time-out did not end (probable hang)")                                       \
  /* The USB bus driver's own rules. */                                                                      \
  X(UrbAtWrongIrql, "URB sent to the bus at an IRQL its function does not allow")                            \
  /* Context of the I/O manager: levels, stack depth, lifetime around completion, cancellation and what a    \
   * dispatch routine returns. */                                                                            \
  X(IrqlTooHigh, "routine called above the highest IRQL it allows")                                          \
  X(StackTooDeep, "completion routines nested too deep inside IofCallDriver")                                \
  X(IrpFreedDuringCompletion,                                                                                \
    "IRP freed, reused or reinitialised while its completion runs on another thread")                        \
  X(CancelFlagLost, "IRP reinitialised with a cancel request it never honoured")                             \
  X(IrpInitializedFromAllocator, "IoInitializeIrp on an IRP from IoAllocateIrp")                             \
  X(CompletedWithCancelRoutine, "IRP completed with a cancel routine still set")                             \
  X(DispatchStatusMismatch,                                                                                  \
    "dispatch routine returned a status other than the one it completed the IRP with")                       \
  X(StatusBlockOutOfScope,                                                                                   \
    "event or status block of a built request lies in a stack frame that has returned")                      \
  /* Memory, views and power. */                                                                             \
  X(ExceptionNotCaught, "exception raised in kernel mode that nobody caught")                                \
  X(UserViewNotPageAligned, "user view of a buffer that does not start and end on page boundaries")          \
  X(PartialMdlTooSmall, "partial MDL too small for the range it must describe")                              \
  X(PartialMdlOutlivesSource, "partial MDL freed or used after its source MDL was freed")                    \
  X(PowerIrpNotLive, "power routine called on a request that is not a live power request")                   \
  X(PowerIrpHeldTooLong, "power request held too long (DRIVER_POWER_STATE_FAILURE)")                         \
  X(PowerDownWithTransfersQueued, "device power-down reached the bus while transfers are queued")            \
  X(PnpRequestNotHandled, "Plug and Play request every driver must handle passed down unhandled")            \
  /* A second context: another process, a thread that exits, a cancellation that completes later, a system   \
   * that sleeps. */                                                                                         \
  X(UserAddressFromOtherProcess, "user address touched while another process is current")                    \
  X(UserAddressInUrb, "URB whose transfer buffer is a user address")                                         \
  X(ProcessAttachUnbalanced, "process attach not undone in order on the thread that made it")                \
  X(ThreadCannotExit, "terminated thread did not exit (the application cannot be killed)")                   \
  X(CancelRoutineLeftLockHeld, "cancel routine returned with the cancel spin lock held or the IRQL changed") \
  X(BufferFreedUnderTransfer, "pool freed while a transfer the bus holds still uses it")                     \
  X(SleepWithDeviceInD0, "sleeping system set-power reached the bus with the device still in D0")            \
  X(SystemPowerCompletedBeforeDevice,                                                                        \
    "sleeping system set-power completed while the device set-power issued for it is in progress")           \
  X(SetPowerFailed, "set-power request completed with an error")                                             \
  X(PowerIrpPointerRequested, "PoRequestPowerIrp asked to hand back a set-power or query-power request")     \
  X(PoolFreedUnderView, "pool freed while a user view still shows it")                                       \
  X(EventFreedWhileWaited, "pool freed while a thread waits on an event in it")                              \
  X(UserModeWaitOnStack, "UserMode wait on an event in the waiting thread's stack")                          \
  X(UserMappingUnguarded, "user-mode mapping made with no exception handler on the thread")                  \
  X(BugCheck, "the driver stopped the machine with a bug check")

enum class Fault {
#define SIM_FAULT_ENUM(name, text) name,
  SIM_FAULTS(SIM_FAULT_ENUM)
#undef SIM_FAULT_ENUM
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
