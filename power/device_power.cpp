// The device's power state: device set-power requests as they pass (a power-down
// first takes the transfers off the bus; a power-up brings the streams back), and
// the power-up this driver asks for when an application opens an idling device.
#include "power.h"

static BOOLEAN CamLowPowerState(DEVICE_POWER_STATE State) {
  return State == PowerDeviceD1 || State == PowerDeviceD2 || State == PowerDeviceD3;
}

// PASSIVE_LEVEL. The lower drivers power the device up first and are waited for;
// only a power-up they succeeded is recorded, lets the transfers in again and
// resumes the streams, before the request completes with their status. A failed
// one leaves the device recorded in its low state.
static NTSTATUS CamDevicePowerUp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, CamSyncCompletion, &done, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(Irp);
  if (PoCallDriver(extension->LowerDeviceObject, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, NULL);
  }
  NTSTATUS status = Irp->IoStatus.Status;
  if (NT_SUCCESS(status)) {
    CamStore(extension->CurrentDevicePowerState, PowerDeviceD0);
    InterlockedExchange(&extension->PowerDown, 0);
    CamResumeDeviceStreams(DeviceObject);
  }
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  CamLeaveRequest(DeviceObject);
  return status;
}

// PASSIVE_LEVEL, inside the gate, which it leaves. D1 to D3 are recorded before the
// request goes down, once nothing of the driver's is left at the bus; other
// states pass down unrecorded.
NTSTATUS CamDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
  if (state == PowerDeviceD0) return CamDevicePowerUp(DeviceObject, Irp);
  if (CamLowPowerState(state)) {
    CamStore(extension->CurrentDevicePowerState, state);
    CamQuiesceForPowerDown(DeviceObject);
  }
  NTSTATUS status = CamPassPowerRequest(DeviceObject, Irp);
  CamLeaveRequest(DeviceObject);
  return status;
}

// Up to DISPATCH_LEVEL. The power-up asked for by CamRequestDevicePower is done:
// its status for the waiter, then the wake.
VOID NTAPI CamDevicePowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                         POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  PDEVICE_OBJECT device = (PDEVICE_OBJECT)Context;
  PCAM_DEVICE_EXTENSION extension = CamExtension(device);
  extension->PowerUpStatus = IoStatus->Status;
  KeSetEvent(&extension->PowerUpEvent, IO_NO_INCREMENT, FALSE);
  CamLeaveRequest(device);
}

VOID CamClaimSystemTransition(PCAM_DEVICE_EXTENSION Extension, PIRP Irp) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->PowerLock, &irql);
  CamStore(Extension->PendingSystemPowerIrp, Irp);
  Extension->SystemSleeping =
      IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState != PowerSystemWorking;
  BOOLEAN powerUpOut = CamLoad(Extension->PowerRequestActive) != 0;
  KeReleaseSpinLock(&Extension->PowerLock, irql);
  // Its event was cleared when it was claimed: this waits for that request.
  if (powerUpOut) KeWaitForSingleObject(&Extension->PowerUpEvent, Suspended, KernelMode, FALSE, NULL);
}

// Whether an opener should ask for D0: no system transition or power-up of ours
// under way, the system working (a device powered up as the system sleeps would
// be out of step with it), an opener counted, an idle state below D0 that the
// device is in (or deeper). Claims the power-up (PowerRequestActive, its event
// cleared) when so, under PowerLock, so that a system request arriving meanwhile
// waits for it.
static BOOLEAN CamClaimPowerUp(PCAM_DEVICE_EXTENSION Extension) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->PowerLock, &irql);
  BOOLEAN wanted = CamLoad(Extension->PendingSystemPowerIrp) == NULL &&
                   !CamLoad(Extension->PowerRequestActive) && !Extension->SystemSleeping &&
                   InterlockedCompareExchange(&Extension->OpenCount, 0, 0) != 0 &&
                   CamLowPowerState(CamLoad(Extension->IdleDevicePowerState)) &&
                   CamLoad(Extension->CurrentDevicePowerState) != PowerDeviceD0;
  if (wanted) {
    CamStore(Extension->PowerRequestActive, (UCHAR)1);
    KeClearEvent(&Extension->PowerUpEvent);
  }
  KeReleaseSpinLock(&Extension->PowerLock, irql);
  return wanted;
}

// PASSIVE_LEVEL. Each request waits for its own power-up: the event is cleared
// when the request is claimed.
NTSTATUS CamRequestDevicePower(PDEVICE_OBJECT DeviceObject) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  if (CamPnpState(extension) != CamPnpStarted) return STATUS_DELETE_PENDING;
  if (!CamEnterRequest(DeviceObject)) return STATUS_DELETE_PENDING;
  if (!CamClaimPowerUp(extension)) {
    CamLeaveRequest(DeviceObject);
    return STATUS_SUCCESS;
  }
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  NTSTATUS status = PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, d0,
                                      CamDevicePowerRequestComplete, DeviceObject, NULL);
  if (status != STATUS_PENDING) {
    // Set for a system request that may be waiting for this one.
    KeSetEvent(&extension->PowerUpEvent, IO_NO_INCREMENT, FALSE);
    CamStore(extension->PowerRequestActive, (UCHAR)0);
    CamLeaveRequest(DeviceObject);
    return status;
  }
  KeWaitForSingleObject(&extension->PowerUpEvent, Suspended, KernelMode, FALSE, NULL);
  status = extension->PowerUpStatus;
  CamStore(extension->PowerRequestActive, (UCHAR)0);
  return status;
}
