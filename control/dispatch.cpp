// The device-control dispatch routine: admission, readiness, the buffer lengths
// each request needs, and the handler of the request's table row.
#include "control.h"

// Requests are served between a successful start and the next stop, query-remove,
// surprise removal or removal. Each of those leaves the Started state before it
// waits for the requests inside, so a request that read Started is one it waits for.
static BOOLEAN CamReadyForControl(PCAM_DEVICE_EXTENSION Extension) {
  return CamPnpState(Extension) == CamPnpStarted;
}

// PASSIVE_LEVEL, inside the gate. Finds the row and holds the request to the
// lengths the row names before the handler may allocate or send anything; frees
// the URB the handler used.
static NTSTATUS CamRunControlRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const CAM_CONTROL_ENTRY* entry = CamFindControlEntry(stack->Parameters.DeviceIoControl.IoControlCode);
  if (entry == NULL) return STATUS_INVALID_PARAMETER;
  CAM_CONTROL_CALL call;
  call.DeviceObject = DeviceObject;
  call.Extension = CamExtension(DeviceObject);
  call.Irp = Irp;
  call.Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  call.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  call.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  call.Argument = entry->Argument;
  if (call.InputLength < entry->InputNeeded || call.OutputLength < entry->OutputNeeded) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  call.Product = CamProduct(call.Extension);
  PURB urb = NULL;
  call.Urb = &urb;
  NTSTATUS status = entry->Handler(&call);
  if (urb != NULL) ExFreePool(urb);
  return status;
}

PURB CamControlUrb(const CAM_CONTROL_CALL* Call) {
  if (*Call->Urb == NULL) *Call->Urb = CamAllocateVendorUrb();
  return *Call->Urb;
}

// PASSIVE_LEVEL, in the requesting thread. Every request is finished and completed
// here; nothing is pended. A refused request is completed before it leaves the
// gate; a served one leaves the gate first.
NTSTATUS NTAPI CamDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!CamEnterRequest(DeviceObject)) return CamCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  if (!CamReadyForControl(CamExtension(DeviceObject))) {
    CamCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    CamLeaveRequest(DeviceObject);
    return STATUS_DELETE_PENDING;
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = CamRunControlRequest(DeviceObject, Irp);
  CamLeaveRequest(DeviceObject);
  NTSTATUS status = Irp->IoStatus.Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
