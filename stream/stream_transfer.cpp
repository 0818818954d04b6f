// A stream's two bulk transfers: sending one, its completion routine, counting
// one out when it ends for good, and ending both.
//
// Locking: no lock of the stream's own. The IRP belongs to whoever last got it
// back (start before the first send, then each completion); the cancel spin lock
// covers the moment the completion takes it back, so that a cancel is either seen
// there or lands on the IRP as it goes down again.
#include "stream.h"

// A failed completion that brought nothing this many times in a row ends the
// transfer: a lower driver that refuses each send at once completes the IRP
// inside IofCallDriver, and the routine would send again from there without end.
static BOOLEAN CamStreamTransferRefused(PCAM_STREAM_TRANSFER Transfer, NTSTATUS Status, ULONG Received) {
  if (NT_SUCCESS(Status) || Received != 0) {
    Transfer->Refusals = 0;
    return FALSE;
  }
  return ++Transfer->Refusals > CAM_STREAM_REFUSALS_MAX;
}

// Up to DISPATCH_LEVEL. TRUE while the stream may send: not ending and the device
// serving requests. A drain of a stop, query-remove or removal leaves Started
// first, so no transfer goes out again behind its cancels.
static BOOLEAN CamStreamGoesOn(PCAM_STREAM_CONTEXT Stream) {
  if (InterlockedCompareExchange(&Stream->Ending, 0, 0) != 0) return FALSE;
  return CamPnpState(CamExtension(Stream->DeviceObject)) == CamPnpStarted;
}

// Up to DISPATCH_LEVEL, by the IRP's owner. Takes the IRP back for another send.
// A cancel that reached it since it came back is honoured by whoever decides next:
// the stream is ending (the sender ends the transfer) or suspended (it parks).
static VOID CamTakeBackIrp(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (Irp->Cancel) Irp->IoStatus.Status = STATUS_CANCELLED;
  IoReuseIrp(Irp, STATUS_SUCCESS);
  IoReleaseCancelSpinLock(irql);
}

// Up to DISPATCH_LEVEL, by the IRP's owner. The URB for Length bytes into the
// data buffer and the location the lower driver reads.
static VOID CamFillStreamTransfer(PCAM_STREAM_TRANSFER Transfer, ULONG Length) {
  CamBuildBulkTransfer(Transfer->Urb, Transfer->UrbLength, Transfer->Stream->StreamPipe->PipeHandle,
                       CAM_STREAM_FLAGS, Transfer->DataBuffer, NULL, Length);
  Transfer->Length = Length;
  CamSetUrbLocation(Transfer->Irp, Transfer->Urb, CamStreamTransferComplete, Transfer);
}

BOOLEAN CamParkStreamTransfer(PCAM_STREAM_TRANSFER Transfer, ULONG Length, BOOLEAN Always) {
  PCAM_STREAM_CONTEXT stream = Transfer->Stream;
  KIRQL irql;
  KeAcquireSpinLock(&stream->SendLock, &irql);
  // Never once the stream ends: the end counts out only what is parked before it.
  BOOLEAN park = InterlockedCompareExchange(&stream->Ending, 0, 0) == 0 &&
                 (stream->Suspended || (Always && InterlockedCompareExchange(&stream->SendsOpen, 0, 0) == 0));
  if (park) {
    Transfer->Length = Length;
    stream->Parked[stream->ParkedCount++] = Transfer;
    // Under the lock: once it is let go, a stop may count the parked transfer out
    // and free the stream.
    KeSetEvent(&stream->ParkedEvent, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&stream->SendLock, irql);
  return park;
}

// Taken back before the stream's state is read: a stop that sets Ending after
// this read cancels the IRP on its way down, and the lower driver ends it; so does
// a power-down that suspends the stream after it. A parked transfer is the
// stream's still (STATUS_PENDING).
NTSTATUS CamSendStreamTransfer(PCAM_STREAM_TRANSFER Transfer, ULONG Length) {
  PCAM_STREAM_CONTEXT stream = Transfer->Stream;
  CamTakeBackIrp(Transfer->Irp);
  if (!CamStreamGoesOn(stream)) {
    CamStreamTransferEnded(stream);
    return STATUS_CANCELLED;
  }
  if (CamParkStreamTransfer(Transfer, Length, FALSE)) return STATUS_PENDING;
  CamFillStreamTransfer(Transfer, Length);
  return IofCallDriver(CamExtension(stream->DeviceObject)->LowerDeviceObject, Transfer->Irp);
}

// Up to DISPATCH_LEVEL, by the IRP's owner. Sends the transfer again, or parks it
// while the sender has not yet sent the other one, or while the stream is suspended.
static VOID CamResendStreamTransfer(PCAM_STREAM_TRANSFER Transfer, ULONG Length) {
  if (!CamParkStreamTransfer(Transfer, Length, TRUE)) CamSendStreamTransfer(Transfer, Length);
}

VOID CamOpenStreamSends(PCAM_STREAM_CONTEXT Stream) {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&Stream->SendLock, &irql);
    // A suspended stream's parked transfers wait for the resume at D0.
    PCAM_STREAM_TRANSFER parked = Stream->ParkedCount != 0 && !Stream->Suspended ? Stream->Parked[0] : NULL;
    if (parked == NULL) {
      if (!Stream->Suspended) InterlockedExchange(&Stream->SendsOpen, 1);
    } else {
      Stream->Parked[0] = Stream->Parked[1];
      Stream->ParkedCount--;
    }
    KeReleaseSpinLock(&Stream->SendLock, irql);
    if (parked == NULL) return;
    CamSendStreamTransfer(parked, parked->Length);
  }
}

// Up to DISPATCH_LEVEL. The last transfer out gives the image pipe back, sets
// TransfersDoneEvent, after which the stop may free the stream, and leaves the
// gate it held the device in.
VOID CamStreamTransferEnded(PCAM_STREAM_CONTEXT Stream) {
  PDEVICE_OBJECT device = Stream->DeviceObject;
  // Before the count: once it is 0 the stop may free the stream.
  KeSetEvent(&Stream->ParkedEvent, IO_NO_INCREMENT, FALSE);
  if (InterlockedDecrement(&Stream->PendingTransfers) != 0) return;
  CamGiveBackImagePipe(CamExtension(device));
  KeSetEvent(&Stream->TransfersDoneEvent, 1, FALSE);
  CamLeaveRequest(device);
}

// Up to DISPATCH_LEVEL. Neither transfer goes out again; one out is cancelled, one
// in its completion routine finds the mark, and the parked ones end here. The
// stream never runs again.
VOID CamEndStreamTransfers(PCAM_STREAM_CONTEXT Stream) {
  InterlockedExchange(&Stream->Ending, 1);
  KIRQL irql;
  KeAcquireSpinLock(&Stream->SendLock, &irql);
  ULONG parked = Stream->ParkedCount;
  Stream->ParkedCount = 0;
  KeReleaseSpinLock(&Stream->SendLock, irql);
  for (ULONG t = 0; t < CAM_STREAM_TRANSFERS; ++t) {
    if (Stream->Transfers[t] != NULL) IoCancelIrp(Stream->Transfers[t]->Irp);
  }
  // Counted out after the cancels: the last count out may let the stream be freed.
  while (parked-- != 0) CamStreamTransferEnded(Stream);
  // A request waiting for a frame takes what is there, or fails, without waiting
  // out its second.
  KeSetEvent(&Stream->FrameReadyEvent, IO_NO_INCREMENT, FALSE);
}

// Up to DISPATCH_LEVEL, in whatever thread the USB stack completes on. A cancelled
// transfer, one whose camera is gone, and one whose pipe halted end for good: the
// stream does not reset the pipe behind the application, and a halted pipe would
// fail every send at once. Any other outcome brings its bytes into the frame and
// the transfer goes out again for the piece after the other transfer's.
NTSTATUS NTAPI CamStreamTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PCAM_STREAM_TRANSFER transfer = (PCAM_STREAM_TRANSFER)Context;
  PCAM_STREAM_CONTEXT stream = transfer->Stream;
  NTSTATUS status = Irp->IoStatus.Status;
  const struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb = &transfer->Urb->UrbBulkOrInterruptTransfer;
  ULONG received = urb->TransferBufferLength;
  // A power-down's cancel: the transfer waits, parked, for the device to be back in D0.
  if (status == STATUS_CANCELLED && CamParkStreamTransfer(transfer, transfer->Length, FALSE)) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED) {
    CamStreamTransferEnded(stream);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (CamUsbdHalted(urb->Hdr.Status) || CamStreamTransferRefused(transfer, status, received)) {
    CamRecordUsbdStatus(CamExtension(stream->DeviceObject), urb->Hdr.Status);
    CamStreamTransferEnded(stream);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  // Nothing came: the same piece is still to come, and a send refused at once may
  // complete here while the other transfer's completion moves the fill state.
  if (received == 0) {
    CamResendStreamTransfer(transfer, transfer->Length);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  CamTakeStreamBytes(stream, transfer->DataBuffer, received);
  CamResendStreamTransfer(transfer, CamNextTransferLength(stream->FrameSize, stream->FrameBytesFilled));
  return STATUS_MORE_PROCESSING_REQUIRED;
}
