// Requests posted by hand, each an IRP of its own with CamSyncCompletion, so that a
// test can see when it ends: a bulk read on a pipe, as the driver's frame reads
// post theirs; a management request, as the system sends one to the top of a stack.
#pragma once

#include "driver/driver.h"

namespace quorvex::test {

struct PostedRead {
  explicit PostedRead(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoAllocateIrp(static_cast<CCHAR>(lower->StackSize + 1), FALSE);
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.PipeHandle = pipe;
    urb.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb.TransferBuffer = buffer;
    urb.TransferBufferLength = sizeof(buffer);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, CamSyncCompletion, &done, TRUE, TRUE, TRUE);
    sent = IofCallDriver(lower, irp);
  }
  ~PostedRead() { IoFreeIrp(irp); }

  KEVENT done;
  PIRP irp;
  struct _URB_BULK_OR_INTERRUPT_TRANSFER urb {};
  uint8_t buffer[512];
  NTSTATUS sent;
};

struct ManagementRequest {
  explicit ManagementRequest(PDEVICE_OBJECT top) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    next->MinorFunction = 0x0B;  // IRP_MN_REGINFO_EX
    IoSetCompletionRoutine(irp, CamSyncCompletion, &done, TRUE, TRUE, TRUE);
  }
  ~ManagementRequest() { IoFreeIrp(irp); }

  KEVENT done;
  PIRP irp;
};

}  // namespace quorvex::test
