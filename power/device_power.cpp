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

// Whether an opener should ask for D0: the device started, no system transition
// or power-up of ours under way, an opener counted, an idle state below D0 that
// the device is in (or deeper).
static BOOLEAN CamPowerUpWanted(PCAM_DEVICE_EXTENSION Extension) {
  if (CamLoad(Extension->PendingSystemPowerIrp) != NULL || CamLoad(Extension->PowerRequestActive)) {
    return FALSE;
  }
  if (InterlockedCompareExchange(&Extension->OpenCount, 0, 0) == 0) return FALSE;
  if (!CamLowPowerState(CamLoad(Extension->IdleDevicePowerState))) return FALSE;
  return CamLoad(Extension->CurrentDevicePowerState) != PowerDeviceD0;
}

// PASSIVE_LEVEL. Each request waits for its own power-up: the event is reset
// before the request is made.
NTSTATUS CamRequestDevicePower(PDEVICE_OBJECT DeviceObject) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  if (CamPnpState(extension) != CamPnpStarted) return STATUS_DELETE_PENDING;
  if (!CamPowerUpWanted(extension)) return STATUS_SUCCESS;
  if (!CamEnterRequest(DeviceObject)) return STATUS_DELETE_PENDING;
  CamStore(extension->PowerRequestActive, (UCHAR)1);
  KeClearEvent(&extension->PowerUpEvent);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  NTSTATUS status = PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, d0,
                                      CamDevicePowerRequestComplete, DeviceObject, NULL);
  if (status != STATUS_PENDING) {
    CamStore(extension->PowerRequestActive, (UCHAR)0);
    CamLeaveRequest(DeviceObject);
    return status;
  }
  KeWaitForSingleObject(&extension->PowerUpEvent, Suspended, KernelMode, FALSE, NULL);
  status = extension->PowerUpStatus;
  CamStore(extension->PowerRequestActive, (UCHAR)0);
  return status;
}
