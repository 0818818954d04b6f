// The power manager's routines for drivers: device power requests made on a
// driver's behalf, the calls that pass power requests along a stack, and the
// power manager's watch over the requests it issued. A request is live from its
// issue until its completion reaches the top; PoStartNextPowerIrp and PoCallDriver
// on anything else are reported, and so is a request held past a limit, as
// Windows stops the machine with DRIVER_POWER_STATE_FAILURE (0x9F). Wait-wake
// requests may be held for ever and are not timed.
//
// Locking: the watch's mutex guards its table; nothing is called under it but
// the report of an expired request, which is made after it is released.
#include <map>
#include <optional>
#include <thread>

#include <sim/kernel.h>

#include "internal.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

struct LiveRequest {
  std::string what;
  bool timed;
  bool reported = false;
  Clock::time_point deadline;
  PDEVICE_OBJECT top = nullptr;
  bool set = false;           // IRP_MN_SET_POWER
  bool system = false;        // of a system power state
  bool sleeping = false;      // a system set-power for a sleeping state
  PIRP for_system = nullptr;  // the system set-power a driver's device request serves
};

struct PowerWatch {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<PIRP, LiveRequest> live;
  std::chrono::milliseconds limit{kDefaultPowerRequestLimit};
  bool watching = false;
};

PowerWatch& watch() {
  static PowerWatch* w = new PowerWatch();
  return *w;
}

#define SIM_POWER_MINORS(X) \
  X(IRP_MN_WAIT_WAKE)       \
  X(IRP_MN_POWER_SEQUENCE)  \
  X(IRP_MN_SET_POWER)       \
  X(IRP_MN_QUERY_POWER)

const char* power_minor_name(UCHAR minor) {
  switch (minor) {
    SIM_POWER_MINORS(SIM_NAME_CASE)
    default:
      return "power request";
  }
}

std::string describe_power(PIO_STACK_LOCATION stack) {
  std::string what = power_minor_name(stack->MinorFunction);
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    bool device = stack->Parameters.Power.Type == DevicePowerState;
    what += device ? " D" + std::to_string(stack->Parameters.Power.State.DeviceState - 1)
                   : " S" + std::to_string(stack->Parameters.Power.State.SystemState - 1);
  }
  return what;
}

// Reports each timed request once its deadline passes. Runs for the life of the process.
void watch_requests() {
  PowerWatch& w = watch();
  std::unique_lock<std::mutex> lock(w.mutex);
  for (;;) {
    std::vector<std::string> expired;
    std::optional<Clock::time_point> next;
    for (auto& [irp, request] : w.live) {
      if (!request.timed || request.reported) continue;
      if (request.deadline <= Clock::now()) {
        request.reported = true;
        expired.push_back(describe_irp(irp) + " (" + request.what + ") held longer than " +
                          std::to_string(w.limit.count()) + " ms");
      } else if (!next || request.deadline < *next) {
        next = request.deadline;
      }
    }
    if (!expired.empty()) {
      lock.unlock();
      for (auto& text : expired) report_fault(Fault::PowerIrpHeldTooLong, text);
      lock.lock();
      continue;
    }
    if (next) {
      w.changed.wait_until(lock, *next);
    } else {
      w.changed.wait(lock);
    }
  }
}

bool is_live(PIRP irp, const char* routine) {
  PowerWatch& w = watch();
  {
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.live.count(irp) != 0) return true;
  }
  report_fault(Fault::PowerIrpNotLive, std::string(routine) + " on " + describe_irp(irp));
  return false;
}

}  // namespace

void power_irp_issued(PIRP irp, PDEVICE_OBJECT top, bool by_driver) {
  PowerWatch& w = watch();
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  std::lock_guard<std::mutex> lock(w.mutex);
  LiveRequest issued{describe_power(stack), stack->MinorFunction != IRP_MN_WAIT_WAKE, false,
                     Clock::now() + w.limit};
  issued.top = top;
  issued.set = stack->MinorFunction == IRP_MN_SET_POWER;
  issued.system = issued.set && stack->Parameters.Power.Type == SystemPowerState;
  issued.sleeping = issued.system && stack->Parameters.Power.State.SystemState > PowerSystemWorking;
  if (by_driver && issued.set && !issued.system) {
    for (auto& [other, request] : w.live) {
      if (request.system && request.top == top) issued.for_system = other;
    }
  }
  w.live[irp] = issued;
  if (!w.watching) {
    w.watching = true;
    std::thread(watch_requests).detach();
  }
  w.changed.notify_all();
}

// At the top of the stack: a set-power may not fail (only a query may), and a
// system set-power for a sleeping state may not be done while the device request
// made for it is not. One for the working state may: a leaf device's power policy
// owner is to let it go on without waiting for its device's power-up, so that the
// machine resumes sooner.
void power_irp_finished(PIRP irp) {
  PowerWatch& w = watch();
  std::vector<std::pair<Fault, std::string>> faults;
  {
    std::lock_guard<std::mutex> lock(w.mutex);
    auto it = w.live.find(irp);
    if (it == w.live.end()) return;
    LiveRequest finished = it->second;
    w.live.erase(it);
    NTSTATUS status = irp->IoStatus.Status;
    if (finished.set && !NT_SUCCESS(status)) {
      faults.push_back({Fault::SetPowerFailed, describe_irp(irp) + " (" + finished.what +
                                                   ") completed with " + hex(static_cast<ULONG>(status))});
    }
    for (auto& [other, request] : w.live) {
      if (finished.sleeping && request.for_system == irp) {
        faults.push_back({Fault::SystemPowerCompletedBeforeDevice,
                          describe_irp(irp) + " (" + finished.what + ") completed while " +
                              describe_irp(other) + " (" + request.what +
                              ") issued for it is still in progress"});
      }
    }
  }
  for (auto& [fault, text] : faults) report_fault(fault, text);
}

void power_reset() {
  PowerWatch& w = watch();
  std::lock_guard<std::mutex> lock(w.mutex);
  w.live.clear();
  w.limit = kDefaultPowerRequestLimit;
}

void set_power_request_limit(std::chrono::milliseconds limit) {
  PowerWatch& w = watch();
  std::lock_guard<std::mutex> lock(w.mutex);
  w.limit = limit;
  for (auto& [irp, request] : w.live) request.deadline = Clock::now() + limit;
  w.changed.notify_all();
}

}  // namespace sim

using namespace sim;

extern "C" {

// Builds a device power request, sends it to the top of the stack over
// DeviceObject and calls CompletionFunction once it has completed: at
// DISPATCH_LEVEL, after this routine has returned, when the bus completes later.
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  irql_check("PoRequestPowerIrp");
  NTSTATUS injected;
  if (inject_call_failure("PoRequestPowerIrp", &injected, DeviceObject)) return injected;
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  // A set or a query may be over, and its IRP gone, before this returns: only a
  // wait-wake request, which the bus holds, may be handed back to be cancelled.
  if (Irp != nullptr && MinorFunction != IRP_MN_WAIT_WAKE) {
    report_fault(Fault::PowerIrpPointerRequested,
                 std::string("PoRequestPowerIrp asked to hand back its ") + power_minor_name(MinorFunction));
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  PIRP irp = irp_allocate(top->StackSize, false);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
  }
  irp_set_finisher(irp, [=](PIRP done) {
    power_irp_finished(done);
    IO_STATUS_BLOCK status = done->IoStatus;
    if (CompletionFunction != nullptr) {
      CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
    }
    irp_release(done);
  });
  if (Irp != nullptr) *Irp = irp;
  power_irp_issued(irp, top, true);
  IofCallDriver(top, irp);
  return STATUS_PENDING;
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  call_point("PoStartNextPowerIrp", Irp);
  irql_check("PoStartNextPowerIrp");
  is_live(Irp, "PoStartNextPowerIrp");
}

// A request that is not a live power request is reported and still passed on, as
// the call would on Windows had it not stopped the machine.
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  call_point("PoCallDriver", Irp);
  irql_check("PoCallDriver");
  is_live(Irp, "PoCallDriver");
  return IofCallDriver(DeviceObject, Irp);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Type);
  irql_check("PoSetPowerState");
  return State;
}

}  // extern "C"
