// The plain bulk transfer: a synchronous transfer on the image pipe straight into
// the caller's locked pages, for the products that send a frame unasked. It asks
// for whole packets only, since a packet larger than what is left of a transfer is
// babble and halts the endpoint: the bytes past the last whole packet come in one
// more packet of the driver's, as the chunked reads take them.
#include "capture.h"

// What one plain read works with; everything is freed before the read returns.
typedef struct _CAM_PLAIN_READ {
  PDEVICE_OBJECT DeviceObject;
  PUSBD_PIPE_INFORMATION Pipe;
  PURB Urb;
  PMDL Mdl;           // the caller's buffer; NULL when the output length is 0
  ULONG Whole;        // the output length rounded down to whole packets
  ULONG TailLength;   // the output bytes past Whole
  PUCHAR TailBuffer;  // one packet of the driver's, zeroed, when TailLength is not 0
  PUCHAR CallerView;  // the caller's buffer in system space, when TailLength is not 0
} CAM_PLAIN_READ, *PCAM_PLAIN_READ;

// PASSIVE_LEVEL. One synchronous transfer on the image pipe, into the caller's MDL
// or a buffer of the driver's; a pipe it leaves halted is reset before the next
// request. Moved is what a transfer that succeeded moved.
static NTSTATUS CamPlainTransfer(PCAM_PLAIN_READ Read, PMDL Mdl, PVOID Buffer, ULONG Length, PULONG Moved) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* bulk = &Read->Urb->UrbBulkOrInterruptTransfer;
  CamBuildBulkTransfer(Read->Urb, sizeof(*bulk), Read->Pipe->PipeHandle, CAM_READ_FLAGS, Buffer, Mdl, Length);
  NTSTATUS status = CamSubmitUrbInterruptible(Read->DeviceObject, Read->Urb);
  *Moved = NT_SUCCESS(status) ? bulk->TransferBufferLength : 0;
  // The next read would fail on a halted pipe.
  if (CamUsbdHalted(bulk->Hdr.Status)) CamResetPipe(Read->DeviceObject, Read->Pipe->PipeHandle);
  return status;
}

// PASSIVE_LEVEL. The URB, and for a length that is not whole packets the block of
// the last packet and a system view of the caller's buffer: all of them before
// anything is sent. The caller frees what exists.
static NTSTATUS CamPreparePlainRead(PCAM_PLAIN_READ Read, PIRP Irp, ULONG Length) {
  ULONG packet = Read->Pipe->MaximumPacketSize;
  Read->Mdl = Length != 0 ? Irp->MdlAddress : NULL;
  Read->Whole = Length - Length % packet;
  Read->TailLength = Length - Read->Whole;
  Read->Urb = (PURB)CamAllocatePool(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  if (Read->Urb == NULL) return STATUS_NO_MEMORY;
  if (Read->TailLength == 0) return STATUS_SUCCESS;
  if (Read->Mdl == NULL) return STATUS_INVALID_PARAMETER;
  Read->TailBuffer = (PUCHAR)CamAllocatePool(packet);
  if (Read->TailBuffer == NULL) return STATUS_NO_MEMORY;
  RtlZeroMemory(Read->TailBuffer, packet);
  Read->CallerView = (PUCHAR)MmGetSystemAddressForMdlSafe(Read->Mdl, CAM_VIEW_PRIORITY);
  return Read->CallerView != NULL ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// PASSIVE_LEVEL. The whole packets straight into the caller's buffer (with no
// output, a zero-length transfer), then the last partial packet through the
// driver's block, unless a short transfer has already ended the frame: a further
// packet would be the next frame's. Moved is what the transfers that succeeded
// moved into the caller's buffer.
static NTSTATUS CamRunPlainRead(PCAM_PLAIN_READ Read, PULONG Moved) {
  NTSTATUS status = STATUS_SUCCESS;
  *Moved = 0;
  if (Read->Whole != 0 || Read->TailLength == 0) {
    status = CamPlainTransfer(Read, Read->Whole != 0 ? Read->Mdl : NULL, NULL, Read->Whole, Moved);
  }
  if (!NT_SUCCESS(status) || *Moved != Read->Whole || Read->TailLength == 0) return status;
  ULONG tail;
  status = CamPlainTransfer(Read, NULL, Read->TailBuffer, Read->Pipe->MaximumPacketSize, &tail);
  if (tail > Read->TailLength) tail = Read->TailLength;
  RtlCopyMemory(Read->CallerView + Read->Whole, Read->TailBuffer, tail);
  *Moved += tail;
  return status;
}

// PASSIVE_LEVEL, inside the request gate; IOCTL_CAM_READ_FRAME for products
// 0x1009, 0x100B and 0x100F. Everything the read allocates is freed before it
// returns; the dispatcher completes the IRP.
NTSTATUS CamBulkTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CAM_PLAIN_READ read;
  RtlZeroMemory(&read, sizeof(read));
  read.DeviceObject = DeviceObject;
  NTSTATUS status = CamFindImagePipe(CamExtension(DeviceObject), &read.Pipe);
  if (!NT_SUCCESS(status)) return status;
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
  if (length > read.Pipe->MaximumTransferSize) return STATUS_INVALID_PARAMETER;
  status = CamPreparePlainRead(&read, Irp, length);
  ULONG moved = 0;
  if (NT_SUCCESS(status)) status = CamRunPlainRead(&read, &moved);
  if (NT_SUCCESS(status)) Irp->IoStatus.Information = moved;
  if (read.TailBuffer != NULL) ExFreePool(read.TailBuffer);
  if (read.Urb != NULL) ExFreePool(read.Urb);
  return status;
}
