// The bounded slot queues of a stream: free slots and finished frames.
//
// Locking: the caller holds the queue's own lock (FreeSlotsLock or ReadySlotsLock),
// or the stream cannot be reached yet; these routines take none.
#include "stream.h"

// Any IRQL. An empty queue that takes at most Limit slots.
VOID CamInitializeSlotQueue(PCAM_SLOT_QUEUE Queue, LONG Limit) {
  Queue->Count = 0;
  Queue->Limit = Limit;
  Queue->Head = NULL;
  Queue->Tail = NULL;
}

// Any IRQL up to DISPATCH_LEVEL, the queue's lock held. Appends the slot; a full
// queue refuses it and nothing changes.
BOOLEAN CamPushSlot(PCAM_SLOT_QUEUE Queue, PCAM_FRAME_SLOT Slot) {
  if (Queue->Count >= Queue->Limit) return FALSE;
  Slot->Next = NULL;
  if (Queue->Tail == NULL) {
    Queue->Head = Slot;
  } else {
    Queue->Tail->Next = Slot;
  }
  Queue->Tail = Slot;
  Queue->Count++;
  return TRUE;
}

// Any IRQL up to DISPATCH_LEVEL, the queue's lock held. Takes the oldest slot, or
// NULL from an empty queue; the slot leaves unlinked.
PCAM_FRAME_SLOT CamPopSlot(PCAM_SLOT_QUEUE Queue) {
  PCAM_FRAME_SLOT slot = Queue->Head;
  if (slot == NULL) return NULL;
  Queue->Head = slot->Next;
  if (Queue->Head == NULL) Queue->Tail = NULL;
  slot->Next = NULL;
  Queue->Count--;
  return slot;
}
