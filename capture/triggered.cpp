// The frame read after a trigger: the first chunk waits on the image pipe before
// the camera is told to send, then the second chunk follows, and the chains run
// until the whole buffer is claimed.
#include "capture.h"

// The trigger request's records; the buffer lies in the read's storage.
typedef struct _CAM_TRIGGER {
  PKEVENT Event;
  PURB Urb;
  PIRP Irp;
  UCHAR Data[CAM_TRIGGER_BYTES];
} CAM_TRIGGER, *PCAM_TRIGGER;

// PASSIVE_LEVEL. All three records or none of them (the caller frees what exists).
static NTSTATUS CamAllocateTrigger(PCAM_READ Read, PCAM_TRIGGER Trigger) {
  RtlZeroMemory(Trigger, sizeof(*Trigger));
  Trigger->Event = (PKEVENT)CamAllocatePool(sizeof(KEVENT));
  if (Trigger->Event == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  KeInitializeEvent(Trigger->Event, NotificationEvent, FALSE);
  Trigger->Urb = CamAllocateVendorUrb();
  if (Trigger->Urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  Trigger->Irp = IoAllocateIrp((CCHAR)(Read->Extension->LowerDeviceObject->StackSize + 1), FALSE);
  if (Trigger->Irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlFillMemory(Trigger->Data, CAM_TRIGGER_BYTES, 0xFF);
  CamBuildVendorRequest(Trigger->Urb, CAM_REQUEST_TRIGGER, FALSE, 0, Trigger->Data, CAM_TRIGGER_BYTES);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Trigger->Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = Trigger->Urb;
  IoSetCompletionRoutine(Trigger->Irp, CamSyncCompletion, Trigger->Event, TRUE, TRUE, TRUE);
  return STATUS_SUCCESS;
}

// Up to DISPATCH_LEVEL; takes TriggerLock. Makes the trigger request the one a
// drain cancels (NULL: none).
static VOID CamPublishTrigger(PCAM_DEVICE_EXTENSION Extension, PIRP Irp) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->TriggerLock, &irql);
  Extension->TriggerIrp = Irp;
  KeReleaseSpinLock(&Extension->TriggerLock, irql);
}

// Up to DISPATCH_LEVEL; takes TriggerLock. A stop, query-remove or removal ends the
// trigger of the read in progress, which a camera that never answers would hold
// for ever. A trigger not sent yet goes down marked cancelled, and the USB stack
// ends it at once.
VOID CamCancelTrigger(PDEVICE_OBJECT DeviceObject) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&extension->TriggerLock, &irql);
  if (extension->TriggerIrp != NULL) IoCancelIrp(extension->TriggerIrp);
  KeReleaseSpinLock(&extension->TriggerLock, irql);
}

// PASSIVE_LEVEL, once the trigger is back or was never sent.
static VOID CamFreeTrigger(PCAM_TRIGGER Trigger) {
  if (Trigger->Irp != NULL) IoFreeIrp(Trigger->Irp);
  if (Trigger->Urb != NULL) ExFreePool(Trigger->Urb);
  if (Trigger->Event != NULL) ExFreePool(Trigger->Event);
}

// PASSIVE_LEVEL, holding the device's single-shot lock. Sends the trigger where a
// drain finds it while it is out. FALSE when it did not pend (it is back).
static BOOLEAN CamSendTrigger(PCAM_READ Read, PCAM_TRIGGER Trigger) {
  CamPublishTrigger(Read->Extension, Trigger->Irp);
  if (IofCallDriver(Read->Extension->LowerDeviceObject, Trigger->Irp) == STATUS_PENDING) return TRUE;
  CamPublishTrigger(Read->Extension, NULL);
  return FALSE;
}

// PASSIVE_LEVEL. Waits for a trigger that went down pending (a drain cancels one
// the camera holds); a failed one is recorded, but the read's status comes from
// its chunks. TRUE when the trigger was cancelled.
static BOOLEAN CamFinishTrigger(PCAM_READ Read, PCAM_TRIGGER Trigger) {
  KeWaitForSingleObject(Trigger->Event, Suspended, KernelMode, FALSE, NULL);
  CamPublishTrigger(Read->Extension, NULL);
  if (USBD_ERROR(Trigger->Urb->UrbHeader.Status)) {
    CamRecordUsbdStatus(Read->Extension, Trigger->Urb->UrbHeader.Status);
  }
  return Trigger->Irp->IoStatus.Status == STATUS_CANCELLED;
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
  if (NT_SUCCESS(status)) {
    CamStartRead(&read);
    status = CamRunTriggeredRead(&read, &trigger, Irp);
  }
  CamCloseRead(&read);
  CamFreeTrigger(&trigger);
  return status;
}
