// Frames to the application: taken in place through the user view and handed
// back, or copied into the request's buffer.
//
// Locking: a slot moves between states only with FreeSlotsLock and then
// ReadySlotsLock held, as the completion routine's hand-off does; the lookup of a
// slot by its address needs no lock (Slots never change while the stream lives).
// Each request holds a use of the stream (CamUseStream), so a stop on another
// thread waits for it before freeing anything.
#include "../driver/byte_order.h"
#include "stream.h"

// The longest a take waits for a frame: 1 second, in 100 ns units, relative.
#define CAM_FRAME_WAIT (-10000000LL)

// Up to DISPATCH_LEVEL. The oldest finished frame, now held by the caller, or NULL.
static PCAM_FRAME_SLOT CamPopReadyFrame(PCAM_STREAM_CONTEXT Stream) {
  KIRQL irql;
  KeAcquireSpinLock(&Stream->FreeSlotsLock, &irql);
  KeAcquireSpinLockAtDpcLevel(&Stream->ReadySlotsLock);
  PCAM_FRAME_SLOT slot = CamPopSlot(&Stream->ReadySlots);
  if (slot != NULL) {
    slot->State = CamSlotHeld;
    if (Stream->ReadySlots.Count == 0) KeClearEvent(&Stream->FrameReadyEvent);
  }
  KeReleaseSpinLockFromDpcLevel(&Stream->ReadySlotsLock);
  KeReleaseSpinLock(&Stream->FreeSlotsLock, irql);
  return slot;
}

// PASSIVE_LEVEL, in the requesting thread. The oldest finished frame, waiting up
// to a second in all for one. The wait is the application's: its thread's
// termination ends it. A wake that finds the queue empty (another request took
// the frame, or the event was set after a take emptied the queue) waits again for
// what is left of the second; one from the stream's end does not.
static PCAM_FRAME_SLOT CamTakeReadyFrame(PCAM_STREAM_CONTEXT Stream) {
  ULONGLONG deadline = KeQueryInterruptTime() + (ULONGLONG)(-CAM_FRAME_WAIT);
  for (;;) {
    PCAM_FRAME_SLOT slot = CamPopReadyFrame(Stream);
    if (slot != NULL || InterlockedCompareExchange(&Stream->Ending, 0, 0) != 0) return slot;
    ULONGLONG now = KeQueryInterruptTime();
    if (now >= deadline) return NULL;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)(deadline - now);
    if (KeWaitForSingleObject(&Stream->FrameReadyEvent, Suspended, UserMode, FALSE, &timeout) !=
        STATUS_SUCCESS) {
      return NULL;
    }
    KeClearEvent(&Stream->FrameReadyEvent);
  }
}

// Up to DISPATCH_LEVEL. A held slot goes back to be filled again. A slot in any
// other state (handed back already, being filled, free or waiting) is refused
// with STATUS_INVALID_PARAMETER and left where it is.
static NTSTATUS CamFreeHeldSlot(PCAM_STREAM_CONTEXT Stream, PCAM_FRAME_SLOT Slot) {
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  KIRQL irql;
  KeAcquireSpinLock(&Stream->FreeSlotsLock, &irql);
  KeAcquireSpinLockAtDpcLevel(&Stream->ReadySlotsLock);
  if (Slot->State == CamSlotHeld && CamPushSlot(&Stream->FreeSlots, Slot)) {
    Slot->State = CamSlotFree;
    status = STATUS_SUCCESS;
  }
  KeReleaseSpinLockFromDpcLevel(&Stream->ReadySlotsLock);
  KeReleaseSpinLock(&Stream->FreeSlotsLock, irql);
  return status;
}

NTSTATUS CamGetStreamFrame(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUCHAR Info) {
  PCAM_STREAM_CONTEXT stream = CamUseStream(DeviceObject, Irp);
  if (stream == NULL) return STATUS_UNSUCCESSFUL;
  PCAM_FRAME_SLOT slot = CamTakeReadyFrame(stream);
  if (slot != NULL) {
    ULONGLONG address = (ULONGLONG)(ULONG_PTR)slot->UserAddress;
    CamPutU32(Info + FIELD_OFFSET(CAM_STREAM_FRAME_INFO, UserAddress), (ULONG)address);
    CamPutU32(Info + FIELD_OFFSET(CAM_STREAM_FRAME_INFO, UserAddress) + 4, (ULONG)(address >> 32));
    CamPutU32(Info + FIELD_OFFSET(CAM_STREAM_FRAME_INFO, Size), (ULONG)slot->Size);
  }
  CamDoneWithStream(stream);
  return slot != NULL ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CamReleaseStreamFrame(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONGLONG UserAddress) {
  PCAM_STREAM_CONTEXT stream = CamUseStream(DeviceObject, Irp);
  if (stream == NULL) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (ULONG i = 0; i < stream->SlotCount; ++i) {
    if ((ULONGLONG)(ULONG_PTR)stream->Slots[i].UserAddress == UserAddress) {
      status = CamFreeHeldSlot(stream, &stream->Slots[i]);
      break;
    }
  }
  CamDoneWithStream(stream);
  return status;
}

// The frame behind its header, into the caller's buffer; the slot goes back
// whatever happens, so a frame taken into a buffer too small is lost.
static NTSTATUS CamCopyFrameOut(PCAM_FRAME_SLOT Slot, PUCHAR Output, ULONG OutputLength, PIRP Irp) {
  ULONG size = (ULONG)Slot->Size;
  if (OutputLength < sizeof(CAM_STREAM_FRAME_HEADER) ||
      OutputLength - sizeof(CAM_STREAM_FRAME_HEADER) < size) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (Output == NULL) return STATUS_UNSUCCESSFUL;
  RtlZeroMemory(Output, sizeof(CAM_STREAM_FRAME_HEADER));
  CamPutU32(Output + FIELD_OFFSET(CAM_STREAM_FRAME_HEADER, Size), size);
  RtlCopyMemory(Output + sizeof(CAM_STREAM_FRAME_HEADER), Slot->Buffer, size);
  Irp->IoStatus.Information = sizeof(CAM_STREAM_FRAME_HEADER) + (ULONG_PTR)size;
  return STATUS_SUCCESS;
}

NTSTATUS CamReadStreamFrame(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG OutputLength) {
  PUCHAR output = NULL;
  if (Irp->MdlAddress != NULL)
    output = (PUCHAR)MmGetSystemAddressForMdlSafe(Irp->MdlAddress, CAM_VIEW_PRIORITY);
  PCAM_STREAM_CONTEXT stream = CamUseStream(DeviceObject, Irp);
  if (stream == NULL) return STATUS_UNSUCCESSFUL;
  PCAM_FRAME_SLOT slot = CamTakeReadyFrame(stream);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  if (slot != NULL) {
    status = CamCopyFrameOut(slot, output, OutputLength, Irp);
    NTSTATUS released = CamFreeHeldSlot(stream, slot);
    if (NT_SUCCESS(status)) status = released;
  }
  CamDoneWithStream(stream);
  if (!NT_SUCCESS(status)) Irp->IoStatus.Information = 0;
  return status;
}
