// A URB sent down in an IRP of the driver's own: the bulk transfer URB the frame
// reads and the stream fill, and the IRP location that carries a URB to the USB
// stack.
#include "driver.h"

VOID CamBuildBulkTransfer(PURB Urb, USHORT UrbLength, USBD_PIPE_HANDLE Pipe, ULONG Flags, PVOID Buffer,
                          PMDL Mdl, ULONG Length) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* bulk = &Urb->UrbBulkOrInterruptTransfer;
  RtlZeroMemory(bulk, sizeof(*bulk));
  bulk->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  bulk->Hdr.Length = UrbLength;
  bulk->PipeHandle = Pipe;
  bulk->TransferFlags = Flags;
  bulk->TransferBufferLength = Length;
  bulk->TransferBuffer = Buffer;
  bulk->TransferBufferMDL = Mdl;
}

VOID CamSetUrbLocation(PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE Routine, PVOID Context) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = Urb;
  IoSetCompletionRoutine(Irp, Routine, Context, TRUE, TRUE, TRUE);
}
