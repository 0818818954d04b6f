// Cutting the received bytes into frames: the fill state, and the hand-off of a
// finished frame to the application's queue.
//
// Locking: the fill state belongs to the completion routine, which the lower
// driver runs for the pipe's transfers one at a time and in order. A slot changes
// state only with FreeSlotsLock and then ReadySlotsLock held, so that a request
// holding either sees each slot in exactly one place.
#include "stream.h"

// Up to DISPATCH_LEVEL, with both queue locks held. The finished frame in the
// filling slot goes to the ready queue and the next slot to fill is chosen: a
// free one; else the oldest waiting frame's, which is dropped; else, when the
// application holds both others, the same slot again, dropping the frame just
// finished. Returns the slot to fill next; *Wake when the frame entered an empty
// queue (the takes reset the event when they empty it).
static PCAM_FRAME_SLOT CamHandOffLocked(PCAM_STREAM_CONTEXT Stream, PBOOLEAN Wake) {
  PCAM_FRAME_SLOT finished = &Stream->Slots[Stream->FillSlotIndex];
  PCAM_FRAME_SLOT next = CamPopSlot(&Stream->FreeSlots);
  if (next == NULL) next = CamPopSlot(&Stream->ReadySlots);
  if (next == NULL) return finished;
  finished->State = CamSlotReady;
  CamPushSlot(&Stream->ReadySlots, finished);
  next->State = CamSlotFilling;
  Stream->FillSlotIndex = next->Index;
  *Wake = Stream->ReadySlots.Count == 1;
  return next;
}

// Up to DISPATCH_LEVEL. Hands the finished frame off and starts the next one at
// the start of its slot. The waiters are woken once the locks are let go, so a
// woken taker does not run straight into them; a take that a wake sends to an
// empty queue waits again.
static VOID CamHandOffFrame(PCAM_STREAM_CONTEXT Stream) {
  BOOLEAN wake = FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&Stream->FreeSlotsLock, &irql);
  KeAcquireSpinLockAtDpcLevel(&Stream->ReadySlotsLock);
  PCAM_FRAME_SLOT next = CamHandOffLocked(Stream, &wake);
  KeReleaseSpinLockFromDpcLevel(&Stream->ReadySlotsLock);
  KeReleaseSpinLock(&Stream->FreeSlotsLock, irql);
  if (wake) KeSetEvent(&Stream->FrameReadyEvent, IO_NO_INCREMENT, FALSE);
  Stream->FillPointer = next->Buffer;
  Stream->FrameBytesFilled = 0;
}

// Received bytes go into the frame being filled, never past its end: bytes beyond
// the frame's (after short transfers) are lost rather than carried into the next
// frame, whose start the byte count alone decides.
VOID CamTakeStreamBytes(PCAM_STREAM_CONTEXT Stream, const UCHAR* Data, ULONG Received) {
  ULONG room = (ULONG)Stream->FrameSize - Stream->FrameBytesFilled;
  ULONG copied = Received < room ? Received : room;
  RtlCopyMemory(Stream->FillPointer, Data, copied);
  Stream->FrameBytesFilled += copied;
  if (Stream->FrameBytesFilled < (ULONG)Stream->FrameSize) {
    Stream->FillPointer += copied;
    return;
  }
  CamHandOffFrame(Stream);
}
