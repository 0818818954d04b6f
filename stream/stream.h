// Streaming capture: the records of one stream (its context, its two transfers,
// its three frame slots and the two slot queues) and the routines on them.
//
// Locking: a stream has two spin locks, FreeSlotsLock and ReadySlotsLock, always
// taken in that order and never with any other lock of the driver held. Nothing
// waits while either is held. The completion routine runs at up to
// DISPATCH_LEVEL and touches only the context, which is non-paged.
#pragma once

#include "../driver/driver.h"
#include "../include/quorvex/quorvex.h"

// The most one transfer asks for: the pipe's MaximumTransferSize.
#define CAM_STREAM_CHUNK_SIZE CAM_FRAME_TRANSFER_MAX
#define CAM_STREAM_TRANSFERS 2
#define CAM_STREAM_SLOTS 3
// Every transfer takes data in and lets the camera end it with a short packet.
#define CAM_STREAM_FLAGS (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
// A transfer the lower driver refuses at once this many times in a row ends for
// good: re-sending it from its own completion routine would otherwise recurse.
#define CAM_STREAM_REFUSALS_MAX 2
// The largest frame a stream takes: more than any camera sends (2592 x 1944 at 4
// bytes a pixel), and a bound on the non-paged pool one request can tie up (three
// frames).
#define CAM_STREAM_FRAME_MAX 0x2000000

struct _CAM_STREAM_CONTEXT;

// Where a slot is. Each slot is in exactly one of these at every moment. Every
// move writes the state with both queue locks held, in their order, so that a
// release holding either can tell a held slot from any other.
typedef enum _CAM_SLOT_STATE {
  CamSlotFilling,  // the completion routine is copying into it (FillSlotIndex)
  CamSlotFree,     // in FreeSlots
  CamSlotReady,    // in ReadySlots: a finished frame
  CamSlotHeld      // handed to the application by a get or a read
} CAM_SLOT_STATE;

// One frame buffer. Start writes every field but State and Next before the
// stream can be reached; after that they are read-only until the stop frees them.
typedef struct _CAM_FRAME_SLOT {
  // Describes Buffer (built for non-paged pool); the user view is made from it.
  PMDL Mdl;
  // BufferBytes of non-paged pool, page-aligned and zeroed before the view is made,
  // so an application sees the frame and zeros, never other kernel memory.
  PUCHAR Buffer;
  // The view of Buffer in the process that started the stream: what the
  // application is given and hands back. Only that process may remove it.
  PVOID UserAddress;
  // The frame size the application is told: FrameSize, never BufferBytes.
  LONG Size;
  // Size rounded up to whole pages: the allocation and the view.
  ULONG BufferBytes;
  // The slot's own position in Slots.
  ULONG Index;
  // CAM_SLOT_STATE. Written with FreeSlotsLock and ReadySlotsLock both held (start
  // writes it before the stream can be reached); read under either.
  CAM_SLOT_STATE State;
  // The link inside FreeSlots or ReadySlots, under that queue's lock; NULL when
  // the slot is in neither.
  struct _CAM_FRAME_SLOT* Next;
} CAM_FRAME_SLOT, *PCAM_FRAME_SLOT;

// A bounded first-in first-out list of slots linked through Next. Every field is
// under the lock of the queue (FreeSlotsLock or ReadySlotsLock), at up to
// DISPATCH_LEVEL; start fills both before the stream can be reached.
typedef struct _CAM_SLOT_QUEUE {
  LONG Count;            // slots in the queue
  LONG Limit;            // the most it takes; a push beyond it is refused
  PCAM_FRAME_SLOT Head;  // the oldest, or NULL
  PCAM_FRAME_SLOT Tail;  // the newest, or NULL
} CAM_SLOT_QUEUE, *PCAM_SLOT_QUEUE;

// One of the stream's two bulk transfers, the context of its completion routine.
// Non-paged, zeroed. Start fills it before its first send; after that only the
// completion routine of its IRP (or the sender, before the IRP goes down) touches
// Urb, and the stop frees it once TransfersDoneEvent says it has ended.
typedef struct _CAM_STREAM_TRANSFER {
  // A bulk transfer URB of UrbLength bytes, rebuilt before every send by whoever
  // owns the IRP at that moment.
  PURB Urb;
  USHORT UrbLength;
  // Allocated by start, reused (IoReuseIrp) for every send; the lower driver owns
  // it from IofCallDriver until the completion routine runs.
  PIRP Irp;
  // CAM_STREAM_CHUNK_SIZE bytes of non-paged pool: the URB's TransferBuffer.
  PUCHAR DataBuffer;
  // The owning stream.
  struct _CAM_STREAM_CONTEXT* Stream;
  // Completions in a row that failed and brought nothing: a lower driver that
  // refuses every send would otherwise have the completion routine send again from
  // inside the send, without end. Only the IRP's owner (its completion routine, or
  // start before the first send) reads and writes it.
  ULONG Refusals;
  // The length of its last send, by the same owner: a completion that brought
  // nothing asks for the same piece again.
  ULONG Length;
} CAM_STREAM_TRANSFER, *PCAM_STREAM_TRANSFER;

// One stream of one handle. Non-paged, zeroed. Start fills every field before
// the context is stored in the per-open record; fields it does not name below
// are read-only from then on until the stop frees the context.
typedef struct _CAM_STREAM_CONTEXT {
  // Transfers the stream still owns: start adds 1 for each before it is sent;
  // the completion routine takes 1 when a transfer ends for good. Interlocked, at
  // up to DISPATCH_LEVEL; the decrement to 0 is the last touch of the context by
  // a completion.
  volatile LONG PendingTransfers;
  // Set (by whoever takes PendingTransfers to 0) when both transfers have ended;
  // start's clean-up and the stop wait on it at PASSIVE_LEVEL.
  KEVENT TransfersDoneEvent;
  // The device the stream was started on; every later user compares it with the
  // device its request came to.
  PDEVICE_OBJECT DeviceObject;
  // The streaming pipe's entry in the device's pipe table; its PipeHandle is read
  // at every send, at up to DISPATCH_LEVEL. The table outlives the stream: removal
  // ends the transfers before it frees the table.
  PUSBD_PIPE_INFORMATION StreamPipe;
  // The two transfers, each NULL until allocated.
  PCAM_STREAM_TRANSFER Transfers[CAM_STREAM_TRANSFERS];
  // The frame buffers, inline.
  CAM_FRAME_SLOT Slots[CAM_STREAM_SLOTS];
  // CAM_STREAM_SLOTS.
  ULONG SlotCount;
  // The slot being filled. Written only by the completion routine, with both
  // queue locks held; read by it without a lock (the lower driver completes the
  // pipe's transfers one at a time) and by a release under either lock.
  ULONG FillSlotIndex;
  // Where the next bytes go, inside Slots[FillSlotIndex].Buffer; and how many of
  // the frame are in. Only the completion routine, one completion at a time.
  PUCHAR FillPointer;
  ULONG FrameBytesFilled;
  // Bytes per frame, from the start request: more than 0.
  LONG FrameSize;
  // Slots ready to be filled, under FreeSlotsLock; Limit 3.
  CAM_SLOT_QUEUE FreeSlots;
  // Finished frames waiting for the application, oldest first, under
  // ReadySlotsLock; Limit SlotCount.
  CAM_SLOT_QUEUE ReadySlots;
  // Set by the completion routine, with both locks held, when a frame enters an
  // empty ReadySlots; reset by the gets and reads at PASSIVE_LEVEL.
  KEVENT FrameReadyEvent;
  KSPIN_LOCK FreeSlotsLock;
  KSPIN_LOCK ReadySlotsLock;
  // Set to 1 (interlocked) by the stop and by a drain of the device before either
  // cancels the transfers; read (interlocked) by the sender after it took the IRP
  // back, so a transfer in the completion routine at the cancel is not sent again.
  volatile LONG Ending;
  // 1 for the handle that owns the stream, plus 1 for each request using it. A
  // request raises it under its handle's StreamLock while the stream is attached;
  // interlocked; whoever takes it to 0 sets IdleEvent, which the stop waits on
  // before it frees anything.
  volatile LONG Users;
  KEVENT IdleEvent;
  // The device's list of streams (Streams), under its StreamListLock: linked by
  // start before the first send, unlinked by the stop once the transfers ended.
  struct _CAM_STREAM_CONTEXT* NextOnDevice;
  // Until start (or the resume after a power-down) has sent both transfers, a
  // transfer that comes back is parked here, in the order they came back, instead
  // of going out again ahead of the other one's first send: each length assumes
  // the other transfer is ahead of it on the pipe. The sender sends the parked
  // ones in order, then sets SendsOpen (interlocked); a power-down clears it.
  // Parked, ParkedCount and Suspended are under SendLock, at up to DISPATCH_LEVEL.
  volatile LONG SendsOpen;
  KSPIN_LOCK SendLock;
  ULONG ParkedCount;
  PCAM_STREAM_TRANSFER Parked[CAM_STREAM_TRANSFERS];
  // Set while the device is out of D0, or on its way out: every transfer that
  // comes back is parked, the cancelled ones too, until the resume at D0 sends
  // them again from the start of a frame. Set by the power-down (and by start,
  // when the device is already going down) under the device's StreamListLock and
  // SendLock; cleared by the resume under SendLock.
  BOOLEAN Suspended;
  // Set whenever a transfer parks or ends for good; a power-down clears it and
  // waits on it, at PASSIVE_LEVEL, until every transfer still owned is parked.
  KEVENT ParkedEvent;
} CAM_STREAM_CONTEXT, *PCAM_STREAM_CONTEXT;

// The slot queues (slot_queue.cpp). Any IRQL up to DISPATCH_LEVEL, with the
// queue's lock held (or before the stream can be reached).
VOID CamInitializeSlotQueue(PCAM_SLOT_QUEUE Queue, LONG Limit);
BOOLEAN CamPushSlot(PCAM_SLOT_QUEUE Queue, PCAM_FRAME_SLOT Slot);
PCAM_FRAME_SLOT CamPopSlot(PCAM_SLOT_QUEUE Queue);

// The lengths the transfers ask for (transfer_length.cpp). Any IRQL.
ULONG CamFirstTransferLength(LONG FrameSize, ULONG Transfer);
ULONG CamNextTransferLength(LONG FrameSize, ULONG Filled);

// A stream's memory (stream_memory.cpp). PASSIVE_LEVEL. The allocation leaves
// nothing behind on failure; the free runs in the process that made the views,
// once no transfer is out and no request uses the stream.
NTSTATUS CamAllocateStream(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe, LONG FrameSize,
                           PCAM_STREAM_CONTEXT* Stream);
VOID CamFreeStream(PCAM_STREAM_CONTEXT Stream);

// Checks, pipe reset and memory of a new stream (stream_open.cpp). PASSIVE_LEVEL,
// inside the request gate.
NTSTATUS CamOpenStream(PDEVICE_OBJECT DeviceObject, LONG FrameSize, PCAM_STREAM_CONTEXT* Stream);

// The slots' views in the starting process (stream_views.cpp). PASSIVE_LEVEL.
NTSTATUS CamMapStreamViews(PCAM_STREAM_CONTEXT Stream);

// The transfers (stream_transfer.cpp). Up to DISPATCH_LEVEL. The send takes the
// IRP back from its last completion, and sends it unless the stream ends; it
// returns what IofCallDriver returned, or STATUS_CANCELLED when it ended the
// transfer itself. A transfer that ends for good is counted out with
// CamStreamTransferEnded; the last one out leaves the request gate.
NTSTATUS CamSendStreamTransfer(PCAM_STREAM_TRANSFER Transfer, ULONG Length);
VOID CamStreamTransferEnded(PCAM_STREAM_CONTEXT Stream);
VOID CamEndStreamTransfers(PCAM_STREAM_CONTEXT Stream);
// PASSIVE_LEVEL, by start after its sends: sends what was parked, in order, and
// lets the completions send from then on, unless the stream is suspended.
VOID CamOpenStreamSends(PCAM_STREAM_CONTEXT Stream);
// Up to DISPATCH_LEVEL, by the IRP's owner. Parks the transfer if the stream is
// suspended (TRUE) or, when Always, if its sends are not open either.
BOOLEAN CamParkStreamTransfer(PCAM_STREAM_TRANSFER Transfer, ULONG Length, BOOLEAN Always);
// Up to DISPATCH_LEVEL, under StreamListLock, by start as it links the stream: a
// device on its way out of D0 finds the new stream suspended, both its transfers
// parked for their first sends.
VOID CamParkNewStreamLocked(PCAM_STREAM_CONTEXT Stream);
IO_COMPLETION_ROUTINE CamStreamTransferComplete;

// The fill state and the hand-off of a finished frame (stream_fill.cpp). Only the
// completion routine, at up to DISPATCH_LEVEL, one completion at a time.
VOID CamTakeStreamBytes(PCAM_STREAM_CONTEXT Stream, const UCHAR* Data, ULONG Received);

// A stream's users and owners (stream_stop.cpp). CamUseStream finds the stream of
// the request's handle on this device and counts the caller in (NULL: none);
// CamDoneWithStream counts it out. Up to DISPATCH_LEVEL.
PCAM_STREAM_CONTEXT CamUseStream(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID CamDoneWithStream(PCAM_STREAM_CONTEXT Stream);
// Up to DISPATCH_LEVEL. Puts the stream on its device's list, where a drain finds
// it, until its stop. TRUE when the device is going out of D0 and the stream's
// transfers were parked instead of being sent.
BOOLEAN CamLinkStream(PCAM_STREAM_CONTEXT Stream);
// PASSIVE_LEVEL. Ends the transfers, waits for them and for the requests using
// the stream, removes the views and frees everything. Always STATUS_SUCCESS.
NTSTATUS CamStopStreaming(PCAM_STREAM_CONTEXT Stream);

// The streaming requests (stream_start.cpp, stream_frames.cpp, stream_stop.cpp).
// PASSIVE_LEVEL, inside the request gate, in the requesting thread. Each sets
// Information and returns the status.
NTSTATUS CamStartStreaming(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CamStopStreamRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CamGetStreamFrame(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUCHAR Info);
NTSTATUS CamReleaseStreamFrame(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONGLONG UserAddress);
NTSTATUS CamReadStreamFrame(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG OutputLength);
