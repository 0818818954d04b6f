// The power dispatch routine: the device is its stack's power policy owner. It
// follows the system's power transitions with device power requests of its own,
// records its device power state as device set-power requests pass (see
// device_power.cpp), and passes wait-wake requests down while it can wake.
#include "power.h"

NTSTATUS CamPassPowerRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  PoStartNextPowerIrp(Irp);
  return PoCallDriver(CamExtension(DeviceObject)->LowerDeviceObject, Irp);
}

// The device state a system state asks for: D0 for the working state; with a
// wait-wake armed, the deepest state from which the device can still wake the
// system in that sleep, as the bus reported it; otherwise D3.
static DEVICE_POWER_STATE CamDeviceStateFor(PCAM_DEVICE_EXTENSION Extension, SYSTEM_POWER_STATE State) {
  if (State == PowerSystemWorking) return PowerDeviceD0;
  if (CamLoad(Extension->WaitWakeActive) && State > PowerSystemUnspecified && State < PowerSystemMaximum) {
    return Extension->DeviceCapabilities.DeviceState[State];
  }
  return PowerDeviceD3;
}

// A system set-power goes down once the device request made for it has completed,
// so that the device is out of D0 before the system sleeps (and, waking, back in
// D0 before the system request goes on). The gate is left by the callback.
static NTSTATUS CamSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  CamClaimSystemTransition(extension, Irp);
  SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
  POWER_STATE device;
  device.DeviceState = CamDeviceStateFor(extension, system);
  if (device.DeviceState == CamLoad(extension->CurrentDevicePowerState)) {
    CamStore(extension->PendingSystemPowerIrp, (PIRP)NULL);
    NTSTATUS status = CamPassPowerRequest(DeviceObject, Irp);
    CamLeaveRequest(DeviceObject);
    return status;
  }
  IoMarkIrpPending(Irp);
  if (PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, device, CamSystemPowerComplete,
                        DeviceObject, NULL) != STATUS_PENDING) {
    CamStore(extension->PendingSystemPowerIrp, (PIRP)NULL);
    CamPassPowerRequest(DeviceObject, Irp);
    CamLeaveRequest(DeviceObject);
  }
  return STATUS_PENDING;
}

// Up to DISPATCH_LEVEL. The device request made for the held system request is
// done, whatever its outcome: the system request always goes on.
VOID NTAPI CamSystemPowerComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  PDEVICE_OBJECT device = (PDEVICE_OBJECT)Context;
  PCAM_DEVICE_EXTENSION extension = CamExtension(device);
  PIRP irp = CamLoad(extension->PendingSystemPowerIrp);
  CamPassPowerRequest(device, irp);
  // Cleared before the gate is left: removal may free the extension after that.
  CamStore(extension->PendingSystemPowerIrp, (PIRP)NULL);
  CamLeaveRequest(device);
}

// The wait-wake request is held below until the camera signals or the request is
// cancelled, with this thread waiting for it; a drain or removal cancels it, a
// power-down leaves it armed. Refused while the device is in D0, or deeper than
// the state it can wake from.
static NTSTATUS CamWaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  DEVICE_POWER_STATE wake = extension->DeviceCapabilities.DeviceWake;
  CamStore(extension->IdleDevicePowerState, wake);
  DEVICE_POWER_STATE current = CamLoad(extension->CurrentDevicePowerState);
  if (current == PowerDeviceD0 || (LONG)wake > (LONG)current) {
    PoStartNextPowerIrp(Irp);
    CamCompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    CamLeaveRequest(DeviceObject);
    return STATUS_INVALID_DEVICE_STATE;
  }
  CamStore(extension->WaitWakeActive, (UCHAR)1);
  CAM_SYNC_REQUEST held;
  RtlZeroMemory(&held, sizeof(held));
  held.Irp = Irp;
  held.WaitWake = TRUE;
  KeInitializeEvent(&held.Event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, CamSyncCompletion, &held.Event, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(Irp);
  CamLinkSyncRequest(extension, &held);
  if (PoCallDriver(extension->LowerDeviceObject, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&held.Event, Suspended, KernelMode, FALSE, NULL);
  }
  CamUnlinkSyncRequest(extension, &held);
  CamRequestDevicePower(DeviceObject);
  CamStore(extension->WaitWakeActive, (UCHAR)0);
  NTSTATUS status = Irp->IoStatus.Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  CamLeaveRequest(DeviceObject);
  return status;
}

// PASSIVE_LEVEL (the device object is power pageable). Every request is passed
// down, refused only as wait-wake says; once removal has begun it goes down
// untouched.
NTSTATUS NTAPI CamDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!CamEnterRequest(DeviceObject)) return CamPassPowerRequest(DeviceObject, Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction == IRP_MN_WAIT_WAKE) return CamWaitWake(DeviceObject, Irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    if (stack->Parameters.Power.Type == DevicePowerState) return CamDeviceSetPower(DeviceObject, Irp);
    if (stack->Parameters.Power.Type == SystemPowerState) return CamSystemSetPower(DeviceObject, Irp);
  }
  NTSTATUS status = CamPassPowerRequest(DeviceObject, Irp);
  CamLeaveRequest(DeviceObject);
  return status;
}
