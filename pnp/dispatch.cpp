// The Plug and Play dispatch routine: start, stop, query and cancel remove,
// capabilities; removal is in remove.cpp.
#include "pnp.h"

// The lower drivers start the device first; then the device is configured.
static NTSTATUS CamPnpStart(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = CamForwardIrpSync(DeviceObject, Irp);
  if (NT_SUCCESS(status)) {
    status = CamStartDevice(DeviceObject);
    Irp->IoStatus.Information = 0;
  }
  Irp->IoStatus.Status = status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  if (status == STATUS_SUCCESS) CamWriteFlag(&CamExtension(DeviceObject)->Started, 1);
  return status;
}

// Device control is refused from here on, until cancel-remove.
static NTSTATUS CamPnpQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  if (CamReadFlag(&extension->Started)) {
    CamWriteFlag(&extension->QueryRemovePending, 1);
    KeWaitForSingleObject(&extension->StopEvent, Executive, KernelMode, FALSE, NULL);
    Irp->IoStatus.Status = STATUS_SUCCESS;
  }
  return CamPassDown(DeviceObject, Irp);
}

static NTSTATUS CamPnpCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  if (CamReadFlag(&extension->Started)) {
    CamWriteFlag(&extension->QueryRemovePending, 0);
    Irp->IoStatus.Status = STATUS_SUCCESS;
  }
  return CamPassDown(DeviceObject, Irp);
}

// The stop goes down first; then the camera is put in its unconfigured state.
static NTSTATUS CamPnpStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  // The request is gone below: what it returned is what this routine returns.
  NTSTATUS status = CamPassDown(DeviceObject, Irp);
  PURB urb = (PURB)ExAllocatePool(NonPagedPool, sizeof(struct _URB_SELECT_CONFIGURATION));
  if (urb == NULL) return status;
  RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
  urb->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
  CamSubmitUrbSync(DeviceObject, urb);
  ExFreePool(urb);
  CamWriteFlag(&extension->Started, 0);
  CamWriteFlag(&extension->Stopped, 1);
  return status;
}

static NTSTATUS CamPnpQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_CAPABILITIES capabilities =
      IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  if (capabilities->Version < 1) return CamPassDown(DeviceObject, Irp);
  NTSTATUS status = CamForwardIrpSync(DeviceObject, Irp);
  if (NT_SUCCESS(status)) capabilities->SurpriseRemovalOK = 1;
  Irp->IoStatus.Status = status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

// PASSIVE_LEVEL, on the Plug and Play manager's thread. Every request goes through
// the gate; removal leaves it itself.
NTSTATUS NTAPI CamDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!CamEnterRequest(DeviceObject)) return CamCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  NTSTATUS status;
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = CamPnpStart(DeviceObject, Irp);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      status = CamPnpQueryRemove(DeviceObject, Irp);
      break;
    case IRP_MN_REMOVE_DEVICE:
      return CamRemoveDevice(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      status = CamPnpCancelRemove(DeviceObject, Irp);
      break;
    case IRP_MN_STOP_DEVICE:
      status = CamPnpStop(DeviceObject, Irp);
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      status = CamPnpQueryCapabilities(DeviceObject, Irp);
      break;
    default:
      status = CamPassDown(DeviceObject, Irp);
      break;
  }
  CamLeaveRequest(DeviceObject);
  return status;
}
