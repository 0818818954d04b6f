// Synchronous USB requests: one URB down the stack and wait; an IRP forwarded and
// waited for; the completion routine that wakes such waiters; a pipe's abort and
// reset.
#include "driver.h"

VOID CamLinkSyncRequest(PCAM_DEVICE_EXTENSION Extension, PCAM_SYNC_REQUEST Request) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SyncRequestLock, &irql);
  Request->Next = Extension->SyncRequests;
  Extension->SyncRequests = Request;
  KeReleaseSpinLock(&Extension->SyncRequestLock, irql);
}

VOID CamUnlinkSyncRequest(PCAM_DEVICE_EXTENSION Extension, PCAM_SYNC_REQUEST Request) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SyncRequestLock, &irql);
  PCAM_SYNC_REQUEST* link = &Extension->SyncRequests;
  while (*link != NULL && *link != Request) link = &(*link)->Next;
  if (*link != NULL) *link = Request->Next;
  KeReleaseSpinLock(&Extension->SyncRequestLock, irql);
  if (Request->HoldsPower) CamReleasePower(Extension);
  Request->HoldsPower = FALSE;
}

// Up to DISPATCH_LEVEL; takes SyncRequestLock, under which the USB stack's cancel
// routine may run and complete the IRP (its completion only sets an event). A
// stop, query-remove or removal ends so the requests that a camera which never
// answers would hold for ever, a held wait-wake request too; a power-down ends
// all but that. A request not sent yet goes down marked cancelled, and the USB
// stack ends it at once; one that completes meanwhile keeps its status.
VOID CamCancelSyncRequests(PDEVICE_OBJECT DeviceObject, BOOLEAN WaitWakeToo) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&extension->SyncRequestLock, &irql);
  for (PCAM_SYNC_REQUEST request = extension->SyncRequests; request != NULL; request = request->Next) {
    if (WaitWakeToo || !request->WaitWake) IoCancelIrp(request->Irp);
  }
  KeReleaseSpinLock(&extension->SyncRequestLock, irql);
}

// Any IRQL. Whether a URB moves data on the bus, which a device going out of D0
// must not have queued: anything but the pipe requests and the configuration.
static BOOLEAN CamUrbMovesData(PURB Urb) {
  USHORT function = Urb->UrbHeader.Function;
  return function != URB_FUNCTION_ABORT_PIPE && function != URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL &&
         function != URB_FUNCTION_SELECT_CONFIGURATION;
}

// PASSIVE_LEVEL. An IRP of the driver's own that carries the URB down; its
// completion sets the request's event and leaves the IRP to the sender, who frees
// it with IoFreeIrp. FALSE when no IRP could be had.
BOOLEAN CamPrepareSyncRequest(PCAM_DEVICE_EXTENSION Extension, PCAM_SYNC_REQUEST Request, PURB Urb) {
  RtlZeroMemory(Request, sizeof(*Request));
  Request->MovesData = CamUrbMovesData(Urb);
  KeInitializeEvent(&Request->Event, NotificationEvent, FALSE);
  Request->Irp = IoAllocateIrp((CCHAR)(Extension->LowerDeviceObject->StackSize + 1), FALSE);
  if (Request->Irp == NULL) return FALSE;
  CamSetUrbLocation(Request->Irp, Urb, CamSyncCompletion, &Request->Event);
  return TRUE;
}

// PASSIVE_LEVEL. Sends the request where a drain finds it. Unless the result is
// STATUS_PENDING the request is back and unlinked; otherwise the caller waits for
// it with CamWaitSyncRequest. One that would move data while the device is going
// out of D0 is not sent: STATUS_DEVICE_POWERED_OFF, as the USB stack would answer
// once the device is out.
NTSTATUS CamSendSyncRequest(PCAM_DEVICE_EXTENSION Extension, PCAM_SYNC_REQUEST Request) {
  if (Request->MovesData) {
    if (!CamHoldPower(Extension)) {
      Request->Irp->IoStatus.Status = STATUS_DEVICE_POWERED_OFF;
      return STATUS_DEVICE_POWERED_OFF;
    }
    Request->HoldsPower = TRUE;
  }
  CamLinkSyncRequest(Extension, Request);
  NTSTATUS status = IofCallDriver(Extension->LowerDeviceObject, Request->Irp);
  if (status != STATUS_PENDING) CamUnlinkSyncRequest(Extension, Request);
  return status;
}

// PASSIVE_LEVEL, in kernel mode, so a request on the caller's stack stays
// resident. No time-out: a drain ends a request the camera holds.
VOID CamWaitSyncRequest(PCAM_DEVICE_EXTENSION Extension, PCAM_SYNC_REQUEST Request) {
  KeWaitForSingleObject(&Request->Event, Suspended, KernelMode, FALSE, NULL);
  CamUnlinkSyncRequest(Extension, Request);
}

// Any IRQL. The result of a URB whose request ended with Status: a failed request
// first, then a failed URB as STATUS_UNSUCCESSFUL; a failed URB is recorded.
static NTSTATUS CamUrbResult(PCAM_DEVICE_EXTENSION Extension, PURB Urb, NTSTATUS Status) {
  USBD_STATUS urbStatus = Urb->UrbHeader.Status;
  if (USBD_ERROR(urbStatus)) CamRecordUsbdStatus(Extension, urbStatus);
  if (!NT_SUCCESS(Status)) return Status;
  return USBD_ERROR(urbStatus) ? STATUS_UNSUCCESSFUL : Status;
}

// PASSIVE_LEVEL. The caller owns the URB and may read its results afterwards.
// A failing URB becomes STATUS_UNSUCCESSFUL and is recorded in LastUsbdStatus; a
// request a drain ended is STATUS_CANCELLED.
NTSTATUS CamSubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  CAM_SYNC_REQUEST request;
  if (!CamPrepareSyncRequest(extension, &request, Urb)) return STATUS_INSUFFICIENT_RESOURCES;
  if (CamSendSyncRequest(extension, &request) == STATUS_PENDING) CamWaitSyncRequest(extension, &request);
  // Judged by the request's final status first, which a lower driver may have
  // failed without touching the URB.
  NTSTATUS status = CamUrbResult(extension, Urb, request.Irp->IoStatus.Status);
  IoFreeIrp(request.Irp);
  return status;
}

// PASSIVE_LEVEL, in the requesting application's thread. As CamSubmitUrbSync, but
// the wait gives way when the thread is terminated: the transfer is then cancelled
// and waited for (the USB stack ends it at once), leaving in the buffer what had
// arrived, and the result is STATUS_CANCELLED. The request lives in pool (a thread
// waiting in user mode may have its stack paged out) and is freed before return.
NTSTATUS CamSubmitUrbInterruptible(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  PCAM_SYNC_REQUEST request = (PCAM_SYNC_REQUEST)CamAllocatePool(sizeof(CAM_SYNC_REQUEST));
  if (request == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  if (!CamPrepareSyncRequest(extension, request, Urb)) {
    ExFreePool(request);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (CamSendSyncRequest(extension, request) == STATUS_PENDING) {
    if (KeWaitForSingleObject(&request->Event, Executive, UserMode, TRUE, NULL) != STATUS_SUCCESS) {
      IoCancelIrp(request->Irp);
    }
    CamWaitSyncRequest(extension, request);
  }
  NTSTATUS status = CamUrbResult(extension, Urb, request->Irp->IoStatus.Status);
  IoFreeIrp(request->Irp);
  ExFreePool(request);
  return status;
}

// Any IRQL up to DISPATCH_LEVEL. Context is the waiter's KEVENT; the IRP stays
// with the waiter.
NTSTATUS NTAPI CamSyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL. Passes the current request down and waits for the lower drivers;
// the caller completes it afterwards.
NTSTATUS CamForwardIrpSync(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, CamSyncCompletion, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IofCallDriver(CamExtension(DeviceObject)->LowerDeviceObject, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

// PASSIVE_LEVEL. One pipe request (abort or reset) on the pipe, waited for.
static NTSTATUS CamSendPipeRequest(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle,
                                   USHORT Function) {
  PURB urb = (PURB)CamAllocatePool(sizeof(struct _URB_PIPE_REQUEST));
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
  urb->UrbHeader.Function = Function;
  urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbPipeRequest.PipeHandle = PipeHandle;
  USBD_VERSION_INFORMATION version;
  USBD_GetUSBDIVersion(&version);
  // Stacks before USBDI 1.01 know the pipe request without its last field.
  if (version.USBDI_Version < 0x101) urb->UrbHeader.Length -= sizeof(ULONG);
  NTSTATUS status = CamSubmitUrbSync(DeviceObject, urb);
  ExFreePool(urb);
  return status;
}

// PASSIVE_LEVEL. Cancels every transfer outstanding on the pipe and waits for the
// USB stack to confirm.
NTSTATUS CamAbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle) {
  return CamSendPipeRequest(DeviceObject, PipeHandle, URB_FUNCTION_ABORT_PIPE);
}

// PASSIVE_LEVEL, with nothing of the caller's outstanding on the pipe. Clears a
// halt, in the USB stack and on the endpoint, after a transfer ended with one:
// until then the pipe fails every transfer.
NTSTATUS CamResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle) {
  return CamSendPipeRequest(DeviceObject, PipeHandle, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
}
