// The plain bulk transfer: one synchronous transfer on the image pipe straight
// into the caller's locked pages, for the products that send a frame unasked.
#include "capture.h"

// PASSIVE_LEVEL, inside the request gate; IOCTL_CAM_READ_FRAME for products
// 0x1009, 0x100B and 0x100F. The URB is this routine's and freed before it returns;
// the dispatcher completes the IRP.
NTSTATUS CamBulkTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PUSBD_PIPE_INFORMATION pipe;
  NTSTATUS status = CamFindImagePipe(CamExtension(DeviceObject), &pipe);
  if (!NT_SUCCESS(status)) return status;
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
  if (length > pipe->MaximumTransferSize) return STATUS_INVALID_PARAMETER;
  PURB urb = (PURB)CamAllocatePool(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  if (urb == NULL) return STATUS_NO_MEMORY;
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* bulk = &urb->UrbBulkOrInterruptTransfer;
  RtlZeroMemory(bulk, sizeof(*bulk));
  bulk->Hdr.Length = sizeof(*bulk);
  bulk->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  bulk->PipeHandle = pipe->PipeHandle;
  bulk->TransferFlags = CamPipeTransferFlags(pipe);
  // With no output there is no MDL: a zero-length transfer.
  bulk->TransferBufferLength = length;
  bulk->TransferBuffer = NULL;
  bulk->TransferBufferMDL = length != 0 ? Irp->MdlAddress : NULL;
  bulk->UrbLink = NULL;
  status = CamSubmitUrbInterruptible(DeviceObject, urb);
  if (NT_SUCCESS(status)) Irp->IoStatus.Information = bulk->TransferBufferLength;
  ExFreePool(urb);
  return status;
}
