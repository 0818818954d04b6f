// Synchronous USB requests: one URB down the stack and wait; an IRP forwarded and
// waited for; the completion routine that wakes such waiters; a pipe's abort and
// reset.
#include "driver.h"

static NTSTATUS CamUrbResult(PCAM_DEVICE_EXTENSION Extension, PURB Urb, NTSTATUS Status);

// PASSIVE_LEVEL. The caller owns the URB and may read its results afterwards.
// A failing URB becomes STATUS_UNSUCCESSFUL and is recorded in LastUsbdStatus.
NTSTATUS CamSubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, extension->LowerDeviceObject, NULL,
                                           0, NULL, 0, TRUE, &event, &ioStatus);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
  // The I/O manager completes and frees this IRP; it is not touched again.
  NTSTATUS status = IofCallDriver(extension->LowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    // Judged like a request completed at once: by its final status first, which a
    // lower driver may have failed without touching the URB.
    KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return CamUrbResult(extension, Urb, status);
}

// Any IRQL. The result of a URB whose request ended with Status: a failed request
// first, then a failed URB as STATUS_UNSUCCESSFUL; a failed URB is recorded.
static NTSTATUS CamUrbResult(PCAM_DEVICE_EXTENSION Extension, PURB Urb, NTSTATUS Status) {
  USBD_STATUS urbStatus = Urb->UrbHeader.Status;
  if (USBD_ERROR(urbStatus)) CamRecordUsbdStatus(Extension, urbStatus);
  if (!NT_SUCCESS(Status)) return Status;
  return USBD_ERROR(urbStatus) ? STATUS_UNSUCCESSFUL : Status;
}

// PASSIVE_LEVEL, in the requesting application's thread. As CamSubmitUrbSync, but
// the wait gives way when the thread is terminated: the transfer is then cancelled
// and waited for (the USB stack ends it at once), leaving in the buffer what had
// arrived, and the result is STATUS_CANCELLED. The IRP is this routine's, so that
// it can still be cancelled once the wait has given way; it and the event live in
// pool (a thread waiting in user mode may have its stack paged out) and are freed
// before return.
NTSTATUS CamSubmitUrbInterruptible(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  PKEVENT event = (PKEVENT)CamAllocatePool(sizeof(KEVENT));
  if (event == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  PIRP irp = IoAllocateIrp((CCHAR)(extension->LowerDeviceObject->StackSize + 1), FALSE);
  if (irp == NULL) {
    ExFreePool(event);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeInitializeEvent(event, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = Urb;
  IoSetCompletionRoutine(irp, CamSyncCompletion, event, TRUE, TRUE, TRUE);
  if (IofCallDriver(extension->LowerDeviceObject, irp) == STATUS_PENDING &&
      KeWaitForSingleObject(event, Executive, UserMode, TRUE, NULL) != STATUS_SUCCESS) {
    IoCancelIrp(irp);
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL);
  }
  NTSTATUS status = CamUrbResult(extension, Urb, irp->IoStatus.Status);
  IoFreeIrp(irp);
  ExFreePool(event);
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
