// The physical device object's Plug and Play and power requests, and what the
// camera does on the bus's side of them (wake, removal). Power requests wait on
// the host-controller thread's queue with the deferred Plug and Play requests
// and complete there at DISPATCH_LEVEL, unless the test asks for them inline.
//
// Locking: none held here. The port's state, the queue of deferred requests and
// the wait-wake request are the transfer engine's, under its lock; the test's
// settings here are atomics. Requests arrive at PASSIVE_LEVEL (the device object
// is power-pageable) in the Plug and Play manager's or the power requester's
// thread, or come back on the host controller's thread when deferred.
#include <algorithm>

#include <sim/app.h>
#include <sim/usb_bus.h>

#include "../kernel/internal.h"
#include "device_internal.h"
#include "fault_plan.h"
#include "transfer_engine.h"

namespace sim {

void UsbDevice::delete_pdo() {
  PDEVICE_OBJECT pdo = pdo_.exchange(nullptr);
  engine_->unplug();
  if (pdo != nullptr) IoDeleteDevice(pdo);
}

bool UsbDevice::signal_wake() { return engine_->signal_wake(); }
std::optional<SYSTEM_POWER_STATE> UsbDevice::wait_wake_from() const { return engine_->wait_wake_from(); }

// ---- Plug and Play and power ----

namespace {

// The requests every driver of a stack must handle and none may leave undecided.
// A function driver handles one by setting its status before passing it down; one
// that reaches the bus still carrying the status the Plug and Play manager sends
// (STATUS_NOT_SUPPORTED) was passed down unhandled by a driver above, and Windows
// would take the device's drivers for ones that do not support it. A request sent
// to the bus's own object, with no driver above, has nobody to blame.
#define SIM_PNP_MUST_HANDLE(X)   \
  X(IRP_MN_QUERY_REMOVE_DEVICE)  \
  X(IRP_MN_REMOVE_DEVICE)        \
  X(IRP_MN_CANCEL_REMOVE_DEVICE) \
  X(IRP_MN_STOP_DEVICE)          \
  X(IRP_MN_SURPRISE_REMOVAL)

const char* must_be_handled(UCHAR minor) {
  switch (minor) {
    SIM_PNP_MUST_HANDLE(SIM_NAME_CASE)
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

NTSTATUS UsbDevice::dispatch_pnp(PIRP irp) {
  check_handled_above(irp);
  if (!pnp_deferred_) return serve_pnp(irp);
  engine_->defer(irp, std::nullopt);
  return STATUS_PENDING;
}

void UsbDevice::fail_pnp(UCHAR minor, NTSTATUS status) { faults_->fail_pnp(minor, status); }
void UsbDevice::fail_device_power(DEVICE_POWER_STATE state, NTSTATUS status) {
  faults_->fail_device_power(state, status);
}
void UsbDevice::set_pnp_deferred(bool on) { pnp_deferred_ = on; }
void UsbDevice::set_power_deferred(bool on) { power_deferred_ = on; }
void UsbDevice::set_system_power_first(bool on) { system_power_first_ = on; }

NTSTATUS UsbDevice::serve_pnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_POWER) {
    IrqlScope dpc(DISPATCH_LEVEL);
    return serve_power(irp);
  }
  std::optional<NTSTATUS> failed = faults_->take_pnp_failure(stack->MinorFunction);
  if (failed) {
    irp->IoStatus.Status = *failed;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return *failed;
  }
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_START_DEVICE || stack->MinorFunction == IRP_MN_STOP_DEVICE) {
    engine_->set_stopped(stack->MinorFunction == IRP_MN_STOP_DEVICE);
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
      engine_->unplug();
      engine_->fail_all(STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      IoDeleteDevice(pdo_);
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
// A device powered up has its port resumed with it, as the hub does on Windows:
// its driver may move data from then on, before the system request follows.
void UsbDevice::note_device_power(DEVICE_POWER_STATE state) {
  if (state == PowerDeviceD0) engine_->set_system_sleeping(false);
  size_t queued = engine_->set_power(state);
  if (state > PowerDeviceD0 && queued > 0) {
    report_fault(Fault::PowerDownWithTransfersQueued,
                 "D" + std::to_string(state - 1) + " with " + std::to_string(queued) + " transfer(s) queued");
  }
}

// A sleeping system suspends the port: transfers stop, and new ones fail until
// the system works again. The device's power policy owner must have taken it out
// of D0 before it lets the system request reach the bus.
void UsbDevice::note_system_power(SYSTEM_POWER_STATE state, bool above) {
  bool in_d0 = engine_->set_system_sleeping(state > PowerSystemWorking);
  if (above && state > PowerSystemWorking && in_d0) {
    report_fault(Fault::SleepWithDeviceInD0, "S" + std::to_string(state - 1) +
                                                 " reached the bus with the device in D0: its power policy "
                                                 "owner did not ask for a lower device state first");
  }
}

// Whether the bus can arm the camera's wake signal as asked: not when the camera
// cannot wake at all, nor while it is in a deeper state than it can wake from, nor
// for a sleeping state deeper than the deepest it can wake the system from.
NTSTATUS UsbDevice::wait_wake_refusal(SYSTEM_POWER_STATE from) const {
  const DEVICE_CAPABILITIES& caps = config_.capabilities;
  if (caps.DeviceWake == PowerDeviceUnspecified) return STATUS_NOT_SUPPORTED;
  if (engine_->power() > caps.DeviceWake || from > caps.SystemWake) return STATUS_INVALID_DEVICE_STATE;
  return STATUS_SUCCESS;
}

NTSTATUS UsbDevice::dispatch_power(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_WAIT_WAKE) {
    NTSTATUS refused = wait_wake_refusal(stack->Parameters.WaitWake.PowerState);
    if (refused != STATUS_SUCCESS) return complete_power(irp, refused);
    return engine_->hold_wait_wake(irp);
  }
  bool system = stack->Parameters.Power.Type == SystemPowerState;
  DEVICE_POWER_STATE device_state = stack->Parameters.Power.State.DeviceState;
  bool known = device_state >= PowerDeviceD0 && device_state <= PowerDeviceD3;
  bool device_set = stack->MinorFunction == IRP_MN_SET_POWER && !system;
  // A request the bus is to fail leaves the device in the state it was in.
  bool failing = device_set && faults_->doom_device_power(irp, device_state);
  if (device_set && known && !failing) note_device_power(device_state);
  if (stack->MinorFunction == IRP_MN_SET_POWER && system) {
    note_system_power(stack->Parameters.Power.State.SystemState, irp->StackCount > 1);
  }
  if (!power_deferred_) return serve_power(irp);
  // A device request waits a while for a system request to overtake it, when the
  // setting says so.
  Deadline not_before;
  if (system_power_first_ && !system && stack->MinorFunction == IRP_MN_SET_POWER) {
    not_before = std::chrono::steady_clock::now() + kOvertakeWindow;
  }
  engine_->defer(irp, not_before);
  return STATUS_PENDING;
}

NTSTATUS UsbDevice::serve_power(PIRP irp) {
  std::optional<NTSTATUS> failed = faults_->take_power_failure(irp);
  if (failed) return complete_power(irp, *failed);
  NTSTATUS status = irp->IoStatus.Status;
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
  return complete_power(irp, status);
}

}  // namespace sim
