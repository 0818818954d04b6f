// The physical device object's Plug and Play and power requests, and what the
// camera does on the bus's side of them (wake, removal). Power requests wait on
// the host-controller thread's queue with the deferred Plug and Play requests
// and complete there at DISPATCH_LEVEL, unless the test asks for them inline.
// Locking: mutex_ guards the queues, power_ and the wait-wake request; no driver
// routine is called under it.
#include <algorithm>

#include <sim/app.h>
#include <sim/usb_bus.h>

#include "../kernel/internal.h"
#include "device_internal.h"

namespace sim {

void UsbDevice::delete_pdo() {
  PDEVICE_OBJECT pdo;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pdo = pdo_;
    pdo_ = nullptr;
    present_ = false;
  }
  if (pdo != nullptr) IoDeleteDevice(pdo);
}

bool UsbDevice::signal_wake() {
  PIRP wake = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (wait_wake_ != nullptr && IoSetCancelRoutine(wait_wake_, nullptr) != nullptr) {
      wake = wait_wake_;
      wait_wake_ = nullptr;
    }
  }
  if (wake == nullptr) return false;
  wake->IoStatus.Status = STATUS_SUCCESS;
  irp_complete_from_below(wake);
  return true;
}

// ---- Plug and Play and power ----

namespace {

// The requests every driver of a stack must handle and none may leave undecided.
// A function driver handles one by setting its status before passing it down; one
// that reaches the bus still carrying the status the Plug and Play manager sends
// (STATUS_NOT_SUPPORTED) was passed down unhandled by a driver above, and Windows
// would take the device's drivers for ones that do not support it. A request sent
// to the bus's own object, with no driver above, has nobody to blame.
const char* must_be_handled(UCHAR minor) {
  switch (minor) {
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE:
      return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE:
      return "IRP_MN_STOP_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL:
      return "IRP_MN_SURPRISE_REMOVAL";
    default:
      return nullptr;
  }
}

void check_handled_above(PIRP irp) {
  const char* name = must_be_handled(IoGetCurrentIrpStackLocation(irp)->MinorFunction);
  if (name == nullptr || irp->StackCount < 2 || irp->IoStatus.Status != STATUS_NOT_SUPPORTED) return;
  report_fault(Fault::PnpRequestNotHandled,
               std::string(name) +
                   " reached the bus driver with STATUS_NOT_SUPPORTED: a driver above passed it "
                   "down without setting its status");
}

}  // namespace

// Holds a Plug and Play or power request for the host controller's thread when the
// setting says so. Called locked.
bool UsbDevice::defer_if(bool deferred, PIRP irp) {
  if (!deferred) return false;
  IoMarkIrpPending(irp);
  irp_set_held_below(irp, true);
  deferred_pnp_.push_back(irp);
  work_.notify_all();
  return true;
}

NTSTATUS UsbDevice::dispatch_pnp(PIRP irp) {
  check_handled_above(irp);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (defer_if(pnp_deferred_, irp)) return STATUS_PENDING;
  }
  return serve_pnp(irp);
}

void UsbDevice::fail_pnp(UCHAR minor, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  failed_pnp_[minor] = status;
}

void UsbDevice::set_pnp_deferred(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  pnp_deferred_ = on;
}

void UsbDevice::set_power_deferred(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  power_deferred_ = on;
}

NTSTATUS UsbDevice::serve_pnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_POWER) {
    IrqlScope dpc(DISPATCH_LEVEL);
    return serve_power(irp);
  }
  std::optional<NTSTATUS> failed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = failed_pnp_.find(stack->MinorFunction);
    if (it != failed_pnp_.end()) {
      failed = it->second;
      failed_pnp_.erase(it);
    }
  }
  if (failed) {
    irp->IoStatus.Status = *failed;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return *failed;
  }
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_START_DEVICE || stack->MinorFunction == IRP_MN_STOP_DEVICE) {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = stack->MinorFunction == IRP_MN_STOP_DEVICE;
  }
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      // A strict bus driver answers only a sender that said which record it passes.
      if (caps->Size < sizeof(DEVICE_CAPABILITIES) || caps->Version != 1) {
        status = STATUS_UNSUCCESSFUL;
        break;
      }
      DEVICE_CAPABILITIES filled = config_.capabilities;
      filled.Size = caps->Size;
      filled.Version = caps->Version;
      *caps = filled;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE: {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        present_ = false;
      }
      fail_all(STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      IoDeleteDevice(pdo_);
      std::lock_guard<std::mutex> lock(mutex_);
      pdo_ = nullptr;
      return STATUS_SUCCESS;
    }
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The bus takes a device's new state as the request reaches it. A device powered
// down while its function driver still has transfers queued here would lose them.
void UsbDevice::note_device_power(DEVICE_POWER_STATE state) {
  size_t queued = pending_transfers();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    power_ = state;
    work_.notify_all();  // transfers waiting for D0 may move again
  }
  if (state > PowerDeviceD0 && queued > 0) {
    report_fault(Fault::PowerDownWithTransfersQueued,
                 "D" + std::to_string(state - 1) + " with " + std::to_string(queued) + " transfer(s) queued");
  }
}

// Holds one wait-wake request until the camera signals or it is cancelled. As with
// a transfer, the Cancel flag is read again once the cancel routine is set: a
// cancel that came earlier found no routine to call.
NTSTATUS UsbDevice::hold_wait_wake(PIRP irp) {
  bool held = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (wait_wake_ == nullptr && present_) {
      IoMarkIrpPending(irp);
      irp_set_held_below(irp, true);
      wait_wake_ = irp;
      (void)IoSetCancelRoutine(irp, bus_cancel);
      held = true;
    }
  }
  if (held) {
    if (cancel_requested(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) cancel(irp);
    return STATUS_PENDING;
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_DEVICE_BUSY;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_DEVICE_BUSY;
}

// A sleeping system suspends the port: transfers stop, and new ones fail until
// the system works again. The device's power policy owner must have taken it out
// of D0 before it lets the system request reach the bus.
void UsbDevice::note_system_power(SYSTEM_POWER_STATE state, bool above) {
  bool in_d0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    system_sleeping_ = state > PowerSystemWorking;
    in_d0 = power_ == PowerDeviceD0;
    work_.notify_all();
  }
  if (above && state > PowerSystemWorking && in_d0) {
    report_fault(Fault::SleepWithDeviceInD0, "S" + std::to_string(state - 1) +
                                                 " reached the bus with the device in D0: its power policy "
                                                 "owner did not ask for a lower device state first");
  }
}

NTSTATUS UsbDevice::dispatch_power(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_WAIT_WAKE) return hold_wait_wake(irp);
  bool system = stack->Parameters.Power.Type == SystemPowerState;
  if (stack->MinorFunction == IRP_MN_SET_POWER && !system) {
    note_device_power(stack->Parameters.Power.State.DeviceState);
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER && system) {
    note_system_power(stack->Parameters.Power.State.SystemState, irp->StackCount > 1);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (defer_if(power_deferred_, irp)) {
      // A device request waits a while for a system request to overtake it, when
      // the setting says so.
      if (system_power_first_ && !system && stack->MinorFunction == IRP_MN_SET_POWER) {
        deferred_not_before_[irp] = std::chrono::steady_clock::now() + kOvertakeWindow;
      }
      return STATUS_PENDING;
    }
  }
  return serve_power(irp);
}

void UsbDevice::set_system_power_first(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  system_power_first_ = on;
}

bool UsbDevice::system_sleeping() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return system_sleeping_;
}

// The first deferred Plug and Play or power request whose time has come, in the
// order they came. Called locked; returns with the lock held.
bool UsbDevice::service_deferred_pnp(std::unique_lock<std::mutex>& lock,
                                     std::optional<std::chrono::steady_clock::time_point>* wake) {
  auto now = std::chrono::steady_clock::now();
  for (auto it = deferred_pnp_.begin(); it != deferred_pnp_.end(); ++it) {
    auto held = deferred_not_before_.find(*it);
    if (held != deferred_not_before_.end() && held->second > now) {
      if (!*wake || held->second < **wake) *wake = held->second;
      continue;
    }
    PIRP irp = *it;
    deferred_pnp_.erase(it);
    if (held != deferred_not_before_.end()) deferred_not_before_.erase(held);
    lock.unlock();
    irp_set_held_below(irp, false);
    serve_pnp(irp);
    lock.lock();
    return true;
  }
  return false;
}

NTSTATUS UsbDevice::serve_power(PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace sim
