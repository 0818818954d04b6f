// The frame read after a trigger: the first chunk waits on the image pipe before
// the camera is told to send, then the second chunk follows, and the chains run
// until the whole buffer is claimed.
#include "capture.h"

// The trigger request, in the read's storage, which stays resident: the read
// thread waits in kernel mode.
typedef struct _CAM_TRIGGER {
  CAM_SYNC_REQUEST Request;
  PURB Urb;
  UCHAR Data[CAM_TRIGGER_BYTES];
} CAM_TRIGGER, *PCAM_TRIGGER;

// PASSIVE_LEVEL. The URB and the IRP, or a failure (the caller frees what exists).
static NTSTATUS CamAllocateTrigger(PCAM_READ Read, PCAM_TRIGGER Trigger) {
  RtlZeroMemory(Trigger, sizeof(*Trigger));
  Trigger->Urb = CamAllocateVendorUrb();
  if (Trigger->Urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlFillMemory(Trigger->Data, CAM_TRIGGER_BYTES, 0xFF);
  CamBuildVendorRequest(Trigger->Urb, CAM_REQUEST_TRIGGER, FALSE, 0, Trigger->Data, CAM_TRIGGER_BYTES);
  if (!CamPrepareSyncRequest(Read->Extension, &Trigger->Request, Trigger->Urb)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The read holds power for it.
  Trigger->Request.MovesData = FALSE;
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, once the trigger is back or was never sent.
static VOID CamFreeTrigger(PCAM_TRIGGER Trigger) {
  if (Trigger->Request.Irp != NULL) IoFreeIrp(Trigger->Request.Irp);
  if (Trigger->Urb != NULL) ExFreePool(Trigger->Urb);
}

// PASSIVE_LEVEL, holding the device's single-shot lock. Sends the trigger where a
// drain finds it while it is out. FALSE when it did not pend (it is back).
static BOOLEAN CamSendTrigger(PCAM_READ Read, PCAM_TRIGGER Trigger) {
  return CamSendSyncRequest(Read->Extension, &Trigger->Request) == STATUS_PENDING;
}

// PASSIVE_LEVEL. Waits for a trigger that went down pending (a drain cancels one
// the camera holds); a failed one is recorded, but the read's status comes from
// its chunks. TRUE when the trigger was cancelled.
static BOOLEAN CamFinishTrigger(PCAM_READ Read, PCAM_TRIGGER Trigger) {
  CamWaitSyncRequest(Read->Extension, &Trigger->Request);
  if (USBD_ERROR(Trigger->Urb->UrbHeader.Status)) {
    CamRecordUsbdStatus(Read->Extension, Trigger->Urb->UrbHeader.Status);
  }
  return Trigger->Request.Irp->IoStatus.Status == STATUS_CANCELLED;
}

// PASSIVE_LEVEL, the read started. Sends first chunk, trigger and second chunk,
// waits for the data and for the trigger, and gives the read's status.
static NTSTATUS CamRunTriggeredRead(PCAM_READ Read, PCAM_TRIGGER Trigger, PIRP Irp) {
  PCAM_CHUNK_CONTEXT second = Read->Transfers > 1 ? &Read->Chunks[1] : NULL;
  if (CamSendChunk(&Read->Chunks[0]) != STATUS_PENDING) {
    CamStopSending(Read, second);
    return STATUS_UNSUCCESSFUL;
  }
  if (!CamSendTrigger(Read, Trigger)) {
    // The first chunk is out with nothing to fill it: its chain ends first.
    CamStopSending(Read, second);
    CamDrainChunks(Read);
    LONG chunkStatus = Read->Extension->ChunkUrbStatus;
    if (USBD_ERROR(chunkStatus)) CamRecordUsbdStatus(Read->Extension, chunkStatus);
    return STATUS_UNSUCCESSFUL;
  }
  if (second != NULL && CamSendChunk(second) != STATUS_PENDING) {
    CamStopSending(Read, NULL);
    CamAbortAndWait(Read);
    CamFinishTrigger(Read, Trigger);
    return STATUS_UNSUCCESSFUL;
  }
  CamReleaseSender(Read);
  NTSTATUS status = CamWaitForChunks(Read);
  // A cancelled trigger means the device is stopping or going: the read ends.
  if (CamFinishTrigger(Read, Trigger)) status = STATUS_CANCELLED;
  return CamReadResult(Read, status, Irp);
}

// PASSIVE_LEVEL, inside the request gate; IOCTL_CAM_READ_FRAME for the products
// that take a trigger. Returns with every transfer back and every record freed;
// the dispatcher completes the IRP.
NTSTATUS CamReadFrameTriggered(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CAM_READ read;
  NTSTATUS status = CamOpenRead(DeviceObject, Irp, &read);
  if (!NT_SUCCESS(status)) return status;
  CAM_TRIGGER trigger;
  status = CamAllocateTrigger(&read, &trigger);
  if (NT_SUCCESS(status)) status = CamStartRead(&read);
  if (NT_SUCCESS(status)) status = CamRunTriggeredRead(&read, &trigger, Irp);
  CamCloseRead(&read);
  CamFreeTrigger(&trigger);
  return status;
}
