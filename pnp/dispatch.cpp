// The Plug and Play dispatch routine: start, stop, query and cancel remove,
// capabilities; removal is in remove.cpp.
#include "pnp.h"

// The lower drivers start the device first; then the device is configured. A
// start to a started device configures it again and leaves it started.
static NTSTATUS CamPnpStart(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  NTSTATUS status = CamForwardIrpSync(DeviceObject, Irp);
  if (NT_SUCCESS(status)) {
    status = CamStartDevice(DeviceObject);
    Irp->IoStatus.Information = 0;
  }
  Irp->IoStatus.Status = status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  if (status == STATUS_SUCCESS && CamPnpState(extension) != CamPnpStarted) {
    CamSetPnpState(extension, CamPnpStarted);
  }
  return status;
}

// The camera is configured, so requests inside may be using its pipes: from a
// start until the stop's unconfigure, which a stop without memory never makes.
static BOOLEAN CamPipesConfigured(CAM_PNP_STATE State) {
  return State == CamPnpStarted || State == CamPnpQueryRemoved || State == CamPnpStopping;
}

// Device control is refused from here on, until cancel-remove, and the requests
// already inside are ended and waited for. The request is succeeded before it goes
// down, whether or not the device was started.
static NTSTATUS CamPnpQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  CAM_PNP_STATE state = CamPnpState(extension);
  if (state == CamPnpStarted) CamSetPnpState(extension, CamPnpQueryRemoved);
  if (CamPipesConfigured(state)) CamEndRequestsInside(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return CamPassDown(DeviceObject, Irp);
}

static NTSTATUS CamPnpCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  if (CamPnpState(extension) == CamPnpQueryRemoved) CamSetPnpState(extension, CamPnpStarted);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return CamPassDown(DeviceObject, Irp);
}

// Puts the camera in its unconfigured state while the bus still serves it. Without
// memory for the request the camera stays configured and the device Stopping.
static VOID CamUnconfigure(PDEVICE_OBJECT DeviceObject) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  PURB urb = (PURB)CamAllocatePool(sizeof(struct _URB_SELECT_CONFIGURATION));
  if (urb == NULL) return;
  RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
  urb->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
  CamSubmitUrbSync(DeviceObject, urb);
  ExFreePool(urb);
  CamSetPnpState(extension, CamPnpStopped);
}

// A stop is never failed. New device control is refused first; the requests
// already inside may be using the pipes, so the stop ends their transfers and
// waits for them to leave before the unconfigure invalidates the pipe handles (and
// a restart frees the table). The unconfigure goes down before the stop reaches
// the bus driver. The result is what the lower drivers complete the stop with. The
// manager stops only a started device; any other is passed down as it is.
static NTSTATUS CamPnpStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  if (CamPnpState(extension) == CamPnpStarted) {
    CamSetPnpState(extension, CamPnpStopping);
    CamEndRequestsInside(DeviceObject);
    CamUnconfigure(DeviceObject);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return CamPassDown(DeviceObject, Irp);
}

// The camera is gone: opens and device control are refused from here on, and every
// pipe is aborted so that transfers in flight end at once. The rest waits for the
// removal that follows the last close.
static NTSTATUS CamPnpSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CamSetPnpState(CamExtension(DeviceObject), CamPnpSurpriseRemoved);
  CamAbortAllPipes(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return CamPassDown(DeviceObject, Irp);
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
    case IRP_MN_SURPRISE_REMOVAL:
      status = CamPnpSurpriseRemoval(DeviceObject, Irp);
      break;
    default:
      status = CamPassDown(DeviceObject, Irp);
      break;
  }
  CamLeaveRequest(DeviceObject);
  return status;
}
