// The physical device object's Plug and Play and power requests, and what the
// camera does on the bus's side of them (wake, removal).
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

NTSTATUS UsbDevice::dispatch_pnp(PIRP irp) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pnp_deferred_) {
      IoMarkIrpPending(irp);
      irp_set_held_below(irp, true);
      deferred_pnp_.push_back(irp);
      work_.notify_all();
      return STATUS_PENDING;
    }
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

NTSTATUS UsbDevice::serve_pnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
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

NTSTATUS UsbDevice::dispatch_power(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == DevicePowerState) {
        std::lock_guard<std::mutex> lock(mutex_);
        power_ = stack->Parameters.Power.State.DeviceState;
        work_.notify_all();  // transfers waiting for D0 may move again
      }
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_WAIT_WAKE: {
      std::lock_guard<std::mutex> lock(mutex_);
      if (wait_wake_ == nullptr && present_) {
        IoMarkIrpPending(irp);
        irp_set_held_below(irp, true);
        wait_wake_ = irp;
        (void)IoSetCancelRoutine(irp, bus_cancel);
        return STATUS_PENDING;
      }
      status = STATUS_DEVICE_BUSY;
      break;
    }
    default:
      break;
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace sim
