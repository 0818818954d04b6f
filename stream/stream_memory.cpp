// What a stream owns: its context, three frame buffers with their MDLs, and two
// transfers with their IRPs, URBs and data buffers. All of it is taken at start,
// so that the completion routine never allocates, and freed in one place.
#include "stream.h"

// PASSIVE_LEVEL, before the stream can be reached. A frame buffer of whole pages,
// zeroed, and the MDL its user view will be made from: the view then shows the
// frame and zeros, never pool that held something else. The caller frees what
// exists on failure (CamFreeStream).
static NTSTATUS CamAllocateFrameSlot(PCAM_FRAME_SLOT Slot, LONG FrameSize, ULONG Index) {
  Slot->Index = Index;
  Slot->Size = FrameSize;
  // A negative size can have no buffer, and one beyond any camera's frame is not
  // given one: an application must not tie up the system's non-paged pool.
  if (FrameSize <= 0 || FrameSize > CAM_STREAM_FRAME_MAX) return STATUS_INSUFFICIENT_RESOURCES;
  Slot->BufferBytes = (ULONG)ROUND_TO_PAGES((ULONG)FrameSize);
  Slot->Buffer = (PUCHAR)CamAllocatePool(Slot->BufferBytes);
  if (Slot->Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(Slot->Buffer, Slot->BufferBytes);
  Slot->Mdl = IoAllocateMdl(Slot->Buffer, Slot->BufferBytes, FALSE, FALSE, NULL);
  if (Slot->Mdl == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  MmBuildMdlForNonPagedPool(Slot->Mdl);
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, before the stream can be reached. One transfer record with its
// IRP (a location for this driver's completion routine above the lower stack),
// data buffer and URB. The caller frees what exists on failure.
static NTSTATUS CamAllocateStreamTransfer(PCAM_STREAM_CONTEXT Stream, ULONG Index) {
  PCAM_STREAM_TRANSFER transfer = (PCAM_STREAM_TRANSFER)CamAllocatePool(sizeof(CAM_STREAM_TRANSFER));
  if (transfer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(transfer, sizeof(*transfer));
  transfer->Stream = Stream;
  Stream->Transfers[Index] = transfer;
  CCHAR stackSize = (CCHAR)(CamExtension(Stream->DeviceObject)->LowerDeviceObject->StackSize + 1);
  transfer->Irp = IoAllocateIrp(stackSize, FALSE);
  if (transfer->Irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  transfer->DataBuffer = (PUCHAR)CamAllocatePool(CAM_STREAM_CHUNK_SIZE);
  if (transfer->DataBuffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  transfer->Urb = (PURB)CamAllocatePool(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  if (transfer->Urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  transfer->UrbLength = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, before the stream can be reached. Every slot free, then slot 0
// taken to be filled first.
static VOID CamInitializeSlots(PCAM_STREAM_CONTEXT Stream) {
  Stream->SlotCount = CAM_STREAM_SLOTS;
  CamInitializeSlotQueue(&Stream->FreeSlots, CAM_STREAM_SLOTS);
  CamInitializeSlotQueue(&Stream->ReadySlots, (LONG)Stream->SlotCount);
  for (ULONG i = 0; i < Stream->SlotCount; ++i) {
    Stream->Slots[i].State = CamSlotFree;
    CamPushSlot(&Stream->FreeSlots, &Stream->Slots[i]);
  }
  PCAM_FRAME_SLOT fill = CamPopSlot(&Stream->FreeSlots);
  fill->State = CamSlotFilling;
  Stream->FillSlotIndex = fill->Index;
  Stream->FillPointer = fill->Buffer;
  Stream->FrameBytesFilled = 0;
}

// PASSIVE_LEVEL. A stream of FrameSize-byte frames on Pipe, with every buffer and
// transfer it will use, its slots in their first state and nothing sent or
// mapped. On failure nothing is left and *Stream is NULL.
NTSTATUS CamAllocateStream(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe, LONG FrameSize,
                           PCAM_STREAM_CONTEXT* Stream) {
  *Stream = NULL;
  PCAM_STREAM_CONTEXT stream = (PCAM_STREAM_CONTEXT)CamAllocatePool(sizeof(CAM_STREAM_CONTEXT));
  if (stream == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(stream, sizeof(*stream));
  stream->DeviceObject = DeviceObject;
  stream->StreamPipe = Pipe;
  stream->FrameSize = FrameSize;
  KeInitializeEvent(&stream->TransfersDoneEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&stream->FrameReadyEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&stream->IdleEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&stream->ParkedEvent, NotificationEvent, FALSE);
  stream->Users = 1;
  KeInitializeSpinLock(&stream->FreeSlotsLock);
  KeInitializeSpinLock(&stream->ReadySlotsLock);
  KeInitializeSpinLock(&stream->SendLock);
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < CAM_STREAM_SLOTS && NT_SUCCESS(status); ++i) {
    status = CamAllocateFrameSlot(&stream->Slots[i], FrameSize, i);
  }
  for (ULONG t = 0; t < CAM_STREAM_TRANSFERS && NT_SUCCESS(status); ++t) {
    status = CamAllocateStreamTransfer(stream, t);
  }
  if (!NT_SUCCESS(status)) {
    CamFreeStream(stream);
    return status;
  }
  CamInitializeSlots(stream);
  *Stream = stream;
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, in the process that made the slots' user views, once no transfer
// is held by the lower driver and no request uses the stream. Frees everything
// the stream owns, views first: a view must go before the pages it shows.
VOID CamFreeStream(PCAM_STREAM_CONTEXT Stream) {
  for (ULONG t = 0; t < CAM_STREAM_TRANSFERS; ++t) {
    PCAM_STREAM_TRANSFER transfer = Stream->Transfers[t];
    if (transfer == NULL) continue;
    if (transfer->Urb != NULL) ExFreePool(transfer->Urb);
    if (transfer->Irp != NULL) IoFreeIrp(transfer->Irp);
    if (transfer->DataBuffer != NULL) ExFreePool(transfer->DataBuffer);
    ExFreePool(transfer);
    Stream->Transfers[t] = NULL;
  }
  for (ULONG i = 0; i < CAM_STREAM_SLOTS; ++i) {
    PCAM_FRAME_SLOT slot = &Stream->Slots[i];
    if (slot->UserAddress != NULL) MmUnmapLockedPages(slot->UserAddress, slot->Mdl);
    if (slot->Mdl != NULL) IoFreeMdl(slot->Mdl);
    if (slot->Buffer != NULL) ExFreePool(slot->Buffer);
    slot->UserAddress = NULL;
    slot->Mdl = NULL;
    slot->Buffer = NULL;
  }
  ExFreePool(Stream);
}
