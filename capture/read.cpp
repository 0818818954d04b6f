// What the two chunked reads share: the image pipe, preparing a read's records,
// the device's one-read-at-a-time lock, the waits for the chains, the result, and
// a tear-down that frees nothing while the USB stack still holds it.
#include "capture.h"

#define CAM_ONE_SECOND (-10000000LL)
#define CAM_DRAIN_POLL (-1000000LL)

// PASSIVE_LEVEL, inside the request gate, which keeps the pipe table. The image
// pipe is the interface's last, bulk or interrupt, with a handle. A read needs one
// that brings data in, in packets of a known size: anything else could only send
// the read's own buffers to the camera or take packets that do not fit.
NTSTATUS CamFindImagePipe(PCAM_DEVICE_EXTENSION Extension, PUSBD_PIPE_INFORMATION* Pipe) {
  PUSBD_INTERFACE_INFORMATION info = Extension->InterfaceInfo;
  if (info == NULL || info->NumberOfPipes == 0) return STATUS_UNSUCCESSFUL;
  PUSBD_PIPE_INFORMATION pipe = &info->Pipes[info->NumberOfPipes - 1];
  if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeInterrupt) {
    return STATUS_INVALID_PARAMETER;
  }
  if (pipe->PipeHandle == NULL) return STATUS_UNSUCCESSFUL;
  if ((pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) == 0 || pipe->MaximumPacketSize == 0) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  *Pipe = pipe;
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. The caller's buffer in system space, and the read's lengths, all
// whole packets of the endpoint: a packet that did not fit what is left of a
// transfer would be babble. The bytes past the last whole packet come in one more
// packet of the driver's, so that the frame's short last packet ends it and nothing
// of the frame stays behind.
static NTSTATUS CamMapCallerBuffer(PIRP Irp, PCAM_READ Read, ULONG PacketSize) {
  ULONG output = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
  if (output == 0 || Irp->MdlAddress == NULL || MmGetMdlByteCount(Irp->MdlAddress) < output) {
    return STATUS_INVALID_PARAMETER;
  }
  Read->Buffer = (PUCHAR)MmGetSystemAddressForMdlSafe(Irp->MdlAddress, CAM_VIEW_PRIORITY);
  if (Read->Buffer == NULL) return STATUS_INVALID_PARAMETER;
  Read->ChunkBytes = CAM_CHUNK_BYTES - CAM_CHUNK_BYTES % PacketSize;
  Read->Length = output - output % PacketSize;
  Read->TailLength = output - Read->Length;
  Read->TailTransfer = Read->TailLength != 0 ? PacketSize : 0;
  // A second transfer when the first chunk leaves anything to claim.
  Read->Transfers = Read->Length > Read->ChunkBytes || (Read->Length > 0 && Read->TailLength > 0) ? 2 : 1;
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Every record of the read, or none: the caller frees what exists.
static NTSTATUS CamAllocateRead(PCAM_READ Read) {
  CCHAR stackSize = (CCHAR)(Read->Extension->LowerDeviceObject->StackSize + 1);
  if (Read->TailLength != 0) {
    // Sized by the transfer it serves, so that no packet overruns it.
    Read->TailBuffer = (PUCHAR)CamAllocatePool(Read->TailTransfer);
    if (Read->TailBuffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    // Whatever a lower driver claims to have moved, only zeros of ours can reach
    // the caller: never what the pool held before.
    RtlZeroMemory(Read->TailBuffer, Read->TailTransfer);
  }
  for (ULONG i = 0; i < Read->Transfers; ++i) {
    Read->Urbs[i] = (PURB)CamAllocatePool(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (Read->Urbs[i] == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    Read->Irps[i] = IoAllocateIrp(stackSize, FALSE);
    if (Read->Irps[i] == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  }
  Read->Chunks = (PCAM_CHUNK_CONTEXT)CamAllocatePool(CAM_READ_TRANSFERS * sizeof(CAM_CHUNK_CONTEXT));
  if (Read->Chunks == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(Read->Chunks, CAM_READ_TRANSFERS * sizeof(CAM_CHUNK_CONTEXT));
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Checks the pipe and the caller's buffer and allocates the read's
// records; sends nothing. On failure everything is freed again.
NTSTATUS CamOpenRead(PDEVICE_OBJECT DeviceObject, PIRP Irp, PCAM_READ Read) {
  RtlZeroMemory(Read, sizeof(*Read));
  Read->DeviceObject = DeviceObject;
  Read->Extension = CamExtension(DeviceObject);
  PUSBD_PIPE_INFORMATION pipe;
  NTSTATUS status = CamFindImagePipe(Read->Extension, &pipe);
  if (!NT_SUCCESS(status)) return status;
  Read->PipeHandle = pipe->PipeHandle;
  status = CamMapCallerBuffer(Irp, Read, pipe->MaximumPacketSize);
  if (NT_SUCCESS(status)) status = CamAllocateRead(Read);
  if (!NT_SUCCESS(status)) CamCloseRead(Read);
  return status;
}

// PASSIVE_LEVEL. Waits until no other single-shot read runs on the device, holds
// power (STATUS_DEVICE_POWERED_OFF while the device is going out of D0, with
// nothing sent), resets the device's read counters and claims the first chunks,
// counting every chain before any is sent, and the sender itself until it lets go:
// the count reaches 0 once, when the read thread no longer needs it, so that the
// completion which brings it there is the last to touch the read.
NTSTATUS CamStartRead(PCAM_READ Read) {
  PCAM_DEVICE_EXTENSION extension = Read->Extension;
  KeWaitForSingleObject(&extension->SingleShotLock, Executive, KernelMode, FALSE, NULL);
  Read->HoldsSingleShotLock = TRUE;
  Read->HoldsPower = CamHoldPower(extension);
  if (!Read->HoldsPower) {
    Read->AllEnded = TRUE;
    return STATUS_DEVICE_POWERED_OFF;
  }
  InterlockedExchange(&extension->PendingChunks, 0);
  InterlockedExchange((volatile LONG*)&extension->BytesIssued, 0);
  InterlockedExchange((volatile LONG*)&extension->BytesReceived, 0);
  extension->ChunkIoStatus.Status = STATUS_SUCCESS;
  KeInitializeEvent(&Read->DataEvent, NotificationEvent, FALSE);
  // The read thread sends the first chunks; completions meanwhile wait for it.
  Read->Sender = 1;
  InterlockedIncrement(&extension->PendingChunks);
  for (ULONG i = 0; i < Read->Transfers; ++i) {
    PCAM_CHUNK_CONTEXT chunk = &Read->Chunks[i];
    chunk->Urb = Read->Urbs[i];
    chunk->UrbLength = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    chunk->PipeHandle = Read->PipeHandle;
    chunk->Irp = Read->Irps[i];
    chunk->Event = &Read->DataEvent;
    chunk->DeviceExtension = extension;
    chunk->Read = Read;
    chunk->SendState = CAM_CHUNK_OUT;
    PUCHAR buffer = NULL;
    ULONG length = 0;
    CamClaimChunk(Read, &buffer, &length);
    InterlockedIncrement(&extension->PendingChunks);
    CamFillChunk(chunk, buffer, length);
  }
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, holding the Sender token. A send failed: chains end from now on,
// the unsent chunk's among them, and what came back meanwhile is ended.
VOID CamStopSending(PCAM_READ Read, PCAM_CHUNK_CONTEXT Unsent) {
  InterlockedExchange(&Read->Closing, 1);
  if (Unsent != NULL) CamEndChunkChain(Unsent);
  CamReleaseSender(Read);
}

// PASSIVE_LEVEL. Waits for a chain end with the given time-out; notes whether the
// last chain has ended.
static NTSTATUS CamWaitForData(PCAM_READ Read, LONGLONG Timeout) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = Timeout;
  NTSTATUS status = KeWaitForSingleObject(&Read->DataEvent, Suspended, KernelMode, FALSE, &timeout);
  if (status != STATUS_TIMEOUT) Read->AllEnded = TRUE;
  return status;
}

// PASSIVE_LEVEL. After a send failed: aborts the image pipe and gives the chains a
// second to end.
VOID CamAbortAndWait(PCAM_READ Read) {
  CamAbortPipe(Read->DeviceObject, Read->PipeHandle);
  CamWaitForData(Read, CAM_ONE_SECOND);
}

// PASSIVE_LEVEL. Waits up to a second for every chain to end; if they have not,
// aborts the pipe and waits once more, and the read has timed out. Returns the
// status of the chunk that completed last, or STATUS_TIMEOUT.
NTSTATUS CamWaitForChunks(PCAM_READ Read) {
  // The event is cleared only once it has been seen: cleared after a time-out, a
  // chain ending in between would never be seen.
  if (CamWaitForData(Read, CAM_ONE_SECOND) != STATUS_TIMEOUT) {
    KeResetEvent(&Read->DataEvent);
    return Read->Extension->ChunkIoStatus.Status;
  }
  CamAbortAndWait(Read);
  InterlockedExchange(&Read->Extension->ChunkIoStatus.Status, STATUS_TIMEOUT);
  return STATUS_TIMEOUT;
}

// PASSIVE_LEVEL. Ends every chain still out: from now on completions end their
// chains, and the pipe is aborted until the last one has. No time-out: the
// records must outlive every transfer.
VOID CamDrainChunks(PCAM_READ Read) {
  InterlockedExchange(&Read->Closing, 1);
  if (Read->AllEnded || CamWaitForData(Read, 0) != STATUS_TIMEOUT) return;
  do {
    CamAbortPipe(Read->DeviceObject, Read->PipeHandle);
  } while (CamWaitForData(Read, CAM_DRAIN_POLL) == STATUS_TIMEOUT);
}

// PASSIVE_LEVEL. The read's status and Information, once every chain has ended.
NTSTATUS CamReadResult(PCAM_READ Read, NTSTATUS Status, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = Read->Extension;
  CamDrainChunks(Read);
  if (InterlockedCompareExchange(&Read->PowerEnded, 0, 0) != 0) return STATUS_CANCELLED;
  if (!NT_SUCCESS(Status)) return Status;
  if (Status == STATUS_TIMEOUT) {
    CamRecordUsbdStatus(extension, CAM_TRANSFER_TIMEOUT_STATUS);
    Irp->IoStatus.Information = extension->BytesReceived;
    return STATUS_TIMEOUT;
  }
  if (USBD_ERROR(extension->ChunkUrbStatus)) {
    CamRecordUsbdStatus(extension, extension->ChunkUrbStatus);
    return STATUS_UNSUCCESSFUL;
  }
  Irp->IoStatus.Information = extension->BytesReceived;
  return Status;
}

// PASSIVE_LEVEL. Ends the read: waits out its chains, resets a pipe they left
// halted (with nothing of the read's left on it), lets the next read in, then frees
// the IRPs, the URBs, the context block and the last packet's buffer.
VOID CamCloseRead(PCAM_READ Read) {
  if (Read->HoldsSingleShotLock) {
    CamDrainChunks(Read);
    if (Read->Halted) CamResetPipe(Read->DeviceObject, Read->PipeHandle);
    if (Read->HoldsPower) CamReleasePower(Read->Extension);
    KeSetEvent(&Read->Extension->SingleShotLock, IO_NO_INCREMENT, FALSE);
  }
  for (ULONG i = 0; i < CAM_READ_TRANSFERS; ++i) {
    if (Read->Irps[i] != NULL) IoFreeIrp(Read->Irps[i]);
  }
  for (ULONG i = 0; i < CAM_READ_TRANSFERS; ++i) {
    if (Read->Urbs[i] != NULL) ExFreePool(Read->Urbs[i]);
  }
  if (Read->Chunks != NULL) ExFreePool(Read->Chunks);
  if (Read->TailBuffer != NULL) ExFreePool(Read->TailBuffer);
}
