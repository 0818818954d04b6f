// A stream across a power-down of its device: its transfers are taken off the bus
// and parked, the stream keeps its memory, views and frames, and once the device
// is back in D0 the transfers go out again from the start of a new frame.
//
// Locking: the device's StreamListLock, then a stream's SendLock, in that order;
// the cancels are made under StreamListLock alone, as the drain makes them.
#include "stream.h"

#define CAM_PARK_POLL (-100000LL)

// Up to DISPATCH_LEVEL, under StreamListLock.
static VOID CamSuspendStreamLocked(PCAM_STREAM_CONTEXT Stream) {
  KeAcquireSpinLockAtDpcLevel(&Stream->SendLock);
  Stream->Suspended = TRUE;
  InterlockedExchange(&Stream->SendsOpen, 0);
  KeReleaseSpinLockFromDpcLevel(&Stream->SendLock);
}

VOID CamParkNewStreamLocked(PCAM_STREAM_CONTEXT Stream) {
  KeAcquireSpinLockAtDpcLevel(&Stream->SendLock);
  Stream->Suspended = TRUE;
  for (ULONG t = 0; t < CAM_STREAM_TRANSFERS; ++t) Stream->Parked[t] = Stream->Transfers[t];
  Stream->ParkedCount = CAM_STREAM_TRANSFERS;
  KeReleaseSpinLockFromDpcLevel(&Stream->SendLock);
}

// Up to DISPATCH_LEVEL. Every transfer the stream still owns is parked (those that
// ended for good are not owned any more).
static BOOLEAN CamStreamParked(PCAM_STREAM_CONTEXT Stream) {
  KIRQL irql;
  KeAcquireSpinLock(&Stream->SendLock, &irql);
  BOOLEAN parked = Stream->ParkedCount == (ULONG)InterlockedCompareExchange(&Stream->PendingTransfers, 0, 0);
  KeReleaseSpinLock(&Stream->SendLock, irql);
  return parked;
}

static VOID CamCancelStreamTransfers(PCAM_STREAM_CONTEXT Stream) {
  for (ULONG t = 0; t < CAM_STREAM_TRANSFERS; ++t) {
    if (Stream->Transfers[t] != NULL) IoCancelIrp(Stream->Transfers[t]->Irp);
  }
}

static BOOLEAN CamStreamEnding(PCAM_STREAM_CONTEXT Stream) {
  return InterlockedCompareExchange(&Stream->Ending, 0, 0) != 0;
}

// PASSIVE_LEVEL. Every stream of the device is suspended and its transfers out are
// cancelled; a stream that is ending (it may have given the image pipe to another)
// is only cancelled again, and never resumed.
VOID CamParkDeviceStreams(PDEVICE_OBJECT DeviceObject) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&extension->StreamListLock, &irql);
  for (PCAM_STREAM_CONTEXT stream = extension->Streams; stream != NULL; stream = stream->NextOnDevice) {
    if (!CamStreamEnding(stream)) CamSuspendStreamLocked(stream);
    CamCancelStreamTransfers(stream);
  }
  KeReleaseSpinLock(&extension->StreamListLock, irql);
}

// Up to DISPATCH_LEVEL. A stream on the device's list that Ready picks, counted in
// as a user so that its stop waits for the caller; NULL when there is none.
static PCAM_STREAM_CONTEXT CamUseDeviceStream(PDEVICE_OBJECT DeviceObject,
                                              BOOLEAN (*Ready)(PCAM_STREAM_CONTEXT)) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&extension->StreamListLock, &irql);
  PCAM_STREAM_CONTEXT stream = extension->Streams;
  while (stream != NULL && !Ready(stream)) stream = stream->NextOnDevice;
  if (stream != NULL) InterlockedIncrement(&stream->Users);
  KeReleaseSpinLock(&extension->StreamListLock, irql);
  return stream;
}

static BOOLEAN CamStreamNotParked(PCAM_STREAM_CONTEXT Stream) { return !CamStreamParked(Stream); }

// PASSIVE_LEVEL, after CamParkDeviceStreams. Waits until no stream of the device
// has a transfer out, cancelling again at every poll.
VOID CamWaitDeviceStreamsParked(PDEVICE_OBJECT DeviceObject) {
  LARGE_INTEGER poll;
  poll.QuadPart = CAM_PARK_POLL;
  for (;;) {
    PCAM_STREAM_CONTEXT stream = CamUseDeviceStream(DeviceObject, CamStreamNotParked);
    if (stream == NULL) return;
    KeClearEvent(&stream->ParkedEvent);
    if (!CamStreamParked(stream)) {
      CamCancelStreamTransfers(stream);
      KeWaitForSingleObject(&stream->ParkedEvent, Executive, KernelMode, FALSE, &poll);
    }
    CamDoneWithStream(stream);
  }
}

static BOOLEAN CamStreamSuspended(PCAM_STREAM_CONTEXT Stream) {
  KIRQL irql;
  KeAcquireSpinLock(&Stream->SendLock, &irql);
  BOOLEAN suspended = Stream->Suspended;
  KeReleaseSpinLock(&Stream->SendLock, irql);
  return suspended && !CamStreamEnding(Stream);
}

// PASSIVE_LEVEL. Takes the parked transfers and lifts the suspension; completions
// park meanwhile as at start, since SendsOpen stays clear. Returns how many.
static ULONG CamTakeParked(PCAM_STREAM_CONTEXT Stream, PCAM_STREAM_TRANSFER Taken[CAM_STREAM_TRANSFERS]) {
  KIRQL irql;
  KeAcquireSpinLock(&Stream->SendLock, &irql);
  ULONG count = Stream->Suspended ? Stream->ParkedCount : 0;
  for (ULONG i = 0; i < count; ++i) Taken[i] = Stream->Parked[i];
  if (Stream->Suspended) Stream->ParkedCount = 0;
  Stream->Suspended = FALSE;
  KeReleaseSpinLock(&Stream->SendLock, irql);
  return count;
}

// PASSIVE_LEVEL, no transfer of the stream out. The camera lost its place in the
// frame it was sending as it powered down, and what had arrived of that frame is
// dropped: the pipe reset makes the camera start a new frame, which the first
// transfers take from its start, as after a start.
static VOID CamResumeStream(PCAM_STREAM_CONTEXT Stream) {
  PCAM_STREAM_TRANSFER taken[CAM_STREAM_TRANSFERS];
  ULONG count = CamTakeParked(Stream, taken);
  CamResetPipe(Stream->DeviceObject, Stream->StreamPipe->PipeHandle);
  Stream->FrameBytesFilled = 0;
  Stream->FillPointer = Stream->Slots[Stream->FillSlotIndex].Buffer;
  for (ULONG i = 0; i < count; ++i) {
    taken[i]->Refusals = 0;
    CamSendStreamTransfer(taken[i], CamFirstTransferLength(Stream->FrameSize, i));
  }
  CamOpenStreamSends(Stream);
}

// PASSIVE_LEVEL, the device back in D0. Each suspended stream goes on.
VOID CamResumeDeviceStreams(PDEVICE_OBJECT DeviceObject) {
  for (;;) {
    PCAM_STREAM_CONTEXT stream = CamUseDeviceStream(DeviceObject, CamStreamSuspended);
    if (stream == NULL) return;
    CamResumeStream(stream);
    CamDoneWithStream(stream);
  }
}
