#include <sim/verifier.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace sim {
namespace {

struct Expectation {
  Fault kind;
  int count = 0;
  std::vector<std::string> messages;
};

struct VerifierState {
  std::mutex mutex;
  std::condition_variable reported;
  FaultHandler handler;
  std::vector<Expectation*> expectations;
};

VerifierState& state() {
  static VerifierState* s = new VerifierState();
  return *s;
}

std::map<const ExpectFault*, Expectation>& expectation_store() {
  static auto* store = new std::map<const ExpectFault*, Expectation>();
  return *store;
}

void default_handler(const FaultReport& report) {
  std::fprintf(stderr, "verifier: %s: %s\n", fault_name(report.kind), report.message.c_str());
  std::abort();
}

}  // namespace

const char* fault_name(Fault fault) {
  switch (fault) {
    case Fault::IrpCompletedTwice:
      return "IRP completed twice";
    case Fault::IrpCompletedWhileOwnedBelow:
      return "IRP completed while a lower driver owns it";
    case Fault::IrpSentWhileOwnedBelow:
      return "IRP sent again while a lower driver owns it";
    case Fault::IrpFreedWhileOwnedBelow:
      return "IRP freed while a lower driver owns it";
    case Fault::IrpUsedAfterFree:
      return "IRP used after it was freed";
    case Fault::IrpCompletedWithPending:
      return "IRP completed with STATUS_PENDING";
    case Fault::DriverIrpCompletedToTop:
      return "driver-allocated IRP completed past its last completion routine";
    case Fault::NoMoreStackLocations:
      return "IRP passed down with no stack location left";
    case Fault::PendingNotMarked:
      return "dispatch routine returned STATUS_PENDING without marking the IRP pending";
    case Fault::MarkedPendingButNotReturned:
      return "dispatch routine marked the IRP pending but did not return STATUS_PENDING";
    case Fault::DispatchDidNotComplete:
      return "dispatch routine returned a final status without completing the IRP";
    case Fault::IrqlChangedByCall:
      return "IRQL changed across a call";
    case Fault::WaitAtDispatchLevel:
      return "wait with a non-zero time-out at DISPATCH_LEVEL";
    case Fault::WaitWithSpinLockHeld:
      return "wait with a non-zero time-out while holding a spin lock";
    case Fault::WaitOnUninitialisedEvent:
      return "wait on an object that is not an initialised event";
    case Fault::SpinLockReleasedAtWrongLevel:
      return "spin lock acquired or released at the wrong IRQL";
    case Fault::SpinLockReleasedByNonOwner:
      return "spin lock released by a thread that does not hold it";
    case Fault::SpinLockAcquiredRecursively:
      return "spin lock acquired by the thread that holds it";
    case Fault::SpinLockOrderInverted:
      return "spin locks taken in inconsistent order";
    case Fault::IrqlRaisedAboveDispatch:
      return "IRQL raised above DISPATCH_LEVEL";
    case Fault::IrqlLowerWrongWay:
      return "IRQL raised or lowered the wrong way";
    case Fault::PoolFreedTwice:
      return "pool freed twice";
    case Fault::PoolNotFromPool:
      return "memory freed that is not from the pool";
    case Fault::PoolOverrun:
      return "write past the end of a pool block";
    case Fault::PoolLeak:
      return "pool still allocated";
    case Fault::IrpLeak:
      return "IRP still allocated";
    case Fault::MdlLeak:
      return "MDL still allocated";
    case Fault::ViewLeak:
      return "user view still mapped";
    case Fault::ViewRemovedFromOtherProcess:
      return "user view removed from another process";
    case Fault::ViewUnknown:
      return "unmapping an address that is not a mapped view";
    case Fault::MdlFreedWhileMapped:
      return "MDL freed while a user view of it exists";
    case Fault::MdlNotNonPagedPool:
      return "MDL built for non-paged pool over other memory";
    case Fault::InformationExceedsOutput:
      return "IoStatus.Information exceeds the output buffer of a buffered request";
    case Fault::DeviceObjectLeak:
      return "device object left behind";
    case Fault::InvalidArgument:
      return "invalid argument to a platform routine";
    case Fault::Unimplemented:
      return "platform routine not implemented";
    case Fault::ProbableHang:
      return "wait without time-out did not end (probable hang)";
    case Fault::UrbAtWrongIrql:
      return "URB sent to the bus at an IRQL its function does not allow";
    case Fault::IrqlTooHigh:
      return "routine called above the highest IRQL it allows";
    case Fault::StackTooDeep:
      return "completion routines nested too deep inside IofCallDriver";
    case Fault::IrpFreedDuringCompletion:
      return "IRP freed, reused or reinitialised while its completion runs on another thread";
    case Fault::CancelFlagLost:
      return "IRP reinitialised with a cancel request it never honoured";
    case Fault::IrpInitializedFromAllocator:
      return "IoInitializeIrp on an IRP from IoAllocateIrp";
    case Fault::CompletedWithCancelRoutine:
      return "IRP completed with a cancel routine still set";
    case Fault::DispatchStatusMismatch:
      return "dispatch routine returned a status other than the one it completed the IRP with";
    case Fault::StatusBlockOutOfScope:
      return "event or status block of a built request lies in a stack frame that has returned";
    case Fault::ExceptionNotCaught:
      return "exception raised in kernel mode that nobody caught";
    case Fault::UserViewNotPageAligned:
      return "user view of a buffer that does not start and end on page boundaries";
    case Fault::PartialMdlTooSmall:
      return "partial MDL too small for the range it must describe";
    case Fault::PartialMdlOutlivesSource:
      return "partial MDL freed or used after its source MDL was freed";
    case Fault::PowerIrpNotLive:
      return "power routine called on a request that is not a live power request";
    case Fault::PowerIrpHeldTooLong:
      return "power request held too long (DRIVER_POWER_STATE_FAILURE)";
    case Fault::PowerDownWithTransfersQueued:
      return "device power-down reached the bus while transfers are queued";
    case Fault::PnpRequestNotHandled:
      return "Plug and Play request every driver must handle passed down unhandled";
    case Fault::UserAddressFromOtherProcess:
      return "user address touched while another process is current";
    case Fault::UserAddressInUrb:
      return "URB whose transfer buffer is a user address";
    case Fault::ProcessAttachUnbalanced:
      return "process attach not undone in order on the thread that made it";
    case Fault::ThreadCannotExit:
      return "terminated thread did not exit (the application cannot be killed)";
    case Fault::CancelRoutineLeftLockHeld:
      return "cancel routine returned with the cancel spin lock held or the IRQL changed";
    case Fault::BufferFreedUnderTransfer:
      return "pool freed while a transfer the bus holds still uses it";
    case Fault::SleepWithDeviceInD0:
      return "sleeping system set-power reached the bus with the device still in D0";
    case Fault::SystemPowerCompletedBeforeDevice:
      return "system set-power completed while the device set-power issued for it is in progress";
    case Fault::SetPowerFailed:
      return "set-power request completed with an error";
    case Fault::PoolFreedUnderView:
      return "pool freed while a user view still shows it";
    case Fault::EventFreedWhileWaited:
      return "pool freed while a thread waits on an event in it";
    case Fault::UserModeWaitOnStack:
      return "UserMode wait on an event in the waiting thread's stack";
    case Fault::UserMappingUnguarded:
      return "user-mode mapping made with no exception handler on the thread";
    case Fault::BugCheck:
      return "the driver stopped the machine with a bug check";
  }
  return "unknown fault";
}

void set_fault_handler(FaultHandler handler) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().handler = std::move(handler);
}

void report_fault(Fault kind, std::string message) {
  FaultHandler handler;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    for (Expectation* e : state().expectations) {
      if (e->kind == kind) {
        e->count++;
        e->messages.push_back(message);
        state().reported.notify_all();
        return;
      }
    }
    handler = state().handler;
  }
  FaultReport report{kind, std::move(message)};
  if (handler) {
    handler(report);
  } else {
    default_handler(report);
  }
}

ExpectFault::ExpectFault(Fault kind) : kind_(kind) {
  std::lock_guard<std::mutex> lock(state().mutex);
  Expectation& e = expectation_store()[this];
  e.kind = kind;
  state().expectations.push_back(&e);
}

ExpectFault::~ExpectFault() {
  int seen = 0;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    Expectation& e = expectation_store()[this];
    seen = e.count;
    auto& list = state().expectations;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (*it == &e) {
        list.erase(it);
        break;
      }
    }
    expectation_store().erase(this);
  }
  if (seen == 0) {
    report_fault(kind_, std::string("expected fault was never reported: ") + fault_name(kind_));
  }
}

bool ExpectFault::wait(std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> lock(state().mutex);
  return state().reported.wait_for(lock, bound, [this] { return expectation_store()[this].count > 0; });
}

int ExpectFault::count() const {
  std::lock_guard<std::mutex> lock(state().mutex);
  return expectation_store()[this].count;
}

std::vector<std::string> ExpectFault::messages() const {
  std::lock_guard<std::mutex> lock(state().mutex);
  return expectation_store()[this].messages;
}

}  // namespace sim
